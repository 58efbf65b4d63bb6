#pragma once

#include "store/dbsettings.h"
#include "store/recordspool.h"

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <deque>

class QDeadlineTimer;
class QSqlDatabase;

/// Writes queued records into `invoice` on a thread and a connection of its
/// own, so the window never waits for the server.
///
/// Records leave the queue only after the transaction that wrote them has
/// committed; while the server cannot be reached they wait, in order, and the
/// thread reconnects every few seconds. A COMMIT whose answer was lost is
/// settled after reconnecting by asking the server for the transaction's
/// status, so every record is written exactly once.
class RecordWriter : public QThread
{
    Q_OBJECT

public:
    explicit RecordWriter(const DbSettings &settings, QObject *parent = nullptr);
    /// Abandons the queue and waits for the thread; call finish() and
    /// takeRemaining() first to keep what is unwritten.
    ~RecordWriter() override;

    /// Queues a record behind those waiting. Any thread.
    void enqueue(const MeasurementRecord &record);

    /// Puts records read from the spool file at `spoolPath` in front of the
    /// queue. The file is removed once all of them are written. Call before
    /// start().
    void restore(const SpoolContents &spool, const QString &spoolPath);

    /// Records not yet known to be committed. Any thread.
    int pendingCount() const;

    /// Whether the last contact with the server succeeded. Any thread.
    bool isConnected() const { return m_connected.load(); }

    /// Write what is queued, retrying often, and end once the queue is empty.
    void finish();

    /// End as soon as the statement in progress returns; the queue is kept.
    void abandon();

    /// The unwritten records, with the unconfirmed transaction if any. Only
    /// valid after the thread has ended; empties the queue.
    SpoolContents takeRemaining();

signals:
    /// The connection state or the number of pending records changed. Emitted
    /// from the writer's thread.
    void stateChanged();

protected:
    void run() override;

private:
    enum class Outcome { Done, Failed, Wait };

    bool waitForWork(bool open, QDeadlineTimer &retryAt, const QDeadlineTimer &idleCheckAt);
    bool connectDatabase(QSqlDatabase &db);
    bool createDatabase();
    bool prepareSchema(QSqlDatabase &db);
    Outcome settleUncertain(QSqlDatabase &db);
    Outcome writeBatch(QSqlDatabase &db, const MeasurementRecords &batch);
    void dropWritten(int count);
    void setConnected(bool connected);

    const DbSettings m_settings;
    const QString m_connectionName;

    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    std::deque<MeasurementRecord> m_queue; // guarded by m_mutex
    qint64 m_uncertainXid = 0;             // guarded by m_mutex
    int m_uncertainCount = 0;              // guarded by m_mutex
    int m_spoolBacked = 0;                 // leading records still also in the spool file
    QString m_spoolPath;
    bool m_finishing = false; // guarded by m_mutex
    bool m_abandon = false;   // guarded by m_mutex
    std::atomic<bool> m_connected{false};
};
