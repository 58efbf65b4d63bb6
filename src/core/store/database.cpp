#include "database.h"

#include "core/meter/tkdatadas.h"
#include "core/store/measurementrecord.h"
#include "core/store/recordjournal.h"
#include "core/store/storeread.h"
#include "core/store/storeworker.h"

#include <QDeadlineTimer>
#include <QMetaMethod>
#include <QSemaphore>
#include <QSqlDatabase>
#include <QThread>

namespace {
// After the grace time the worker is told to stop; a statement in progress
// still ends within the connection's timeouts (2 s connect, 10 s TCP).
constexpr int kAbandonWaitMs = 15000;

bool sameState(const StoreState &a, const StoreState &b)
{
    return a.writing == b.writing && a.connected == b.connected && a.pending == b.pending &&
           a.onlyGathering == b.onlyGathering && a.journalSafe == b.journalSafe &&
           a.quarantined == b.quarantined && a.rejectReason == b.rejectReason && a.trouble == b.trouble &&
           a.serverError == b.serverError && a.settingsProblem == b.settingsProblem &&
           a.damagedJournalLines == b.damagedJournalLines;
}
} // namespace

database::database(QObject *parent) : database(DbSettings::fromEnvironment(), QString(), parent) {}

database::database(const DbSettings &settings, const QString &journalDir, QObject *parent)
    : RecordStore(parent), m_settings(settings), m_journalDir(journalDir), m_source(settings.source)
{
    if (!m_settings.writeProblem().isEmpty())
        qWarning("tk52k: %s", qPrintable(m_settings.writeProblem()));
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("tk52k-store"));
    m_worker = new StoreWorker(m_settings);
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::started, m_worker, &StoreWorker::begin);
    // The thread ends with the worker's work; its object goes with it.
    connect(m_worker, &StoreWorker::stopped, m_thread, &QThread::quit, Qt::DirectConnection);
    // The worker's news cross to this thread only for someone who listens:
    // a logger that looks at the state when it wants to is not woken at
    // every commit, nor does it work the state out at every reading.
    connect(
        m_worker, &StoreWorker::changed, this,
        [this] {
            if (stateObserved())
                QMetaObject::invokeMethod(this, &database::refreshState, Qt::QueuedConnection);
        },
        Qt::DirectConnection);
    connect(m_worker, &StoreWorker::rowsAdded, this, &RecordStore::rowsAdded, Qt::QueuedConnection);
    m_lastState = state();
}

database::~database()
{
    shutdown();
    delete m_worker;
}

bool database::start(bool withJournal)
{
    // A writer stores the meter's name too; a reader only needs the server.
    const QString problem = withJournal ? m_settings.writeProblem() : m_settings.problem;
    if (m_closed || !problem.isEmpty() || !QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return false;
    if (m_started)
        return true;
    m_started = true;
    m_worker->setReadOnly(!withJournal);
    if (withJournal) {
        m_writing = true;
        QString error;
        if (!m_worker->openJournal(m_journalDir.isEmpty() ? RecordJournal::directory() : m_journalDir, &error))
            qWarning("tk52k: readings are kept in memory only: %s", qPrintable(error));
    }
    m_thread->start();
    refreshState();
    return true;
}

int database::openDatabase()
{
    return start(true) ? 1 : -1;
}

int database::openForReading()
{
    return start(false) ? 1 : -1;
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
    m_worker->enqueue(record);
    // Readings handed over before the store opens wait in memory; opening
    // journals them.
    refreshState();
    return 1;
}

void database::recordAlarm(const AlarmEvent &event)
{
    if (m_closed)
        return;
    AlarmEvent named = event;
    if (named.source.isEmpty())
        named.source = m_source;
    m_worker->recordAlarm(named);
}

void database::read(const std::shared_ptr<StoreRead> &read)
{
    if (!m_started)
        openForReading();
    if (m_closed || !m_started) {
        read->fail(m_settings.problem.isEmpty() ? QStringLiteral("the record store is not open")
                                                : m_settings.problem);
        return;
    }
    m_worker->read(read);
}

void database::watchTable(bool on)
{
    const bool was = m_watchers > 0;
    m_watchers = qMax(0, m_watchers + (on ? 1 : -1));
    if (!m_started && m_watchers > 0)
        openForReading();
    if (was != (m_watchers > 0))
        m_worker->watch(m_watchers > 0);
}

bool database::readNow(const std::shared_ptr<StoreRead> &job, int timeoutMs)
{
    return RecordStore::readNow(job, timeoutMs);
}

bool database::isConnected() const
{
    return m_worker->isConnected();
}

int database::pendingCount() const
{
    return m_worker->pendingCount();
}

int database::inMemoryCount() const
{
    return m_worker->state().inMemory;
}

bool database::isDurable() const
{
    return m_worker->isDurable();
}

int database::rejectedCount() const
{
    return m_worker->state().quarantined;
}

StoreState database::state() const
{
    StoreState s = m_worker->state();
    s.writing = m_writing && !m_closed;
    s.settingsProblem = m_started && !m_writing ? m_settings.problem : m_settings.writeProblem();
    if (!m_writing)
        s.journalSafe = true;
    return s;
}

database::Ending database::shutdown(int graceMs)
{
    if (m_closed)
        return m_ending;
    m_closed = true;
    const int before = m_worker->pendingCount();

    if (m_started) {
        m_worker->finish();
        if (!m_thread->wait(QDeadlineTimer(qMax(0, graceMs)))) {
            m_worker->abandon();
            if (!m_thread->wait(kAbandonWaitMs)) {
                // Stuck in the network beyond every timeout: let it go rather
                // than hang the exit; its readings stay in the journal.
                qWarning("tk52k: the database does not answer; leaving its connection behind");
                m_thread->setParent(nullptr);
                disconnect(m_worker, nullptr, this, nullptr);
                m_worker->setParent(nullptr);
                m_worker = new StoreWorker(m_settings);
                m_thread = nullptr;
                m_ending.notKept = before;
                refreshState();
                return m_ending;
            }
        }
    }
    const int left = m_worker->pendingCount();
    m_ending.written = qMax(0, before - left);
    if (m_writing || left > 0) {
        // Readings handed over to a store never opened go to the journal too.
        if (!m_started && left > 0) {
            QString error;
            m_worker->openJournal(m_journalDir.isEmpty() ? RecordJournal::directory() : m_journalDir, &error);
        }
        m_ending.inJournal = m_worker->closeJournal();
        m_ending.notKept = qMax(0, left - m_ending.inJournal);
    }
    refreshState();
    return m_ending;
}

void database::setSettings(const DbSettings &settings)
{
    if (m_closed)
        return;
    if (!settings.writeProblem().isEmpty())
        qWarning("tk52k: %s", qPrintable(settings.writeProblem()));
    m_settings = settings;
    m_source = settings.source;
    m_worker->changeSettings(settings);
    refreshState();
}

QString database::stateText(bool connected, int pending)
{
    return StoreStatus::stateText(connected, pending);
}

int database::retryRejected()
{
    if (m_closed)
        return 0;
    const int n = m_worker->requeueQuarantined();
    refreshState();
    return n;
}

bool database::stateObserved() const
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&RecordStore::stateChanged);
    return isSignalConnected(signal);
}

void database::refreshState()
{
    if (!stateObserved())
        return;
    const StoreState now = state();
    if (sameState(now, m_lastState))
        return;
    m_lastState = now;
    emit stateChanged();
}
