#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <vector>

class QSqlDatabase;

/// The summaries of the record table that let a month or a year of readings
/// be drawn, counted and paged without reading every row: per meter
/// (`source`), function, unit and time bucket, at a few bucket sizes, the
/// row count, the curve's first, last, lowest and highest point with their
/// times, the largest spacing between readings and, over the readings that
/// are numbers, count, mean, M2 (for Chan's merge), minimum and maximum with
/// their times, and the overloads.
///
/// They hold exactly the rows before a watermark; readers read the rows at
/// and after it (the last seconds) in the same snapshot. Statement-level
/// triggers on `invoice` and on each of its partitions keep them exact in
/// the writer's own transaction, whoever writes: rows before the watermark
/// are merged into the buckets (deletes and updates recompute the buckets
/// they touch), rows after it wait, TRUNCATE clears; a writer that finds
/// the tail grown past a few seconds rolls it up (rollUp()). The delete and update triggers tell listeners of channel
/// `tk52k_invoice` whose rows changed (payload: the source, '' for none).
/// The insert trigger does not: the server holds one lock through the commit
/// of every transaction that notifies, so notifying writers commit one at a
/// time (measured with four single-row writers: 290 inserts a second with
/// it, 700 without). The program's writers notify in a transaction of their
/// own after they commit; RangeQueries::changeMark() finds the rows of the
/// others.
///
/// Tables without a `source` column (the five columns an older logger
/// writes) are of one meter, ""; without an `id` column, rows of equal time
/// go in the order of their places in the table, as the reads of rows take
/// them. The build adds no column to such a table and changes no row.
///
/// NULL and '' are one and the same source, function or unit here, as the
/// window shows them. Times are naive microseconds (the stored wall-clock
/// time, no zone) internally.
namespace SummarySchema {

struct Level
{
    const char *name; ///< suffix of the table, "1s"
    qint64 us;        ///< bucket size; each divides the next
};

/// The bucket sizes, finest first.
const std::vector<Level> &levels();
/// The summary table of `level` of the summaries tagged `tag`
/// (Status::tag): "invoice_summary_1s" for level 0 of the first table to
/// have summaries, "invoice_summary_2_1s" where another (archived) table
/// holds the plain names.
QString levelTable(const QString &tag, int level);

/// SQL for what a row means, shared by the triggers and the reads from raw
/// rows so both compute the same. Each takes SQL expressions.
/// The naive microseconds of a `timestamp`.
QString timeUsSql(const QString &time);
/// The `timestamp` of naive microseconds.
QString timestampSql(const QString &us);
/// The value text as a double where it is a plain decimal number (optional
/// sign and exponent, blanks around), else NULL.
QString numberSql(const QString &value);
/// Whether the value text is an overload: "OL" once signs, blanks and
/// points are taken away.
QString overloadSql(const QString &value);
/// The curve's value of a row: the number, an overload at the signed end of
/// its range's scale, anything else 0 (what HistoryData draws). Where an
/// overload is drawn comes from `scaleTable` (range, form, overload) where
/// one is named, else from the program's own figures written into the SQL.
QString curveValueSql(const QString &value, const QString &rangeText, const QString &scaleTable = QString());

/// A read that merges buckets into one, made from the summaries' own
/// declaration of their columns: for the groups named by their first
/// column ("n" for the count, mean and M2 of the numbers; "min_v", "max_v",
/// "overloads", …), their `columns` as `alias`.name, the `aggregates` over
/// rows of those columns and `pmean` (the mean of the buckets merged, where
/// the count-mean-M2 group is asked for), and the columns the read then
/// selects from them (`out`), all in the order asked.
struct BucketMerge
{
    QString columns;
    QString aggregates;
    QString out;
};
BucketMerge bucketMerge(const std::vector<const char *> &groups, const QString &alias);

/// The columns of the groups named as for bucketMerge(), in the order the
/// declaration gives them: each name, and whether it holds a float8 (else
/// a bigint).
struct SummaryField
{
    QString name;
    bool real = false;
};
std::vector<SummaryField> summaryFields(const std::vector<const char *> &groups);

enum class State {
    Usable,       ///< complete and kept up: readers use them
    NotInstalled, ///< never made for this table; build() makes them
    Incomplete,   ///< made but not complete (being built, interrupted, partitions changed); build() completes
                  ///< them
    Unavailable,  ///< cannot be had here; `reason` says why
};

struct Status
{
    State state = State::Unavailable;
    /// Why they are not usable, to be shown once; empty when usable.
    QString reason;
    /// Whether build() may be run with this connection's rights.
    bool canBuild = false;
    /// Names the table's summaries (levelTable()) where they are made.
    QString tag;
    /// Made by another version (other levels, or one missing): build()
    /// makes them anew rather than repairing them.
    bool otherVersion = false;
    /// Where usable: the buckets hold exactly the rows before this time
    /// (naive microseconds); those at and after it are read from the rows.
    /// The lowest qint64 where nothing is summarized yet.
    qint64 watermark = 0;
};

/// Whether readers may use the summaries of the table `invoice` in the
/// connection's current schema, and why not: no rights, columns they cannot
/// read, not built yet, changed under them.
Status probe(QSqlDatabase &db);

/// Makes the summary tables, functions and triggers for `invoice` and its
/// partitions and notes the rows already there as still to be summarized
/// (none for a table just made). Runs in the caller's transaction when one
/// is open (RecordSchema::ensureTable makes the table and its summaries in
/// one), else in one of its own. False with `error` set on failure.
bool install(QSqlDatabase &db, QString *error);

/// What installScript() makes the summaries for.
struct ScriptTarget
{
    bool hasId = true;     ///< the table has an `id` column
    bool hasSource = true; ///< the table has a `source` column
    /// The schema (quoted) the functions' search path names.
    QString schema = QStringLiteral("public");
    /// The role (quoted) that owns `invoice` and may run the trigger functions.
    QString tableOwner = QStringLiteral("tk52k");
    bool keyTypeExists = false; ///< left out where a build made them before
    bool rowTypeExists = false;
};

/// The statements install() runs to make the summary tables, types,
/// functions, their grants and the triggers on `invoice`, in order, the
/// names of the summaries left as {SUM}, {FN} and {TAGNO} (PgLink fills
/// them in). Made without a server, so what runs can be read and compared.
QStringList installScript(const ScriptTarget &target);

/// Gives the partition `partition` of `invoice`, just made, the summary
/// triggers and notes it among the summarized ones. Nothing to do (true)
/// where the table has no summaries.
bool adoptPartition(QSqlDatabase &db, const QString &partition, QString *error);

struct BuildControl
{
    /// Polled between chunks; once true the build stops, resumable later.
    const std::atomic_bool *cancel = nullptr;
    /// After each chunk: share of the work done (0…1) and rows summarized.
    std::function<void(double fraction, qint64 rows)> progress;
    /// Once, before anything is changed: what the build will add to the
    /// table and how long it will keep writers waiting, for the user. A
    /// false answer stops the build there (Cancelled), nothing changed.
    std::function<bool(const QString &plan)> announce;
};

enum class BuildOutcome { Built, Cancelled, Failed };

/// Makes an index on create_time where the table has none (CONCURRENTLY),
/// installs the summaries where missing, repairs what changed outside the
/// program (partitions attached, detached or dropped, triggers removed) and
/// summarizes every row not summarized yet, in chunks of about a second,
/// each locking only the partition it reads, while writers keep inserting.
/// Resumes an interrupted build. One build at a time per database.
BuildOutcome build(QSqlDatabase &db, const BuildControl &control, QString *error);

/// Rolls the rows after the watermark up into the buckets, up to the newest
/// row when it starts less `marginUs`, in steps of a bounded number of rows
/// (the writers wait for each). The writers' triggers do so on their own as
/// the tail grows; a build ends with it. True where there are no summaries.
bool rollUp(QSqlDatabase &db, qint64 marginUs, QString *error);

/// Drops the triggers, functions and summary tables.
bool uninstall(QSqlDatabase &db, QString *error);

} // namespace SummarySchema
