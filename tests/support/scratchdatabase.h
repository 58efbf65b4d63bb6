#pragma once

#include "core/store/dbsettings.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

/// The value texts of a range, in time order, read as the history window
/// reads them from the database TK52K_DB_NAME names now (or the loader's
/// error).
QStringList storedValues(const QDateTime &from, const QDateTime &to);

/// A database of one test run on the configured server. Its name holds the
/// process id, so runs from several checkouts never meet. While it lives
/// TK52K_DB_NAME points at it; at the end it is dropped WITH (FORCE).
///
/// Check it at once, so a server that cannot be reached fails the test:
///     ScratchDatabase db(QStringLiteral("historyload"));
///     QVERIFY2(db.isReady(), qPrintable(db.error()));
class ScratchDatabase
{
public:
    enum class Content {
        Nothing,      ///< no database yet: the program under test creates it
        EmptyDatabase,///< the database without tables
        InvoiceTable, ///< the database with an empty `invoice` table as the program lays it out
    };

    explicit ScratchDatabase(const QString &tag, Content content = Content::InvoiceTable);
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase &) = delete;
    ScratchDatabase &operator=(const ScratchDatabase &) = delete;

    /// Whether the server answered and the content was made; `error()` says why not.
    bool isReady() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString name() const { return m_settings.databaseName; }
    DbSettings settings() const { return m_settings; }

    /// Points TK52K_DB_NAME at this database (the constructor does so too).
    void select() const;

    /// Inserts one row; false (with error()) when the server refused it.
    bool insert(const QDateTime &time, const QString &value, const QString &unit = QStringLiteral("V"),
                const QString &func = QStringLiteral("直流电压"), const QString &frastr = QStringLiteral("2"));
    /// Runs `sql` in the database; false (with error()) on failure.
    bool exec(const QString &sql);
    /// The first column of every row `sql` gives, joined by commas; the
    /// server's error when it refuses the query.
    QString column(const QString &sql);
    /// The test's own connection to the database, opened on first use.
    QSqlDatabase connection();
    /// Makes the login `role` with `password` (one an earlier run left goes
    /// first) and runs `grants` here, each %1 in it the role; false (with
    /// error()) on failure. It goes, with what it owns here, with the database.
    bool addLogin(const QString &role, const QString &password, const QString &grants = QString());
    /// These settings, logging in as `role` with `password`.
    DbSettings settingsAs(const QString &role, const QString &password) const;

private:
    bool adminExec(const QString &sql);

    DbSettings m_settings;
    QStringList m_logins;
    QString m_connection;
    QString m_error;
};
