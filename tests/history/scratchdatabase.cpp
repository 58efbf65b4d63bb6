#include "scratchdatabase.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {
const char *const kCreateTable = R"(CREATE TABLE invoice (
    id           bigint GENERATED ALWAYS AS IDENTITY,
    funcstr      text,
    datavaluestr text,
    unitstr      text,
    frastr       text,
    create_time  timestamp without time zone
))";
const char *const kCreateIndex = "CREATE INDEX invoice_create_time_idx ON invoice (create_time)";
} // namespace

ScratchDatabase::ScratchDatabase(const QString &name)
    : m_settings(DbSettings::fromEnvironment())
    , m_connection(QStringLiteral("scratch-") + name)
{
    // Several checkouts may run their tests against one server at once.
    m_settings.databaseName = QStringLiteral("%1_%2").arg(name).arg(QCoreApplication::applicationPid());
    {
        QSqlDatabase admin = adminConnection();
        if (!admin.open()) {
            m_error = admin.lastError().text();
        } else {
            QSqlQuery q(admin);
            q.exec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(m_settings.databaseName));
            if (!q.exec(QStringLiteral("CREATE DATABASE %1").arg(m_settings.databaseName)))
                m_error = q.lastError().text();
            admin.close();
        }
    }
    QSqlDatabase::removeDatabase(m_connection + QStringLiteral("-admin"));
    if (!m_error.isEmpty())
        return;

    QSqlDatabase db = m_settings.addConnection(m_connection);
    if (!db.open()) {
        m_error = db.lastError().text();
        return;
    }
    m_ready = exec(QLatin1String(kCreateTable)) && exec(QLatin1String(kCreateIndex));
    qputenv("TK52K_DB_NAME", m_settings.databaseName.toUtf8());
}

ScratchDatabase::~ScratchDatabase()
{
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
    qunsetenv("TK52K_DB_NAME");
    {
        QSqlDatabase admin = adminConnection();
        if (admin.open()) {
            QSqlQuery q(admin);
            q.exec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_settings.databaseName));
            admin.close();
        }
    }
    QSqlDatabase::removeDatabase(m_connection + QStringLiteral("-admin"));
}

QSqlDatabase ScratchDatabase::adminConnection()
{
    DbSettings admin = m_settings;
    admin.databaseName = QStringLiteral("postgres");
    return admin.addConnection(m_connection + QStringLiteral("-admin"));
}

bool ScratchDatabase::insert(const QDateTime &time, const QString &value, const QString &unit,
                             const QString &func, const QString &frastr)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) "
                             "VALUES (?, ?, ?, ?, ?::timestamp)"));
    q.addBindValue(func);
    q.addBindValue(value);
    q.addBindValue(unit);
    q.addBindValue(frastr);
    q.addBindValue(time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    if (q.exec())
        return true;
    m_error = q.lastError().text();
    return false;
}

bool ScratchDatabase::exec(const QString &sql)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (q.exec(sql))
        return true;
    m_error = q.lastError().text();
    return false;
}
