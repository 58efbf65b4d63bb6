#include "historyreads.h"

#include "core/meter/baseunit.h"
#include "core/store/pglink.h"
#include "core/store/recordstore.h"
#include "core/store/summaryschema.h"

#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QSqlDatabase>
#include <QTime>

#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>

namespace HistoryReads {

namespace {
constexpr qint64 kMsPerDay = 86400000;
// 1970-01-01 as a Julian day.
constexpr qint64 kEpochDay = 2440588;
// How long a read waits for a locked table before it says so.
constexpr int kLockNoticeMs = 1000;

// The sessions that hold the table (or one of its partitions) locked against
// readers, as "pid N (program)".
QString lockHolders(PgLink &link)
{
    PgResult holders;
    if (!link.exec(R"(
SELECT string_agg(DISTINCT 'pid ' || a.pid || ' (' || coalesce(nullif(a.application_name, ''), a.usename) || ')', ', ')
  FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid
 WHERE l.granted AND l.mode = 'AccessExclusiveLock' AND l.pid <> pg_backend_pid()
   AND l.relation IN (SELECT 'invoice'::regclass UNION ALL
                      SELECT inhrelid FROM pg_inherits WHERE inhparent = 'invoice'::regclass))",
                   {}, &holders) ||
        holders.rows() < 1)
        return QString();
    return holders.string(0, 0);
}

// Another session may hold the table (an ALTER, a VACUUM FULL, an archive's
// LOCK TABLE). The read takes its share of the lock first, so that no
// statement of it waits for the lock on its own; and when the lock has not
// come within a second, the caller is told who holds it before the rest of
// the time limit is waited out.
bool lockForReading(PgLink &link, const std::function<void(const QString &, int)> &lockWait, int timeoutMs,
                    QString *error)
{
    QElapsedTimer waited;
    waited.start();
    int wait = std::min(kLockNoticeMs, timeoutMs);
    for (bool told = false;; told = true) {
        // One statement a call: the link sends its statements with parameters.
        if (link.exec("SAVEPOINT lock_wait") &&
            link.exec(QByteArray("SET LOCAL lock_timeout = ") + QByteArray::number(wait)) &&
            link.exec("LOCK TABLE invoice IN ACCESS SHARE MODE"))
            return link.exec(QByteArray("SET LOCAL lock_timeout = ") + QByteArray::number(timeoutMs));
        *error = link.error();
        const bool timedOut = link.sqlState() == "55P03";
        link.exec("ROLLBACK TO SAVEPOINT lock_wait");
        wait = int(timeoutMs - waited.elapsed());
        if (told || !timedOut || wait <= 0)
            return false;
        if (lockWait)
            lockWait(lockHolders(link), wait);
    }
}
} // namespace

qint64 naiveMs(const QDateTime &time)
{
    // The wall-clock time as the column stores it: no zone applied.
    return (time.date().toJulianDay() - kEpochDay) * kMsPerDay + time.time().msecsSinceStartOfDay();
}

namespace {
// Zone offsets change at whole quarter hours at most: one lookup a quarter
// hour, not one a reading.
constexpr qint64 kOffsetBucketMs = 900000;
// The longest stretch of wall-clock time a zone has ever skipped is a day.
constexpr qint64 kLongestSkipMs = 2 * kMsPerDay;

QDateTime localOfNaive(qint64 ms, Qt::TimeSpec spec = Qt::LocalTime, int offset = 0)
{
    qint64 day = ms / kMsPerDay;
    qint64 rest = ms % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        --day;
    }
    return QDateTime(QDate::fromJulianDay(day + kEpochDay), QTime::fromMSecsSinceStartOfDay(int(rest)), spec,
                     offset);
}
} // namespace

QDateTime timeOfNaiveMs(qint64 ms)
{
    const QDateTime local = localOfNaive(ms);
    if (local.isValid())
        return local;
    // A wall-clock time the local zone skips (the hour its clocks spring
    // forward), stored by a logger in another zone: kept as stored, at the
    // offset in force before the change, never an invalid time.
    for (qint64 back = kOffsetBucketMs; back <= kLongestSkipMs; back += kOffsetBucketMs) {
        const QDateTime before = localOfNaive(ms - back);
        if (before.isValid())
            return localOfNaive(ms, Qt::OffsetFromUTC, before.offsetFromUtc());
    }
    return localOfNaive(ms, Qt::UTC);
}

QDateTime wallClockTime(const QString &text)
{
    // "yyyy-MM-dd HH:mm:ss" read field by field: parsed as a local time, one
    // the zone skips would be refused.
    if (text.size() != 19 || text.at(10) != QLatin1Char(' '))
        return QDateTime();
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return timeOfNaiveMs(naiveMs(QDateTime(date, time, Qt::UTC)));
}

QDateTime wallClockFields(const QDateTime &time)
{
    return QDateTime(time.date(), time.time(), Qt::UTC);
}

namespace {
qint64 offsetAtNaive(qint64 bucket)
{
    thread_local QHash<qint64, qint64> offsets;
    auto it = offsets.constFind(bucket);
    if (it != offsets.cend())
        return *it;
    if (offsets.size() > 4096)
        offsets.clear();
    const QDateTime local = timeOfNaiveMs(bucket * kOffsetBucketMs);
    const qint64 offset = qint64(local.offsetFromUtc()) * 1000;
    offsets.insert(bucket, offset);
    return offset;
}
} // namespace

qint64 utcOfNaive(qint64 naive)
{
    const qint64 bucket = naive >= 0 ? naive / kOffsetBucketMs : (naive - kOffsetBucketMs + 1) / kOffsetBucketMs;
    return naive - offsetAtNaive(bucket);
}

qint64 naiveOfUtc(qint64 utcMs)
{
    return naiveMs(QDateTime::fromMSecsSinceEpoch(utcMs));
}

RangeQueries::Range rangeOf(const QDateTime &start, const QDateTime &stop)
{
    // Whole seconds, the stop's included to its end, as the range dialog means them.
    RangeQueries::Range r;
    r.fromMs = naiveMs(start) / 1000 * 1000;
    r.toMs = naiveMs(stop) / 1000 * 1000 + 1000;
    return r;
}

QString Quantity::label() const
{
    return QStringLiteral("%1 (%2)").arg(query.function, units.join(QStringLiteral(", ")));
}

QVector<Quantity> joinQuantities(const QVector<RangeQueries::QuantityCount> &counts)
{
    QVector<Quantity> out;
    for (const RangeQueries::QuantityCount &c : counts) {
        const BaseUnit base = baseUnitOf(c.unit);
        auto it = std::find_if(out.begin(), out.end(), [&](const Quantity &q) {
            return q.query.function == c.function && q.baseUnit == base.unit;
        });
        if (it == out.end()) {
            Quantity q;
            q.query.function = c.function;
            q.baseUnit = base.unit;
            q.firstMs = c.firstMs;
            out.append(q);
            it = out.end() - 1;
        }
        it->query.units.append({c.unit, base.factor});
        it->units.append(c.unit);
        it->count += c.count;
        it->firstMs = std::min(it->firstMs, c.firstMs);
    }
    for (Quantity &q : out) {
        // One unit: the readings as the meter showed them, on their range's scale.
        if (q.units.size() == 1) {
            q.query.units.first().factor = 1.0;
            q.baseUnit = q.units.first();
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Quantity &a, const Quantity &b) { return a.firstMs < b.firstMs; });
    return out;
}

void Read::run(QSqlDatabase &db, const StoreContext &)
{
    PgLink link(db);
    if (!link.isValid()) {
        setError(QStringLiteral("the database driver gives no PostgreSQL connection"));
        return;
    }
    // One snapshot for every statement of the read, none of them waiting
    // without end for a lock or running away.
    if (!link.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY") || !link.offerSnapshot() ||
        !link.exec(QByteArray("SET LOCAL statement_timeout = ") + QByteArray::number(timeoutMs)) ||
        !link.exec(QByteArray("SET LOCAL lock_timeout = ") + QByteArray::number(timeoutMs))) {
        link.exec("ROLLBACK");
        setError(link.error());
        return;
    }
    QString error;
    QElapsedTimer took;
    took.start();
    // The table's share of the lock first: everything after it, looking at
    // the table included, then waits for nobody.
    PgResult there;
    bool ok = link.exec("SELECT to_regclass('invoice') IS NOT NULL", {}, &there);
    if (!ok)
        error = link.error();
    ok = ok && (there.text(0, 0) != "t" || lockForReading(link, lockWait, timeoutMs, &error));
    ok = ok && (table.exists || RangeQueries::inspect(db, &table, &error));
    ok = ok && (isCancelled() || query(db, &error));
    link.exec("ROLLBACK");
    if (!ok) {
        // A statement stopped by our own limit, or a table another session
        // keeps locked, would otherwise read as a bare server text.
        if (took.elapsed() >= timeoutMs - 50)
            error = QCoreApplication::translate("HistoryLoader", "读取超时：%1 秒内未能读出记录（数据表被锁定或查询过慢）。\n%2")
                        .arg(timeoutMs / 1000.0)
                        .arg(error);
        setError(error.isEmpty() ? QStringLiteral("the read failed") : error);
    }
}

bool OverviewRead::query(QSqlDatabase &db, QString *error)
{
    const RangeQueries::Range range = rangeOf(m_start, m_stop);
    // A meter asked of a table that names none would read as one without readings.
    if (table.exists && !table.hasSource && !m_source.isNull()) {
        *error = QStringLiteral("the table invoice has no source column, so no meter can be chosen");
        return false;
    }
    if (!table.exists) {
        alarms = AlarmSchema::select(db, m_start, m_stop.addMSecs(999), m_source);
        return true;
    }
    // Whether the summaries still serve, for the window to say so: a load
    // past their triggers since the table was inspected makes the reads
    // count the rows.
    RangeQueries::probeSummaries(db, &table);
    if (!RangeQueries::unreadableTimes(db, table, &unreadableTimes, &unreadableExample, error))
        return false;
    if (tableOnly)
        return true;
    // The rows, the quantities and the meters in one pass over the rows.
    RangeQueries::Tally tally;
    if (!RangeQueries::tally(db, table, range, m_source, &tally, error))
        return false;
    rows = tally.rows;
    sources = tally.sources;
    quantities = joinQuantities(tally.quantities);
    if (rows > 0) {
        RangeQueries::PageRequest request;
        request.range = range;
        request.source = m_source;
        request.limit = 1;
        QVector<RangeQueries::Row> edge;
        if (!RangeQueries::page(db, table, request, &edge, error))
            return false;
        first = edge.value(0);
        request.from = RangeQueries::PageRequest::Last;
        if (!RangeQueries::page(db, table, request, &edge, error))
            return false;
        last = edge.value(0);
    }
    // Each quantity's first reading, for the scale its range names: among
    // the few rows of that millisecond.
    for (Quantity &q : quantities) {
        RangeQueries::PageRequest request;
        request.range = range;
        request.source = m_source;
        request.from = RangeQueries::PageRequest::AtOrAfter;
        // Below every row number of an int or bigint column (and the first
        // place of a table without them).
        request.key = {q.firstMs * 1000, table.hasId ? qint64(std::numeric_limits<int>::min()) : 0};
        request.limit = 32;
        QVector<RangeQueries::Row> rowsThen;
        if (!RangeQueries::page(db, table, request, &rowsThen, error))
            return false;
        for (const RangeQueries::Row &r : rowsThen) {
            if (r.function != q.query.function || !q.units.contains(r.unit))
                continue;
            if (q.firstRange < 0) {
                bool ok = false;
                const int index = r.frastr.trimmed().toInt(&ok);
                q.firstRange = ok ? index : -1;
            }
            bool number = false;
            const QString text = r.value.trimmed();
            text.toDouble(&number);
            if (number) {
                const int point = text.indexOf(QLatin1Char('.'));
                q.firstDecimals = point < 0 ? 0 : int(text.size() - point - 1);
                break;
            }
        }
    }
    // The readings run to the end of the stop's second; so do the events.
    alarms = AlarmSchema::select(db, m_start, m_stop.addMSecs(999), m_source);
    return true;
}

namespace {

// Decimals, in the quantity's unit, of the meter's first reading of the
// quantity at `ms` whose value is `value`: the text the meter showed.
bool decimalsAt(QSqlDatabase &db, const RangeQueries::Table &table, const RangeQueries::Range &range,
                const QString &source, const RangeQueries::Quantity &quantity, qint64 ms, double value,
                int *decimals, QString *error)
{
    *decimals = -1;
    RangeQueries::PageRequest request;
    request.range = {std::max(range.fromMs, ms), std::min(range.toMs, ms + 1)};
    request.source = source;
    request.from = RangeQueries::PageRequest::First;
    request.limit = 64;
    QVector<RangeQueries::Row> rows;
    if (!RangeQueries::page(db, table, request, &rows, error))
        return false;
    int fallback = -1;
    for (const RangeQueries::Row &r : qAsConst(rows)) {
        if (r.function != quantity.function)
            continue;
        double factor = 0;
        for (const RangeQueries::Quantity::Unit &u : quantity.units)
            if (u.unit == r.unit)
                factor = u.factor;
        const QString text = r.value.trimmed();
        bool number = false;
        const double v = text.toDouble(&number);
        if (factor <= 0 || !number)
            continue;
        const int point = text.indexOf(QLatin1Char('.'));
        const int shown = std::max(0, (point < 0 ? 0 : int(text.size() - point - 1)) +
                                          int(std::lround(-std::log10(factor))));
        if (std::abs(v * factor - value) <= 1e-9 * std::abs(value)) {
            *decimals = shown;
            return true;
        }
        if (fallback < 0)
            fallback = shown;
    }
    *decimals = fallback;
    return true;
}

// Each meter's figures with the resolution of its readings.
bool meterFigures(QSqlDatabase &db, const RangeQueries::Table &table, const RangeQueries::Range &range,
                  const RangeQueries::Quantity &quantity,
                  const QVector<RangeQueries::MeterStatistics> &perMeter, QVector<MeterFigures> *meters,
                  QString *error)
{
    meters->clear();
    for (const RangeQueries::MeterStatistics &m : perMeter) {
        MeterFigures f;
        f.meter = m;
        if (m.figures.count > 0 && (!decimalsAt(db, table, range, m.source, quantity, m.figures.minMs,
                                                m.figures.min, &f.minDecimals, error) ||
                                    !decimalsAt(db, table, range, m.source, quantity, m.figures.maxMs,
                                                m.figures.max, &f.maxDecimals, error)))
            return false;
        meters->push_back(f);
    }
    return true;
}

} // namespace

bool CurveRead::query(QSqlDatabase &db, QString *error)
{
    if (!table.exists)
        return true;
    if (!RangeQueries::columns(db, table, m_request, &columns, error))
        return false;
    if (!m_request.statistics || m_request.boundaries.size() < 2)
        return true;
    statistics = columns.statistics;
    return meterFigures(db, table, {m_request.boundaries.front(), m_request.boundaries.back()},
                        m_request.quantity, columns.meters, &meters, error);
}

bool StatisticsRead::query(QSqlDatabase &db, QString *error)
{
    if (!table.exists)
        return true;
    QVector<RangeQueries::MeterStatistics> perMeter;
    return RangeQueries::statistics(db, table, m_range, m_source, m_quantity, &statistics, error,
                                    &perMeter) &&
           meterFigures(db, table, m_range, m_quantity, perMeter, &meters, error);
}

bool PageRead::query(QSqlDatabase &db, QString *error)
{
    if (!table.exists)
        return true;
    RangeQueries::PageRequest request;
    request.range = m_range;
    request.source = m_source;
    request.limit = m_count;
    if (m_hasAfter) {
        request.from = RangeQueries::PageRequest::After;
        request.key = m_after;
    } else if (m_first > 0) {
        // Found through the counts, never by skipping rows.
        RangeQueries::RowKey key;
        if (!RangeQueries::keyAt(db, table, m_range, m_source, m_first, &key, error, m_total, m_anchors))
            return error->isEmpty();
        request.from = RangeQueries::PageRequest::AtOrAfter;
        request.key = key;
    }
    return RangeQueries::page(db, table, request, &rows, error);
}

bool RowIndexRead::query(QSqlDatabase &db, QString *error)
{
    if (!table.exists)
        return true;
    RangeQueries::Range before = m_range;
    before.toMs = std::max(m_range.fromMs, std::min(m_atMs, m_range.toMs));
    qint64 counted = 0;
    for (const RangeQueries::RowAnchor &a : m_anchors) {
        if (a.ms > before.toMs)
            break;
        if (a.ms >= before.fromMs) {
            before.fromMs = a.ms;
            counted = a.rowsBefore;
        }
    }
    if (!RangeQueries::rowCount(db, table, before, m_source, &index, error))
        return false;
    index += counted;
    return true;
}

struct RowStream::Shared
{
    // Batches read and not yet taken: enough to keep both sides busy.
    static constexpr size_t kDepth = 4;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<RangeQueries::RowBatch> batches;
    bool ended = false;   // the read is over
    bool stopped = false; // the taker wants no more
    QString error;
};

class RowStream::StreamRead : public Read
{
public:
    StreamRead(const std::shared_ptr<Shared> &shared, const RangeQueries::Range &range, const QString &source,
               qint64 limit)
        : m_shared(shared), m_range(range), m_source(source), m_limit(limit)
    {}

protected:
    bool query(QSqlDatabase &db, QString *error) override
    {
        if (!table.exists)
            return true;
        const std::shared_ptr<Shared> shared = m_shared;
        bool stopped = false;
        const bool ok = RangeQueries::streamRows(
            db, table, m_range, m_source, m_limit, kBatchRows,
            [&shared](RangeQueries::RowBatch &batch) {
                std::unique_lock<std::mutex> lock(shared->mutex);
                shared->changed.wait(
                    lock, [&] { return shared->stopped || shared->batches.size() < Shared::kDepth; });
                if (shared->stopped)
                    return false;
                shared->batches.push_back(std::move(batch));
                shared->changed.notify_all();
                return true;
            },
            &stopped, error);
        // Stopped by the taker, who wants nothing more: no failure.
        return ok || stopped;
    }

private:
    std::shared_ptr<Shared> m_shared;
    RangeQueries::Range m_range;
    QString m_source;
    qint64 m_limit;
};

RowStream::RowStream(const RangeQueries::Table &table, const RangeQueries::Range &range,
                     const QString &source, qint64 limit)
    : m_shared(std::make_shared<Shared>()),
      m_read(std::make_shared<StreamRead>(m_shared, range, source, limit))
{
    m_read->table = table;
}

RowStream::~RowStream()
{
    stop();
}

void RowStream::start(RecordStore *store)
{
    const std::shared_ptr<Shared> shared = m_shared;
    StreamRead *read = m_read.get();
    // On the store's thread, also when it could not run the read at all.
    m_read->whenDoneHere([shared, read] {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        shared->ended = true;
        shared->error = read->error();
        shared->changed.notify_all();
    });
    if (!store) {
        m_read->fail(QStringLiteral("no database to read from"));
        return;
    }
    store->read(m_read);
}

bool RowStream::next(RangeQueries::RowBatch *batch)
{
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->changed.wait(
        lock, [this] { return m_shared->stopped || !m_shared->batches.empty() || m_shared->ended; });
    if (m_shared->stopped || m_shared->batches.empty())
        return false;
    *batch = std::move(m_shared->batches.front());
    m_shared->batches.pop_front();
    m_shared->changed.notify_all();
    return true;
}

void RowStream::stop()
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->stopped = true;
    m_shared->batches.clear();
    m_shared->changed.notify_all();
}

QString RowStream::error() const
{
    const std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->ended ? m_shared->error : QString();
}

void BuildSummariesRead::run(QSqlDatabase &db, const StoreContext &)
{
    SummarySchema::BuildControl control;
    control.cancel = cancelFlag();
    control.progress = progress;
    control.announce = announce;
    QString why;
    const SummarySchema::BuildOutcome outcome = SummarySchema::build(db, control, &why);
    built = outcome == SummarySchema::BuildOutcome::Built;
    if (outcome == SummarySchema::BuildOutcome::Failed)
        setError(why.isEmpty() ? QStringLiteral("the summaries could not be built") : why);
}

} // namespace HistoryReads
