#include "recordwriter.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {
constexpr int kRetryMs = 3000;         // reconnect period while the server is away
constexpr int kFinishingRetryMs = 250; // ... while the program is closing
constexpr int kIdleCheckMs = 5000;     // liveness check of an idle connection
constexpr int kBatchSize = 200;
constexpr int kPartitionsAhead = 2;            // months made ahead of the present one
constexpr int kPartitionCheckMs = 3600 * 1000; // how often a long run looks again

// A dead peer must not hold a statement for minutes: the kernel gives up on
// unacknowledged data after 10 s, keep-alives notice a silent peer.
const char *const kWriterConnectOptions =
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
    return QStringLiteral("tk52k-writer-%1").arg(++counter);
}
} // namespace

RecordWriter::RecordWriter(const DbSettings &settings, QObject *parent)
    : QThread(parent), m_settings(settings), m_connectionName(nextConnectionName())
{}

RecordWriter::~RecordWriter()
{
    abandon();
    wait();
}

void RecordWriter::enqueue(const MeasurementRecord &record)
{
    QMutexLocker lock(&m_mutex);
    const JournaledRecord r{++m_lastSeq, record};
    const bool wasEmpty = m_queue.empty() && m_spilled == 0;
    if (wasEmpty) {
        m_gathering = true;
        m_gatherUntil.setRemainingTime(kGatherMs);
    }
    // Past the bound only the journal keeps new records, and once one waits
    // there the later ones follow it, so the order holds.
    if (m_spilled > 0 ||
        (m_journal && static_cast<int>(m_queue.size()) >= kMemoryLimit && m_journal->isSafe()))
        ++m_spilled;
    else
        m_queue.push_back(r);
    // Under the queue's lock, so the journal sees the records in their order.
    if (m_journal)
        m_journal->append(r);
    // A gathering writer sleeps until its time is up or the batch is full.
    if (!m_gathering || wasEmpty || static_cast<int>(m_queue.size()) >= kBatchSize)
        m_wake.wakeAll();
}

bool RecordWriter::openJournal(const QString &dir, QString *error)
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
    // The earlier runs' records first, then those handed over before now,
    // numbered anew in that order.
    JournaledRecords all = backlog.records;
    for (const JournaledRecord &r : m_queue)
        all.append(JournaledRecord{all.size() + 1, r.record});
    // Without a journal of ours the earlier records stay where they are.
    if (!journal->start(all, backlog.uncertainXid, backlog.uncertainLastSeq, error))
        return false;
    m_queue.assign(all.cbegin(), all.cend());
    m_lastSeq = all.size();
    m_uncertainXid = backlog.uncertainXid;
    m_uncertainLastSeq = backlog.uncertainLastSeq;
    m_journal = std::move(journal);
    return true;
}

void RecordWriter::closeJournal()
{
    if (!m_journal)
        return;
    // Cut back after a full disk: a last try to leave what waits on the disk.
    if (!m_journal->isSafe() && !m_journal->hasFailed()) {
        QMutexLocker lock(&m_mutex);
        if (!m_queue.empty() && m_journal->rewrite(JournaledRecords(m_queue.cbegin(), m_queue.cend())))
            qWarning("tk52k: the journal can be written again; waiting readings are safe on the disk");
    }
    m_journal->close();
}

bool RecordWriter::isDurable() const
{
    QMutexLocker lock(&m_mutex);
    return (m_queue.empty() && m_spilled == 0) || (m_journal && m_journal->isDurable());
}

int RecordWriter::pendingCount() const
{
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_queue.size() + m_spilled);
}

bool RecordWriter::isOnlyGathering() const
{
    QMutexLocker lock(&m_mutex);
    return m_gathering && m_spilled == 0 && !m_gatherUntil.hasExpired();
}

int RecordWriter::inMemoryCount() const
{
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_queue.size());
}

bool RecordWriter::isJournalSafe() const
{
    return m_journal && m_journal->isSafe();
}

int RecordWriter::quarantinedCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_quarantined;
}

QString RecordWriter::lastRejectReason() const
{
    QMutexLocker lock(&m_mutex);
    return m_rejectReason;
}

QString RecordWriter::trouble() const
{
    QMutexLocker lock(&m_mutex);
    return m_trouble;
}

int RecordWriter::requeueQuarantined()
{
    const QString dir = m_journalDir.isEmpty() ? RecordJournal::directory() : m_journalDir;
    QMutexLocker quarantineLock(&m_quarantineMutex);
    const QVector<RejectedRecord> rejected = RecordJournal::readQuarantine(dir);
    for (const RejectedRecord &r : rejected)
        enqueue(r.record);
    // On the disk in the journal before they leave the quarantine file: a
    // crash in between can repeat a record there, never lose one.
    if (m_journal)
        m_journal->flush();
    QFile::remove(RecordJournal::quarantinePath(dir));
    {
        QMutexLocker lock(&m_mutex);
        m_quarantined = 0;
        m_rejectReason.clear();
    }
    emit stateChanged();
    return rejected.size();
}

void RecordWriter::finish()
{
    QMutexLocker lock(&m_mutex);
    m_finishing = true;
    m_wake.wakeAll();
}

void RecordWriter::abandon()
{
    QMutexLocker lock(&m_mutex);
    m_abandon = true;
    m_wake.wakeAll();
}

void RecordWriter::run()
{
    {
        QSqlDatabase db = m_settings.addConnection(m_connectionName);
        db.setConnectOptions(db.connectOptions() + QLatin1String(kWriterConnectOptions));

        QDeadlineTimer retryAt(0); // expired: connect at once
        QDeadlineTimer idleCheckAt(kIdleCheckMs);
        while (waitForWork(db.isOpen(), retryAt, idleCheckAt)) {
            const auto lost = [&] {
                closeConnection(db);
                setConnected(false);
                QMutexLocker lock(&m_mutex);
                retryAt.setRemainingTime(m_finishing ? kFinishingRetryMs : kRetryMs);
            };

            if (!db.isOpen() && !connectDatabase(db)) {
                lost();
                continue;
            }

            const Outcome settled = settleUncertain(db);
            if (settled == Outcome::Failed) {
                lost();
                continue;
            }
            setConnected(true);
            if (settled == Outcome::Wait) {
                // The old session still holds the transaction open; ask again later.
                QMutexLocker lock(&m_mutex);
                m_wake.wait(&m_mutex, kFinishingRetryMs);
                continue;
            }

            settleJournalFailure();
            readBackSpilled();
            JournaledRecords batch;
            {
                QMutexLocker lock(&m_mutex);
                const int n = std::min<int>(kBatchSize, static_cast<int>(m_queue.size()));
                batch = JournaledRecords(m_queue.cbegin(), m_queue.cbegin() + n);
            }

            if (m_journal && !m_journal->isSafe() && !m_journal->hasFailed() &&
                m_journalRetryAt.hasExpired()) {
                // Try to get the waiting records back onto the disk.
                m_journalRetryAt.setRemainingTime(kRetryMs);
                bool safe = false;
                {
                    QMutexLocker lock(&m_mutex);
                    safe = m_journal->rewrite(JournaledRecords(m_queue.cbegin(), m_queue.cend()));
                }
                if (safe) {
                    qWarning(
                        "tk52k: the journal can be written again; waiting readings are safe on the disk");
                    emit stateChanged();
                }
            }

            if (m_partitionsCheckAt.hasExpired()) {
                QString error;
                if (!keepPartitionsAhead(db, &error)) {
                    lost();
                    continue;
                }
            }

            if (batch.isEmpty()) {
                // Idle: a cheap statement keeps the shown state honest.
                idleCheckAt.setRemainingTime(kIdleCheckMs);
                QSqlQuery ping(db);
                if (!ping.exec(QStringLiteral("SELECT 1")))
                    lost();
                continue;
            }

            switch (writeBatch(db, batch)) {
            case Outcome::Done:
                dropWritten(batch.last().seq);
                break;
            case Outcome::Refused: {
                // The server answers but takes none of it: say why, try again later.
                QMutexLocker lock(&m_mutex);
                if (!m_abandon)
                    m_wake.wait(&m_mutex, m_finishing ? kFinishingRetryMs : kRetryMs);
                break;
            }
            case Outcome::Wait:
                break;
            case Outcome::Failed:
                lost();
                break;
            }
        }
        closeConnection(db);
    }
    QSqlDatabase::removeDatabase(m_connectionName);
    setConnected(false);
}

bool RecordWriter::waitForWork(bool open, QDeadlineTimer &retryAt, const QDeadlineTimer &idleCheckAt)
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        if (m_abandon || (m_finishing && m_queue.empty()))
            return false;
        if (m_finishing && retryAt.remainingTime() > kFinishingRetryMs)
            retryAt.setRemainingTime(0);
        if (open && !m_queue.empty()) {
            if (!m_gathering || m_finishing || m_gatherUntil.hasExpired() ||
                static_cast<int>(m_queue.size()) >= kBatchSize) {
                m_gathering = false;
                return true;
            }
            m_wake.wait(&m_mutex, m_gatherUntil);
            continue;
        }
        if (!open && retryAt.hasExpired())
            return true;
        if (open && idleCheckAt.hasExpired())
            return true;
        m_wake.wait(&m_mutex, open ? idleCheckAt : retryAt);
    }
}

bool RecordWriter::connectDatabase(QSqlDatabase &db)
{
    if (db.open())
        return prepareSchema(db);
    // The login may work while the database does not exist yet. A CREATE the
    // server refused is not repeated: it has said why, and that is shown.
    if (m_createRefused || !createDatabase())
        return false;
    return db.open() && prepareSchema(db);
}

bool RecordWriter::createDatabase()
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

bool RecordWriter::prepareSchema(QSqlDatabase &db)
{
    QString error;
    if (RecordSchema::ensureTable(db, &m_shape, &error) && keepPartitionsAhead(db, &error))
        return true;
    // A server that answers but has no table for us is trouble to show; one
    // that went away is simply not connected.
    QSqlQuery ping(db);
    if (ping.exec(QStringLiteral("SELECT 1")))
        setTrouble(
            QStringLiteral("cannot make the table %1: %2").arg(QLatin1String(RecordSchema::kTable), error));
    return false;
}

RecordWriter::Outcome RecordWriter::settleUncertain(QSqlDatabase &db)
{
    qint64 xid = 0;
    qint64 lastSeq = 0;
    {
        QMutexLocker lock(&m_mutex);
        xid = m_uncertainXid;
        lastSeq = m_uncertainLastSeq;
    }
    if (xid == 0)
        return Outcome::Done;

    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT txid_status(?)"));
    q.addBindValue(xid);
    QString status;
    if (q.exec() && q.next()) {
        status = q.value(0).toString();
    } else {
        // The server refuses an id it never handed out (another server, or
        // one set up anew since): no answer will ever come. A failure of the
        // connection itself shows in the next statement.
        QSqlQuery ping(db);
        if (!ping.exec(QStringLiteral("SELECT 1")))
            return Outcome::Failed;
    }
    if (status == QLatin1String("in progress"))
        return Outcome::Wait;

    {
        QMutexLocker lock(&m_mutex);
        m_uncertainXid = 0;
        m_uncertainLastSeq = 0;
    }
    // "aborted", or no answer for a transaction too old to be remembered:
    // writing the records again risks a duplicate, dropping them risks a loss.
    if (status == QLatin1String("committed"))
        dropWritten(lastSeq);
    return Outcome::Done;
}

RecordWriter::Outcome RecordWriter::writeBatch(QSqlDatabase &db, const JournaledRecords &batch)
{
    const Outcome outcome = writeRows(db, batch, false);
    // One bad row must not hold up the others: write the batch again, row by
    // row, leaving out what the server refuses.
    return outcome == Outcome::Refused ? writeRows(db, batch, true) : outcome;
}

RecordWriter::Outcome RecordWriter::writeRows(QSqlDatabase &db, const JournaledRecords &batch, bool oneByOne)
{
    if (!db.transaction())
        return Outcome::Failed;
    // The transaction's id comes back with the rows, saving a round trip.
    qint64 xid = 0;

    // After a failed statement: was it the server going away, or a refusal?
    const auto refusedOrLost = [&](const QSqlError &error, bool row) {
        db.rollback();
        QSqlQuery ping(db);
        if (!ping.exec(QStringLiteral("SELECT 1")))
            return Outcome::Failed;
        if (!row)
            setTrouble(QStringLiteral("the server refuses to store readings: %1").arg(serverReason(error)));
        return Outcome::Refused;
    };

    if (!m_insert) {
        m_insert = std::make_unique<QSqlQuery>(db);
        if (!m_insert->prepare(RecordSchema::insertStatement(m_shape) +
                               QLatin1String(" RETURNING txid_current()"))) {
            const QSqlError error = m_insert->lastError();
            m_insert.reset();
            return refusedOrLost(error, false);
        }
    }
    QSqlQuery &q = *m_insert;
    QVector<RejectedRecord> rejected;
    QSqlQuery savepoint(db);
    for (const JournaledRecord &j : batch) {
        if (oneByOne && !savepoint.exec(QStringLiteral("SAVEPOINT row")))
            return refusedOrLost(savepoint.lastError(), false);
        RecordSchema::bindRecord(q, j.record, m_shape);
        if (q.exec()) {
            if (xid == 0 && q.next())
                xid = q.value(0).toLongLong();
            continue;
        }
        const QSqlError error = q.lastError();
        if (!oneByOne)
            return refusedOrLost(error, isRowRefusal(error));
        if (!isRowRefusal(error) || !savepoint.exec(QStringLiteral("ROLLBACK TO SAVEPOINT row")))
            return refusedOrLost(error, false);
        rejected.append(RejectedRecord{j.record, serverReason(error)});
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
    if (m_journal && !m_journal->beginCommit(xid, batch.first().seq, batch.last().seq)) {
        db.rollback();
        settleJournalFailure();
        return Outcome::Wait;
    }
    if (!rejected.isEmpty()) {
        // On the disk before the commit: a refused reading is never lost,
        // at worst quarantined twice after a crash.
        QMutexLocker quarantineLock(&m_quarantineMutex);
        QString error;
        if (!RecordJournal::quarantine(m_journalDir.isEmpty() ? RecordJournal::directory() : m_journalDir,
                                       rejected, &error)) {
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
        // says otherwise these records count as written-or-not.
        QMutexLocker lock(&m_mutex);
        m_uncertainXid = xid;
        m_uncertainLastSeq = batch.last().seq;
        return Outcome::Failed;
    }
    setTrouble(QString());
    return Outcome::Done;
}

void RecordWriter::settleJournalFailure()
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
    m_journalRetryAt.setRemainingTime(kRetryMs);
    qWarning("tk52k: readings are no longer safe on the disk; they wait in memory until the journal can be "
             "written again");
    emit stateChanged();
}

void RecordWriter::readBackSpilled()
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

bool RecordWriter::keepPartitionsAhead(QSqlDatabase &db, QString *error)
{
    if (!m_shape.partitioned)
        return true;
    if (!RecordSchema::ensurePartitions(db, QDate::currentDate(), kPartitionsAhead, error))
        return false;
    m_partitionsCheckAt.setRemainingTime(kPartitionCheckMs);
    return true;
}

void RecordWriter::setTrouble(const QString &trouble)
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
    emit stateChanged();
}

void RecordWriter::dropWritten(qint64 lastSeq)
{
    {
        QMutexLocker lock(&m_mutex);
        while (!m_queue.empty() && m_queue.front().seq <= lastSeq)
            m_queue.pop_front();
    }
    if (m_journal)
        m_journal->committed(lastSeq);
    emit stateChanged();
}

void RecordWriter::closeConnection(QSqlDatabase &db)
{
    m_insert.reset();
    db.close();
}

void RecordWriter::setConnected(bool connected)
{
    if (m_connected.exchange(connected) != connected)
        emit stateChanged();
}
