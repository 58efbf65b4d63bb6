#include "database.h"

#include "meter/tkdatadas.h"
#include "store/measurementrecord.h"
#include "store/recordspool.h"
#include "store/recordwriter.h"

#include <QDateTime>
#include <QFile>
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

// Readings of an earlier run that never reached the server. A damaged file is
// moved aside rather than overwritten later, so nothing in it disappears.
SpoolContents loadSpool(const QString &path)
{
    SpoolContents spool;
    QString error;
    if (!RecordSpool::load(path, &spool, &error)) {
        const QString aside = path + QLatin1String(".damaged-") +
                              QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
        QFile::rename(path, aside);
        qWarning("tk52k: %s; kept as %s", qPrintable(error), qPrintable(aside));
        return SpoolContents();
    }
    return spool;
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
        const QString path = spoolFilePath();
        const SpoolContents spool = loadSpool(path);
        if (!spool.records.isEmpty())
            m_writer->restore(spool, path);
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

    if (m_writer->isRunning()) {
        m_writer->finish();
        if (!m_writer->wait(qMax(0, graceMs))) {
            m_writer->abandon();
            if (!m_writer->wait(kAbandonWaitMs)) {
                // Stuck in the network beyond every timeout: let it go rather
                // than hang the exit; the queue is saved below all the same.
                m_writer->setParent(nullptr);
                disconnect(m_writer, nullptr, this, nullptr);
            }
        }
    }

    const QString path = spoolFilePath();
    SpoolContents rest = m_writer->takeRemaining();
    if (!m_started) {
        // The spool of an earlier run was never read: keep its readings first.
        const SpoolContents earlier = loadSpool(path);
        rest.records = earlier.records + rest.records;
        if (earlier.uncertainXid != 0) {
            rest.uncertainXid = earlier.uncertainXid;
            rest.uncertainCount = earlier.uncertainCount;
        }
    }
    if (!rest.records.isEmpty()) {
        QString error;
        if (!RecordSpool::save(path, rest, &error))
            qWarning("tk52k: %d readings could not be saved to %s: %s", rest.records.size(), qPrintable(path),
                     qPrintable(error));
    }
    refreshState();
}

QString database::spoolFilePath()
{
    return RecordSpool::filePath();
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
