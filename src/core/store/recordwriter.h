#pragma once

#include "core/store/dbsettings.h"
#include "core/store/recordjournal.h"
#include "core/store/recordschema.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <memory>

class QSqlDatabase;

/// Writes queued records into `invoice` on a thread and a connection of its
/// own, so the window never waits for the server.
///
/// Records leave the queue only after the transaction that wrote them has
/// committed; while the server cannot be reached they wait, in order, and the
/// thread reconnects every few seconds. A COMMIT whose answer was lost is
/// settled after reconnecting by asking the server for the transaction's
/// status, so every record is written exactly once.
///
/// With a journal (openJournal()), every queued record is also kept on the
/// disk until it is committed, and the records an earlier run left there go
/// first. Past kMemoryLimit waiting records, new ones are kept only in the
/// journal and read back from it as the server catches up.
///
/// Records that reach an idle writer are gathered for up to kGatherMs and
/// written in one transaction: at a meter's pace that is one commit (and one
/// flush of the journal) for several readings instead of one each.
///
/// A row the server refuses for good (a constraint, a too-short column, a
/// trigger) does not hold up the others: the rest of its batch is written
/// and the refused record goes to the quarantine file beside the journal,
/// from where requeueQuarantined() hands it back on request.
class RecordWriter : public QThread
{
    Q_OBJECT

public:
    /// Most records kept in memory while the server is behind.
    static constexpr int kMemoryLimit = 50000;
    /// Longest a new record waits for others to share its transaction.
    static constexpr int kGatherMs = 500;

    explicit RecordWriter(const DbSettings &settings, QObject *parent = nullptr);
    /// Abandons the queue and waits for the thread; what is unwritten stays
    /// in the journal.
    ~RecordWriter() override;

    /// Queues a record behind those waiting. Any thread.
    void enqueue(const MeasurementRecord &record);

    /// Takes a journal in `dir` (see RecordJournal), puts the records it and
    /// the journals of ended programs hold in front of the queue and journals
    /// the queue from then on. Call before start(), at most once. False with
    /// `error` set when no journal could be opened; the records then live in
    /// memory only.
    bool openJournal(const QString &dir, QString *error);

    /// Writes and flushes the journal and releases it (see
    /// RecordJournal::close()). Call once the thread has ended or been
    /// abandoned.
    void closeJournal();

    /// Whether every queued record is on the disk or committed. Any thread.
    bool isDurable() const;

    /// Records not yet known to be committed. Any thread.
    int pendingCount() const;

    /// Whether the records pending are only those gathered for the next
    /// transaction of a writer that keeps up: none is behind. Any thread.
    bool isOnlyGathering() const;

    /// Whether the last contact with the server succeeded. Any thread.
    bool isConnected() const { return m_connected.load(); }

    /// Records held in memory (the rest of pendingCount() waits in the
    /// journal only). Any thread.
    int inMemoryCount() const;

    /// Whether records reach the disk before the server: false without a
    /// journal or while the journal cannot be written. Any thread.
    bool isJournalSafe() const;

    /// Records in the quarantine file and the server's reason for the last
    /// one refused. Any thread.
    int quarantinedCount() const;
    QString lastRejectReason() const;

    /// What keeps records from the server although it answers (a failed
    /// CREATE DATABASE, a statement refused for the whole table); empty when
    /// nothing does. Any thread.
    QString trouble() const;

    /// Queues the quarantined records again, behind those waiting, and
    /// empties the quarantine file; the number queued. Any thread, once the
    /// journal is open.
    int requeueQuarantined();

    /// Write what is queued, retrying often, and end once the queue is empty.
    void finish();

    /// End as soon as the statement in progress returns; the queue is kept.
    void abandon();

signals:
    /// The connection state or the number of pending records changed. Emitted
    /// from the writer's thread.
    void stateChanged();

protected:
    void run() override;

private:
    enum class Outcome { Done, Failed, Wait, Refused };

    bool waitForWork(bool open, QDeadlineTimer &retryAt, const QDeadlineTimer &idleCheckAt);
    bool connectDatabase(QSqlDatabase &db);
    bool createDatabase();
    Outcome writeRows(QSqlDatabase &db, const JournaledRecords &batch, bool oneByOne);
    void settleJournalFailure();
    void readBackSpilled();
    void setTrouble(const QString &trouble);
    bool keepPartitionsAhead(QSqlDatabase &db, QString *error);
    bool prepareSchema(QSqlDatabase &db);
    Outcome settleUncertain(QSqlDatabase &db);
    Outcome writeBatch(QSqlDatabase &db, const JournaledRecords &batch);
    void dropWritten(qint64 lastSeq);
    void setConnected(bool connected);
    void closeConnection(QSqlDatabase &db);

    const DbSettings m_settings;
    const QString m_connectionName;

    mutable QMutex m_mutex;
    QMutex m_quarantineMutex;         // held while the quarantine file is written or emptied
    RecordSchema::TableShape m_shape; // writer thread only
    QWaitCondition m_wake;
    std::deque<JournaledRecord> m_queue; // guarded by m_mutex
    // Set when a record arrives at an empty queue; the writer takes the
    // queue once m_gatherUntil has passed or kBatchSize records wait.
    bool m_gathering = false;      // guarded by m_mutex
    QDeadlineTimer m_gatherUntil;  // guarded by m_mutex
    // The insert, prepared once per connection. Writer thread only.
    std::unique_ptr<QSqlQuery> m_insert;
    qint64 m_lastSeq = 0;                // guarded by m_mutex
    // Records m_queue.back().seq + 1 .. m_lastSeq wait in the journal only.
    qint64 m_spilled = 0;                                        // guarded by m_mutex
    QString m_journalDir;                                        // set by openJournal()
    int m_quarantined = 0;                                       // guarded by m_mutex
    QString m_rejectReason;                                      // guarded by m_mutex
    QString m_trouble;                                           // guarded by m_mutex
    QString m_reportedTrouble;                                   // writer thread only: last one printed
    bool m_createRefused = false;                                // writer thread only
    QDeadlineTimer m_journalRetryAt;                             // writer thread only
    QDeadlineTimer m_partitionsCheckAt{QDeadlineTimer::Forever}; // writer thread only
    qint64 m_uncertainXid = 0;           // guarded by m_mutex
    qint64 m_uncertainLastSeq = 0;       // guarded by m_mutex
    // Set before the thread starts and kept until the writer is destroyed.
    std::unique_ptr<RecordJournal> m_journal;
    bool m_finishing = false; // guarded by m_mutex
    bool m_abandon = false;   // guarded by m_mutex
    std::atomic<bool> m_connected{false};
};
