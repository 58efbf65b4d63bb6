#include "alarmschema.h"

#include "core/store/schemaversion.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cmath>

namespace AlarmSchema {
namespace {

// The layout as tk52k_schema_version names it: events with their meter.
constexpr int kLayoutVersion = 1;
const char *const kOldestWriter = "2.0";

const char *const kCreateTable = R"(
CREATE TABLE alarm_event (
    id          bigint GENERATED ALWAYS AS IDENTITY,
    event_time  timestamp(3) without time zone NOT NULL,
    funcstr     text,
    unitstr     text,
    limit_kind  text NOT NULL CHECK (limit_kind IN ('low', 'high')),
    limit_value double precision,
    value       double precision,
    raised      boolean NOT NULL,
    source      text
))";
const char *const kCreateIndex =
    "CREATE INDEX IF NOT EXISTS alarm_event_time_idx ON alarm_event (event_time)";
const char *const kAddSource = "ALTER TABLE alarm_event ADD COLUMN source text";
// The catalogue, not information_schema: that one shows a column only to a
// login with a right on it.
const char *const kHasSource = "SELECT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = "
                               "to_regclass('alarm_event') AND attname = 'source' AND NOT attisdropped)";
const char *const kExists = "SELECT to_regclass('alarm_event') IS NOT NULL";
const char *const kInsert =
    "INSERT INTO alarm_event (event_time, funcstr, unitstr, limit_kind, limit_value, value, raised, source) "
    "VALUES (?::timestamp, ?, ?, ?, ?::float8, ?::float8, ?, ?)";
const char *const kInsertWithoutSource =
    "INSERT INTO alarm_event (event_time, funcstr, unitstr, limit_kind, limit_value, value, raised) "
    "VALUES (?::timestamp, ?, ?, ?, ?::float8, ?::float8, ?)";
// Times travel as text: bound date-times would be sent in UTC and shifted by
// the server's time zone, while the column holds the wall-clock time.
const char *const kSelect =
    "SELECT event_time::text, funcstr, unitstr, limit_kind, limit_value::text, value::text, raised%1 "
    "FROM alarm_event WHERE event_time BETWEEN ?::timestamp AND ?::timestamp%2 ORDER BY event_time, id";
const char *const kTimeFormat = "yyyy-MM-dd hh:mm:ss.zzz";

// Infinite values (overloads) as PostgreSQL spells them; the text is cast
// in the statement.
QString numberText(double v)
{
    if (std::isinf(v))
        return v > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    return QString::number(v, 'g', 17);
}

double numberFromText(const QVariant &v)
{
    const QString text = v.toString();
    if (text == QLatin1String("Infinity"))
        return HUGE_VAL;
    if (text == QLatin1String("-Infinity"))
        return -HUGE_VAL;
    return v.toDouble();
}

QDateTime timeFromText(const QString &text)
{
    // The server leaves out a fraction of zero.
    QDateTime t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss.z"));
    if (!t.isValid())
        t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return t;
}

bool single(QSqlDatabase &db, const char *sql, bool *value, QString *error)
{
    QSqlQuery q(db);
    if (!q.exec(QLatin1String(sql)) || !q.next()) {
        *error = q.lastError().text().trimmed();
        return false;
    }
    *value = q.value(0).toBool();
    return true;
}

} // namespace

bool ensureTable(QSqlDatabase &db, QString *error, bool *hasSource)
{
    // Asked first, so that the server says nothing about what already
    // exists, and a login that may only insert is asked for nothing more.
    bool exists = false;
    if (!single(db, kExists, &exists, error))
        return false;
    QSqlQuery q(db);
    if (!exists && !q.exec(QLatin1String(kCreateTable)) &&
        q.lastError().nativeErrorCode() != QLatin1String("42P07")) {
        // The server's first line says why; the rest points into the statement.
        *error = QStringLiteral("the table alarm_event is missing and cannot be made: %1")
                     .arg(q.lastError().databaseText().trimmed().section(QLatin1Char('\n'), 0, 0));
        return false;
    }
    bool withSource = !exists;
    if (exists && !single(db, kHasSource, &withSource, error))
        return false;
    // Tables of earlier versions name no meter; their rows belong to all.
    // Only the owner may add the column: anyone else writes without it.
    const bool hadSource = withSource;
    if (!withSource)
        withSource =
            q.exec(QLatin1String(kAddSource)) || q.lastError().nativeErrorCode() == QLatin1String("42701");
    if (!exists)
        q.exec(QLatin1String(kCreateIndex));
    // Noted by whoever made or changed the layout (a writer with no right to
    // make tables changes nothing here).
    QString why;
    if ((!exists || (!hadSource && withSource)) &&
        !SchemaVersion::record(
            db, {QStringLiteral("alarm_event"), kLayoutVersion, QLatin1String(kOldestWriter)}, &why))
        qWarning("tk52k: alarm_event's layout is not recorded: %s", qPrintable(why));
    if (hasSource)
        *hasSource = withSource;
    return true;
}

bool contains(QSqlDatabase &db, const AlarmEvent &event, bool withSource, bool *found)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT EXISTS (SELECT 1 FROM alarm_event WHERE event_time = ?::timestamp AND "
                             "funcstr IS NOT DISTINCT FROM ? AND raised = ?%1)")
                  .arg(withSource ? QStringLiteral(" AND source IS NOT DISTINCT FROM ?") : QString()));
    q.addBindValue(event.time.toString(QLatin1String(kTimeFormat)));
    q.addBindValue(event.function);
    q.addBindValue(event.raised);
    if (withSource)
        q.addBindValue(event.source.isEmpty() ? QVariant(QVariant::String) : QVariant(event.source));
    if (!q.exec() || !q.next())
        return false;
    *found = q.value(0).toBool();
    return true;
}

bool insert(QSqlDatabase &db, const AlarmEvent &event, QString *error, bool withSource)
{
    QSqlQuery q(db);
    q.prepare(QLatin1String(withSource ? kInsert : kInsertWithoutSource));
    q.addBindValue(event.time.toString(QLatin1String(kTimeFormat)));
    q.addBindValue(event.function);
    q.addBindValue(event.unit);
    q.addBindValue(event.limit == AlarmEvent::Limit::Low ? QStringLiteral("low") : QStringLiteral("high"));
    q.addBindValue(numberText(event.limitValue));
    q.addBindValue(numberText(event.value));
    q.addBindValue(event.raised);
    if (withSource)
        q.addBindValue(event.source.isEmpty() ? QVariant(QVariant::String) : QVariant(event.source));
    if (q.exec())
        return true;
    *error = q.lastError().databaseText().trimmed();
    if (error->isEmpty())
        *error = q.lastError().text().trimmed();
    return false;
}

Load select(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop, const QString &source)
{
    Load result;
    bool exists = false;
    if (!single(db, kExists, &exists, &result.error))
        return result;
    result.ok = true;
    if (!exists)
        return result;
    bool hasSource = false;
    if (!single(db, kHasSource, &hasSource, &result.error)) {
        result.ok = false;
        return result;
    }
    const bool filter = hasSource && !source.isNull();
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QString::fromLatin1(kSelect).arg(hasSource ? QStringLiteral(", source") : QString(),
                                               filter ? QStringLiteral(" AND (source = ? OR source IS NULL)")
                                                      : QString()));
    q.addBindValue(start.toString(QLatin1String(kTimeFormat)));
    q.addBindValue(stop.toString(QLatin1String(kTimeFormat)));
    if (filter)
        q.addBindValue(source);
    if (!q.exec()) {
        result.ok = false;
        result.error = q.lastError().text().trimmed();
        return result;
    }
    while (q.next()) {
        AlarmEvent e;
        e.time = timeFromText(q.value(0).toString());
        e.function = q.value(1).toString();
        e.unit = q.value(2).toString();
        e.limit =
            q.value(3).toString() == QLatin1String("low") ? AlarmEvent::Limit::Low : AlarmEvent::Limit::High;
        e.limitValue = numberFromText(q.value(4));
        e.value = numberFromText(q.value(5));
        e.raised = q.value(6).toBool();
        if (hasSource)
            e.source = q.value(7).toString();
        result.events.append(e);
    }
    return result;
}

} // namespace AlarmSchema
