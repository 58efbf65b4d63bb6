#include "alarmeventstore.h"

#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <cmath>

namespace AlarmEventSchema {
const char *const kCreateTable = R"(
CREATE TABLE IF NOT EXISTS alarm_event (
    id          bigint GENERATED ALWAYS AS IDENTITY,
    event_time  timestamp(3) without time zone NOT NULL,
    funcstr     text,
    unitstr     text,
    limit_kind  text NOT NULL CHECK (limit_kind IN ('low', 'high')),
    limit_value double precision,
    value       double precision,
    raised      boolean NOT NULL
))";
}

namespace {

const char *const kCreateIndex =
    "CREATE INDEX IF NOT EXISTS alarm_event_time_idx ON alarm_event (event_time)";
const char *const kInsert = "INSERT INTO alarm_event (event_time, funcstr, unitstr, limit_kind, limit_value, "
                            "value, raised) VALUES (?::timestamp, ?, ?, ?, ?::float8, ?::float8, ?)";
// Times travel as text: bound date-times would be sent in UTC and shifted by
// the server's time zone, while the column holds the wall-clock time.
const char *const kSelect =
    "SELECT event_time::text, funcstr, unitstr, limit_kind, limit_value::text, value::text, raised "
    "FROM alarm_event WHERE event_time BETWEEN ?::timestamp AND ?::timestamp "
    "ORDER BY event_time, id";
const char *const kTimeFormat = "yyyy-MM-dd hh:mm:ss.zzz";
constexpr int kRetryMs = 3000;

QString nextConnectionName(const char *prefix)
{
    static std::atomic<int> counter{0};
    return QStringLiteral("%1-%2").arg(QLatin1String(prefix)).arg(++counter);
}

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

} // namespace

AlarmEventStore::AlarmEventStore(const DbSettings &settings, QObject *parent)
    : QThread(parent), m_settings(settings), m_connectionName(nextConnectionName("tk52k-alarms"))
{}

AlarmEventStore::~AlarmEventStore()
{
    shutdown();
}

void AlarmEventStore::record(const AlarmEvent &event)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_stop)
            return;
        m_queue.push_back(event);
        while (m_queue.size() > size_t(kMaxPending)) {
            m_queue.pop_front();
            ++m_dropped;
        }
        m_wake.wakeAll();
    }
    if (!isRunning())
        start();
}

int AlarmEventStore::pendingCount() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_queue.size());
}

qint64 AlarmEventStore::droppedCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_dropped;
}

void AlarmEventStore::shutdown(int graceMs)
{
    if (isRunning()) {
        QDeadlineTimer grace(graceMs);
        QMutexLocker lock(&m_mutex);
        while (!m_queue.empty() && !grace.hasExpired())
            m_wake.wait(&m_mutex, grace);
        m_stop = true;
        m_wake.wakeAll();
    } else {
        QMutexLocker lock(&m_mutex);
        m_stop = true;
    }
    wait();
}

void AlarmEventStore::run()
{
    {
        QSqlDatabase db = m_settings.addConnection(m_connectionName);
        bool tableReady = false;
        for (;;) {
            {
                QMutexLocker lock(&m_mutex);
                while (!m_stop && m_queue.empty())
                    m_wake.wait(&m_mutex);
                if (m_stop)
                    break;
            }
            if (!db.isOpen()) {
                tableReady = false;
                // Unusable settings address no server at all, not the defaults'.
                if (!m_settings.problem.isEmpty() || !db.open()) {
                    QMutexLocker lock(&m_mutex);
                    if (!m_stop)
                        m_wake.wait(&m_mutex, kRetryMs);
                    continue;
                }
            }
            if (!tableReady) {
                QSqlQuery q(db);
                tableReady = q.exec(QLatin1String(AlarmEventSchema::kCreateTable)) &&
                             q.exec(QLatin1String(kCreateIndex));
            }
            if (!tableReady || !writeFront(db)) {
                // The connection may be dead (server restart): start over.
                db.close();
                QMutexLocker lock(&m_mutex);
                if (!m_stop)
                    m_wake.wait(&m_mutex, kRetryMs);
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool AlarmEventStore::writeFront(QSqlDatabase &db)
{
    AlarmEvent event;
    {
        QMutexLocker lock(&m_mutex);
        if (m_queue.empty())
            return true;
        event = m_queue.front();
    }
    QSqlQuery q(db);
    q.prepare(QLatin1String(kInsert));
    q.addBindValue(event.time.toString(QLatin1String(kTimeFormat)));
    q.addBindValue(event.function);
    q.addBindValue(event.unit);
    q.addBindValue(event.limit == AlarmEvent::Limit::Low ? QStringLiteral("low") : QStringLiteral("high"));
    q.addBindValue(numberText(event.limitValue));
    q.addBindValue(numberText(event.value));
    q.addBindValue(event.raised);
    if (!q.exec())
        return false;
    int pending = 0;
    {
        QMutexLocker lock(&m_mutex);
        // The queue may have been trimmed meanwhile; the front is still ours
        // unless it was dropped, and then it was older than everything left.
        if (!m_queue.empty() && m_queue.front() == event)
            m_queue.pop_front();
        pending = int(m_queue.size());
        m_wake.wakeAll(); // shutdown() may be waiting for the queue to empty
    }
    emit written(pending);
    return true;
}

AlarmEventLoad loadAlarmEvents(const DbSettings &settings, const QDateTime &start, const QDateTime &stop)
{
    AlarmEventLoad result;
    const QString name = nextConnectionName("tk52k-alarm-read");
    {
        QSqlDatabase db = settings.addConnection(name);
        if (!settings.problem.isEmpty()) {
            result.error = settings.problem;
        } else if (!db.open()) {
            result.error = db.lastError().text();
        } else {
            QSqlQuery exists(db);
            if (!exists.exec(QStringLiteral("SELECT to_regclass('alarm_event') IS NOT NULL")) ||
                !exists.next()) {
                result.error = exists.lastError().text();
            } else if (!exists.value(0).toBool()) {
                result.ok = true;
            } else {
                QSqlQuery q(db);
                q.setForwardOnly(true);
                q.prepare(QLatin1String(kSelect));
                q.addBindValue(start.toString(QLatin1String(kTimeFormat)));
                q.addBindValue(stop.toString(QLatin1String(kTimeFormat)));
                if (!q.exec()) {
                    result.error = q.lastError().text();
                } else {
                    while (q.next()) {
                        AlarmEvent e;
                        e.time = timeFromText(q.value(0).toString());
                        e.function = q.value(1).toString();
                        e.unit = q.value(2).toString();
                        e.limit = q.value(3).toString() == QLatin1String("low") ? AlarmEvent::Limit::Low
                                                                                : AlarmEvent::Limit::High;
                        e.limitValue = numberFromText(q.value(4));
                        e.value = numberFromText(q.value(5));
                        e.raised = q.value(6).toBool();
                        result.events.append(e);
                    }
                    result.ok = true;
                }
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}
