#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <string_view>
#include <vector>

class QSqlDatabase;

/// The reads of a history range that never hold the range: the curve as
/// per-pixel-column aggregates, statistics, row counts, the row at a
/// position, pages of rows, the quantities and meters present. Each reads
/// the summaries (SummarySchema) where they are complete, else the rows;
/// the results are the same either way.
///
/// Conventions: times are naive milliseconds (the stored wall-clock time,
/// no zone applied) and ranges half-open. A source filter that is a null
/// QString means every meter; NULL and '' are the same meter (and the same
/// function or unit), given back as "". The caller owns the connection and
/// its thread; several statements of one read run in one snapshot.
namespace RangeQueries {

struct Range
{
    qint64 fromMs = 0;
    qint64 toMs = 0; ///< excluded
};

/// A function and the units it is drawn in, each with the factor that turns
/// it into the quantity's unit (mV × 0.001 and V × 1 draw as one curve in V).
struct Quantity
{
    struct Unit
    {
        QString unit;
        double factor = 1.0; ///< positive
    };
    QString function;
    QVector<Unit> units;
};

/// What a read must know of the table, found once by inspect().
struct Table
{
    bool exists = false;
    bool hasId = false;        ///< else rows of one time are told apart by where they lie (ctid)
    bool hasSource = false;    ///< else every row is meter ""
    bool timeIsText = false;   ///< create_time kept as text; rows whose text is no time are left out
    bool timeIsDate = false;   ///< create_time a date: each row at its midnight
    bool timeIsZoned = false;  ///< create_time a timestamp with time zone
    bool frastrIsText = true;  ///< else an integer column
    bool valueIsText = true;   ///< else datavaluestr is read as its text (a numeric column)
    bool summaries = false;    ///< complete when inspected; each read checks again
    QString summaryReason;     ///< why not, from SummarySchema::probe()
    bool summariesCanBuild = false; ///< whether this connection may build them
    /// Made for this table but not to be trusted now (being built, or
    /// written past their triggers): reads fall back to the rows.
    bool summariesIncomplete = false;
};

/// Finds what a read must know of the table. A table it cannot read (a
/// create_time that is no time, text or date; funcstr, unitstr or source
/// that are no text) is refused here, with the reason in `error`.
bool inspect(QSqlDatabase &db, Table *table, QString *error);
/// Looks again whether the summaries of an inspected table may be used
/// (the summary fields of Table), as each read does for itself.
void probeSummaries(QSqlDatabase &db, Table *table);

/// In a table keeping its times as text: the rows whose create_time is no
/// time ("yyyy-MM-dd hh:mm:ss" with an optional fraction, or the date
/// alone), which every read leaves out, and the first of those texts.
bool unreadableTimes(QSqlDatabase &db, const Table &table, qint64 *count, QString *example, QString *error);

struct Point
{
    qint64 ms = 0;
    double value = 0.0;
};

/// The rows of one curve in one pixel column, or in one stretch of it
/// between gaps: M4 (first, last, lowest and highest, the earliest of
/// equal values), a line through which draws the same pixels as one
/// through every row.
struct Group
{
    int column = 0;
    qint64 count = 0;
    Point first;
    Point last;
    Point min;
    Point max;
    /// Whether the curve runs on from the previous group: false for the first
    /// group and after a gap (readings further apart than the curve's gap).
    bool joinsPrevious = false;
};

struct Curve
{
    QString source;
    qint64 count = 0;
    /// Readings further apart than this (ms) leave a gap in the curve.
    double gapMs = 0;
    QVector<Group> groups; ///< in time order
};

/// Over the readings that are numbers (overloads counted apart), in the
/// quantity's unit. NaN where undefined (no reading; σ of one).
struct Statistics
{
    qint64 count = 0;
    qint64 overloads = 0;
    double mean = 0;
    double stddev = 0; ///< sample (n − 1)
    double min = 0;
    qint64 minMs = 0; ///< the earliest reading of that value
    double max = 0;
    qint64 maxMs = 0;
    bool fromSummaries = false;
};

/// One meter's figures among those of statistics().
struct MeterStatistics
{
    QString source;
    Statistics figures;
    QStringList units; ///< the units its readings of the quantity came in, by name
};

struct ColumnsRequest
{
    /// W + 1 increasing boundaries (ms) of W columns [B_k, B_k+1); the rows
    /// before the first and from the last on are not read.
    QVector<qint64> boundaries;
    QString source;
    Quantity quantity;
    /// The gap to use (ms); 0 or less: max(2 s, 3 × the mean spacing of
    /// each curve's readings between the first and the last boundary).
    double gapMs = 0;
    /// Also the statistics of the quantity's readings between the first and
    /// the last boundary, as statistics() gives them: read from the rows,
    /// in the same pass as the columns.
    bool statistics = false;
};

struct Columns
{
    QVector<Curve> curves; ///< one per meter with rows of the quantity, by name
    bool fromSummaries = false;
    /// With ColumnsRequest::statistics: the figures, taken together and
    /// meter by meter, as statistics() gives them.
    Statistics statistics;
    QVector<MeterStatistics> meters;
};

bool columns(QSqlDatabase &db, const Table &table, const ColumnsRequest &request, Columns *out,
             QString *error);

/// Past this much work (meters × buckets and seconds of rows to read) a
/// curve from the summaries is read in two halves at once, the later one
/// over a second connection in the same snapshot; 20 000 unless set.
void setTwoConnectionsWork(qint64 work);
/// Past this many rows of the table in its range (as the server's
/// statistics estimate them) a curve from the rows alone is read in two
/// halves the same way; 50 000 unless set. At 0 also without statistics.
void setTwoConnectionsRows(qint64 rows);
/// Halves read so far over a second connection (of every thread).
qint64 secondConnectionReads();

/// The figures of the quantity's readings of the range (of every meter when
/// `source` is null). `meters`, when given, gets each meter's own figures,
/// by name; `out` is those taken together.
bool statistics(QSqlDatabase &db, const Table &table, const Range &range, const QString &source,
                const Quantity &quantity, Statistics *out, QString *error,
                QVector<MeterStatistics> *meters = nullptr);

/// Rows of the range, all quantities.
bool rowCount(QSqlDatabase &db, const Table &table, const Range &range, const QString &source, qint64 *count,
              QString *error);

/// A row's place in (create_time, id) order: its time in microseconds and
/// its id (where the table has none, where the row lies: block × 65536 +
/// item).
struct RowKey
{
    qint64 timeUs = 0;
    qint64 id = 0;
};

/// The rows of a range before a time (ms), as a curve's columns counted
/// them.
struct RowAnchor
{
    qint64 ms = 0;
    qint64 rowsBefore = 0;
};

/// The rows of `range` before each boundary of `request`, from the counts of
/// its columns; empty unless they are the rows of the whole range, `total`
/// of them (its boundaries run from the range's start to its end, and every
/// row of it is of the quantity and drawn).
QVector<RowAnchor> anchorsOf(const ColumnsRequest &request, const Columns &columns, const Range &range,
                             qint64 total);

/// The key of row `n` (0-based) of the range, found through the summaries'
/// counts, or the rows' where they do not serve. `total`, the range's rows
/// when the caller knows them, lets a row past the middle be found by
/// counting from the end; `anchors` (anchorsOf() of that many rows, in time
/// order) let the rows' count walk only the rows between the two around row
/// `n`. False without error when `n` is past the last row.
bool keyAt(QSqlDatabase &db, const Table &table, const Range &range, const QString &source, qint64 n,
           RowKey *key, QString *error, qint64 total = -1, const QVector<RowAnchor> &anchors = {});

struct Row
{
    RowKey key;
    qint64 ms = 0;
    QString value;
    QString unit;
    QString function;
    QString frastr;
    QString source;
};

struct PageRequest
{
    enum From {
        First,     ///< the range's first rows
        AtOrAfter, ///< from `key` on, that row included
        After,     ///< the rows after `key`
        Before,    ///< the rows before `key`, ending with the one just before it
        Last,      ///< the range's last rows
    };
    Range range;
    QString source;
    From from = First;
    RowKey key;
    int limit = 100;
};

/// Rows in (create_time, id) order, read from the key on (never OFFSET).
bool page(QSqlDatabase &db, const Table &table, const PageRequest &request, QVector<Row> *rows, QString *error);

/// The millisecond a time in microseconds lies in.
inline qint64 msOfUs(qint64 us)
{
    return us >= 0 || us % 1000 == 0 ? us / 1000 : us / 1000 - 1;
}

/// Rows as streamRows() hands them over: each row's time and its texts as
/// the server sent them (UTF-8), NULL as "", gathered in one buffer.
struct RowBatch
{
    enum Field { Value, Unit, Function, Frastr, Source, FieldCount };
    struct Row
    {
        qint64 timeUs = 0;
        qint64 place = 0; ///< where a row of a table without id lies, for streamRows() only
        /// Field k is text[bounds[k], bounds[k + 1]).
        int bounds[FieldCount + 1] = {};
    };
    QByteArray text;
    std::vector<Row> rows;

    std::string_view field(const Row &row, Field f) const
    {
        return std::string_view(text.constData() + row.bounds[f], size_t(row.bounds[f + 1] - row.bounds[f]));
    }
    void clear()
    {
        text.clear();
        rows.clear();
    }
};

/// The rows of the range (at most `limit`) in (create_time, id) order, as
/// page() gives them, read in one statement that the server streams: `take`
/// receives them in batches of about `batchRows` as they arrive and may
/// keep what it is given; it returns false to stop the read, which then
/// returns false with `stopped` set. Nothing but the batch at hand is held.
/// The statement has no time limit of its own.
bool streamRows(QSqlDatabase &db, const Table &table, const Range &range, const QString &source, qint64 limit,
                int batchRows, const std::function<bool(RowBatch &batch)> &take, bool *stopped,
                QString *error);

struct QuantityCount
{
    QString function;
    QString unit;
    qint64 count = 0;
    qint64 firstMs = 0; ///< time of its first row in the range
};

/// The (function, unit) pairs of the range, in the order they first appear.
bool quantities(QSqlDatabase &db, const Table &table, const Range &range, const QString &source,
                QVector<QuantityCount> *out, QString *error);

/// The meters with rows in the range, by name.
bool sources(QSqlDatabase &db, const Table &table, const Range &range, QStringList *out, QString *error);

/// rowCount(), quantities() and sources() of a range at once, each row
/// counted once: `rows` and `quantities` of the meter `source` (null: all),
/// `sources` of every meter.
struct Tally
{
    qint64 rows = 0;
    QVector<QuantityCount> quantities;
    QStringList sources;
};
bool tally(QSqlDatabase &db, const Table &table, const Range &range, const QString &source, Tally *out,
           QString *error);

/// A number that moves whenever rows are added to the table, whoever adds
/// them: made of the last value of its id sequence and the latest
/// create_time (µs), which rows a bulk load brings with ids of their own
/// move too. A window following new rows asks for it every second and
/// reads the rows after its last key when it moved. Rows updated or
/// deleted, or added before the latest time, may not move it.
bool changeMark(QSqlDatabase &db, const Table &table, qint64 *mark, QString *error);

} // namespace RangeQueries
