#pragma once

#include "core/meter/alarmrule.h"
#include "core/store/dbsettings.h"

#include <QDateTime>
#include <QMutex>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <deque>

/// Where alarm events are kept: the table `alarm_event` beside `invoice`.
/// Times are stored as wall-clock time to the millisecond, as `invoice` keeps
/// its times (no time zone).
namespace AlarmEventSchema {
extern const char *const kCreateTable;
}

/// Writes alarm events to `alarm_event` on a thread of its own, so the GUI
/// thread never waits for the server. record() queues a copy and returns at
/// once; the thread connects (2 s timeout), creates the table when missing and
/// writes the queue oldest first. While the server is away the events wait
/// in memory and the thread retries every few seconds; beyond kMaxPending
/// the oldest are dropped (alarms are rare; a queue that long means the
/// server is gone for good). It uses a connection of its own and never
/// touches the reading writer or its journal.
class AlarmEventStore : public QThread
{
    Q_OBJECT

public:
    static constexpr int kMaxPending = 10000;

    explicit AlarmEventStore(const DbSettings &settings, QObject *parent = nullptr);
    /// Gives pending events a short grace (shutdown()) and stops the thread.
    ~AlarmEventStore() override;

    /// Queues an event for writing and starts the thread when needed.
    void record(const AlarmEvent &event);

    /// Events not yet written.
    int pendingCount() const;
    /// Events dropped because the queue was full.
    qint64 droppedCount() const;

    /// Waits up to `graceMs` for pending events, then stops the thread. Blocks.
    void shutdown(int graceMs = 2000);

signals:
    /// Events were written; `pending` are still waiting.
    void written(int pending);

protected:
    void run() override;

private:
    bool writeFront(class QSqlDatabase &db);

    const DbSettings m_settings;
    const QString m_connectionName;
    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    std::deque<AlarmEvent> m_queue;
    qint64 m_dropped = 0;
    bool m_stop = false;
};

/// What came of reading the events of a time range.
struct AlarmEventLoad
{
    bool ok = false;
    QString error;
    QVector<AlarmEvent> events; ///< in time order
};

/// Reads the events whose time lies between `start` and `stop` (both
/// included, to the millisecond), on a connection of its own that is closed
/// before returning. Runs on the calling thread; any thread will do, so a
/// window calls it from its loader's thread. A missing table gives no events
/// and no error: nothing was ever raised there.
AlarmEventLoad loadAlarmEvents(const DbSettings &settings, const QDateTime &start, const QDateTime &stop);
