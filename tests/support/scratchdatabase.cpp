#include "scratchdatabase.h"

#include "core/store/database.h"
#include "core/store/historyreads.h"
#include "core/store/recordschema.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

ScratchDatabase::ScratchDatabase(const QString &tag, Content content)
    : m_settings(DbSettings::fromEnvironment())
{
    m_settings.databaseName =
        QStringLiteral("tk52k_t_%1_%2").arg(tag.toLower()).arg(QCoreApplication::applicationPid());
    m_connection = QStringLiteral("scratch-") + m_settings.databaseName;
    select();

    // A database left by a killed run whose process id came round again.
    if (!adminExec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(name())))
        return;
    if (content == Content::Nothing || !adminExec(QStringLiteral("CREATE DATABASE %1").arg(name())))
        return;
    if (content == Content::InvoiceTable) {
        for (const QString &statement : RecordSchema::createStatements()) {
            if (!exec(statement))
                break;
        }
    }
}

ScratchDatabase::~ScratchDatabase()
{
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
    if (qgetenv("TK52K_DB_NAME") == name().toUtf8())
        qunsetenv("TK52K_DB_NAME");
    adminExec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(name()));
    for (const QString &role : qAsConst(m_logins))
        adminExec(QStringLiteral("DROP ROLE IF EXISTS %1").arg(role));
}

bool ScratchDatabase::addLogin(const QString &role, const QString &password, const QString &grants)
{
    m_logins << role;
    return exec(QStringLiteral("DROP ROLE IF EXISTS %1; CREATE ROLE %1 LOGIN PASSWORD '%2'").arg(role, password)) &&
           (grants.isEmpty() || exec(grants.arg(role)));
}

DbSettings ScratchDatabase::settingsAs(const QString &role, const QString &password) const
{
    DbSettings s = m_settings;
    s.userName = role;
    s.password = password;
    return s;
}

void ScratchDatabase::select() const
{
    qputenv("TK52K_DB_NAME", name().toUtf8());
}

bool ScratchDatabase::adminExec(const QString &sql)
{
    const QString connectionName = m_connection + QStringLiteral("-admin");
    bool ok = false;
    {
        DbSettings admin = m_settings;
        admin.databaseName = QStringLiteral("postgres");
        QSqlDatabase db = admin.addConnection(connectionName);
        if (!db.open()) {
            m_error = QStringLiteral("PostgreSQL server at %1:%2 not reachable: %3")
                          .arg(admin.host)
                          .arg(admin.port)
                          .arg(db.lastError().text());
        } else {
            QSqlQuery q(db);
            ok = q.exec(sql);
            if (!ok)
                m_error = q.lastError().text();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connectionName);
    return ok;
}

QSqlDatabase ScratchDatabase::connection()
{
    if (!QSqlDatabase::contains(m_connection))
        m_settings.addConnection(m_connection);
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isOpen() && !db.open())
        m_error = db.lastError().text();
    return db;
}

bool ScratchDatabase::exec(const QString &sql)
{
    QSqlQuery q(connection());
    if (q.exec(sql))
        return true;
    m_error = q.lastError().text();
    return false;
}

QString ScratchDatabase::column(const QString &sql)
{
    QSqlQuery q(connection());
    if (!q.exec(sql))
        return m_error = q.lastError().text();
    QStringList cells;
    while (q.next())
        cells << q.value(0).toString();
    return cells.join(',');
}

bool ScratchDatabase::insert(const QDateTime &time, const QString &value, const QString &unit,
                             const QString &func, const QString &frastr)
{
    QSqlQuery q(connection());
    q.prepare(RecordSchema::insertStatement(RecordSchema::TableShape()));
    for (const QString &field : {func, value, unit, frastr, RecordSchema::timeText(time)})
        q.addBindValue(field);
    if (q.exec())
        return true;
    m_error = q.lastError().text();
    return false;
}

QStringList storedValues(const QDateTime &from, const QDateTime &to)
{
    database store(DbSettings::fromEnvironment(), QString());
    if (store.openForReading() != 1)
        return {QStringLiteral("no store")};
    auto overview = std::make_shared<HistoryReads::OverviewRead>(from, to, QString());
    store.readNow(overview);
    if (overview->failed())
        return {overview->error()};
    auto page = std::make_shared<HistoryReads::PageRead>(HistoryReads::rangeOf(from, to), QString(), 0,
                                                         int(overview->rows));
    page->table = overview->table;
    store.readNow(page);
    if (page->failed())
        return {page->error()};
    QStringList values;
    for (const RangeQueries::Row &row : page->rows)
        values << row.value;
    return values;
}
