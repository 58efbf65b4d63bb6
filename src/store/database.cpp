#include "database.h"

#include "meter/tkdatadas.h"
#include "store/measurementrecord.h"
#include "store/recordjournal.h"
#include "store/recordwriter.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QtGlobal>

namespace {
const char *const kSelectRange = "SELECT funcstr, datavaluestr, unitstr, frastr, create_time FROM invoice "
                                 "WHERE create_time BETWEEN ? AND ? ORDER BY create_time";
const char *const kHasIdColumn =
    "SELECT 1 FROM information_schema.columns WHERE table_schema = current_schema() "
    "AND table_name = 'invoice' AND column_name = 'id'";

// After the grace time the writer is told to stop; a statement in progress
// still ends within the connection's timeouts (2 s connect, 10 s TCP).
constexpr int kAbandonWaitMs = 15000;

QSqlQuery runRangeQuery(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop)
{
    QSqlQuery probe(db);
    const bool hasId = probe.exec(QLatin1String(kHasIdColumn)) && probe.next();
    QSqlQuery q(db);
    q.prepare(QLatin1String(kSelectRange) + (hasId ? QLatin1String(", id") : QLatin1String("")));
    q.addBindValue(start.toString(QLatin1String(kRecordTimeFormat)));
    q.addBindValue(stop.toString(QLatin1String(kRecordTimeFormat)));
    q.exec();
    return q;
}
} // namespace

database::database(QSqlDatabase &connection, QObject *parent)
    : QObject(parent), m_settings(DbSettings::fromEnvironment()), m_writer(new RecordWriter(m_settings, this))
{
    const QString name = QLatin1String(QSqlDatabase::defaultConnection);
    // Settings changed on an open handle would only apply after a reopen.
    if (QSqlDatabase::contains(name))
        QSqlDatabase::database(name, false).close();
    connection = m_settings.addConnection(name);
    connect(m_writer, &RecordWriter::stateChanged, this, &database::refreshState, Qt::QueuedConnection);
}

database::~database()
{
    shutdown();
}

int database::openDatabase(QSqlDatabase &connection)
{
    if (m_closed || !connection.isValid())
        return -1;
    if (!m_started) {
        m_started = true;
        openJournal();
        m_writer->start();
        refreshState();
    }
    return 1;
}

int database::insertRecord(TkDataDas *reading)
{
    if (!reading || m_closed)
        return -1;
    m_writer->enqueue(MeasurementRecord::fromReading(*reading));
    refreshState();
    return 1;
}

QSqlQueryModel *database::queryRange(QDateTime start, QDateTime stop, const QSqlDatabase &connection)
{
    auto *model = new QSqlQueryModel;
    QSqlDatabase db = connection;
    if (!db.isValid())
        return model;
    if (!db.isOpen())
        db.open();
    QSqlQuery q = runRangeQuery(db, start, stop);
    if (!q.isActive()) {
        // A server restart kills the session; the next statement fails and
        // the handle must be reopened.
        db.close();
        if (db.open())
            q = runRangeQuery(db, start, stop);
    }
    model->setQuery(q);
    return model;
}

bool database::isDurable() const
{
    return m_writer->isDurable();
}

bool database::isConnected() const
{
    return m_writer->isConnected();
}

int database::pendingCount() const
{
    return m_writer->pendingCount();
}

void database::shutdown(int graceMs)
{
    if (m_closed)
        return;
    m_closed = true;

    if (m_started) {
        m_writer->finish();
        if (!m_writer->wait(qMax(0, graceMs))) {
            m_writer->abandon();
            if (!m_writer->wait(kAbandonWaitMs)) {
                // Stuck in the network beyond every timeout: let it go rather
                // than hang the exit; its readings stay in the journal.
                m_writer->setParent(nullptr);
                disconnect(m_writer, nullptr, this, nullptr);
            }
        }
    } else if (m_writer->pendingCount() > 0)
        openJournal(); // readings handed over to a store never opened
    m_writer->closeJournal();
    refreshState();
}

void database::openJournal()
{
    QString error;
    if (!m_writer->openJournal(RecordJournal::directory(), &error))
        qWarning("tk52k: readings are kept in memory only: %s", qPrintable(error));
}

QString database::stateText(bool connected, int pending)
{
    if (connected)
        return pending > 0 ? tr("数据库已连接（待写入 %1 条）").arg(pending) : tr("数据库已连接");
    return tr("数据库未连接（待写入 %1 条）").arg(pending);
}

void database::refreshState()
{
    const bool connected = m_writer->isConnected();
    const int pending = m_writer->pendingCount();
    if (connected == m_lastConnected && pending == m_lastPending)
        return;
    m_lastConnected = connected;
    m_lastPending = pending;
    emit stateChanged(connected, pending);
}
