#pragma once

#include <QString>
#include <QStringList>

class QSqlDatabase;

/// Where the record store lives. Defaults address the local server; each
/// field can be overridden by TK52K_DB_HOST, TK52K_DB_PORT, TK52K_DB_NAME,
/// TK52K_DB_USER and TK52K_DB_PASSWORD, so several computers can log into
/// one central server and tests can use databases of their own. A service
/// reads its password from the credential `db-password` (the file of that
/// name in CREDENTIALS_DIRECTORY) when TK52K_DB_PASSWORD is not set.
struct DbSettings
{
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

    /// What keeps a writer of readings from using these settings: `problem`
    /// and `sourceProblem` together; empty when nothing does.
    QString writeProblem() const;

    /// Why `bytes`, given as `what` (an option or a variable), cannot be
    /// stored as a meter's name as given: they are not UTF-8, or hold a
    /// control character (a line feed, a tab, …) or a line or paragraph
    /// separator. Empty when they can be, and `name` then gets their text.
    static QString meterNameProblem(const QString &what, const QByteArray &bytes, QString *name);

    /// Adds (or replaces) a QPSQL connection under `connectionName` configured
    /// with these settings and a 2 s connect timeout; the server sends it errors
    /// only (no NOTICEs or WARNINGs). Does not open it.
    QSqlDatabase addConnection(const QString &connectionName) const;
};
