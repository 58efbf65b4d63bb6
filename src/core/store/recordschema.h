#pragma once

#include <QString>
#include <QStringList>

class QDate;
class QDateTime;
class QSqlDatabase;
class QSqlQuery;
struct MeasurementRecord;

/// Everything the program says about the record table in SQL: its name and
/// columns, how a new one is made, how a row is inserted and how a table
/// found on the server is told apart from the one the program makes.
///
/// New tables number their rows (`id`), name the meter of each reading
/// (`source`, nullable) and are range-partitioned by month on `create_time`,
/// with partitions made ahead by ensurePartitions() and a default partition
/// for any row outside them. Tables made elsewhere with only the five text
/// columns (or an integer `frastr`) keep working: the insert names the five
/// columns, plus optional ones only where the probe found them.
namespace RecordSchema {

inline const char *const kTable = "invoice";
/// Index that lets a range read return rows in time order, then by `id`.
inline const char *const kTimeIdIndex = "invoice_create_time_id_idx";
/// The same for a table without the identity column.
inline const char *const kTimeIndex = "invoice_create_time_idx";

/// The format of `create_time` as the program shows it, and of range bounds.
inline const char *const kTimeFormat = "yyyy-MM-dd hh:mm:ss";
/// The format of `create_time` as it is written where the column keeps
/// milliseconds.
inline const char *const kTimeFormatMs = "yyyy-MM-dd hh:mm:ss.zzz";

/// `time` to the second, "yyyy-MM-dd hh:mm:ss".
QString timeText(const QDateTime &time);
/// `time` to the millisecond, "yyyy-MM-dd hh:mm:ss.zzz".
QString timeTextMs(const QDateTime &time);
/// A time written by timeText() or timeTextMs(); invalid for anything else.
QDateTime timeFromText(const QString &text);

/// What a table on the server has beyond the five columns every table has.
struct TableShape
{
    bool exists = false;
    bool hasId = false;       ///< numbers rows, so rows of one second keep their order
    bool hasSource = false;   ///< has the nullable `source` column
    bool partitioned = false; ///< range-partitioned on `create_time`
    QString frastrType;       ///< the server's data_type of `frastr`, e.g. "text", "integer"
    /// Fractional digits `create_time` keeps: 3 in a table the program
    /// makes, 6 for a bare `timestamp`, 0 for timestamp(0) or a text column.
    int timePrecision = 0;

    /// The program's own layout (row numbers, meter names, timestamp(3)),
    /// the one table readings are written to the millisecond.
    bool keepsMilliseconds() const { return hasId && hasSource && timePrecision == 3; }
};

/// Looks the table up in the connection's current schema. False, with
/// `error` set, when the server could not be asked; a missing table is not
/// an error (`exists` is false).
bool probe(QSqlDatabase &db, TableShape *shape, QString *error = nullptr);

/// The statements that make the table as the program lays it out, with
/// IF NOT EXISTS, in order.
QStringList createStatements();

/// Makes the table and its index when missing and probes it. False with
/// `error` set when the table is not there afterwards. An index the server
/// refuses (no rights on a table made elsewhere) is not an error.
bool ensureTable(QSqlDatabase &db, TableShape *shape, QString *error);

/// Makes the monthly partitions of a partitioned table from the month of
/// `from` through `monthsAhead` months later, and the default partition,
/// where missing. A month whose rows already sit in the default partition
/// is left there (with a warning): those rows are still read as any other.
/// False with `error` set when the server could not be asked.
bool ensurePartitions(QSqlDatabase &db, const QDate &from, int monthsAhead, QString *error);

/// The usual name of the partition that holds the month of `day`:
/// invoice_yYYYYmMM. (A partition made while another table, an archived
/// one, holds that name gets a suffix; partitions are found by the table
/// they belong to, not by their names.)
QString partitionName(const QDate &day);

/// Whether a row of `time` has a partition to go to.
enum class PartitionCover { Covered, Missing, Unknown };
/// Looks at the partitions of the partitioned table (a month's, or the
/// default). Unknown, with `error` set, when the server could not be asked.
PartitionCover partitionFor(QSqlDatabase &db, const QDateTime &time, QString *error);

/// The INSERT for `rows` rows into a table of `shape`, with positional
/// placeholders in the order bindRecord() binds them, row after row.
QString insertStatement(const TableShape &shape, int rows = 1);

/// Whether a row of the values bindRecord() binds is in the table: one
/// boolean column, placeholders in bindRecord()'s order.
QString existsStatement(const TableShape &shape);

/// "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr,
/// create_time) ", to be followed by VALUES or a SELECT of those five.
QString insertInto();

/// Binds `record` to a query prepared with insertStatement(`shape`). The
/// time goes with its milliseconds into the program's own timestamp(3)
/// column; into any other table cut to its second, as the program has always
/// written it (a query of whole seconds there then finds every reading of
/// that second, and the server does not round it up to the next).
void bindRecord(QSqlQuery &query, const MeasurementRecord &record, const TableShape &shape);

/// `name` as a double-quoted SQL identifier. Empty when the server could not
/// take it as one: empty, longer than 63 bytes (the server would cut it) or
/// holding a NUL character.
QString quotedIdentifier(const QString &name);

} // namespace RecordSchema
