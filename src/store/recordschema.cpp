#include "recordschema.h"

#include "store/measurementrecord.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace RecordSchema {
namespace {
// The identity column orders rows written within the same second; the
// program never writes it.
const char *const kCreateTable = R"(
CREATE TABLE IF NOT EXISTS invoice (
    id           bigint GENERATED ALWAYS AS IDENTITY,
    funcstr      text,
    datavaluestr text,
    unitstr      text,
    frastr       text,
    create_time  timestamp without time zone
))";
const char *const kCreateTimeIdIndex =
    "CREATE INDEX IF NOT EXISTS invoice_create_time_id_idx ON invoice (create_time, id)";
const char *const kCreateTimeIndex = "CREATE INDEX IF NOT EXISTS invoice_create_time_idx ON invoice (create_time)";

// One statement tells whether the table exists and which columns it has.
const char *const kProbe = R"(
SELECT column_name, data_type FROM information_schema.columns
 WHERE table_schema = current_schema() AND table_name = 'invoice')";

const char *const kInsertInto = "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) ";

bool relationExists(QSqlDatabase &db, const char *name)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT to_regclass(?) IS NOT NULL"));
    q.addBindValue(QLatin1String(name));
    return q.exec() && q.next() && q.value(0).toBool();
}
} // namespace

QString timeText(const QDateTime &time)
{
    return time.toString(QLatin1String(kTimeFormat));
}

bool probe(QSqlDatabase &db, TableShape *shape, QString *error)
{
    *shape = TableShape();
    QSqlQuery q(db);
    if (!q.exec(QLatin1String(kProbe))) {
        if (error)
            *error = q.lastError().text().trimmed();
        return false;
    }
    while (q.next()) {
        shape->exists = true;
        const QString column = q.value(0).toString();
        if (column == QLatin1String("id"))
            shape->hasId = true;
        else if (column == QLatin1String("frastr"))
            shape->frastrType = q.value(1).toString();
    }
    return true;
}

QStringList createStatements()
{
    return {QLatin1String(kCreateTable), QLatin1String(kCreateTimeIdIndex)};
}

bool ensureTable(QSqlDatabase &db, TableShape *shape, QString *error)
{
    if (!probe(db, shape, error))
        return false;
    if (!shape->exists) {
        // Asking first keeps the server's "already exists" notices out of the
        // output. A concurrent creator may win the race with a unique
        // violation; what matters is that the table is there afterwards.
        QSqlQuery q(db);
        const bool created = q.exec(QLatin1String(kCreateTable));
        if (!probe(db, shape, error))
            return false;
        if (!shape->exists) {
            *error = created ? QStringLiteral("table %1 missing after CREATE TABLE").arg(QLatin1String(kTable))
                             : q.lastError().text().trimmed();
            return false;
        }
    }
    const char *const index = shape->hasId ? kTimeIdIndex : kTimeIndex;
    if (!relationExists(db, index)) {
        QSqlQuery q(db);
        q.exec(QLatin1String(shape->hasId ? kCreateTimeIdIndex : kCreateTimeIndex));
    }
    return true;
}

QString insertInto()
{
    return QLatin1String(kInsertInto);
}

QString insertStatement(const TableShape &)
{
    return insertInto() + QLatin1String("VALUES (?, ?, ?, ?, ?)");
}

void bindRecord(QSqlQuery &query, const MeasurementRecord &record)
{
    query.addBindValue(record.funcStr);
    query.addBindValue(record.valueText);
    query.addBindValue(record.unitStr);
    query.addBindValue(record.rangeText());
    query.addBindValue(record.timeText());
}

QString quotedIdentifier(const QString &name)
{
    if (name.isEmpty() || name.contains(QChar(0)) || name.toUtf8().size() > 63)
        return QString();
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace RecordSchema
