#pragma once

#include <QString>
#include <QStringList>

class PasswordStore;
class QSettings;
class QSqlDatabase;

/// Where the record store lives. Defaults address the local server; each
/// field can be overridden by TK52K_DB_HOST, TK52K_DB_PORT, TK52K_DB_NAME,
/// TK52K_DB_USER and TK52K_DB_PASSWORD, so several computers can log into
/// one central server and tests can use databases of their own. The desktop
/// program also keeps a user's own choice (fromSaved()), which the
/// variables still override. A service reads its password from the
/// credential `db-password` (the file of that name in CREDENTIALS_DIRECTORY)
/// when TK52K_DB_PASSWORD is not set.
struct DbSettings
{
    /// The fields a user can set, each with its variable.
    enum class Field { Host, Port, Database, User, Password, Source };

    QString host = QStringLiteral("127.0.0.1");
    int port = 5432;
    QString databaseName = QStringLiteral("dmmdatad");
    QString userName = QStringLiteral("postgres");
    QString password = QStringLiteral("k482915");
    /// Name of the meter the readings come from (TK52K_SOURCE; by default,
    /// and when it is set but empty, the host name), stored where the table
    /// has a `source` column.
    QString source;

    /// Why these settings cannot be used (a TK52K_DB_* variable that is not a
    /// valid value); empty when they can.
    QString problem;
    /// Why TK52K_SOURCE cannot be stored as the meter's name (see
    /// meterNameProblem()); empty when it can. Only a writer of readings
    /// minds: `source` then holds the default.
    QString sourceProblem;

    /// The defaults above with the TK52K_DB_* variables and TK52K_SOURCE of
    /// the environment applied. A variable that is set but unusable (a port
    /// that is not a number in 1..65535, an empty or unquotable database
    /// name, a meter name meterNameProblem() refuses) keeps the default and
    /// is described in `problem` or `sourceProblem`.
    static DbSettings fromEnvironment();

    /// `base` with the TK52K_DB_* variables and TK52K_SOURCE applied over
    /// it, as fromEnvironment() applies them over the defaults; an empty
    /// `base.source` means the host name.
    static DbSettings withEnvironment(const DbSettings &base);

    /// The variable that sets `field`: "TK52K_DB_HOST", …, "TK52K_SOURCE".
    static QString variableOf(Field field);
    /// Whether the environment sets `field` (TK52K_SOURCE only when it is
    /// not empty, as an empty one means the default).
    static bool setByEnvironment(Field field);

    /// A user's own settings, as save() left them in `settings`, over the
    /// defaults (an empty `source`: the host name), without the environment.
    /// The password comes from `passwords` (when given) under the
    /// passwordKey() of the login the environment makes of them (none kept
    /// there: the default one); what keeps it from being read goes to
    /// `passwordProblem` when given.
    static DbSettings userSettings(const QSettings &settings, PasswordStore *passwords,
                                   QString *passwordProblem = nullptr);
    /// userSettings() with the environment over them: what the desktop
    /// program uses.
    static DbSettings fromSaved(const QSettings &settings, PasswordStore *passwords,
                                QString *passwordProblem = nullptr);
    /// Keeps these settings in `settings` for fromSaved(), all but the
    /// password, which the caller gives to a PasswordStore.
    void save(QSettings &settings) const;
    /// The name the password of these settings is kept under:
    /// "user@host:port/database".
    QString passwordKey() const;

    /// Opens a connection of its own with these settings, asks the server
    /// for its version and closes it again; blocks for up to the connect
    /// timeout. True with the server's version in `answer`, else false with
    /// the server's (or the client library's) words on why.
    bool testConnection(QString *answer) const;

    /// What keeps a writer of readings from using these settings: `problem`
    /// and `sourceProblem` together; empty when nothing does.
    QString writeProblem() const;

    /// Why `bytes`, given as `what` (an option or a variable), cannot be
    /// stored as a meter's name as given: they are not UTF-8, or hold a
    /// control character (a line feed, a tab, …) or a line or paragraph
    /// separator. Empty when they can be, and `name` then gets their text.
    static QString meterNameProblem(const QString &what, const QByteArray &bytes, QString *name);
    /// The name of a meter nobody named: "HOST:PORT", the port without
    /// "/dev/", each character meterNameProblem() would refuse (a port path
    /// may hold a line feed) turned into "?", so the name can always be kept.
    static QString defaultMeterName(const QString &host, const QString &port);

    /// Adds (or replaces) a QPSQL connection under `connectionName` configured
    /// with these settings and a 2 s connect timeout; the server sends it errors
    /// only (no NOTICEs or WARNINGs). Does not open it.
    QSqlDatabase addConnection(const QString &connectionName) const;
};
