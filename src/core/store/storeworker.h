#pragma once

#include "core/meter/alarmrule.h"
#include "core/store/alarmjournal.h"
#include "core/store/dbsettings.h"
#include "core/store/rangequeries.h"
#include "core/store/recordjournal.h"
#include "core/store/recordschema.h"
#include "core/store/storestate.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSqlDriver>
#include <QTimer>

#include <atomic>
#include <deque>
#include <map>
#include <memory>

class QSqlDatabase;
class QSqlError;
class QSqlQuery;
class StoreRead;

/// The store's worker: one object on a thread of its own, with one
/// connection to the server, doing everything the program asks of the
/// server: it writes readings and alarm events, settles commits whose answer
/// was lost, keeps the table's partitions ahead, and runs reads.
///
/// Readings leave the queue only after the transaction that wrote them has
/// committed; while the server cannot be reached they wait, in order, and
/// the worker reconnects every few seconds. A COMMIT whose answer was lost
/// is settled after reconnecting by asking the server for the transaction's
/// status, so every reading is written exactly once.
///
/// With a journal (openJournal()), every queued reading is also kept on the
/// disk until it is committed, and the readings an earlier run left there go
/// first. Past kMemoryLimit waiting readings, new ones are kept only in the
/// journal and read back from it as the server catches up. A journal that
/// cannot be written (a full disk) is cut back and written anew from memory
/// as soon as the disk takes writes again, whatever the server does.
///
/// Readings that reach an idle worker are gathered for up to kGatherMs and
/// written in one transaction. A row the server refuses for good (a check,
/// a too-short column, a trigger) does not hold up the others: the rest of
/// its batch is written and the refused one goes to the quarantine file. A
/// fault of the table (missing, no partition for the row) is not a refusal of
/// the row: the readings wait and the trouble says what is wrong.
///
/// enqueue(), recordAlarm(), read() and the getters may be called from any
/// thread; everything else runs on the worker's thread.
class StoreWorker : public QObject
{
    Q_OBJECT

public:
    /// Most readings kept in memory while the server is behind.
    static constexpr int kMemoryLimit = 50000;
    /// Longest a new reading waits for others to share its transaction.
    static constexpr int kGatherMs = 500;
    /// Most alarm events kept while the server is away; the oldest go first.
    static constexpr int kMaxAlarms = 10000;

    explicit StoreWorker(const DbSettings &settings, QObject *parent = nullptr);
    ~StoreWorker() override;

    /// Takes a journal in `dir` (see RecordJournal), puts what it and the
    /// journals of ended programs hold in front of the queue and journals the
    /// queue from then on; alarm events likewise (see AlarmJournal). Call
    /// before the worker runs, at most once. False with `error` set when no
    /// journal could be opened.
    bool openJournal(const QString &dir, QString *error);
    /// Tries a last time to put what waits on the disk, then writes, flushes
    /// and releases the journal. Call once the worker has stopped. Returns
    /// the readings the journal holds for the next start.
    int closeJournal();

    /// A worker for reads only: it makes nothing on the server (no
    /// database, table or partition) and only looks at what is there. Call
    /// before the worker runs.
    void setReadOnly(bool on) { m_readOnly = on; }

    /// Queues a reading behind those waiting. Any thread.
    void enqueue(const MeasurementRecord &record);
    /// Queues an alarm event. Any thread.
    void recordAlarm(const AlarmEvent &event);
    /// Queues a read; it runs between two transactions. Any thread.
    void read(const std::shared_ptr<StoreRead> &read);
    /// Queues the quarantined readings again, behind those waiting, and
    /// empties the quarantine file; the number queued. Any thread.
    int requeueQuarantined();

    /// Which server and database `db` is connected to, as the journal names
    /// the place of a commit: "<system identifier>:<database oid>:<name>",
    /// the first field "-" where the login may not read the server's
    /// control data. Empty when the server does not answer.
    static QString serverIdentity(QSqlDatabase &db);
    /// Whether a commit noted on `recorded` (serverIdentity()) may have
    /// gone to `current`: false only when they surely differ.
    static bool mayBeSameServer(const QString &recorded, const QString &current);

    StoreState state() const;
    int pendingCount() const;
    bool isConnected() const { return m_connected.load(); }
    bool isDurable() const;

    /// Leaves the server it is connected to, if any, and goes on with
    /// `settings` at once: the readings waiting go to the new server. Any
    /// thread.
    void changeSettings(const DbSettings &settings);

    /// Listens for the rows other writers commit (see rowsAdded()), or no
    /// longer. Any thread.
    void watch(bool on);

    /// Write what is queued, retrying often, and stop once nothing is left.
    /// Any thread.
    void finish();
    /// Stop as soon as the statement in progress returns; the queue is kept.
    /// Any thread.
    void abandon();

public slots:
    /// Connects and starts working; on the worker's thread.
    void begin();

signals:
    /// Something in state() changed. Emitted from the worker's thread.
    void changed();
    /// The worker has stopped (finish() done, or abandon()).
    void stopped();
    /// Rows of `source` were committed, by whoever; a null `source` when the
    /// rows were seen by looking, not told (whose they are is not known).
    /// From the worker's thread.
    void rowsAdded(const QString &source);

private:
    enum class Outcome { Done, Failed, Wait, Refused };

    void requestStep();
    void step();
    /// One round of work; true when the worker is done.
    bool stepWith(QSqlDatabase &db);
    void schedule();
    bool writeDue() const;
    void stop();
    void lost(QSqlDatabase &db, const QString &why);

    bool connectDatabase(QSqlDatabase &db);
    bool createDatabase();
    bool prepareSchema(QSqlDatabase &db);
    bool keepPartitionsAhead(QSqlDatabase &db, QString *error);
    bool ensureAlarmTable(QSqlDatabase &db);
    Outcome settleUncertainAlarms(QSqlDatabase &db);
    void dropWrittenAlarms(qint64 lastSeq);
    void alarmTableTrouble(const QString &why);
    bool alarmsSettledForNow() const;

    Outcome settleUncertain(QSqlDatabase &db);
    /// Settles the commit noted in the three fields (guarded by m_mutex):
    /// asks the server whether it went through, and drops what it wrote
    /// through `dropWritten` when it did.
    /// `written`, where given, confirms a "committed": its rows are there.
    Outcome settleCommit(QSqlDatabase &db, qint64 *uncertainXid, qint64 *uncertainLastSeq, QString *uncertainServer,
                         const char *what, void (StoreWorker::*dropWritten)(qint64),
                         bool (StoreWorker::*written)(QSqlDatabase &, qint64, bool *));
    bool readingsWritten(QSqlDatabase &db, qint64 lastSeq, bool *written);
    bool alarmsWritten(QSqlDatabase &db, qint64 lastSeq, bool *written);
    Outcome writeBatch(QSqlDatabase &db, const JournaledRecords &batch);
    Outcome writeRows(QSqlDatabase &db, const JournaledRecords &batch, bool oneByOne);
    bool isTableFault(QSqlDatabase &db, const QSqlError &error, const MeasurementRecord &record);
    void dropWritten(qint64 lastSeq);
    bool writeAlarms(QSqlDatabase &db);
    bool runReads(QSqlDatabase &db);

    void repairJournal();
    void settleJournalFailure();
    void readBackSpilled();

    void listen(QSqlDatabase &db);
    void setTrouble(const QString &trouble);
    void setServerError(const QString &error);
    void setConnected(bool connected);
    void closeConnection(QSqlDatabase &db);
    QString journalDir() const;

    DbSettings m_settings; // the worker's thread only, once it runs
    const QString m_connectionName;

    mutable QMutex m_mutex;
    QMutex m_quarantineMutex;            // held while the quarantine file is written or emptied
    std::deque<JournaledRecord> m_queue; // guarded by m_mutex
    // Set when a reading arrives at an empty queue; the worker takes the
    // queue once m_gatherUntil has passed or kBatchSize readings wait.
    bool m_gathering = false;     // guarded by m_mutex
    QDeadlineTimer m_gatherUntil; // guarded by m_mutex
    qint64 m_lastSeq = 0;         // guarded by m_mutex
    // Readings m_queue.back().seq + 1 .. m_lastSeq wait in the journal only.
    qint64 m_spilled = 0;                           // guarded by m_mutex
    int m_quarantined = 0;                          // guarded by m_mutex
    qint64 m_settled = 0;                           // guarded by m_mutex
    QString m_rejectReason;                         // guarded by m_mutex
    QString m_trouble;                              // guarded by m_mutex
    QString m_serverError;                          // guarded by m_mutex
    int m_damagedLines = 0;                         // guarded by m_mutex
    qint64 m_uncertainXid = 0;                      // guarded by m_mutex
    qint64 m_uncertainLastSeq = 0;                  // guarded by m_mutex
    QString m_uncertainServer;                      // guarded by m_mutex: where that commit went
    std::deque<JournaledAlarm> m_alarms;            // guarded by m_mutex
    qint64 m_lastAlarmSeq = 0;                      // guarded by m_mutex
    qint64 m_alarmsDropped = 0;                     // guarded by m_mutex
    qint64 m_alarmUncertainXid = 0;                 // guarded by m_mutex
    qint64 m_alarmUncertainLastSeq = 0;             // guarded by m_mutex
    QString m_alarmUncertainServer;                 // guarded by m_mutex
    std::deque<std::shared_ptr<StoreRead>> m_reads; // guarded by m_mutex
    bool m_finishing = false;                       // guarded by m_mutex
    std::atomic<bool> m_abandon{false};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_stepPosted{false};
    QString m_journalDir; // set by openJournal()
    // Set before the worker runs and kept until it is destroyed.
    std::unique_ptr<RecordJournal> m_journal;
    std::unique_ptr<AlarmJournal> m_alarmJournal;

    // The worker's thread only.
    QTimer *m_timer = nullptr;
    RecordSchema::TableShape m_shape;
    bool m_readOnly = false;
    bool m_watching = false;
    QPointer<QSqlDriver> m_notifyingDriver; // whose notifications reach rowsAdded()
    bool m_schemaReady = false;
    QString m_serverIdentity; // of the open connection
    bool m_alarmTableReady = false;
    bool m_alarmSource = true; // the table has the column `source`
    // While the table cannot take events (missing, no right to make it), they
    // wait and are tried again after a pause that grows up to kMaxAlarmRetryMs.
    static constexpr int kFirstAlarmRetryMs = 5000;
    static constexpr int kMaxAlarmRetryMs = 300000;
    QDeadlineTimer m_alarmRetryAt{0};
    int m_alarmRetryMs = kFirstAlarmRetryMs;
    QString m_alarmTrouble; // the last one told
    bool m_createRefused = false;
    // Prepared once per connection and batch size: a batch goes as one
    // statement, one round trip and one run of the table's triggers.
    std::map<int, std::unique_ptr<QSqlQuery>> m_inserts;
    std::unique_ptr<QSqlQuery> m_notify; // likewise, the notice after a commit
    QSqlQuery *insertFor(QSqlDatabase &db, int rows, QSqlError *error);
    void tellListeners(QSqlDatabase &db, const JournaledRecords &batch);
    void pollForFollowers(QSqlDatabase &db);
    QString m_reportedTrouble;        // the last one printed
    QDeadlineTimer m_retryAt{0};      // next connection attempt
    QDeadlineTimer m_writeRetryAt{0}; // next write after the server refused one
    QDeadlineTimer m_idleCheckAt;
    // While watching: the table's change mark, looked at every kWatchPollMs.
    static constexpr int kWatchPollMs = 1000;
    QDeadlineTimer m_watchPollAt;
    qint64 m_watchMark = -1;
    RangeQueries::Table m_watchTable;
    QDeadlineTimer m_journalRetryAt{0};
    QDeadlineTimer m_partitionsCheckAt{QDeadlineTimer::Forever};
    bool m_stopped = false;
};
