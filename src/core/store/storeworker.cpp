#include "storeworker.h"

#include "core/store/alarmschema.h"
#include "core/store/rangequeries.h"
#include "core/store/schemaversion.h"
#include "core/store/storeread.h"

#include <QDate>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <vector>

namespace {
constexpr int kRetryMs = 3000;          // reconnect period while the server is away
constexpr int kFinishingRetryMs = 250;  // ... while the program is closing
constexpr int kIdleCheckMs = 5000;      // liveness check of an idle connection
constexpr int kJournalRetryMs = 1000;   // how often a full disk is tried again
constexpr int kBatchSize = 200;
constexpr int kPartitionsAhead = 2;            // months made ahead of the present one
constexpr int kPartitionCheckMs = 3600 * 1000; // how often a long run looks again

// A dead peer must not hold a statement for minutes: the kernel gives up on
// unacknowledged data after 10 s, keep-alives notice a silent peer.
const char *const kWorkerConnectOptions =
    ";keepalives=1;keepalives_idle=5;keepalives_interval=2;keepalives_count=2;tcp_user_timeout=10000";

// Errors that belong to the row rather than to the table or the server: bad
// data, a constraint, a trigger that raised.
bool isRowRefusal(const QSqlError &error)
{
    const QString state = error.nativeErrorCode();
    return state.startsWith(QLatin1String("22")) || state.startsWith(QLatin1String("23")) ||
           state.startsWith(QLatin1String("P0")) || state.startsWith(QLatin1String("44"));
}

QString serverReason(const QSqlError &error)
{
    const QString text = error.databaseText().trimmed();
    return text.isEmpty() ? error.text().trimmed() : text;
}

QString nextConnectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("tk52k-store-%1").arg(++counter);
}

bool ping(QSqlDatabase &db)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("SELECT 1"));
}

// Why the connection fails now: asked anew, since the connection's own error
// may still be that of an earlier attempt (a database made since).
QString failureNow(QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("SELECT 1")))
        return QString();
    const QString text = serverReason(q.lastError());
    return text.isEmpty() ? QStringLiteral("the connection to the server was lost") : text;
}
} // namespace

StoreWorker::StoreWorker(const DbSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_connectionName(nextConnectionName())
{
}

StoreWorker::~StoreWorker() = default;

// ---- any thread -----------------------------------------------------------

void StoreWorker::requestStep()
{
    // One queued step at a time: a stream of readings costs one event per
    // transaction, not one per reading.
    if (!m_stepPosted.exchange(true))
        QMetaObject::invokeMethod(this, &StoreWorker::step, Qt::QueuedConnection);
}

void StoreWorker::enqueue(const MeasurementRecord &record)
{
    bool wake = false;
    {
        QMutexLocker lock(&m_mutex);
        const JournaledRecord r{++m_lastSeq, record};
        // A gathering period already running (the worker starts the next one
        // at each commit) has the worker's timer set: this one joins it.
        const bool gathering = m_gathering;
        if (!gathering && m_queue.empty() && m_spilled == 0) {
            m_gathering = true;
            m_gatherUntil.setRemainingTime(kGatherMs);
        }
        // Past the bound only the journal keeps new readings, and once one
        // waits there the later ones follow it, so the order holds.
        if (m_spilled > 0 ||
            (m_journal && static_cast<int>(m_queue.size()) >= kMemoryLimit && m_journal->isSafe()))
            ++m_spilled;
        else
            m_queue.push_back(r);
        // Under the queue's lock, so the journal sees the readings in their order.
        if (m_journal)
            m_journal->append(r);
        // A gathering worker sleeps until its time is up or the batch is full.
        wake = !gathering || static_cast<int>(m_queue.size()) >= kBatchSize;
    }
    if (wake)
        requestStep();
}

void StoreWorker::recordAlarm(const AlarmEvent &event)
{
    {
        QMutexLocker lock(&m_mutex);
        const JournaledAlarm a{++m_lastAlarmSeq, event};
        m_alarms.push_back(a);
        // Under the queue's lock, so the journal has them in their order.
        if (m_alarmJournal)
            m_alarmJournal->append(a);
        // Alarms are rare; a queue this long means the server is gone for
        // good. An event in a commit not yet settled stays.
        qint64 dropped = 0;
        while (m_alarms.size() > size_t(kMaxAlarms) && m_alarms.front().seq > m_alarmUncertainLastSeq) {
            dropped = m_alarms.front().seq;
            m_alarms.pop_front();
            ++m_alarmsDropped;
        }
        if (dropped > 0 && m_alarmJournal)
            m_alarmJournal->settled(dropped, false);
    }
    requestStep();
}

void StoreWorker::read(const std::shared_ptr<StoreRead> &read)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_stopped) {
            lock.unlock();
            read->fail(QStringLiteral("the record store is closed"));
            return;
        }
        m_reads.push_back(read);
    }
    requestStep();
}

bool StoreWorker::openJournal(const QString &dir, QString *error)
{
    m_journalDir = dir;
    {
        QMutexLocker lock(&m_mutex);
        m_quarantined = RecordJournal::readQuarantine(dir).size();
    }
    auto journal = std::make_unique<RecordJournal>();
    JournalBacklog backlog;
    if (!journal->open(dir, &backlog, error))
        return false;

    QMutexLocker lock(&m_mutex);
    // The earlier runs' readings first, then those handed over before now,
    // numbered anew in that order.
    JournaledRecords all = backlog.records;
    for (const JournaledRecord &r : m_queue)
        all.append(JournaledRecord{all.size() + 1, r.record});
    // Without a journal of ours the earlier readings stay where they are.
    if (!journal->start(all, backlog.uncertainXid, backlog.uncertainLastSeq, error, backlog.uncertainServer))
        return false;
    m_queue.assign(all.cbegin(), all.cend());
    m_lastSeq = all.size();
    m_uncertainXid = backlog.uncertainXid;
    m_uncertainLastSeq = backlog.uncertainLastSeq;
    m_uncertainServer = backlog.uncertainServer;
    m_damagedLines = backlog.damagedLines;

    // The alarm events of earlier runs, then those of this one so far. Without
    // a file of their own they wait in memory, as before.
    auto alarmJournal = std::make_unique<AlarmJournal>();
    AlarmBacklog alarms;
    QString alarmError;
    if (alarmJournal->open(dir, &alarms, &alarmError)) {
        JournaledAlarms allAlarms = alarms.events;
        for (const JournaledAlarm &a : m_alarms)
            allAlarms.append(JournaledAlarm{allAlarms.size() + 1, a.event});
        if (alarmJournal->start(allAlarms, alarms.uncertainXid, alarms.uncertainLastSeq,
                                alarms.uncertainServer, &alarmError)) {
            m_alarms.assign(allAlarms.cbegin(), allAlarms.cend());
            m_lastAlarmSeq = allAlarms.size();
            m_alarmUncertainXid = alarms.uncertainXid;
            m_alarmUncertainServer = alarms.uncertainServer;
            m_alarmUncertainLastSeq = alarms.uncertainLastSeq;
            m_alarmJournal = std::move(alarmJournal);
        }
    }
    if (!m_alarmJournal)
        qWarning("tk52k: alarm events are kept in memory only: %s", qPrintable(alarmError));
    // A failure on the journal's own thread shows at once, not at the next
    // transaction.
    journal->setFailureHandler([this] {
        emit changed();
        requestStep();
    });
    m_journal = std::move(journal);
    return true;
}

int StoreWorker::closeJournal()
{
    if (!m_journal)
        return 0;
    // A disk that was full may have room by now: a last try to leave on it
    // everything that waits.
    repairJournal();
    int kept = 0;
    {
        QMutexLocker lock(&m_mutex);
        kept = m_journal->isSafe() ? static_cast<int>(m_queue.size() + m_spilled) : 0;
    }
    m_journal->close();
    if (!m_journal->isDurable())
        kept = 0;
    if (m_alarmJournal)
        m_alarmJournal->close();
    return kept;
}

int StoreWorker::requeueQuarantined()
{
    const QString dir = journalDir();
    QMutexLocker quarantineLock(&m_quarantineMutex);
    const QVector<RejectedRecord> rejected = RecordJournal::readQuarantine(dir);
    for (const RejectedRecord &r : rejected)
        enqueue(r.record);
    // On the disk in the journal before they leave the quarantine file: a
    // crash in between can repeat a reading there, never lose one.
    if (m_journal)
        m_journal->flush();
    QFile::remove(RecordJournal::quarantinePath(dir));
    {
        QMutexLocker lock(&m_mutex);
        m_quarantined = 0;
        m_rejectReason.clear();
    }
    emit changed();
    return rejected.size();
}

StoreState StoreWorker::state() const
{
    StoreState s;
    QMutexLocker lock(&m_mutex);
    s.connected = m_connected.load();
    s.pending = static_cast<int>(m_queue.size() + m_spilled);
    s.settled = m_settled;
    s.onlyGathering = m_gathering && !m_queue.empty() && m_spilled == 0 && !m_gatherUntil.hasExpired();
    s.inMemory = static_cast<int>(m_queue.size());
    s.journalSafe = m_journal && m_journal->isSafe();
    s.durable = (m_queue.empty() && m_spilled == 0) || (m_journal && m_journal->isDurable());
    s.journalBytes = m_journal ? m_journal->fileBytes() : 0;
    s.quarantined = m_quarantined;
    s.rejectReason = m_rejectReason;
    s.trouble = m_trouble;
    s.serverError = m_serverError;
    s.damagedJournalLines = m_damagedLines;
    s.alarmsPending = static_cast<int>(m_alarms.size());
    s.alarmsDropped = m_alarmsDropped;
    return s;
}

int StoreWorker::pendingCount() const
{
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_queue.size() + m_spilled);
}

bool StoreWorker::isDurable() const
{
    QMutexLocker lock(&m_mutex);
    return (m_queue.empty() && m_spilled == 0) || (m_journal && m_journal->isDurable());
}

void StoreWorker::watch(bool on)
{
    QMetaObject::invokeMethod(
        this,
        [this, on] {
            m_watching = on;
            m_watchMark = -1;
            m_watchPollAt.setRemainingTime(0);
            QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
            if (db.isOpen())
                listen(db);
            else if (on)
                m_retryAt.setRemainingTime(0);
            requestStep();
        },
        Qt::QueuedConnection);
}

void StoreWorker::listen(QSqlDatabase &db)
{
    // The server tells of commits on the connection's socket, which this
    // thread's event loop watches; a new connection listens anew.
    QSqlDriver *driver = db.driver();
    const QString channel = QStringLiteral("tk52k_invoice");
    const bool listening = driver->subscribedToNotifications().contains(channel);
    if (m_watching && !listening) {
        driver->subscribeToNotification(channel);
        if (m_notifyingDriver != driver) {
            m_notifyingDriver = driver;
            connect(driver,
                    QOverload<const QString &, QSqlDriver::NotificationSource, const QVariant &>::of(
                        &QSqlDriver::notification),
                    this, [this](const QString &, QSqlDriver::NotificationSource, const QVariant &payload) {
                        emit rowsAdded(payload.toString());
                    });
        }
    } else if (!m_watching && listening) {
        driver->unsubscribeFromNotification(channel);
    }
}

void StoreWorker::changeSettings(const DbSettings &settings)
{
    QMetaObject::invokeMethod(
        this,
        [this, settings] {
            {
                QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
                if (db.isValid()) {
                    closeConnection(db);
                    // The same connection, another server: what the old one
                    // said no longer holds.
                    settings.addConnection(m_connectionName);
                    db.setConnectOptions(db.connectOptions() + QLatin1String(kWorkerConnectOptions));
                }
            }
            m_settings = settings;
            m_createRefused = false;
            setConnected(false);
            setServerError(QString());
            setTrouble(QString());
            m_retryAt.setRemainingTime(0);
            requestStep();
        },
        Qt::QueuedConnection);
}

void StoreWorker::finish()
{
    {
        QMutexLocker lock(&m_mutex);
        m_finishing = true;
    }
    requestStep();
}

void StoreWorker::abandon()
{
    m_abandon = true;
    requestStep();
}

QString StoreWorker::journalDir() const
{
    return m_journalDir.isEmpty() ? RecordJournal::directory() : m_journalDir;
}

// ---- the worker's thread ----------------------------------------------------

void StoreWorker::begin()
{
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early, and a gathering period that
    // is not yet over would cost two more wake-ups to reach its end.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &StoreWorker::step);
    {
        // No handle kept here: the first step may already be the last.
        QSqlDatabase db = m_settings.addConnection(m_connectionName);
        db.setConnectOptions(db.connectOptions() + QLatin1String(kWorkerConnectOptions));
    }
    m_idleCheckAt.setRemainingTime(kIdleCheckMs);
    step();
}

bool StoreWorker::writeDue() const
{
    // Called with m_mutex held.
    if (m_queue.empty())
        return false;
    if (!m_writeRetryAt.hasExpired() && !m_finishing)
        return false;
    return !m_gathering || m_finishing || m_gatherUntil.hasExpired() ||
           static_cast<int>(m_queue.size()) >= kBatchSize;
}

void StoreWorker::step()
{
    m_stepPosted = false;
    if (m_stopped)
        return;
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        done = m_abandon || stepWith(db);
    }
    // With no handle to the connection left, so that it can go.
    if (done)
        stop();
    else
        schedule();
}

bool StoreWorker::stepWith(QSqlDatabase &db)
{
    // The disk first: it keeps the readings whatever the server does.
    repairJournal();

    bool wantsServer = false;
    bool readsWaiting = false;
    {
        QMutexLocker lock(&m_mutex);
        readsWaiting = !m_reads.empty();
        wantsServer = !m_queue.empty() || m_spilled > 0 || !m_alarms.empty() || readsWaiting ||
                      m_uncertainXid != 0 || m_alarmUncertainXid != 0;
    }
    if (!db.isOpen()) {
        // A read has someone waiting for it: it tries at once. A store that
        // writes keeps trying while idle, so its state stays true.
        if ((m_retryAt.hasExpired() || readsWaiting) && (wantsServer || !m_readOnly) && !connectDatabase(db)) {
            lost(db, serverReason(db.lastError()));
            // Nobody should wait for a server that is not there.
            std::deque<std::shared_ptr<StoreRead>> reads;
            {
                QMutexLocker lock(&m_mutex);
                reads.swap(m_reads);
            }
            const QString why = m_serverError.isEmpty() ? QStringLiteral("the database cannot be reached")
                                                        : m_serverError;
            for (const auto &r : reads)
                r->fail(why);
        }
    }

    if (db.isOpen()) {
        const Outcome settled = settleUncertain(db);
        if (settled == Outcome::Failed) {
            lost(db, failureNow(db));
        } else {
            setConnected(true);
            setServerError(QString());
            listen(db);
            if (settled == Outcome::Wait) {
                // The old session still holds the transaction open; ask again later.
                m_writeRetryAt.setRemainingTime(kFinishingRetryMs);
            }
        }
    }

    if (db.isOpen()) {
        readBackSpilled();
        QString error;
        if (!m_readOnly && m_partitionsCheckAt.hasExpired() && !keepPartitionsAhead(db, &error))
            lost(db, error);
    }

    // Reads have someone waiting; they are short and go before the writes.
    if (db.isOpen() && !runReads(db))
        lost(db, failureNow(db));

    {
        // A period that the worker began at a commit and that nothing joined:
        // the next reading starts one of its own.
        QMutexLocker lock(&m_mutex);
        if (m_gathering && m_queue.empty() && m_spilled == 0 && m_gatherUntil.hasExpired())
            m_gathering = false;
    }

    if (db.isOpen()) {
        JournaledRecords batch;
        {
            QMutexLocker lock(&m_mutex);
            if (m_uncertainXid == 0 && writeDue()) {
                m_gathering = false;
                const int n = std::min<int>(kBatchSize, static_cast<int>(m_queue.size()));
                batch = JournaledRecords(m_queue.cbegin(), m_queue.cbegin() + n);
            }
        }
        if (!batch.isEmpty()) {
            m_idleCheckAt.setRemainingTime(kIdleCheckMs);
            switch (writeBatch(db, batch)) {
            case Outcome::Done:
                dropWritten(batch.last().seq);
                break;
            case Outcome::Refused: {
                // The server answers but takes none of it: say why, try again later.
                QMutexLocker lock(&m_mutex);
                m_writeRetryAt.setRemainingTime(m_finishing ? kFinishingRetryMs : kRetryMs);
                break;
            }
            case Outcome::Wait:
                m_writeRetryAt.setRemainingTime(kFinishingRetryMs);
                break;
            case Outcome::Failed:
                lost(db, failureNow(db));
                break;
            }
        }
    }

    if (db.isOpen() && !writeAlarms(db))
        lost(db, failureNow(db));

    if (db.isOpen() && m_watching && m_watchPollAt.hasExpired())
        pollForFollowers(db);

    if (db.isOpen() && !wantsServer && m_idleCheckAt.hasExpired()) {
        // Idle: a cheap statement keeps the shown state honest.
        m_idleCheckAt.setRemainingTime(kIdleCheckMs);
        if (!ping(db))
            lost(db, failureNow(db));
    }

    QMutexLocker lock(&m_mutex);
    return m_finishing && m_queue.empty() && m_spilled == 0 && alarmsSettledForNow() && m_reads.empty();
}

bool StoreWorker::alarmsSettledForNow() const
{
    // Called with m_mutex held. Events the table cannot take now wait in
    // their journal for the next start rather than hold up the end.
    return (m_alarms.empty() && m_alarmUncertainXid == 0) ||
           (m_alarmJournal && m_alarmJournal->isSafe() && !m_alarmRetryAt.hasExpired());
}

void StoreWorker::schedule()
{
    qint64 wait = -1; // nothing to do until something arrives
    const auto soonest = [&wait](qint64 ms) { wait = wait < 0 ? ms : std::min(wait, ms); };
    const QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    const bool open = db.isOpen();
    {
        QMutexLocker lock(&m_mutex);
        const bool writes = !m_queue.empty() || m_spilled > 0;
        const bool work = writes || !m_alarms.empty() || !m_reads.empty() || m_uncertainXid != 0 ||
                          m_alarmUncertainXid != 0;
        if (!m_reads.empty())
            soonest(0);
        if (open) {
            if (m_uncertainXid != 0 || !m_writeRetryAt.hasExpired())
                soonest(std::max<qint64>(0, m_writeRetryAt.remainingTime()));
            else if (writes)
                soonest(m_gathering && !m_finishing ? std::max<qint64>(0, m_gatherUntil.remainingTime()) : 0);
            else if (m_gathering)
                soonest(std::max<qint64>(0, m_gatherUntil.remainingTime()));
            if (!m_alarms.empty() || m_alarmUncertainXid != 0)
                soonest(std::max<qint64>(0, m_alarmRetryAt.remainingTime()));
            soonest(std::max<qint64>(0, m_idleCheckAt.remainingTime()));
            if (m_watching)
                soonest(std::max<qint64>(0, m_watchPollAt.remainingTime()));
        } else if (work || m_finishing || !m_readOnly) {
            // A store that writes learns of a server back before the next
            // reading needs it, so what it shows is true.
            if (m_finishing && m_retryAt.remainingTime() > kFinishingRetryMs)
                m_retryAt.setRemainingTime(kFinishingRetryMs);
            soonest(std::max<qint64>(0, m_retryAt.remainingTime()));
        }
        if (m_journal && !m_journal->isSafe())
            soonest(std::max<qint64>(0, m_journalRetryAt.remainingTime()));
        if (open && m_partitionsCheckAt.remainingTime() >= 0)
            soonest(std::max<qint64>(0, m_partitionsCheckAt.remainingTime()));
    }
    if (wait < 0)
        m_timer->stop();
    else
        m_timer->start(int(std::min<qint64>(wait, 24 * 3600 * 1000)));
}

void StoreWorker::stop()
{
    if (m_stopped)
        return;
    std::deque<std::shared_ptr<StoreRead>> reads;
    {
        QMutexLocker lock(&m_mutex);
        m_stopped = true;
        reads.swap(m_reads);
    }
    for (const auto &r : reads)
        r->fail(QStringLiteral("the record store is closed"));
    if (m_timer)
        m_timer->stop();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        closeConnection(db);
    }
    QSqlDatabase::removeDatabase(m_connectionName);
    setConnected(false);
    emit stopped();
}

void StoreWorker::lost(QSqlDatabase &db, const QString &why)
{
    closeConnection(db);
    setConnected(false);
    if (!why.isEmpty())
        setServerError(why);
    QMutexLocker lock(&m_mutex);
    m_retryAt.setRemainingTime(m_finishing ? kFinishingRetryMs : kRetryMs);
}

bool StoreWorker::connectDatabase(QSqlDatabase &db)
{
    const auto opened = [&] {
        if (!db.open())
            return false;
        // The server's notes about what already exists are not for the user,
        // nor its warnings (a shutdown's "terminating connection"): libpq
        // would print them on stderr amid the program's lines. Errors come
        // back through the API with their reasons.
        QSqlQuery quiet(db);
        quiet.exec(QStringLiteral("SET client_min_messages = error"));
        m_serverIdentity = serverIdentity(db);
        return prepareSchema(db);
    };
    if (opened())
        return true;
    // The login may work while the database does not exist yet. A CREATE the
    // server refused is not repeated: it has said why, and that is shown.
    if (db.isOpen() || m_readOnly || m_createRefused || !createDatabase())
        return false;
    return opened();
}

bool StoreWorker::createDatabase()
{
    const QString adminName = m_connectionName + QLatin1String("-admin");
    bool created = false;
    {
        DbSettings admin = m_settings;
        admin.databaseName = QStringLiteral("postgres");
        QSqlDatabase db = admin.addConnection(adminName);
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT 1 FROM pg_database WHERE datname = ?"));
            q.addBindValue(m_settings.databaseName);
            if (q.exec() && !q.next()) {
                const QString name = RecordSchema::quotedIdentifier(m_settings.databaseName);
                QSqlQuery create(db);
                if (!name.isEmpty() && create.exec(QStringLiteral("CREATE DATABASE %1").arg(name))) {
                    created = true;
                } else if (create.lastError().nativeErrorCode() == QLatin1String("42P04")) {
                    created = true; // another program made it at the same moment
                } else {
                    m_createRefused = true;
                    setTrouble(QStringLiteral("CREATE DATABASE %1 failed: %2")
                                   .arg(m_settings.databaseName, name.isEmpty()
                                                                     ? QStringLiteral("not a usable name")
                                                                     : serverReason(create.lastError())));
                }
            }
        }
    }
    QSqlDatabase::removeDatabase(adminName);
    return created;
}

bool StoreWorker::prepareSchema(QSqlDatabase &db)
{
    QString error;
    if (m_readOnly) {
        // A table that is not there reads as empty; nothing is made for it.
        m_schemaReady = RecordSchema::probe(db, &m_shape, &error);
        return m_schemaReady;
    }
    // A layout that a newer program made and this one would write wrongly:
    // the readings wait in the journal for a program that may write them.
    if (!SchemaVersion::mayWrite(db, &error)) {
        if (ping(db))
            setTrouble(error);
        return false;
    }
    if (RecordSchema::ensureTable(db, &m_shape, &error) && keepPartitionsAhead(db, &error)) {
        m_schemaReady = true;
        return true;
    }
    // A server that answers but has no table for us is trouble to show; one
    // that went away is simply not connected.
    if (ping(db))
        setTrouble(
            QStringLiteral("cannot make the table %1: %2").arg(QLatin1String(RecordSchema::kTable), error));
    return false;
}

bool StoreWorker::keepPartitionsAhead(QSqlDatabase &db, QString *error)
{
    if (!m_shape.partitioned) {
        m_partitionsCheckAt = QDeadlineTimer(QDeadlineTimer::Forever);
        return true;
    }
    if (!RecordSchema::ensurePartitions(db, QDate::currentDate(), kPartitionsAhead, error))
        return false;
    m_partitionsCheckAt.setRemainingTime(kPartitionCheckMs);
    return true;
}

bool StoreWorker::ensureAlarmTable(QSqlDatabase &db)
{
    if (m_alarmTableReady)
        return true;
    QString error;
    m_alarmTableReady = AlarmSchema::ensureTable(db, &error, &m_alarmSource);
    if (!m_alarmTableReady && ping(db))
        alarmTableTrouble(error);
    return m_alarmTableReady;
}

void StoreWorker::alarmTableTrouble(const QString &why)
{
    // The table's owner may make or mend it at any time; asking the server
    // at every step would flood both logs. One line per new reason.
    m_alarmTableReady = false;
    m_alarmRetryAt.setRemainingTime(m_alarmRetryMs);
    m_alarmRetryMs = std::min(2 * m_alarmRetryMs, kMaxAlarmRetryMs);
    if (why == m_alarmTrouble)
        return;
    m_alarmTrouble = why;
    qWarning("tk52k: alarm events wait%s: %s; trying again in the background",
             m_alarmJournal ? " in the journal" : "", qPrintable(why));
}

StoreWorker::Outcome StoreWorker::settleUncertainAlarms(QSqlDatabase &db)
{
    return settleCommit(db, &m_alarmUncertainXid, &m_alarmUncertainLastSeq, &m_alarmUncertainServer, "alarm events",
                        &StoreWorker::dropWrittenAlarms, &StoreWorker::alarmsWritten);
}

// Whether the first event of the commit up to `lastSeq` is in the table.
bool StoreWorker::alarmsWritten(QSqlDatabase &db, qint64 lastSeq, bool *written)
{
    AlarmEvent first;
    {
        QMutexLocker lock(&m_mutex);
        *written = m_alarms.empty() || m_alarms.front().seq > lastSeq;
        if (*written)
            return true;
        first = m_alarms.front().event;
    }
    return AlarmSchema::contains(db, first, m_alarmSource, written);
}

void StoreWorker::dropWrittenAlarms(qint64 lastSeq)
{
    bool everything = false;
    {
        QMutexLocker lock(&m_mutex);
        while (!m_alarms.empty() && m_alarms.front().seq <= lastSeq)
            m_alarms.pop_front();
        everything = m_alarms.empty();
        // Under the queue's lock: an event appended meanwhile is not cut away.
        if (m_alarmJournal)
            m_alarmJournal->settled(lastSeq, everything);
    }
    emit changed();
}

QString StoreWorker::serverIdentity(QSqlDatabase &db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT oid, datname FROM pg_database WHERE datname = current_database()")) ||
        !q.next())
        return QString();
    const QString database = q.value(0).toString() + QLatin1Char(':') + q.value(1).toString();
    // Executable by everyone unless a site took that away; outside any
    // transaction, so a refusal spoils nothing.
    QSqlQuery control(db);
    if (control.exec(QStringLiteral("SELECT system_identifier FROM pg_control_system()")) && control.next())
        return control.value(0).toString() + QLatin1Char(':') + database;
    return QStringLiteral("-:") + database;
}

bool StoreWorker::mayBeSameServer(const QString &recorded, const QString &current)
{
    // A journal of an earlier version, or a server that did not say.
    if (recorded.isEmpty() || current.isEmpty())
        return true;
    const QString system = recorded.section(QLatin1Char(':'), 0, 0);
    const QString otherSystem = current.section(QLatin1Char(':'), 0, 0);
    if (system != QLatin1String("-") && otherSystem != QLatin1String("-") && system != otherSystem)
        return false;
    // The database: its oid and its name.
    return recorded.section(QLatin1Char(':'), 1) == current.section(QLatin1Char(':'), 1);
}

StoreWorker::Outcome StoreWorker::settleUncertain(QSqlDatabase &db)
{
    return settleCommit(db, &m_uncertainXid, &m_uncertainLastSeq, &m_uncertainServer, "readings",
                        &StoreWorker::dropWritten, &StoreWorker::readingsWritten);
}

// Whether the first or the last reading of the batch up to `lastSeq` is in
// the table, matched column by column as the insert bound them.
bool StoreWorker::readingsWritten(QSqlDatabase &db, qint64 lastSeq, bool *written)
{
    *written = false;
    std::vector<MeasurementRecord> ends;
    {
        QMutexLocker lock(&m_mutex);
        if (m_queue.empty() || m_queue.front().seq > lastSeq) {
            *written = true; // nothing of it is left here to write again
            return true;
        }
        ends.push_back(m_queue.front().record);
        for (auto it = m_queue.cbegin(); it != m_queue.cend() && it->seq <= lastSeq; ++it)
            if (it->seq == lastSeq)
                ends.push_back(it->record);
    }
    QSqlQuery q(db);
    if (!q.prepare(RecordSchema::existsStatement(m_shape)))
        return false;
    for (const MeasurementRecord &r : ends) {
        RecordSchema::bindRecord(q, r, m_shape);
        if (!q.exec() || !q.next())
            return false;
        if (q.value(0).toBool()) {
            *written = true;
            return true;
        }
    }
    return true;
}

StoreWorker::Outcome StoreWorker::settleCommit(QSqlDatabase &db, qint64 *uncertainXid, qint64 *uncertainLastSeq,
                                               QString *uncertainServer, const char *what,
                                               void (StoreWorker::*dropWritten)(qint64),
                                               bool (StoreWorker::*written)(QSqlDatabase &, qint64, bool *))
{
    qint64 xid = 0;
    qint64 lastSeq = 0;
    QString server;
    {
        QMutexLocker lock(&m_mutex);
        xid = *uncertainXid;
        lastSeq = *uncertainLastSeq;
        server = *uncertainServer;
    }
    if (xid == 0)
        return Outcome::Done;

    QString status;
    if (!mayBeSameServer(server, m_serverIdentity)) {
        // Another server or database (a failover, a restore, a changed
        // setting) knows nothing of that transaction, and its own one of that
        // number is no answer: what it held was not written here.
        qWarning("tk52k: %s whose commit was never confirmed went to another server or database "
                 "(%s, now %s); they are written here",
                 what, qPrintable(server), qPrintable(m_serverIdentity));
    } else {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT txid_status(?)"));
        q.addBindValue(xid);
        if (q.exec() && q.next()) {
            status = q.value(0).toString();
        } else {
            // The server refuses an id it never handed out (another server, or
            // one set up anew since): no answer will ever come. A failure of the
            // connection itself shows in the next statement.
            if (!ping(db))
                return Outcome::Failed;
        }
        if (status == QLatin1String("in progress"))
            return Outcome::Wait;
        // A server that stopped without writing a transaction down hands its
        // number out again once it is back, so "committed" may be another's:
        // it counts only where the rows are there.
        bool there = true;
        if (status == QLatin1String("committed") && !(this->*written)(db, lastSeq, &there))
            return ping(db) ? Outcome::Wait : Outcome::Failed;
        if (!there) {
            qWarning("tk52k: %s whose commit was never confirmed are not in the table, though the server "
                     "names that transaction committed (its number was handed out again after a crash); "
                     "they are written again",
                     what);
            status.clear();
        }
    }

    {
        QMutexLocker lock(&m_mutex);
        *uncertainXid = 0;
        *uncertainLastSeq = 0;
        uncertainServer->clear();
    }
    // "aborted", or no answer for a transaction too old to be remembered:
    // writing again risks a duplicate, dropping risks a loss.
    if (status == QLatin1String("committed"))
        (this->*dropWritten)(lastSeq);
    return Outcome::Done;
}

StoreWorker::Outcome StoreWorker::writeBatch(QSqlDatabase &db, const JournaledRecords &batch)
{
    const Outcome outcome = writeRows(db, batch, false);
    // One bad row must not hold up the others: write the batch again, row by
    // row, leaving out what the server refuses.
    return outcome == Outcome::Refused ? writeRows(db, batch, true) : outcome;
}

bool StoreWorker::isTableFault(QSqlDatabase &db, const QSqlError &error, const MeasurementRecord &record)
{
    // The server files a row that fits no partition under the same code as a
    // broken CHECK, in words that depend on its language: the table's own
    // shape tells them apart.
    if (!m_shape.partitioned || error.nativeErrorCode() != QLatin1String("23514"))
        return false;
    QString why;
    const RecordSchema::PartitionCover cover = RecordSchema::partitionFor(db, record.time, &why);
    if (cover == RecordSchema::PartitionCover::Covered)
        return false;
    setTrouble(cover == RecordSchema::PartitionCover::Unknown
                   ? QStringLiteral("cannot look at the partitions of %1: %2")
                         .arg(QLatin1String(RecordSchema::kTable), why)
                   : QStringLiteral("the table %1 has no partition for %2; the readings wait")
                         .arg(QLatin1String(RecordSchema::kTable), record.timeText()));
    // Made again at the next round, if the server lets us.
    m_partitionsCheckAt.setRemainingTime(0);
    return true;
}

StoreWorker::Outcome StoreWorker::writeRows(QSqlDatabase &db, const JournaledRecords &batch, bool oneByOne)
{
    if (!db.transaction())
        return Outcome::Failed;
    // The transaction's id comes back with the rows, saving a round trip.
    qint64 xid = 0;

    // After a failed statement: was it the server going away, a refusal of
    // a row, or something wrong with the table?
    const auto refusedOrLost = [&](const QSqlError &error, bool row) {
        db.rollback();
        if (!ping(db))
            return Outcome::Failed;
        if (!row) {
            setTrouble(QStringLiteral("the server refuses to store readings: %1").arg(serverReason(error)));
            // The table may have gone or changed under us: look at it anew.
            m_inserts.clear();
            m_schemaReady = false;
            QString why;
            if (RecordSchema::ensureTable(db, &m_shape, &why))
                m_schemaReady = keepPartitionsAhead(db, &why);
        }
        return Outcome::Refused;
    };

    if (!m_schemaReady) {
        db.rollback();
        return prepareSchema(db) ? Outcome::Wait : (ping(db) ? Outcome::Refused : Outcome::Failed);
    }
    QVector<RejectedRecord> rejected;
    QSqlError prepareError;
    QSqlQuery *insert = insertFor(db, oneByOne ? 1 : batch.size(), &prepareError);
    if (!insert)
        return refusedOrLost(prepareError, false);
    QSqlQuery &q = *insert;
    if (!oneByOne) {
        for (const JournaledRecord &j : batch)
            RecordSchema::bindRecord(q, j.record, m_shape);
        if (!q.exec()) {
            const QSqlError error = q.lastError();
            return refusedOrLost(error, isRowRefusal(error));
        }
        if (q.next())
            xid = q.value(0).toLongLong();
        q.finish();
    } else {
        QSqlQuery savepoint(db);
        for (const JournaledRecord &j : batch) {
            if (!savepoint.exec(QStringLiteral("SAVEPOINT row")))
                return refusedOrLost(savepoint.lastError(), false);
            RecordSchema::bindRecord(q, j.record, m_shape);
            if (q.exec()) {
                if (xid == 0 && q.next())
                    xid = q.value(0).toLongLong();
                q.finish();
                continue;
            }
            const QSqlError error = q.lastError();
            if (!isRowRefusal(error) || !savepoint.exec(QStringLiteral("ROLLBACK TO SAVEPOINT row")))
                return refusedOrLost(error, false);
            if (isTableFault(db, error, j.record)) {
                db.rollback();
                return Outcome::Refused;
            }
            rejected.append(RejectedRecord{j.record, serverReason(error)});
        }
    }
    if (xid == 0) {
        // No row came back (all refused, or a trigger dropped them).
        QSqlQuery ask(db);
        if (!ask.exec(QStringLiteral("SELECT txid_current()")) || !ask.next()) {
            db.rollback();
            return Outcome::Failed;
        }
        xid = ask.value(0).toLongLong();
    }
    // Should the program die once the COMMIT is out, the next start finds
    // the transaction in the journal and asks the server about it. A journal
    // that cannot take the note is cut back first, so the next start finds
    // nothing there that this commit has written.
    if (m_journal && !m_journal->beginCommit(xid, batch.first().seq, batch.last().seq, m_serverIdentity)) {
        db.rollback();
        settleJournalFailure();
        return Outcome::Wait;
    }
    if (!rejected.isEmpty()) {
        // On the disk before the commit: a refused reading is never lost,
        // at worst quarantined twice after a crash.
        QMutexLocker quarantineLock(&m_quarantineMutex);
        QString error;
        if (!RecordJournal::quarantine(journalDir(), rejected, &error)) {
            db.rollback();
            setTrouble(error);
            return Outcome::Refused;
        }
        for (const RejectedRecord &r : qAsConst(rejected))
            qWarning("tk52k: the server refused the reading %s %s %s at %s: %s", qPrintable(r.record.funcStr),
                     qPrintable(r.record.valueText), qPrintable(r.record.unitStr),
                     qPrintable(r.record.timeText()), qPrintable(r.reason));
        QMutexLocker lock(&m_mutex);
        m_quarantined += rejected.size();
        m_rejectReason = rejected.last().reason;
    }
    if (!db.commit()) {
        // The server may have committed before the connection broke. Until it
        // says otherwise these readings count as written-or-not.
        QMutexLocker lock(&m_mutex);
        m_uncertainXid = xid;
        m_uncertainLastSeq = batch.last().seq;
        m_uncertainServer = m_serverIdentity;
        return Outcome::Failed;
    }
    setTrouble(QString());
    tellListeners(db, batch);
    return Outcome::Done;
}

void StoreWorker::tellListeners(QSqlDatabase &db, const JournaledRecords &batch)
{
    // After the commit, in a transaction of its own: a NOTIFY holds one lock
    // of the whole database until its transaction has committed, so sent
    // with the rows it would make every writer of a fleet commit in turn.
    // Alone it commits at once (it writes nothing to the server's log).
    // Lost with a connection that breaks just now, it is made good by the
    // followers' own look at the table every second.
    QStringList sources;
    for (const JournaledRecord &j : batch) {
        const QString s = j.record.source.isNull() ? QString(QLatin1String("")) : j.record.source;
        if (!sources.contains(s))
            sources.append(s);
    }
    if (!m_notify) {
        m_notify = std::make_unique<QSqlQuery>(db);
        if (!m_notify->prepare(QStringLiteral("SELECT pg_notify('tk52k_invoice', ?)"))) {
            m_notify.reset();
            return;
        }
    }
    for (const QString &s : qAsConst(sources)) {
        m_notify->addBindValue(s);
        if (!m_notify->exec()) {
            m_notify.reset();
            return;
        }
    }
}

void StoreWorker::pollForFollowers(QSqlDatabase &db)
{
    // Rows a bulk load or another program commits come with no notice.
    m_watchPollAt.setRemainingTime(kWatchPollMs);
    QString error;
    if (!m_watchTable.exists && !RangeQueries::inspect(db, &m_watchTable, &error))
        return;
    qint64 mark = 0;
    if (!RangeQueries::changeMark(db, m_watchTable, &mark, &error))
        return;
    if (m_watchMark >= 0 && mark != m_watchMark)
        emit rowsAdded(QString()); // whose rows is not known
    m_watchMark = mark;
}

void StoreWorker::dropWritten(qint64 lastSeq)
{
    {
        QMutexLocker lock(&m_mutex);
        while (!m_queue.empty() && m_queue.front().seq <= lastSeq) {
            m_queue.pop_front();
            ++m_settled;
        }
        // What came in during the commit, and what comes next, is the next
        // batch, not a transaction of its own: a steady stream costs one
        // commit and one wake-up of this thread per gathering period, none
        // for the reading that would otherwise start it.
        if (m_spilled == 0 && static_cast<int>(m_queue.size()) < kBatchSize && !m_gathering) {
            m_gathering = true;
            m_gatherUntil.setRemainingTime(kGatherMs);
        }
    }
    if (m_journal)
        m_journal->committed(lastSeq);
    emit changed();
}

bool StoreWorker::writeAlarms(QSqlDatabase &db)
{
    constexpr size_t kAlarmBatch = 500;
    for (;;) {
        if (!m_alarmRetryAt.hasExpired())
            return true;
        switch (settleUncertainAlarms(db)) {
        case Outcome::Failed:
            return false;
        case Outcome::Wait:
            m_alarmRetryAt.setRemainingTime(kFinishingRetryMs);
            return true;
        default:
            break;
        }
        JournaledAlarms events;
        {
            QMutexLocker lock(&m_mutex);
            if (m_alarms.empty())
                return true;
            const size_t n = std::min(kAlarmBatch, m_alarms.size());
            events = JournaledAlarms(m_alarms.cbegin(), m_alarms.cbegin() + long(n));
        }
        if (!ensureAlarmTable(db))
            return ping(db);
        // One transaction for what waits: a long outage's backlog costs one
        // commit per batch, not one per event.
        QString error;
        bool ok = db.transaction();
        for (int i = 0; ok && i < events.size(); ++i)
            ok = AlarmSchema::insert(db, events.at(i).event, &error, m_alarmSource);
        qint64 xid = 0;
        if (ok) {
            QSqlQuery ask(db);
            ok = ask.exec(QStringLiteral("SELECT txid_current()")) && ask.next();
            xid = ok ? ask.value(0).toLongLong() : 0;
        }
        if (!ok) {
            db.rollback();
            if (!ping(db))
                return false; // the server went away: start over
            // The server answers but refuses the rows (the table went, a
            // right was taken): they wait, and it is said once.
            alarmTableTrouble(error);
            return true;
        }
        // Should the program die once the COMMIT is out, the next start asks
        // the server whether it went through.
        if (m_alarmJournal &&
            !m_alarmJournal->beginCommit(xid, events.first().seq, events.last().seq, m_serverIdentity)) {
            db.rollback();
            continue; // the journal gave up its file: nothing in it to settle
        }
        if (!db.commit()) {
            QMutexLocker lock(&m_mutex);
            m_alarmUncertainXid = xid;
            m_alarmUncertainLastSeq = events.last().seq;
            m_alarmUncertainServer = m_serverIdentity;
            return false;
        }
        if (!m_alarmTrouble.isEmpty())
            qInfo("tk52k: alarm events are written to alarm_event again");
        m_alarmTrouble.clear();
        m_alarmRetryMs = kFirstAlarmRetryMs;
        dropWrittenAlarms(events.last().seq);
    }
}

bool StoreWorker::runReads(QSqlDatabase &db)
{
    std::deque<std::shared_ptr<StoreRead>> reads;
    {
        QMutexLocker lock(&m_mutex);
        reads.swap(m_reads);
    }
    StoreContext context;
    context.shape = m_shape;
    for (size_t i = 0; i < reads.size(); ++i) {
        reads[i]->execute(db, context);
        // A read that failed because the server went away: the others wait
        // for the connection to come back.
        if (reads[i]->failed() && !ping(db)) {
            QMutexLocker lock(&m_mutex);
            m_reads.insert(m_reads.begin(), reads.begin() + long(i) + 1, reads.end());
            return false;
        }
    }
    return true;
}

void StoreWorker::repairJournal()
{
    if (!m_journal)
        return;
    settleJournalFailure();
    if (m_journal->isSafe() || !m_journalRetryAt.hasExpired())
        return;
    m_journalRetryAt.setRemainingTime(kJournalRetryMs);
    bool safe = false;
    {
        // Appends wait meanwhile: what the rewrite puts down is everything.
        QMutexLocker lock(&m_mutex);
        safe = m_journal->rewrite(JournaledRecords(m_queue.cbegin(), m_queue.cend()), m_uncertainXid,
                                  m_uncertainLastSeq, m_uncertainServer);
    }
    if (safe) {
        qWarning("tk52k: the journal can be written again; waiting readings are safe on the disk");
        emit changed();
    }
}

void StoreWorker::settleJournalFailure()
{
    if (!m_journal || !m_journal->hasFailed())
        return;
    {
        QMutexLocker lock(&m_mutex);
        // What waits only in the journal comes back to memory first.
        if (m_spilled > 0) {
            const JournaledRecords back =
                m_journal->readBack(m_lastSeq - m_spilled + 1, static_cast<int>(m_spilled));
            m_queue.insert(m_queue.end(), back.cbegin(), back.cend());
            m_spilled -= back.size();
            if (m_spilled > 0)
                qWarning("tk52k: %lld readings could not be read back from the journal", m_spilled);
            m_spilled = 0;
        }
        m_journal->discard();
    }
    m_journalRetryAt.setRemainingTime(0);
    qWarning("tk52k: readings are no longer safe on the disk; they wait in memory until the journal can be "
             "written again");
    emit changed();
}

void StoreWorker::readBackSpilled()
{
    qint64 first = 0;
    int count = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (m_spilled == 0 || static_cast<int>(m_queue.size()) > kMemoryLimit / 2)
            return;
        first = m_lastSeq - m_spilled + 1;
        count = static_cast<int>(std::min<qint64>(m_spilled, kMemoryLimit / 2));
    }
    // Appends go on meanwhile; they only add to the end of what waits on disk.
    const JournaledRecords back = m_journal->readBack(first, count);
    QMutexLocker lock(&m_mutex);
    m_queue.insert(m_queue.end(), back.cbegin(), back.cend());
    m_spilled -= back.size();
    if (back.size() < count)
        qWarning("tk52k: only %d of %d readings could be read back from the journal", back.size(), count);
}

void StoreWorker::setTrouble(const QString &trouble)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_trouble == trouble)
            return;
        m_trouble = trouble;
    }
    if (!trouble.isEmpty() && trouble != m_reportedTrouble)
        qWarning("tk52k: %s", qPrintable(trouble));
    m_reportedTrouble = trouble;
    emit changed();
}

void StoreWorker::setServerError(const QString &error)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_serverError == error)
            return;
        m_serverError = error;
    }
    emit changed();
}

QSqlQuery *StoreWorker::insertFor(QSqlDatabase &db, int rows, QSqlError *error)
{
    auto found = m_inserts.find(rows);
    if (found != m_inserts.end())
        return found->second.get();
    // The sizes a steady stream gives are few; a burst after an outage
    // brings others, which are let go before they pile up on the server.
    constexpr size_t kKeptSizes = 8;
    if (m_inserts.size() >= kKeptSizes) {
        auto victim = m_inserts.begin();
        if (victim->first == 1) // the row-by-row one is kept for refusals
            ++victim;
        m_inserts.erase(victim);
    }
    auto q = std::make_unique<QSqlQuery>(db);
    if (!q->prepare(RecordSchema::insertStatement(m_shape, rows) + QLatin1String(" RETURNING txid_current()"))) {
        *error = q->lastError();
        return nullptr;
    }
    return m_inserts.emplace(rows, std::move(q)).first->second.get();
}

void StoreWorker::closeConnection(QSqlDatabase &db)
{
    m_inserts.clear();
    m_notify.reset();
    m_watchTable = RangeQueries::Table();
    m_schemaReady = false;
    m_serverIdentity.clear();
    m_alarmTableReady = false;
    db.close();
}

void StoreWorker::setConnected(bool connected)
{
    if (m_connected.exchange(connected) != connected)
        emit changed();
}
