#pragma once

#include "core/store/alarmschema.h"
#include "core/store/rangequeries.h"
#include "core/store/storeread.h"

#include <QDateTime>
#include <QVector>

#include <algorithm>
#include <functional>
#include <memory>

class RecordStore;

/// The reads of the history window and the exports as store reads: each
/// runs its range queries in one snapshot of its own, with the window's
/// limits on locks and statements, between the store's transactions.
namespace HistoryReads {

/// Longest wait for a lock or a statement of one read, in milliseconds.
constexpr int kTimeoutMs = 30000;

/// The range a window shows: from `start` through the end of `stop`'s
/// second, in naive milliseconds.
RangeQueries::Range rangeOf(const QDateTime &start, const QDateTime &stop);
/// Naive milliseconds of a wall-clock time (its date and time fields,
/// whatever its zone), and back: a local time, or, for a wall-clock time the
/// local zone skips, the same fields at the offset in force before the
/// skip. Always valid, so a stored time is always shown as stored.
qint64 naiveMs(const QDateTime &time);
QDateTime timeOfNaiveMs(qint64 ms);
/// The wall-clock time "yyyy-MM-dd HH:mm:ss" names, as timeOfNaiveMs() gives
/// it (also where the local zone skips or repeats it); invalid when the
/// text is no such time.
QDateTime wallClockTime(const QString &text);
/// `time`'s date and time fields as a UTC time: what a date-time edit set to
/// UTC shows and takes, so that it offers every wall-clock time, also one
/// the local zone skips or repeats.
QDateTime wallClockFields(const QDateTime &time);
/// The moment (ms since the epoch) a naive time stands for in the local
/// time zone, and back: curves are drawn over real time, so a clock change
/// neither opens an hour-wide hole nor folds an hour onto another.
qint64 utcOfNaive(qint64 naiveMs);
qint64 naiveOfUtc(qint64 utcMs);

/// A quantity as the window offers it: one function in one base unit,
/// whatever prefixes its readings came in ("DCV (mV, V)").
struct Quantity
{
    RangeQueries::Quantity query; ///< the function and its units with their factors
    QString baseUnit;             ///< the unit the curve and the figures are in
    QStringList units;            ///< the units the readings came in, as they first appear
    qint64 count = 0;
    qint64 firstMs = 0;
    /// The range index (`frastr`) of its first reading, -1 when unknown:
    /// it names the fixed y scale of a quantity read in one unit.
    int firstRange = -1;
    /// Decimals of its first reading that is a number, -1 when none came
    /// with the first: the readings' resolution.
    int firstDecimals = -1;
    /// "DCV (mV, V)".
    QString label() const;
};

/// The quantities of `counts`, each function's prefixed units joined into
/// one quantity in its base unit, in the order they first appear. A
/// quantity read in one unit only stays in that unit (factor 1).
QVector<Quantity> joinQuantities(const QVector<RangeQueries::QuantityCount> &counts);

/// Base of the reads: the snapshot, the limits, the table found first.
class Read : public StoreRead
{
public:
    /// The table as the last read found it; a read looks at it again when
    /// none is given (`exists` false).
    RangeQueries::Table table;
    /// Called on the store's thread when another session has held the table
    /// locked for a second: who holds it ("pid N (program)", empty when the
    /// server does not say) and how many more milliseconds the read waits.
    std::function<void(const QString &holders, int waitMs)> lockWait;
    /// Longest wait for a lock or a statement of this read.
    int timeoutMs = kTimeoutMs;

protected:
    void run(QSqlDatabase &db, const StoreContext &context) final;
    /// The queries, in the snapshot; false with `error` set on failure.
    virtual bool query(QSqlDatabase &db, QString *error) = 0;
};

/// What a range holds, read when a window opens it: the table, the rows,
/// the quantities and meters, the first row (its range names the y scale),
/// and the alarm events.
class OverviewRead : public Read
{
public:
    OverviewRead(const QDateTime &start, const QDateTime &stop, const QString &source)
        : m_start(start), m_stop(stop), m_source(source)
    {
    }
    qint64 rows = 0;
    QVector<Quantity> quantities;
    QStringList sources;
    RangeQueries::Row first; ///< valid when rows > 0
    RangeQueries::Row last;  ///< valid when rows > 0
    /// Rows of a table keeping its times as text whose time is none, left
    /// out of every read (whatever the range), and the first such text.
    qint64 unreadableTimes = 0;
    QString unreadableExample;
    AlarmSchema::Load alarms;
    /// Set before the read: only the table is read, `rows` stays 0 (an
    /// export that streams the range counts its rows as they come).
    bool tableOnly = false;

protected:
    bool query(QSqlDatabase &db, QString *error) override;

private:
    QDateTime m_start;
    QDateTime m_stop;
    QString m_source;
};

/// One meter's figures of a quantity, with the resolution of its readings.
struct MeterFigures
{
    RangeQueries::MeterStatistics meter;
    /// Decimals of the readings that are the minimum and the maximum, in the
    /// quantity's unit (a reading of "177.25" mV has five in V); -1 when
    /// there is none.
    int minDecimals = -1;
    int maxDecimals = -1;
    /// The finer of the two: the resolution of the meter's readings.
    int decimals() const { return std::max(minDecimals, maxDecimals); }
};

/// The curve of a quantity in pixel columns (see RangeQueries::columns()),
/// and with ColumnsRequest::statistics the figures of its readings between
/// the first and the last boundary, as StatisticsRead gives them.
class CurveRead : public Read
{
public:
    explicit CurveRead(const RangeQueries::ColumnsRequest &request) : m_request(request) {}
    RangeQueries::Columns columns;
    RangeQueries::Statistics statistics;
    QVector<MeterFigures> meters;
    const RangeQueries::ColumnsRequest &request() const { return m_request; }

protected:
    bool query(QSqlDatabase &db, QString *error) override;

private:
    RangeQueries::ColumnsRequest m_request;
};

/// The figures of a quantity over a range: taken together, and meter by meter.
class StatisticsRead : public Read
{
public:
    StatisticsRead(const RangeQueries::Range &range, const QString &source, const RangeQueries::Quantity &quantity)
        : m_range(range), m_source(source), m_quantity(quantity)
    {
    }
    RangeQueries::Statistics statistics;
    QVector<MeterFigures> meters; ///< by name; the meters with readings or overloads of the quantity

protected:
    bool query(QSqlDatabase &db, QString *error) override;

private:
    RangeQueries::Range m_range;
    QString m_source;
    RangeQueries::Quantity m_quantity;
};

/// Rows `first` … `first` + `count` − 1 of a range. `after`, when set, is
/// the key of row `first` − 1 (the block before was read), which saves
/// finding row `first` through the counts.
class PageRead : public Read
{
public:
    PageRead(const RangeQueries::Range &range, const QString &source, qint64 first, int count)
        : m_range(range), m_source(source), m_first(first), m_count(count)
    {
    }
    void startAfter(const RangeQueries::RowKey &key) { m_after = key, m_hasAfter = true; }
    /// The range's rows as last counted: a row past the middle is then
    /// found from the range's end (RangeQueries::keyAt()).
    void setTotal(qint64 rows) { m_total = rows; }
    /// The rows before times of the range (RangeQueries::anchorsOf() of
    /// those rows): a row is then counted to from the nearer of two.
    void setAnchors(const QVector<RangeQueries::RowAnchor> &anchors) { m_anchors = anchors; }
    qint64 first() const { return m_first; }
    QVector<RangeQueries::Row> rows;

protected:
    bool query(QSqlDatabase &db, QString *error) override;

private:
    RangeQueries::Range m_range;
    QString m_source;
    qint64 m_first;
    int m_count;
    RangeQueries::RowKey m_after;
    bool m_hasAfter = false;
    qint64 m_total = -1;
    QVector<RangeQueries::RowAnchor> m_anchors;
};

/// Every row of a range (at most `limit`) in the order of the pages, read in
/// one statement that the server streams (RangeQueries::streamRows()), for
/// an export: the store's thread reads and hands over batches, which the
/// caller takes on its own thread with next() while the next ones arrive.
/// A few batches are held at most; while the caller takes none, the read
/// waits, and the store with it.
class RowStream
{
public:
    RowStream(const RangeQueries::Table &table, const RangeQueries::Range &range, const QString &source,
              qint64 limit);
    /// Stops the read where it still runs.
    ~RowStream();
    RowStream(const RowStream &) = delete;
    RowStream &operator=(const RowStream &) = delete;

    /// Posts the read to `store`.
    void start(RecordStore *store);
    /// Waits for the next batch of rows: false after the last one, and when
    /// the read failed (error() then says why).
    bool next(RangeQueries::RowBatch *batch);
    /// Stops the read; next() returns false from then on.
    void stop();
    QString error() const;

    /// Rows a batch holds.
    static constexpr int kBatchRows = 4096;

private:
    struct Shared;
    class StreamRead;
    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<StreamRead> m_read;
};

/// The number of rows of a range before a moment: the row a click on the
/// curve at that moment brings.
class RowIndexRead : public Read
{
public:
    RowIndexRead(const RangeQueries::Range &range, const QString &source, qint64 atMs)
        : m_range(range), m_source(source), m_atMs(atMs)
    {
    }
    qint64 index = 0;
    /// As PageRead's: the rows before the moment are then counted from the
    /// last anchor before it.
    void setAnchors(const QVector<RangeQueries::RowAnchor> &anchors) { m_anchors = anchors; }

protected:
    bool query(QSqlDatabase &db, QString *error) override;

private:
    RangeQueries::Range m_range;
    QString m_source;
    qint64 m_atMs;
    QVector<RangeQueries::RowAnchor> m_anchors;
};

/// Makes, repairs or completes the table's summaries (SummarySchema::build),
/// reporting its share done on the store's thread. Long: run it on a store
/// of its own, so that the one writing readings goes on meanwhile.
class BuildSummariesRead : public StoreRead
{
public:
    std::function<void(double fraction, qint64 rows)> progress;
    /// What the build will change and lock, once before it starts.
    /// False: the user declined, the build ends cancelled with nothing changed.
    std::function<bool(const QString &plan)> announce;
    bool built = false; ///< false when cancelled or failed

protected:
    void run(QSqlDatabase &db, const StoreContext &context) override;
};

} // namespace HistoryReads
