#include "recordschema.h"

#include "core/store/measurementrecord.h"
#include "core/store/summaryschema.h"

#include <QDate>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace RecordSchema {
namespace {
// The row number orders rows written within the same second; the program
// never writes it. (A sequence rather than an identity column: the server
// allows no identity column on a partitioned table.) Readings of a month
// share a partition, so years of them stay quick to read by range and cheap
// to drop by month; rows outside every monthly partition land in the
// default one.
const char *const kCreateStatements[] = {
    "CREATE SEQUENCE IF NOT EXISTS invoice_id_seq AS bigint",
    R"(CREATE TABLE IF NOT EXISTS invoice (
    id           bigint NOT NULL DEFAULT nextval('invoice_id_seq'),
    funcstr      text,
    datavaluestr text,
    unitstr      text,
    frastr       text,
    create_time  timestamp(3) without time zone,
    source       text
) PARTITION BY RANGE (create_time))",
    "ALTER SEQUENCE invoice_id_seq OWNED BY invoice.id",
    "CREATE TABLE IF NOT EXISTS invoice_default PARTITION OF invoice DEFAULT",
    "CREATE INDEX IF NOT EXISTS invoice_create_time_id_idx ON invoice (create_time, id)",
};
const char *const kCreateTimeIdIndex =
    "CREATE INDEX IF NOT EXISTS invoice_create_time_id_idx ON invoice (create_time, id)";
const char *const kCreateTimeIndex =
    "CREATE INDEX IF NOT EXISTS invoice_create_time_idx ON invoice (create_time)";

// One statement tells whether the table exists and which columns it has.
const char *const kProbe = R"(
SELECT column_name, data_type, coalesce(datetime_precision, 0) FROM information_schema.columns
 WHERE table_schema = current_schema() AND table_name = 'invoice')";

const char *const kInsertInto = "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) ";

const char *const kIsPartitioned =
    "SELECT EXISTS (SELECT 1 FROM pg_partitioned_table WHERE partrelid = to_regclass('invoice'))";

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

QString timeTextMs(const QDateTime &time)
{
    return time.toString(QLatin1String(kTimeFormatMs));
}

QDateTime timeFromText(const QString &text)
{
    return QDateTime::fromString(text, QLatin1String(text.size() > 19 ? kTimeFormatMs : kTimeFormat));
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
        else if (column == QLatin1String("source"))
            shape->hasSource = true;
        else if (column == QLatin1String("frastr"))
            shape->frastrType = q.value(1).toString();
        else if (column == QLatin1String("create_time") && q.value(1).toString().startsWith(QLatin1String("timestamp")))
            shape->timePrecision = q.value(2).toInt();
    }
    if (!shape->exists)
        return true;
    QSqlQuery partitioned(db);
    if (!partitioned.exec(QLatin1String(kIsPartitioned)) || !partitioned.next()) {
        if (error)
            *error = partitioned.lastError().text().trimmed();
        return false;
    }
    shape->partitioned = partitioned.value(0).toBool();
    return true;
}

QStringList createStatements()
{
    QStringList statements;
    for (const char *statement : kCreateStatements)
        statements << QLatin1String(statement);
    return statements;
}

bool ensureTable(QSqlDatabase &db, TableShape *shape, QString *error)
{
    if (!probe(db, shape, error))
        return false;
    if (!shape->exists) {
        // Asking first keeps the server's "already exists" notices out of the
        // output. A concurrent creator may win the race with a unique
        // violation; what matters is that the table is there afterwards.
        // All or nothing, so a table is never left without its partitions.
        QSqlQuery q(db);
        QString failure;
        if (db.transaction()) {
            for (const char *statement : kCreateStatements) {
                if (!q.exec(QLatin1String(statement))) {
                    failure = q.lastError().text().trimmed();
                    break;
                }
            }
            // The summaries that let the history window open months of
            // rows are made with the table, in the same transaction, so no
            // row is ever written without them. A server that cannot keep
            // them (older than 15) still gets its table; the window then
            // reads rows and says why.
            QString why;
            if (failure.isEmpty() && !SummarySchema::install(db, &why))
                qWarning("tk52k: the table is made without summaries: %s", qPrintable(why));
            if (failure.isEmpty() ? !db.commit() : !db.rollback())
                failure = db.lastError().text().trimmed();
        } else {
            failure = db.lastError().text().trimmed();
        }
        if (!probe(db, shape, error))
            return false;
        if (!shape->exists) {
            *error = failure.isEmpty()
                         ? QStringLiteral("table %1 missing after CREATE TABLE").arg(QLatin1String(kTable))
                         : failure;
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

QString insertStatement(const TableShape &shape)
{
    if (shape.hasSource)
        return QStringLiteral(
            "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) "
            "VALUES (?, ?, ?, ?, ?, ?)");
    return insertInto() + QLatin1String("VALUES (?, ?, ?, ?, ?)");
}

void bindRecord(QSqlQuery &query, const MeasurementRecord &record, const TableShape &shape)
{
    query.addBindValue(record.funcStr);
    query.addBindValue(record.valueText);
    query.addBindValue(record.unitStr);
    query.addBindValue(record.rangeText());
    if (shape.timePrecision > 0) {
        query.addBindValue(record.timeText());
    } else {
        const QDateTime t = record.time;
        query.addBindValue(timeText(t.addMSecs(-t.time().msec())));
    }
    if (shape.hasSource)
        query.addBindValue(record.source.isEmpty() ? QVariant(QVariant::String) : QVariant(record.source));
}

QString partitionName(const QDate &day)
{
    return QStringLiteral("invoice_y%1m%2")
        .arg(day.year(), 4, 10, QLatin1Char('0'))
        .arg(day.month(), 2, 10, QLatin1Char('0'));
}

bool ensurePartitions(QSqlDatabase &db, const QDate &from, int monthsAhead, QString *error)
{
    const QDate first(from.year(), from.month(), 1);
    for (int i = 0; i <= monthsAhead; ++i) {
        const QDate month = first.addMonths(i);
        const QString name = partitionName(month);
        if (relationExists(db, name.toLatin1().constData()))
            continue;
        QSqlQuery q(db);
        const QString create =
            QStringLiteral("CREATE TABLE IF NOT EXISTS %1 PARTITION OF invoice "
                           "FOR VALUES FROM ('%2') TO ('%3')")
                .arg(name, month.toString(Qt::ISODate), month.addMonths(1).toString(Qt::ISODate));
        // Another writer making the same month at the same moment is no fault.
        if (q.exec(create)) {
            // Rows written into the partition itself rather than through
            // invoice need its own summary triggers.
            QString why;
            if (!SummarySchema::adoptPartition(db, name, &why))
                qWarning("tk52k: partition %s is not summarized: %s", qPrintable(name), qPrintable(why));
            continue;
        }
        if (relationExists(db, name.toLatin1().constData()))
            continue;
        QSqlQuery ping(db);
        if (!ping.exec(QStringLiteral("SELECT 1"))) {
            *error = q.lastError().text().trimmed();
            return false;
        }
        // Typically rows of that month already in the default partition (a
        // clock that ran ahead); they stay readable where they are.
        qWarning("tk52k: no partition %s: %s", qPrintable(name), qPrintable(q.lastError().text().trimmed()));
    }
    return true;
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
