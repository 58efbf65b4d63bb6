#include "database.h"

#include "core/meter/tkdatadas.h"
#include "core/store/measurementrecord.h"
#include "core/store/recordjournal.h"
#include "core/store/recordwriter.h"

#include <QSqlDatabase>
#include <QStringList>
#include <QtGlobal>

namespace {
// After the grace time the writer is told to stop; a statement in progress
// still ends within the connection's timeouts (2 s connect, 10 s TCP).
constexpr int kAbandonWaitMs = 15000;
} // namespace

database::database(QObject *parent)
    : QObject(parent), m_settings(DbSettings::fromEnvironment()), m_writer(new RecordWriter(m_settings, this))
{
    m_source = m_settings.source;
    if (!m_settings.writeProblem().isEmpty())
        qWarning("tk52k: %s", qPrintable(m_settings.writeProblem()));
    connect(m_writer, &RecordWriter::stateChanged, this, &database::refreshState, Qt::QueuedConnection);
}

database::~database()
{
    shutdown();
}

int database::openDatabase()
{
    if (m_closed || !m_settings.writeProblem().isEmpty() ||
        !QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
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
    return reading ? submit(*reading) : -1;
}

int database::submit(const MeterReading &reading)
{
    if (m_closed)
        return -1;
    MeasurementRecord record = MeasurementRecord::fromReading(reading);
    record.source = m_source;
    m_writer->enqueue(record);
    refreshState();
    return 1;
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

int database::inMemoryCount() const
{
    return m_writer->inMemoryCount();
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

QString database::statusText() const
{
    QStringList notes;
    if (!m_settings.writeProblem().isEmpty())
        notes << tr("设置无效：%1").arg(m_settings.writeProblem());
    const QString trouble = m_writer->trouble();
    if (!trouble.isEmpty())
        notes << trouble;
    const int rejected = m_writer->quarantinedCount();
    if (rejected > 0) {
        const QString reason = m_writer->lastRejectReason();
        notes << (reason.isEmpty() ? tr("%1 条读数被服务器拒绝").arg(rejected)
                                   : tr("%1 条读数被服务器拒绝：%2").arg(rejected).arg(reason));
    }
    if (m_started && !m_closed && !m_writer->isJournalSafe())
        notes << tr("读数未能保存到磁盘");
    // Readings gathered for the writer's next transaction are on their way,
    // not waiting: they count once the writer falls behind or loses the server.
    const bool connected = m_writer->isConnected();
    QString text = stateText(connected, connected && m_writer->isOnlyGathering() ? 0 : m_writer->pendingCount());
    if (!notes.isEmpty())
        text += QStringLiteral("；") + notes.join(QStringLiteral("；"));
    return text;
}

int database::rejectedCount() const
{
    return m_writer->quarantinedCount();
}

int database::retryRejected()
{
    if (m_closed)
        return 0;
    const int n = m_writer->requeueQuarantined();
    refreshState();
    return n;
}

void database::refreshState()
{
    const bool connected = m_writer->isConnected();
    const int pending = m_writer->pendingCount();
    const QString status = statusText();
    if (connected == m_lastConnected && pending == m_lastPending && status == m_lastStatus)
        return;
    m_lastConnected = connected;
    m_lastPending = pending;
    m_lastStatus = status;
    emit stateChanged(connected, pending);
}
