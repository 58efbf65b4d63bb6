#pragma once

#include "core/history/historydata.h"
#include "core/history/historystatistics.h"
#include "core/store/alarmschema.h"
#include "core/store/dbsettings.h"
#include "core/store/storeread.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QSqlDatabase;
class RecordStore;

using AlarmEventLoad = AlarmSchema::Load;

/// What came of loading a time range.
struct HistoryLoadResult
{
    enum Status { Loaded, Cancelled, Failed };

    Status status = Loaded;
    /// The rows read, in time order; never null. Empty when the load failed
    /// and partial when it was cancelled.
    std::shared_ptr<HistoryData> rows = std::make_shared<HistoryData>();
    /// The database's message when the load failed.
    QString error;
    /// Whether the table names the meter of each reading (`source`).
    bool hasSource = false;
    /// The meters of the rows read, sorted; empty without a `source` column.
    QStringList sources;
    /// With HistoryRangeRead::withFigures() only: the statistics of row 0's
    /// quantity over the rows read, and the alarm events of the range.
    HistoryStatistics statistics;
    AlarmEventLoad alarms;
};

/// Hooks a caller may give a load.
struct HistoryLoadControl
{
    /// Polled between blocks of rows; once true the load stops (Cancelled).
    const std::atomic_bool *cancel = nullptr;
    /// Called every few thousand rows on the loading thread with the rows
    /// read so far and the fraction of the time range they cover (0…1).
    std::function<void(int rows, double fraction)> progress;
    /// Longest wait for a lock or a statement, in milliseconds; past it the
    /// load fails with a message that says so. The history window's; the
    /// export tool keeps the default too.
    int timeoutMs = 30000;
    /// Called at most once on the loading thread when another session has
    /// held the table locked for a second: who holds it ("pid N (program)",
    /// comma-separated; empty when the server does not say) and how many
    /// milliseconds of timeoutMs the load still waits for it.
    std::function<void(const QString &holders, int waitMs)> lockWait;
    /// Only the readings of this meter; a null string for all of them. A
    /// table without `source` then fails the load.
    QString source;
};

/// Reads the rows of `invoice` whose create_time lies between `start` and
/// `stop`, both taken to the second and included whole (a row at
/// stop + 0.999 s belongs to the range), ordered by time, on `db`. Invalid
/// bounds give an empty result.
HistoryLoadResult readHistoryRange(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop,
                                   const HistoryLoadControl &control = HistoryLoadControl());

/// readHistoryRange() as a read of a store.
class HistoryRangeRead : public StoreRead
{
public:
    HistoryRangeRead(const QDateTime &start, const QDateTime &stop, const HistoryLoadControl &control)
        : m_start(start), m_stop(stop), m_control(control)
    {
    }
    /// With the statistics of row 0's quantity and the alarm events of the
    /// range, worked out where the rows are.
    void withFigures() { m_figures = true; }
    /// Progress as HistoryLoadControl::progress, on the store's thread.
    void setProgress(std::function<void(int rows, double fraction)> progress)
    {
        m_control.progress = std::move(progress);
    }
    HistoryLoadResult result;

protected:
    void run(QSqlDatabase &db, const StoreContext &context) override;

private:
    QDateTime m_start;
    QDateTime m_stop;
    HistoryLoadControl m_control;
    bool m_figures = false;
};

/// readHistoryRange() through a store of its own on `settings`, opened for
/// reading and closed again; for a tool or a test that reads once. Settings
/// with a `problem` fail the load without touching any server.
HistoryLoadResult loadHistoryRange(const DbSettings &settings, const QDateTime &start, const QDateTime &stop,
                                   const HistoryLoadControl &control = HistoryLoadControl());

/// Runs a HistoryRangeRead on a store and reports back on the thread that
/// owns this object.
class HistoryLoader : public QObject
{
    Q_OBJECT

public:
    HistoryLoader(RecordStore *store, const QDateTime &start, const QDateTime &stop, QObject *parent = nullptr);
    /// Cancels a load still running.
    ~HistoryLoader() override;

    /// Loads only the readings of `source` (null: all). Before start().
    void setSource(const QString &source) { m_source = source; }
    void start();
    /// Asks the running load to stop; finished() follows with Cancelled
    /// unless the rows were all read already.
    void cancel();
    bool isRunning() const { return m_running; }
    /// The outcome; valid once finished() was emitted.
    const HistoryLoadResult &result() const { return m_result; }

signals:
    /// Rows read so far and the share of the time range they cover, in tenths of a percent.
    void progress(int rows, int permille);
    void finished();

private:
    RecordStore *m_store;
    QDateTime m_start;
    QDateTime m_stop;
    QString m_source;
    std::shared_ptr<HistoryRangeRead> m_read;
    bool m_running = false;
    HistoryLoadResult m_result;
};
