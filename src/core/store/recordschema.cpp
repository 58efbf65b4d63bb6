#include "recordschema.h"

#include "core/store/measurementrecord.h"
#include "core/store/schemaversion.h"
#include "core/store/summaryschema.h"

#include <QDate>
#include <QDateTime>
#include <QMutex>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QRegularExpression>
#include <QVariant>

#include <algorithm>
#include <cstdio>

namespace RecordSchema {
namespace {
// The table's layout as tk52k_schema_version names it: the Parts' five
// columns with the row number and the meter, partitioned by month. Every
// program since 2.0 writes it rightly.
constexpr int kLayoutVersion = 1;
const char *const kOldestWriter = "2.0";

// The row number orders rows written within the same second; the program
// never writes it. (A sequence rather than an identity column: the server
// allows no identity column on a partitioned table.) Readings of a month
// share a partition, so years of them stay quick to read by range and cheap
// to drop by month; rows outside every monthly partition land in the
// default one.
// %1 the sequence, %2 the default partition, %3 the index: the usual names,
// or others where a renamed (archived) table keeps the usual ones.
const char *const kCreateStatements[] = {
    "CREATE SEQUENCE IF NOT EXISTS %1 AS bigint",
    R"(CREATE TABLE IF NOT EXISTS invoice (
    id           bigint NOT NULL DEFAULT nextval('%1'),
    funcstr      text,
    datavaluestr text,
    unitstr      text,
    frastr       text,
    create_time  timestamp(3) without time zone,
    source       text
) PARTITION BY RANGE (create_time))",
    "ALTER SEQUENCE %1 OWNED BY invoice.id",
    "CREATE TABLE IF NOT EXISTS %2 PARTITION OF invoice DEFAULT",
    "CREATE INDEX IF NOT EXISTS %3 ON invoice (create_time, id)",
};
const char *const kCreateIndex = "CREATE INDEX IF NOT EXISTS %1 ON invoice (%2)";
// An index of the table on exactly these columns, in this order, whatever
// its name.
const char *const kHasIndex = R"(
SELECT EXISTS (SELECT 1 FROM pg_index i
                 JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = i.indkey[0]
                WHERE i.indrelid = to_regclass('invoice') AND a.attname = 'create_time'
                  AND (i.indnatts = 1) = ?))";
// The partitions of the table itself (not of a table renamed away, whose
// partitions keep their names), with their bounds.
const char *const kPartitions = R"(
SELECT c.relname, pg_get_expr(c.relpartbound, c.oid) FROM pg_inherits h
  JOIN pg_class c ON c.oid = h.inhrelid
 WHERE h.inhparent = to_regclass('invoice'))";

// One statement tells whether the table exists and which columns it has.
const char *const kProbe = R"(
SELECT column_name, data_type, coalesce(datetime_precision, 0) FROM information_schema.columns
 WHERE table_schema = current_schema() AND table_name = 'invoice')";

const char *const kInsertInto = "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) ";

const char *const kIsPartitioned =
    "SELECT EXISTS (SELECT 1 FROM pg_partitioned_table WHERE partrelid = to_regclass('invoice'))";

bool relationExists(QSqlDatabase &db, const QString &name)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT to_regclass(?) IS NOT NULL"));
    q.addBindValue(QLatin1Char('"') + name + QLatin1Char('"'));
    return q.exec() && q.next() && q.value(0).toBool();
}

// `name`, or `name`_2, _3 … where a relation of another table (an archived
// one) already has it.
QString freeName(QSqlDatabase &db, const QString &name)
{
    QString candidate = name;
    for (int n = 2; relationExists(db, candidate) && n < 1000; ++n)
        candidate = QStringLiteral("%1_%2").arg(name).arg(n);
    return candidate;
}

QStringList createStatementsNamed(const QString &sequence, const QString &defaultPartition, const QString &index)
{
    QStringList statements;
    for (const char *statement : kCreateStatements)
        statements << QString::fromLatin1(statement)
                          .replace(QLatin1String("%1"), sequence)
                          .replace(QLatin1String("%2"), defaultPartition)
                          .replace(QLatin1String("%3"), index);
    return statements;
}

struct Partition
{
    QString name;
    bool isDefault = false;
    QDate from; ///< first day of a month partition
};

bool partitionsOf(QSqlDatabase &db, QVector<Partition> *partitions, QString *error)
{
    partitions->clear();
    QSqlQuery q(db);
    if (!q.exec(QLatin1String(kPartitions))) {
        if (error)
            *error = q.lastError().text().trimmed();
        return false;
    }
    // FOR VALUES FROM ('2026-12-01 00:00:00') TO ('2027-01-01 00:00:00')
    static const QRegularExpression bound(QStringLiteral("FROM \\('(\\d{4}-\\d{2}-\\d{2})"));
    while (q.next()) {
        Partition p;
        p.name = q.value(0).toString();
        const QString expr = q.value(1).toString();
        p.isDefault = expr == QLatin1String("DEFAULT");
        const QRegularExpressionMatch m = bound.match(expr);
        if (m.hasMatch())
            p.from = QDate::fromString(m.captured(1), Qt::ISODate);
        partitions->append(p);
    }
    return true;
}
} // namespace

namespace {
// The time's text written out by hand: QDateTime::toString() reads the format
// and goes through the system locale at every call, which is a tenth of what
// the logger's thread spends on a reading. Its digits are ASCII whatever the
// locale; a time it cannot write so (invalid, a year outside 1000-9999)
// takes the general way.
QString writtenTime(const QDateTime &time, bool withMs)
{
    const QDate d = time.date();
    const QTime t = time.time();
    if (!d.isValid() || !t.isValid() || d.year() < 1000 || d.year() > 9999)
        return time.toString(QLatin1String(withMs ? kTimeFormatMs : kTimeFormat));
    char text[32];
    const int n = withMs ? std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", d.year(),
                                         d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec())
                         : std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", d.year(),
                                         d.month(), d.day(), t.hour(), t.minute(), t.second());
    return QString::fromLatin1(text, n);
}
} // namespace

QString timeText(const QDateTime &time)
{
    return writtenTime(time, false);
}

QString timeTextMs(const QDateTime &time)
{
    return writtenTime(time, true);
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
        else if (column == QLatin1String("create_time") &&
                 q.value(1).toString().startsWith(QLatin1String("timestamp")))
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
    return createStatementsNamed(QStringLiteral("invoice_id_seq"), QStringLiteral("invoice_default"),
                                 QLatin1String(kTimeIdIndex));
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
        // A table renamed away (archived) keeps its sequence, default
        // partition and index under their usual names.
        const QStringList statements =
            createStatementsNamed(freeName(db, QStringLiteral("invoice_id_seq")),
                                  freeName(db, QStringLiteral("invoice_default")),
                                  freeName(db, QLatin1String(kTimeIdIndex)));
        if (db.transaction()) {
            for (const QString &statement : statements) {
                if (!q.exec(statement)) {
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
            if (failure.isEmpty() &&
                !SchemaVersion::record(
                    db, {QString::fromLatin1(kTable), kLayoutVersion, QLatin1String(kOldestWriter)}, &why))
                qWarning("tk52k: the table's layout is not recorded: %s", qPrintable(why));
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
    // The index that lets a range be read in order, whatever it is called.
    QSqlQuery has(db);
    has.prepare(QLatin1String(kHasIndex));
    has.addBindValue(!shape->hasId);
    if (has.exec() && has.next() && !has.value(0).toBool()) {
        QSqlQuery q(db);
        q.exec(QString::fromLatin1(kCreateIndex)
                   .arg(freeName(db, QLatin1String(shape->hasId ? kTimeIdIndex : kTimeIndex)),
                        shape->hasId ? QStringLiteral("create_time, id") : QStringLiteral("create_time")));
    }
    return true;
}

QString insertInto()
{
    return QLatin1String(kInsertInto);
}

QString existsStatement(const TableShape &shape)
{
    return QStringLiteral("SELECT EXISTS (SELECT 1 FROM invoice WHERE funcstr IS NOT DISTINCT FROM ? AND "
                          "datavaluestr IS NOT DISTINCT FROM ? AND unitstr IS NOT DISTINCT FROM ? AND "
                          "frastr IS NOT DISTINCT FROM ? AND create_time = ?%1)")
        .arg(shape.hasSource ? QStringLiteral(" AND source IS NOT DISTINCT FROM ?") : QString());
}

QString insertStatement(const TableShape &shape, int rows)
{
    const QLatin1String row = shape.hasSource ? QLatin1String("(?, ?, ?, ?, ?, ?)") : QLatin1String("(?, ?, ?, ?, ?)");
    QString sql = shape.hasSource
                      ? QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) ")
                      : insertInto();
    sql += QLatin1String("VALUES ");
    for (int i = 0; i < rows; ++i) {
        if (i > 0)
            sql += QLatin1String(", ");
        sql += row;
    }
    return sql;
}

void bindRecord(QSqlQuery &query, const MeasurementRecord &record, const TableShape &shape)
{
    query.addBindValue(record.funcStr);
    query.addBindValue(record.valueText);
    query.addBindValue(record.unitStr);
    query.addBindValue(record.rangeText());
    if (shape.keepsMilliseconds()) {
        query.addBindValue(record.timeText());
    } else {
        const QDateTime t = record.time;
        query.addBindValue(timeText(t.addMSecs(-t.time().msec())));
    }
    if (shape.hasSource)
        query.addBindValue(record.source.isEmpty() ? QVariant(QVariant::String) : QVariant(record.source));
}

namespace {
// A warning that the hourly checks of every connection would repeat.
void warnOnce(const QString &text)
{
    static QMutex mutex;
    static QString last;
    QMutexLocker lock(&mutex);
    if (text == last)
        return;
    last = text;
    qWarning("tk52k: %s", qPrintable(text));
}
} // namespace

QString partitionName(const QDate &day)
{
    return QStringLiteral("invoice_y%1m%2")
        .arg(day.year(), 4, 10, QLatin1Char('0'))
        .arg(day.month(), 2, 10, QLatin1Char('0'));
}

bool ensurePartitions(QSqlDatabase &db, const QDate &from, int monthsAhead, QString *error)
{
    QVector<Partition> partitions;
    if (!partitionsOf(db, &partitions, error))
        return false;
    const auto has = [&partitions](const QDate &month) {
        return std::any_of(partitions.cbegin(), partitions.cend(),
                           [&](const Partition &p) { return p.from == month; });
    };
    const QDate first(from.year(), from.month(), 1);
    // A login that may only insert cannot make any of them: one line for
    // all, and none at the next check while the reason stays the same.
    QStringList refused;
    QString refusal;
    for (int i = 0; i <= monthsAhead; ++i) {
        const QDate month = first.addMonths(i);
        if (has(month))
            continue;
        const QString name = freeName(db, partitionName(month));
        QSqlQuery q(db);
        const QString create =
            QStringLiteral("CREATE TABLE IF NOT EXISTS %1 PARTITION OF invoice "
                           "FOR VALUES FROM ('%2') TO ('%3')")
                .arg(name, month.toString(Qt::ISODate), month.addMonths(1).toString(Qt::ISODate));
        if (q.exec(create)) {
            // Rows written into the partition itself rather than through
            // invoice need its own summary triggers.
            QString why;
            if (!SummarySchema::adoptPartition(db, name, &why))
                qWarning("tk52k: partition %s is not summarized: %s", qPrintable(name), qPrintable(why));
            continue;
        }
        // Another writer making the same month at the same moment is no fault.
        QVector<Partition> now;
        if (partitionsOf(db, &now, nullptr) &&
            std::any_of(now.cbegin(), now.cend(), [&](const Partition &p) { return p.from == month; }))
            continue;
        QSqlQuery ping(db);
        if (!ping.exec(QStringLiteral("SELECT 1"))) {
            *error = q.lastError().text().trimmed();
            return false;
        }
        // Typically rows of that month already in the default partition (a
        // clock that ran ahead), or no right to make tables; the rows stay
        // readable where they are.
        refused << name;
        refusal = q.lastError().databaseText().trimmed();
    }
    if (!refused.isEmpty())
        warnOnce(QStringLiteral("no partition %1: %2").arg(refused.join(QStringLiteral(", ")), refusal));
    // A table made before (or archived and made anew) without its default
    // partition would refuse every row outside the months above.
    if (std::none_of(partitions.cbegin(), partitions.cend(), [](const Partition &p) { return p.isDefault; })) {
        QSqlQuery q(db);
        const QString name = freeName(db, QStringLiteral("invoice_default"));
        QString why;
        if (!q.exec(QStringLiteral("CREATE TABLE %1 PARTITION OF invoice DEFAULT").arg(name)))
            qWarning("tk52k: no default partition: %s", qPrintable(q.lastError().text().trimmed()));
        else if (!SummarySchema::adoptPartition(db, name, &why))
            qWarning("tk52k: partition %s is not summarized: %s", qPrintable(name), qPrintable(why));
    }
    return true;
}

PartitionCover partitionFor(QSqlDatabase &db, const QDateTime &time, QString *error)
{
    QVector<Partition> partitions;
    if (!partitionsOf(db, &partitions, error))
        return PartitionCover::Unknown;
    const QDate month(time.date().year(), time.date().month(), 1);
    for (const Partition &p : qAsConst(partitions)) {
        if (p.isDefault || p.from == month)
            return PartitionCover::Covered;
    }
    return PartitionCover::Missing;
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
