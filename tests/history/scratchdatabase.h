#pragma once

#include "store/dbsettings.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>

/// A database of the test's own on the configured server, holding an empty
/// `invoice` table laid out as the program lays it out. Points TK52K_DB_NAME
/// at itself while it lives and drops itself at the end.
class ScratchDatabase
{
public:
    explicit ScratchDatabase(const QString &name);
    ~ScratchDatabase();

    /// Whether the server answered and the table was made; `error()` says why not.
    bool isReady() const { return m_ready; }
    QString error() const { return m_error; }
    DbSettings settings() const { return m_settings; }

    /// Inserts one row; false (with error()) when the server refused it.
    bool insert(const QDateTime &time, const QString &value, const QString &unit = QStringLiteral("V"),
                const QString &func = QStringLiteral("直流电压"), const QString &frastr = QStringLiteral("2"));
    /// Runs `sql` on the database; false (with error()) on failure.
    bool exec(const QString &sql);

private:
    QSqlDatabase adminConnection();

    DbSettings m_settings;
    QString m_connection;
    bool m_ready = false;
    QString m_error;
};
