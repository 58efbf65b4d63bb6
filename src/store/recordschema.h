#pragma once

#include <QString>
#include <QStringList>

class QDateTime;
class QSqlDatabase;
class QSqlQuery;
struct MeasurementRecord;

/// Everything the program says about the record table in SQL: its name and
/// columns, how a new one is made, how a row is inserted and how a table
/// found on the server is told apart from the one the program makes.
///
/// Tables made elsewhere with only the five text columns (or an integer
/// `frastr`) keep working: the insert names the five columns, plus optional
/// ones only where the probe found them.
namespace RecordSchema {

inline const char *const kTable = "invoice";
/// Index that lets a range read return rows in time order, then by `id`.
inline const char *const kTimeIdIndex = "invoice_create_time_id_idx";
/// The same for a table without the identity column.
inline const char *const kTimeIndex = "invoice_create_time_idx";

/// The format of `create_time` literals and of range bounds.
inline const char *const kTimeFormat = "yyyy-MM-dd hh:mm:ss";

/// `time` as written to `create_time`.
QString timeText(const QDateTime &time);

/// What a table on the server has beyond the five columns every table has.
struct TableShape
{
    bool exists = false;
    bool hasId = false;       ///< numbers rows, so rows of one second keep their order
    QString frastrType;       ///< the server's data_type of `frastr`, e.g. "text", "integer"
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

/// The INSERT for one row into a table of `shape`, with positional
/// placeholders in the order bindRecord() binds them.
QString insertStatement(const TableShape &shape);

/// "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr,
/// create_time) ", to be followed by VALUES or a SELECT of those five.
QString insertInto();

/// Binds `record` to a query prepared with insertStatement().
void bindRecord(QSqlQuery &query, const MeasurementRecord &record);

/// `name` as a double-quoted SQL identifier. Empty when the server could not
/// take it as one: empty, longer than 63 bytes (the server would cut it) or
/// holding a NUL character.
QString quotedIdentifier(const QString &name);

} // namespace RecordSchema
