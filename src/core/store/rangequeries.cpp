#include "rangequeries.h"

#include "core/meter/rangescale.h"
#include "core/store/pglink.h"
#include "core/store/summaryschema.h"

#include <QHash>
#include <QMap>
#include <QSqlDatabase>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace RangeQueries {
namespace {

using SummarySchema::levels;
using SummarySchema::timestampSql;
using SummarySchema::timeUsSql;

// The least gap: readings two seconds apart are still one line.
constexpr qint64 kMinGapUs = 2000000;
// The most cells of a column whose readings are mapped to tell it free of
// gaps (a week in 1000 columns takes 605 of 1 s).
constexpr qint64 kMaxCells = 2048;
constexpr qint64 kUsPerMs = 1000;

qint64 floorTo(qint64 us, qint64 size)
{
    const qint64 r = us % size;
    return r < 0 ? us - r - size : us - r;
}

qint64 ceilTo(qint64 us, qint64 size)
{
    const qint64 f = floorTo(us, size);
    return f == us ? us : f + size;
}

qint64 msOf(qint64 us)
{
    return floorTo(us, kUsPerMs) / kUsPerMs;
}

qint32 bigEndian32(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return qint32(quint32(u[0]) << 24 | quint32(u[1]) << 16 | quint32(u[2]) << 8 | quint32(u[3]));
}

qint64 bigEndian64(const char *p)
{
    return qint64(quint64(quint32(bigEndian32(p))) << 32 | quint32(bigEndian32(p + 4)));
}

// A time kept as text, as a timestamp; NULL where the text is none (a
// hand-made table may hold anything), so one bad row cannot fail a read:
// only "yyyy-mm-dd[ hh:mm[:ss[.f]]]" with every field in range reaches the
// cast. Nested CASEs, since the server evaluates them in order.
QString textTimeSql(const QString &text)
{
    return QStringLiteral(
               "(SELECT CASE WHEN a[1]::int >= 1 AND a[2]::int BETWEEN 1 AND 12 AND a[3]::int >= 1 AND "
               "coalesce(a[4], '0')::int <= 23 AND coalesce(a[5], '0')::int <= 59 AND "
               "coalesce(a[6], '0')::int <= 59 THEN CASE WHEN a[3]::int <= extract(day FROM "
               "make_date(a[1]::int, a[2]::int, 1) + interval '1 month - 1 day') THEN (%1)::timestamp END END "
               "FROM regexp_match(%1, '^[[:space:]]*([0-9]{4})-([0-9]{1,2})-([0-9]{1,2})(?:[ T]([0-9]{1,2}):([0-9]{2})"
               "(?::([0-9]{2})(?:[.][0-9]{1,6})?)?)?[[:space:]]*$') a)")
        .arg(text);
}

// The table's create_time as a timestamp, `alias` its rows' alias.
QString timeSql(const Table &table, const QString &alias)
{
    const QString column = alias + QLatin1String("create_time");
    if (table.timeIsText)
        return textTimeSql(column);
    if (table.timeIsDate)
        return column + QLatin1String("::timestamp");
    return column;
}

// Positional parameters of one statement.
class Params
{
public:
    QString add(const QByteArray &value)
    {
        m_values.push_back(value);
        return QStringLiteral("$%1").arg(m_values.size());
    }
    QString add(const QString &value) { return add(value.toUtf8()); }
    QString add(qint64 value) { return add(pgNumber(value)); }
    const std::vector<QByteArray> &values() const { return m_values; }

private:
    std::vector<QByteArray> m_values;
};

// One read: the connection, the table and whether the summaries serve it.
struct Read
{
    PgLink &link;
    const Table &table;
    bool summaries = false;
    QString *error = nullptr;
    QString tag; ///< of the table's summaries (SummarySchema::Status::tag)
    QByteArray jit = "off"; ///< the session's own setting, which withRead() turns off
    /// Where the summaries serve: they hold the rows before this time, the
    /// rows from it on are read (SummarySchema::Status::watermark).
    qint64 watermark = std::numeric_limits<qint64>::max();

    bool exec(const QString &sql, const Params &params, PgResult *result)
    {
        if (link.exec(sql.toUtf8(), params.values(), result))
            return true;
        if (error)
            *error = link.error();
        return false;
    }
    // A statement over the rows of one stretch, `whole` when its bounds are
    // plain values: the planner then knows how many rows it reads and may
    // read the table in its own order where that is cheaper (most of it),
    // which it may not where it cannot know (runs of a list); and it
    // compiles the statement where the session would, which pays from
    // some million rows on (a fifth of the pass at 10 M).
    bool execOver(bool whole, const QString &sql, const Params &params, PgResult *result)
    {
        if (!whole)
            return exec(sql, params, result);
        if (!link.exec("SELECT set_config('enable_seqscan', 'on', true), set_config('jit', $1, true)", {jit})) {
            if (error)
                *error = link.error();
            return false;
        }
        const bool ok = exec(sql, params, result);
        return link.exec("SELECT set_config('enable_seqscan', 'off', true), set_config('jit', 'off', true)") &&
               ok;
    }
    int top() const { return summaries ? int(levels().size()) - 1 : -1; }

    // Column expressions of the raw rows (alias i).
    QString time() const { return timeSql(table, QStringLiteral("i.")); }
    QString value() const
    {
        return table.valueIsText ? QStringLiteral("i.datavaluestr") : QStringLiteral("i.datavaluestr::text");
    }
    QString us() const { return timeUsSql(time()); }
    QString orderKey() const { return table.hasId ? QStringLiteral("i.id") : QStringLiteral("i.ctid"); }
    QString id() const
    {
        // Where the row lies: the six bytes of its ctid as sent (block, then
        // item, most significant first) are block × 65536 + item, read
        // without the text of the ctid, which costs several times more.
        return table.hasId ? QStringLiteral("coalesce(i.id, 0)") : idOfPlace(QStringLiteral("tidsend(i.ctid)"));
    }
    // In two steps where it is read once a row: what the row's id is made
    // of (`place`), then the id of that.
    QString place() const { return table.hasId ? id() : QStringLiteral("tidsend(i.ctid)"); }
    QString idOf(const QString &place) const { return table.hasId ? place : idOfPlace(place); }
    static QString idOfPlace(const QString &bytes)
    {
        return QStringLiteral("((get_byte(%1, 0)::bigint << 40) + (get_byte(%1, 1)::bigint << 32) + "
                              "(get_byte(%1, 2)::bigint << 24) + (get_byte(%1, 3)::bigint << 16) + "
                              "(get_byte(%1, 4)::bigint << 8) + get_byte(%1, 5))")
            .arg(bytes);
    }
    QString source() const
    {
        return table.hasSource ? QStringLiteral("coalesce(i.source, '')") : QStringLiteral("''::text");
    }
    QString frastr() const
    {
        return table.frastrIsText ? QStringLiteral("i.frastr") : QStringLiteral("i.frastr::text");
    }
    // The values of a row's texts, as a subquery of them alone to join
    // laterally (as v): the server then works out each distinct value text
    // and range once (Memoize) instead of testing every row against the
    // patterns. `select` reads the texts as t.v and t.f (textValue,
    // textRange), each of which the server then hashes once a row.
    QString perText(const QString &select) const
    {
        return QStringLiteral(
                   "CROSS JOIN LATERAL (SELECT w.* FROM (SELECT %1 AS v, %2 AS f OFFSET 0) t CROSS JOIN "
                   "LATERAL (%3) w OFFSET 0) v")
            .arg(value(), frastr(), select);
    }
    static QString textValue() { return QStringLiteral("t.v"); }
    static QString textRange() { return QStringLiteral("t.f"); }

    // `column` is the text `value`, where NULL and '' are one: plain
    // comparisons where they can be, which the planner estimates well.
    static QString equals(Params &p, const QString &column, const QString &value)
    {
        if (value.isEmpty())
            return QStringLiteral("(%1 IS NULL OR %1 = '')").arg(column);
        return QStringLiteral("%1 = %2").arg(column, p.add(value));
    }

    // The rows of [lo, hi) (SQL expressions of microseconds) of the meter
    // and quantity asked for.
    QString rowsWhere(Params &p, const QString &lo, const QString &hi, const QString &sourceFilter,
                      const Quantity *quantity) const
    {
        QString where =
            QStringLiteral("%1 >= %2 AND %1 < %3").arg(time(), timestampSql(lo), timestampSql(hi));
        if (!sourceFilter.isNull()) {
            if (table.hasSource)
                where += QStringLiteral(" AND ") + equals(p, QStringLiteral("i.source"), sourceFilter);
            else if (!sourceFilter.isEmpty())
                where += QStringLiteral(" AND false");
        }
        if (quantity) {
            QStringList units;
            bool blank = false;
            for (const Quantity::Unit &u : quantity->units) {
                units << u.unit;
                blank = blank || u.unit.isEmpty();
            }
            where +=
                QStringLiteral(" AND ") + equals(p, QStringLiteral("i.funcstr"), quantity->function) +
                QStringLiteral(" AND (i.unitstr = ANY(%1::text[])%2)")
                    .arg(p.add(pgArray(units)), blank ? QStringLiteral(" OR i.unitstr IS NULL") : QString());
        }
        return where;
    }
};

struct Interval
{
    qint64 lo;
    qint64 hi;
};

struct Run
{
    qint64 lo;
    qint64 hi;
};

// Where each stretch of an interval is read: whole buckets of the coarsest
// level that fits, the stretches before and after them from finer levels,
// the ends from the rows. Adjacent pieces of one level become one run.
struct Plan
{
    std::vector<std::vector<Run>> levelRuns; // per level
    std::vector<Run> rawRuns;
};

void decompose(qint64 a, qint64 b, int top, std::vector<std::vector<Run>> &pieces, std::vector<Run> &raw)
{
    if (a >= b)
        return;
    for (int level = top; level >= 0; --level) {
        const qint64 size = levels()[size_t(level)].us;
        const qint64 from = ceilTo(a, size);
        const qint64 to = floorTo(b, size);
        if (from < to) {
            pieces[size_t(level)].push_back({from, to});
            decompose(a, from, level - 1, pieces, raw);
            decompose(to, b, level - 1, pieces, raw);
            return;
        }
    }
    raw.push_back({a, b});
}

void mergeRuns(std::vector<Run> &runs)
{
    std::sort(runs.begin(), runs.end(), [](const Run &x, const Run &y) { return x.lo < y.lo; });
    std::vector<Run> out;
    for (const Run &r : runs) {
        if (!out.empty() && out.back().hi == r.lo)
            out.back().hi = r.hi;
        else
            out.push_back(r);
    }
    runs.swap(out);
}

// [a, b) as the read `r` takes it: what lies before the watermark from
// the summaries (decompose()), the rest from the rows.
void split(const Read &r, qint64 a, qint64 b, std::vector<std::vector<Run>> &pieces, std::vector<Run> &raw)
{
    const qint64 w = r.summaries ? std::clamp(r.watermark, a, std::max(a, b)) : a;
    decompose(a, w, r.top(), pieces, raw);
    if (w >= b)
        return;
    if (!raw.empty() && raw.back().hi == w)
        raw.back().hi = b;
    else
        raw.push_back({w, b});
}

Plan plan(const std::vector<Interval> &intervals, const Read &r)
{
    Plan p;
    p.levelRuns.resize(levels().size());
    for (const Interval &iv : intervals)
        split(r, iv.lo, iv.hi, p.levelRuns, p.rawRuns);
    for (auto &runs : p.levelRuns)
        mergeRuns(runs);
    mergeRuns(p.rawRuns);
    return p;
}

QByteArray los(const std::vector<Run> &runs)
{
    std::vector<qint64> v;
    for (const Run &r : runs)
        v.push_back(r.lo);
    return pgArray(v);
}

QByteArray his(const std::vector<Run> &runs)
{
    std::vector<qint64> v;
    for (const Run &r : runs)
        v.push_back(r.hi);
    return pgArray(v);
}

QByteArray starts(const std::vector<Interval> &intervals)
{
    std::vector<qint64> v;
    for (const Interval &iv : intervals)
        v.push_back(iv.lo);
    return pgArray(v);
}

// The rows of `runs` as a FROM clause's start: "unnest(…) AS r(lo, hi)
// CROSS JOIN LATERAL " before the subquery of the rows, which reads its
// bounds as *lo and *hi. A single run (the whole range, read without
// summaries) is given as two plain values instead, so that the server
// plans with the range's real size: it then also works out each distinct
// value text once (perText()) where that pays.
QString runsFrom(Params &p, const std::vector<Run> &runs, QString *lo, QString *hi)
{
    if (runs.size() == 1) {
        *lo = p.add(runs.front().lo);
        *hi = p.add(runs.front().hi);
        return QString();
    }
    const QString los_ = p.add(los(runs));
    const QString his_ = p.add(his(runs));
    *lo = QStringLiteral("r.lo");
    *hi = QStringLiteral("r.hi");
    return QStringLiteral("unnest(%1::bigint[], %2::bigint[]) AS r(lo, hi) CROSS JOIN LATERAL ").arg(los_, his_);
}

// A meter's rows of one function and unit.
struct Key
{
    QString source;
    QString function;
    QString unit;
};

// The keys with a coarsest bucket overlapping [a, b): every key with rows
// there, and maybe a few with rows only just outside. The distinct keys are
// walked in the index rather than read from every bucket.
bool keysIn(Read &r, qint64 a, qint64 b, const QString &sourceFilter, std::vector<Key> *out)
{
    const QString table = SummarySchema::levelTable(r.tag, int(levels().size()) - 1);
    const qint64 size = levels().back().us;
    Params p;
    const QString only =
        sourceFilter.isNull() ? QString() : QStringLiteral(" AND t.source = %1").arg(p.add(sourceFilter));
    const QString sql = QStringLiteral(R"(WITH RECURSIVE k AS (
  (SELECT t.source, t.funcstr, t.unitstr FROM %1 t WHERE true%2 ORDER BY 1, 2, 3 LIMIT 1)
  UNION ALL
  SELECT n.source, n.funcstr, n.unitstr FROM k CROSS JOIN LATERAL (
    SELECT t.source, t.funcstr, t.unitstr FROM %1 t
     WHERE (t.source, t.funcstr, t.unitstr) > (k.source, k.funcstr, k.unitstr)%2
     ORDER BY 1, 2, 3 LIMIT 1) n)
SELECT source, funcstr, unitstr FROM k
 WHERE EXISTS (SELECT 1 FROM %1 t WHERE t.source = k.source AND t.funcstr = k.funcstr AND t.unitstr = k.unitstr
                  AND t.bucket >= %3 AND t.bucket < %4))")
                            .arg(table, only, p.add(floorTo(a, size)), p.add(b));
    PgResult res;
    if (!r.exec(sql, p, &res))
        return false;
    out->clear();
    for (int i = 0; i < res.rows(); ++i)
        out->push_back({res.string(i, 0), res.string(i, 1), res.string(i, 2)});
    return true;
}

QString keysTable(Params &p, const std::vector<Key> &keys)
{
    QStringList s, f, u;
    for (const Key &k : keys) {
        s << k.source;
        f << k.function;
        u << k.unit;
    }
    return QStringLiteral("unnest(%1::text[], %2::text[], %3::text[]) AS q(source, funcstr, unitstr)")
        .arg(p.add(pgArray(s)), p.add(pgArray(f)), p.add(pgArray(u)));
}

// The keys of a quantity for the meters `sources`.
std::vector<Key> quantityKeys(const QStringList &sources, const Quantity &q)
{
    std::vector<Key> keys;
    for (const QString &s : sources)
        for (const Quantity::Unit &u : q.units)
            keys.push_back({s, q.function, u.unit});
    return keys;
}

double factorOf(const Quantity &q, const QString &unit)
{
    for (const Quantity::Unit &u : q.units)
        if (u.unit == unit)
            return u.factor;
    return 1.0;
}

// ---- statistics --------------------------------------------------------

// Count, mean and M2 of a part, merged with Chan's formula.
struct Moments
{
    qint64 n = 0;
    double mean = 0;
    double m2 = 0;
    qint64 overloads = 0;
    double min = 0;
    qint64 minUs = 0;
    double max = 0;
    qint64 maxUs = 0;

    void merge(const Moments &o)
    {
        overloads += o.overloads;
        if (o.n == 0)
            return;
        if (n == 0) {
            const qint64 keep = overloads;
            *this = o;
            overloads = keep;
            return;
        }
        const qint64 total = n + o.n;
        const double delta = o.mean - mean;
        mean += delta * double(o.n) / double(total);
        m2 += o.m2 + delta * delta * double(n) * double(o.n) / double(total);
        n = total;
        if (o.min < min || (o.min == min && o.minUs < minUs)) {
            min = o.min;
            minUs = o.minUs;
        }
        if (o.max > max || (o.max == max && o.maxUs < maxUs)) {
            max = o.max;
            maxUs = o.maxUs;
        }
    }
};

// Per meter, and per unit within it (the units seen).
struct MeterMoments
{
    Moments moments;
    QStringList units;
};

// Where a result has the figures of one part: its meter and unit, and the
// numbers' count, mean, M2, lowest and highest with their times, and the
// overloads. A row whose `numbers` column is not "t" holds no numbers.
struct MomentColumns
{
    int source, unit, n, mean, m2, min, minUs, max, maxUs, overloads;
    int numbers = -1; ///< none: every row holds numbers where n > 0
};

// Merges each row of `res` into its meter's moments, in the quantity's base unit.
void mergeMoments(const PgResult &res, const MomentColumns &c, const Quantity &q, QMap<QString, MeterMoments> *out)
{
    for (int i = 0; i < res.rows(); ++i) {
        const QString unit = res.string(i, c.unit);
        const double f = factorOf(q, unit);
        Moments m;
        m.overloads = res.int64(i, c.overloads);
        if (c.numbers < 0 || res.text(i, c.numbers) == "t")
            m.n = res.int64(i, c.n);
        if (m.n > 0) {
            m.mean = res.real(i, c.mean) * f;
            m.m2 = res.real(i, c.m2) * f * f;
            m.min = res.real(i, c.min) * f;
            m.minUs = res.int64(i, c.minUs);
            m.max = res.real(i, c.max) * f;
            m.maxUs = res.int64(i, c.maxUs);
        }
        MeterMoments &meter = (*out)[res.string(i, c.source)];
        meter.moments.merge(m);
        if (m.n > 0 && !meter.units.contains(unit))
            meter.units << unit;
    }
}

void addMoments(const PgResult &res, const Quantity &q, QMap<QString, MeterMoments> *out)
{
    // source, unit, n, mean, m2, min, min_us, max, max_us, overloads
    mergeMoments(res, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, q, out);
}

// ---- M4 ---------------------------------------------------------------

struct Agg
{
    qint64 count = 0;
    qint64 firstUs = 0, firstId = 0;
    double firstV = 0;
    qint64 lastUs = 0, lastId = 0;
    double lastV = 0;
    double loV = 0;
    qint64 loUs = 0;
    double hiV = 0;
    qint64 hiUs = 0;

    void merge(const Agg &o)
    {
        if (o.count == 0)
            return;
        if (count == 0) {
            *this = o;
            return;
        }
        count += o.count;
        if (std::make_pair(o.firstUs, o.firstId) < std::make_pair(firstUs, firstId)) {
            firstUs = o.firstUs;
            firstId = o.firstId;
            firstV = o.firstV;
        }
        if (std::make_pair(o.lastUs, o.lastId) > std::make_pair(lastUs, lastId)) {
            lastUs = o.lastUs;
            lastId = o.lastId;
            lastV = o.lastV;
        }
        if (o.loV < loV || (o.loV == loV && o.loUs < loUs)) {
            loV = o.loV;
            loUs = o.loUs;
        }
        if (o.hiV > hiV || (o.hiV == hiV && o.hiUs < hiUs)) {
            hiV = o.hiV;
            hiUs = o.hiUs;
        }
    }
};

using AggMap = std::map<std::pair<QString, int>, Agg>; // (source, interval)

// The groups of one meter's curve, (column, rows) each, in time order;
// a group joins the one before where no gap lies between them.
void addGroups(std::vector<std::pair<int, Agg>> groups, qint64 gapUs, Curve *curve)
{
    std::sort(groups.begin(), groups.end(), [](const auto &x, const auto &y) {
        return std::make_pair(x.second.firstUs, x.second.firstId) <
               std::make_pair(y.second.firstUs, y.second.firstId);
    });
    qint64 previousLast = 0;
    for (size_t i = 0; i < groups.size(); ++i) {
        const Agg &g = groups[i].second;
        Group group;
        group.column = groups[i].first;
        group.count = g.count;
        group.first = {msOf(g.firstUs), g.firstV};
        group.last = {msOf(g.lastUs), g.lastV};
        group.min = {msOf(g.loUs), g.loV};
        group.max = {msOf(g.hiUs), g.hiV};
        group.joinsPrevious = i > 0 && g.firstUs - previousLast <= gapUs;
        previousLast = g.lastUs;
        curve->groups.push_back(group);
    }
}

// Which cells of `width` µs from `origin` on hold a reading of a curve in an
// interval, cell c at place c mod `bits` of the interval's map ('0' or
// '1'), gathered by the pass over the rows that reads the columns. Where
// every cell between an interval's first and last reading holds one and a
// cell is at most half the curve's gap, no two readings in it lie further
// apart than the gap (a stretch longer than the gap holds a whole cell).
struct Cells
{
    qint64 origin = 0;
    qint64 width = 1;
    int bits = 0; ///< 0: not gathered
    std::map<std::pair<QString, int>, QByteArray> maps;

    bool noGapWithin(const QString &source, int interval, qint64 firstUs, qint64 lastUs, qint64 gapUs) const
    {
        const auto it = maps.find({source, interval});
        const qint64 from = (firstUs - origin) / width;
        const qint64 to = (lastUs - origin) / width;
        if (bits == 0 || it == maps.end() || 2 * width > gapUs || to - from >= bits || firstUs < origin)
            return false;
        for (qint64 c = from; c <= to; ++c)
            if (it->second.at(int(c % bits)) != '1')
                return false;
        return true;
    }
};

// Columns of an M4 result row from column 3 on: n, first (us, id, v),
// last (us, id, v), lo (v, us), hi (v, us).
const char *const kM4Projection = "n, f[1]::bigint, f[2]::bigint, f[3], l[1]::bigint, l[2]::bigint, l[3], "
                                  "lo[1], lo[2]::bigint, hi[1], (-hi[2])::bigint";

void addM4Rows(const PgResult &res, const Quantity &q, AggMap *out)
{
    for (int i = 0; i < res.rows(); ++i) {
        const double f = factorOf(q, res.string(i, 2));
        Agg a;
        a.count = res.int64(i, 3);
        a.firstUs = res.int64(i, 4);
        a.firstId = res.int64(i, 5);
        a.firstV = res.real(i, 6) * f;
        a.lastUs = res.int64(i, 7);
        a.lastId = res.int64(i, 8);
        a.lastV = res.real(i, 9) * f;
        a.loV = res.real(i, 10) * f;
        a.loUs = res.int64(i, 11);
        a.hiV = res.real(i, 12) * f;
        a.hiUs = res.int64(i, 13);
        (*out)[{res.string(i, 1), int(res.int64(i, 0))}].merge(a);
    }
}

bool m4WithSummaries(Read &r, const std::vector<Interval> &intervals, const Plan &pl, const QString &sourceFilter,
                     const std::vector<Key> &keys, const Quantity &q, AggMap *out);

// M4 of every interval (disjoint, in order) per meter. `sources` names the
// meters to read from the summaries (every meter of the filter). Where the
// intervals are read from the rows alone, `moments` (when given) gets the
// statistics of those rows in the same pass.
//
// `cells`, when given with its width and bits set, gets the cells of each
// interval that hold a reading where every interval is read from the rows;
// its bits are 0 where they are not.
bool m4(Read &r, const std::vector<Interval> &intervals, const QString &sourceFilter,
        const QStringList &sources, const Quantity &q, AggMap *out,
        QMap<QString, MeterMoments> *moments = nullptr, bool *gathered = nullptr, Cells *cells = nullptr)
{
    if (gathered)
        *gathered = false;
    const Plan pl = plan(intervals, r);
    const bool rowsOnly =
        pl.levelRuns.end() == std::find_if(pl.levelRuns.begin(), pl.levelRuns.end(),
                                           [](const std::vector<Run> &runs) { return !runs.empty(); });
    if (cells && (!rowsOnly || pl.rawRuns.empty()))
        cells->bits = 0;
    if (cells && cells->bits > 0)
        cells->origin = pl.rawRuns.front().lo;
    if (!rowsOnly)
        return m4WithSummaries(r, intervals, pl, sourceFilter, quantityKeys(sources, q), q, out);
    if (pl.rawRuns.empty())
        return true;
    Params p;
    const QString startArray = p.add(starts(intervals));
    QString lo, hi;
    const QString from = runsFrom(p, pl.rawRuns, &lo, &hi);
    const QString where = r.rowsWhere(p, lo, hi, sourceFilter, &q);
    // The row's first-and-last key made once for both ends. With the
    // statistics, the numbers and the other readings of a column are two
    // groups: the lowest and highest of the numbers are then the figures'.
    const bool withMoments = moments && rowsOnly;
    const bool withCells = cells && cells->bits > 0;
    const QString curveValue = SummarySchema::curveValueSql(Read::textValue(), Read::textRange());
    const QString values =
        withMoments
            ? r.perText(QStringLiteral(
                            "SELECT n.nv, n.ol, coalesce(n.nv, %1) AS cv FROM (SELECT %2 AS nv, %3 AS ol) n")
                            .arg(curveValue, SummarySchema::numberSql(Read::textValue()),
                                 SummarySchema::overloadSql(Read::textValue())))
            : r.perText(QStringLiteral("SELECT %1 AS cv").arg(curveValue));
    QString figures =
        withMoments ? QStringLiteral(", x.nv IS NOT NULL AS num, count(x.nv) AS nn, avg(x.nv) AS mean, "
                                     "var_pop(x.nv) * count(x.nv) AS m2, count(*) FILTER (WHERE x.ol) AS ol")
                    : QString();
    // The cells' places in words of 64 bits, each word a group of its own
    // (a bit string of every place, or-ed a row, would cost a third more).
    if (withCells) {
        const QString place = QStringLiteral("mod((x.us - %1) / %2, %3)")
                                  .arg(p.add(cells->origin), p.add(cells->width))
                                  .arg(cells->bits);
        figures += QStringLiteral(", bit_or(1::bigint << mod(%1, 64)::int) AS cells, %1 / 64 AS word").arg(place);
    }
    const QString sql =
        QStringLiteral(
            "SELECT k, source, unitstr, %1 FROM (SELECT width_bucket(x.us, %2::bigint[]) - 1 AS k, "
            "x.source, x.unitstr, count(*) AS n, min(x.e) AS f, max(x.e) AS l, min(ARRAY[x.cv, x.us]) AS lo, "
            "max(ARRAY[x.cv, -x.us]) AS hi%FIGURES FROM %3(SELECT x.*, ARRAY[x.us, %IDOF, x.cv] AS e FROM ("
            "SELECT %4 AS source, coalesce(i.unitstr, '') AS unitstr, %5 AS us, %6 AS place, v.* "
            "FROM invoice i %7 WHERE %8 OFFSET 0) x OFFSET 0) x GROUP BY %9) y")
            .arg(QLatin1String(kM4Projection) +
                     (withMoments ? QStringLiteral(", num, nn, mean, m2, ol") : QString()) +
                     (withCells ? QStringLiteral(", cells, word") : QString()),
                 startArray, from, r.source(), r.us(), r.place(), values, where,
                 QStringLiteral("1, 2, 3") + (withMoments ? QStringLiteral(", 9") : QString()) +
                     (withCells ? (withMoments ? QStringLiteral(", 15") : QStringLiteral(", 10")) : QString()))
            .replace(QLatin1String("%FIGURES"), figures)
            .replace(QLatin1String("%IDOF"), r.idOf(QStringLiteral("x.place")));
    PgResult res;
    if (!r.execOver(pl.rawRuns.size() == 1, sql, p, &res))
        return false;
    addM4Rows(res, q, out);
    const int cellsColumn = withMoments ? 19 : 14;
    for (int i = 0; withCells && i < res.rows(); ++i) {
        QByteArray &map = cells->maps[{res.string(i, 1), int(res.int64(i, 0))}];
        if (map.isEmpty())
            map = QByteArray(cells->bits, '0');
        const quint64 word = quint64(res.int64(i, cellsColumn));
        const qint64 first = res.int64(i, cellsColumn + 1) * 64;
        for (int b = 0; b < 64; ++b)
            if (word >> b & 1u && first + b >= 0 && first + b < cells->bits)
                map[int(first + b)] = '1';
    }
    if (!withMoments)
        return true;
    if (gathered)
        *gathered = true;
    // source, unit, …, the lowest and highest with their times, the numbers'
    // group, their count, mean and M2, the overloads
    MomentColumns c{1, 2, 15, 16, 17, 10, 11, 12, 13, 18};
    c.numbers = 14;
    mergeMoments(res, c, q, moments);
    return true;
}

// ---- gaps -------------------------------------------------------------

struct Gap
{
    qint64 prev; // the reading before the gap
    qint64 next; // the reading after it
};

// A stretch of one meter's readings: a bucket (that may hide a gap inside
// when `candidate`), or a run of rows whose inner gaps are known.
struct Element
{
    QString source;
    qint64 first = 0;
    qint64 last = 0;
    int level = -1;
    qint64 bucket = 0;
    bool candidate = false;
};

struct SourceRun
{
    qint64 lo;
    qint64 hi;
    QString source;
};

bool levelElements(Read &r, int level, const std::vector<SourceRun> &runs, const Quantity &q,
                   const QHash<QString, qint64> &gapUs, std::vector<Element> *out)
{
    if (runs.empty())
        return true;
    std::vector<qint64> lo, hi;
    QStringList src;
    QStringList sources;
    for (const SourceRun &s : runs) {
        lo.push_back(s.lo);
        hi.push_back(s.hi);
        src << s.source;
        if (!sources.contains(s.source))
            sources << s.source;
    }
    Params p;
    const QString sql =
        QStringLiteral(
            "SELECT s.source, s.bucket, min(s.first_us), max(s.last_us), max(s.max_gap), count(*) "
            "FROM unnest(%1::bigint[], %2::bigint[], %3::text[]) AS r(lo, hi, source) "
            "JOIN %4 ON q.source = r.source "
            "CROSS JOIN LATERAL (SELECT * FROM %5 s WHERE s.source = q.source AND s.funcstr = q.funcstr "
            "AND s.unitstr = q.unitstr AND s.bucket >= r.lo AND s.bucket < r.hi OFFSET 0) s GROUP BY 1, 2")
            .arg(p.add(pgArray(lo)), p.add(pgArray(hi)), p.add(pgArray(src)),
                 keysTable(p, quantityKeys(sources, q)), SummarySchema::levelTable(r.tag, level));
    PgResult res;
    if (!r.exec(sql, p, &res))
        return false;
    const qint64 size = levels()[size_t(level)].us;
    for (int i = 0; i < res.rows(); ++i) {
        Element e;
        e.source = res.string(i, 0);
        e.bucket = res.int64(i, 1);
        e.first = res.int64(i, 2);
        e.last = res.int64(i, 3);
        e.level = level;
        const qint64 gap = gapUs.value(e.source);
        // Readings of one unit: the bucket knows its largest spacing. Of
        // several (an autorange switch): only its children can tell.
        e.candidate = size > gap && (res.int64(i, 5) == 1 ? res.int64(i, 4) > gap : e.last - e.first > gap);
        out->push_back(e);
    }
    return true;
}

bool rawElements(Read &r, const std::vector<SourceRun> &runs, const Quantity &q,
                 const QHash<QString, qint64> &gapUs, std::vector<Element> *out,
                 QHash<QString, std::vector<Gap>> *gaps)
{
    if (runs.empty())
        return true;
    std::vector<qint64> lo, hi, gap;
    QStringList src;
    for (const SourceRun &s : runs) {
        lo.push_back(s.lo);
        hi.push_back(s.hi);
        src << s.source;
        gap.push_back(gapUs.value(s.source));
    }
    // One pass over the rows of each run: its first and last reading and
    // the steps longer than its gap. Readings of one time are one point of
    // the curve, so the order among them changes no step; ordered by the
    // time alone, one run is read in the index's order without a sort. The
    // times are compared as read, and only those given back are taken in
    // microseconds.
    Params p;
    QString sql;
    const QString steps = QStringLiteral(
        "SELECT n, min(t) AS a, max(t) AS b, array_agg(prev) FILTER (WHERE t > prev + gap) AS p, "
        "array_agg(t) FILTER (WHERE t > prev + gap) AS u FROM (%1) y GROUP BY n");
    if (runs.size() == 1) {
        QString where = r.rowsWhere(p, p.add(lo[0]), p.add(hi[0]), QString(), &q);
        where += QStringLiteral(" AND %1 = %2").arg(r.source(), p.add(src[0]));
        sql = steps.arg(
            QStringLiteral("SELECT 1 AS n, %1::bigint * interval '1 microsecond' AS gap, t, lag(t) OVER "
                           "(ORDER BY t) AS prev FROM (SELECT %2 AS t FROM invoice i WHERE %3) x")
                .arg(p.add(gap[0]), r.time(), where));
    } else {
        const QString loA = p.add(pgArray(lo));
        const QString hiA = p.add(pgArray(hi));
        const QString srcA = p.add(pgArray(src));
        const QString gapA = p.add(pgArray(gap));
        QString where = r.rowsWhere(p, QStringLiteral("r.lo"), QStringLiteral("r.hi"), QString(), &q);
        where += QStringLiteral(" AND %1 = r.source").arg(r.source());
        sql = steps.arg(
            QStringLiteral(
                "SELECT r.n, r.gap * interval '1 microsecond' AS gap, x.t, lag(x.t) OVER (PARTITION BY r.n "
                "ORDER BY x.t) AS prev FROM unnest(%1::bigint[], %2::bigint[], %3::text[], %4::bigint[]) "
                "WITH ORDINALITY AS r(lo, hi, source, gap, n) CROSS JOIN LATERAL (SELECT %5 AS t FROM "
                "invoice i WHERE %6 OFFSET 0) x")
                .arg(loA, hiA, srcA, gapA, r.time(), where));
    }
    sql = QStringLiteral(
              "SELECT a.n, %2, %3, %4, %5 FROM (%1) a LEFT JOIN LATERAL unnest(a.p, a.u) AS g(prev, t) "
              "ON true")
              .arg(sql, timeUsSql(QStringLiteral("a.a")), timeUsSql(QStringLiteral("a.b")),
                   timeUsSql(QStringLiteral("g.prev")), timeUsSql(QStringLiteral("g.t")));
    PgResult res;
    if (!r.exec(sql, p, &res))
        return false;
    qint64 previousRun = -1;
    for (int i = 0; i < res.rows(); ++i) {
        const qint64 n = res.int64(i, 0);
        const QString &source = runs[size_t(n - 1)].source;
        if (!res.isNull(i, 3))
            (*gaps)[source].push_back({res.int64(i, 3), res.int64(i, 4)});
        if (n == previousRun)
            continue;
        previousRun = n;
        Element e;
        e.source = source;
        e.first = res.int64(i, 1);
        e.last = res.int64(i, 2);
        out->push_back(e);
    }
    return true;
}

// Every pair of consecutive readings of each meter's curve in [a, b) more
// than its gap apart. Buckets that may hide one are opened level by level;
// between neighbours the bucket's first and last reading tell.
bool findGaps(Read &r, qint64 a, qint64 b, const QHash<QString, qint64> &gapUs, const Quantity &q,
              QHash<QString, std::vector<Gap>> *gaps)
{
    std::vector<std::vector<Run>> pieces(levels().size());
    std::vector<Run> raw;
    split(r, a, b, pieces, raw);
    std::vector<Element> elements;
    for (auto it = gapUs.cbegin(); it != gapUs.cend(); ++it) {
        (*gaps)[it.key()];
    }
    for (size_t level = 0; level < pieces.size(); ++level) {
        std::vector<SourceRun> runs;
        for (const Run &run : pieces[level])
            for (auto it = gapUs.cbegin(); it != gapUs.cend(); ++it)
                runs.push_back({run.lo, run.hi, it.key()});
        if (!levelElements(r, int(level), runs, q, gapUs, &elements))
            return false;
    }
    std::vector<SourceRun> rawRuns;
    for (const Run &run : raw)
        for (auto it = gapUs.cbegin(); it != gapUs.cend(); ++it)
            rawRuns.push_back({run.lo, run.hi, it.key()});
    if (!rawElements(r, rawRuns, q, gapUs, &elements, gaps))
        return false;

    for (;;) {
        std::vector<std::vector<SourceRun>> children(levels().size());
        std::vector<SourceRun> rows;
        std::vector<Element> kept;
        for (const Element &e : elements) {
            if (!e.candidate) {
                kept.push_back(e);
                continue;
            }
            const SourceRun run{e.bucket, e.bucket + levels()[size_t(e.level)].us, e.source};
            if (e.level == 0)
                rows.push_back(run);
            else
                children[size_t(e.level - 1)].push_back(run);
        }
        if (kept.size() == elements.size())
            break;
        elements.swap(kept);
        for (size_t level = 0; level < children.size(); ++level)
            if (!levelElements(r, int(level), children[level], q, gapUs, &elements))
                return false;
        if (!rawElements(r, rows, q, gapUs, &elements, gaps))
            return false;
    }
    std::sort(elements.begin(), elements.end(), [](const Element &x, const Element &y) {
        return x.source != y.source ? x.source < y.source : x.first < y.first;
    });
    for (size_t i = 1; i < elements.size(); ++i) {
        const Element &p = elements[i - 1];
        const Element &e = elements[i];
        if (p.source == e.source && e.first - p.last > gapUs.value(e.source))
            (*gaps)[e.source].push_back({p.last, e.first});
    }
    return true;
}

// ---- counts ------------------------------------------------------------

struct Count
{
    qint64 rows = 0;
    qint64 firstUs = std::numeric_limits<qint64>::max();
};

enum class GroupBy { Nothing, All };

// The key of GroupBy::All: the meter, the function and the unit, apart by a
// character no stored text holds.
constexpr QChar kKeyApart = QChar(0);

// Rows of [a, b) per group; the key of a quantity is "function\nunit".
bool counts(Read &r, qint64 a, qint64 b, const QString &sourceFilter, GroupBy by, QHash<QString, Count> *out)
{
    const auto keyOf = [by](const QString &source, const QString &function, const QString &unit) {
        switch (by) {
        case GroupBy::All:
            return source + kKeyApart + function + kKeyApart + unit;
        case GroupBy::Nothing:
            break;
        }
        return QString();
    };
    const auto add = [&](const QString &key, qint64 rows, qint64 firstUs) {
        Count &c = (*out)[key];
        c.rows += rows;
        c.firstUs = std::min(c.firstUs, firstUs);
    };
    std::vector<std::vector<Run>> pieces(levels().size());
    std::vector<Run> raw;
    split(r, a, b, pieces, raw);
    std::vector<Key> keys;
    if (r.summaries && !keysIn(r, a, b, sourceFilter, &keys))
        return false;
    for (size_t level = 0; level < pieces.size(); ++level) {
        mergeRuns(pieces[level]);
        if (pieces[level].empty() || keys.empty())
            continue;
        Params p;
        const QString sql =
            QStringLiteral("SELECT s.source, s.funcstr, s.unitstr, sum(s.n_rows), min(s.first_us) "
                           "FROM unnest(%1::bigint[], %2::bigint[]) AS r(lo, hi) CROSS JOIN %3 "
                           "CROSS JOIN LATERAL (SELECT * FROM %4 s WHERE s.source = q.source AND "
                           "s.funcstr = q.funcstr AND s.unitstr = q.unitstr AND s.bucket >= r.lo AND "
                           "s.bucket < r.hi OFFSET 0) s GROUP BY 1, 2, 3")
                .arg(p.add(los(pieces[level])), p.add(his(pieces[level])), keysTable(p, keys),
                     SummarySchema::levelTable(r.tag, int(level)));
        PgResult res;
        if (!r.exec(sql, p, &res))
            return false;
        for (int i = 0; i < res.rows(); ++i)
            add(keyOf(res.string(i, 0), res.string(i, 1), res.string(i, 2)), res.int64(i, 3),
                res.int64(i, 4));
    }
    mergeRuns(raw);
    if (raw.empty())
        return true;
    Params p;
    QString lo, hi;
    const QString from = runsFrom(p, raw, &lo, &hi);
    const QString where = r.rowsWhere(p, lo, hi, sourceFilter, nullptr);
    // A bare count reads the index alone where the table's pages are all
    // visible; the first time is wanted with the groups only, and taken in
    // microseconds once a group, not once a row.
    const bool bare = by == GroupBy::Nothing;
    QString sql;
    if (bare) {
        sql = QStringLiteral(
                  "SELECT '', '', '', count(*), NULL::bigint FROM %1(SELECT 1 FROM invoice i WHERE %2 "
                  "OFFSET 0) i GROUP BY 1, 2, 3")
                  .arg(from, where);
    } else {
        // The texts as they are, NULL apart from '' (add() merges them): the
        // server groups plain columns in a fraction of the time it takes
        // for expressions of them or for a subquery's whole rows, and a
        // table without meters has no meter to group by.
        const QString source = r.table.hasSource ? QStringLiteral("i.source") : QStringLiteral("NULL::text");
        const QString rows =
            from.isEmpty()
                ? QStringLiteral("invoice i WHERE %1").arg(where)
                : QStringLiteral(
                      "%1(SELECT %2 AS source, i.funcstr, i.unitstr, %3 AS t FROM invoice i WHERE %4 "
                      "OFFSET 0) i")
                      .arg(from, source, r.time(), where);
        sql = QStringLiteral("SELECT %1, i.funcstr, i.unitstr, count(*), %2 FROM %3 GROUP BY %4")
                  .arg(from.isEmpty() ? source : QStringLiteral("i.source"),
                       timeUsSql(
                           QStringLiteral("min(%1)").arg(from.isEmpty() ? r.time() : QStringLiteral("i.t"))),
                       rows, r.table.hasSource ? QStringLiteral("1, 2, 3") : QStringLiteral("2, 3"));
    }
    PgResult res;
    if (!r.execOver(raw.size() == 1, sql, p, &res))
        return false;
    for (int i = 0; i < res.rows(); ++i)
        add(keyOf(res.string(i, 0), res.string(i, 1), res.string(i, 2)), res.int64(i, 3), res.int64(i, 4));
    return true;
}

// The moments of the quantity's readings in [a, b) per meter.
bool momentsIn(Read &r, qint64 a, qint64 b, const QString &source, const Quantity &quantity,
               QMap<QString, MeterMoments> *perMeter)
{
    const Plan pl = plan({{a, b}}, r);
    QStringList sources;
    if (!source.isNull()) {
        sources << source;
    } else if (r.summaries) {
        std::vector<Key> keys;
        if (!keysIn(r, a, b, QString(), &keys))
            return false;
        for (const Key &k : keys)
            if (k.function == quantity.function && !sources.contains(k.source))
                sources << k.source;
    }
    const std::vector<Key> keys = quantityKeys(sources, quantity);
    for (size_t level = 0; level < pl.levelRuns.size(); ++level) {
        if (pl.levelRuns[level].empty() || keys.empty())
            continue;
        Params p;
        // The parts' spread about the mean of their unit adds to theirs.
        static const SummarySchema::BucketMerge kMerge =
            SummarySchema::bucketMerge({"n", "min_v", "max_v", "overloads"}, QStringLiteral("s"));
        const QString sql =
            QStringLiteral("WITH s AS (SELECT s.source, s.unitstr, %5 FROM unnest(%1::bigint[], %2::bigint[]) "
                           "AS r(lo, hi) CROSS JOIN %3 CROSS JOIN LATERAL (SELECT * FROM %4 s "
                           "WHERE s.source = q.source AND s.funcstr = q.funcstr AND s.unitstr = q.unitstr "
                           "AND s.bucket >= r.lo AND s.bucket < r.hi OFFSET 0) s), "
                           "g AS (SELECT source, unitstr, sum(n * mean) / nullif(sum(n), 0) AS pmean "
                           "FROM s GROUP BY 1, 2) "
                           "SELECT source, unitstr, %7 FROM (SELECT source, unitstr, %6 "
                           "FROM s JOIN g USING (source, unitstr) GROUP BY 1, 2) x")
                .arg(p.add(los(pl.levelRuns[level])), p.add(his(pl.levelRuns[level])), keysTable(p, keys),
                     SummarySchema::levelTable(r.tag, int(level)), kMerge.columns, kMerge.aggregates,
                     kMerge.out);
        PgResult res;
        if (!r.exec(sql, p, &res))
            return false;
        addMoments(res, quantity, perMeter);
    }
    if (!pl.rawRuns.empty()) {
        Params p;
        QString lo, hi;
        const QString from = runsFrom(p, pl.rawRuns, &lo, &hi);
        const QString where = r.rowsWhere(p, lo, hi, source, &quantity);
        const QString sql =
            QStringLiteral(
                "SELECT source, unitstr, n, mean, m2, mn[1], mn[2]::bigint, mx[1], (-mx[2])::bigint, ol "
                "FROM ("
                "SELECT source, unitstr, count(nv) AS n, avg(nv) AS mean, var_pop(nv) * count(nv) AS m2, "
                "min(ARRAY[nv, us]) FILTER (WHERE nv IS NOT NULL) AS mn, "
                "max(ARRAY[nv, -us]) FILTER (WHERE nv IS NOT NULL) AS mx, "
                "count(*) FILTER (WHERE ol) AS ol FROM ("
                "SELECT %1 AS source, coalesce(i.unitstr, '') AS unitstr, %2 AS us, v.nv, v.ol "
                "FROM %4(SELECT * FROM invoice i WHERE %5 OFFSET 0) i %3 OFFSET 0) x GROUP BY 1, 2) y")
                .arg(r.source(), r.us(),
                     r.perText(QStringLiteral("SELECT %1 AS nv, %2 AS ol")
                                   .arg(SummarySchema::numberSql(Read::textValue()),
                                        SummarySchema::overloadSql(Read::textValue()))),
                     from, where);
        PgResult res;
        if (!r.execOver(pl.rawRuns.size() == 1, sql, p, &res))
            return false;
        addMoments(res, quantity, perMeter);
    }
    return true;
}

void finish(const Moments &m, Statistics *out)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    out->count = m.n;
    out->overloads = m.overloads;
    out->mean = m.n > 0 ? m.mean : nan;
    out->stddev = m.n > 1 ? std::sqrt(m.m2 / double(m.n - 1)) : nan;
    out->min = m.n > 0 ? m.min : nan;
    out->max = m.n > 0 ? m.max : nan;
    out->minMs = m.n > 0 ? msOf(m.minUs) : 0;
    out->maxMs = m.n > 0 ? msOf(m.maxUs) : 0;
}

// The figures of every meter, and taken together meter by meter in name
// order.
void finishStatistics(const QMap<QString, MeterMoments> &perMeter, bool fromSummaries, Statistics *out,
                      QVector<MeterStatistics> *meters)
{
    Moments total;
    for (auto it = perMeter.cbegin(); it != perMeter.cend(); ++it) {
        total.merge(it->moments);
        if (meters && (it->moments.n > 0 || it->moments.overloads > 0)) {
            MeterStatistics m;
            m.source = it.key();
            finish(it->moments, &m.figures);
            m.figures.fromSummaries = fromSummaries;
            m.units = it->units;
            m.units.sort();
            meters->push_back(m);
        }
    }
    finish(total, out);
    out->fromSummaries = fromSummaries;
}

// Runs `work` in one snapshot, with the summaries where they are usable now.
template <class Work>
bool withRead(QSqlDatabase &db, const Table &table, QString *error, bool wantSummaries, Work work)
{
    PgLink link(db);
    if (!table.exists) {
        *error = QStringLiteral("the table invoice does not exist");
        return false;
    }
    if (!link.beginSnapshot()) {
        *error = link.error();
        return false;
    }
    // Every read walks an index by time (or by key and bucket), run after
    // run; the planner, which cannot know how short each run is, would
    // rather read whole partitions. Compiling the statements would take
    // longer than running them.
    PgResult saved;
    const bool tuned = link.exec("SELECT current_setting('enable_seqscan'), current_setting('jit'), "
                                 "set_config('enable_seqscan', 'off', true), set_config('jit', 'off', true)",
                                 {}, &saved);
    Read r{link, table, false, error, QString()};
    if (tuned)
        r.jit = QByteArray(saved.text(0, 1).data(), int(saved.text(0, 1).size()));
    if (wantSummaries && table.summaries) {
        const SummarySchema::Status status = SummarySchema::probe(db);
        r.summaries = status.state == SummarySchema::State::Usable;
        r.tag = status.tag;
        r.watermark = status.watermark;
    }
    const bool ok = work(r);
    if (tuned && link.inTransaction())
        link.exec("SELECT set_config('enable_seqscan', $1, true), set_config('jit', $2, true)",
                  {QByteArray(saved.text(0, 0).data(), int(saved.text(0, 0).size())),
                   QByteArray(saved.text(0, 1).data(), int(saved.text(0, 1).size()))});
    link.endSnapshot();
    return ok;
}

// Microseconds from 1970-01-01 to 2000-01-01, where the server's binary
// timestamps count from.
constexpr qint64 kUsTo2000 = 946684800000000;

// ---- the rows alone, streamed -----------------------------------------

// What a row's value and range texts make of it, worked out as numberSql(),
// overloadSql() and curveValueSql() do on the server: the two must agree
// to the bit.
struct TextReading
{
    bool number = false;
    bool overload = false;
    double value = 0; ///< the number, where it is one
    double curve = 0; ///< where the curve draws the row
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "[blanks][sign]digits[.digits][e[sign]d[d]][blanks]" of at most 40
// characters (every character of one is a byte), read as the server reads
// it: to the nearest double.
bool numberOfText(std::string_view t, double *out)
{
    const size_t n = t.size();
    if (n > 40)
        return false;
    size_t i = 0;
    while (i < n && isBlank(t[i]))
        ++i;
    char written[48];
    size_t w = 0;
    if (i < n && (t[i] == '+' || t[i] == '-'))
        written[w++] = t[i++];
    const size_t whole = i;
    while (i < n && isDigit(t[i]))
        ++i;
    const size_t wholeEnd = i;
    size_t part = i, partEnd = i;
    if (i < n && t[i] == '.') {
        part = ++i;
        while (i < n && isDigit(t[i]))
            ++i;
        partEnd = i;
    }
    if (whole == wholeEnd && part == partEnd)
        return false;
    // Digits on both sides of the point, whatever the text leaves out.
    if (whole == wholeEnd)
        written[w++] = '0';
    for (size_t k = whole; k < wholeEnd; ++k)
        written[w++] = t[k];
    written[w++] = '.';
    if (part == partEnd)
        written[w++] = '0';
    for (size_t k = part; k < partEnd; ++k)
        written[w++] = t[k];
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        size_t d = i + 1;
        const bool signed_ = d < n && (t[d] == '+' || t[d] == '-');
        if (signed_)
            ++d;
        const size_t digits = d;
        while (d < n && d - digits < 2 && isDigit(t[d]))
            ++d;
        if (d > digits) {
            written[w++] = 'e';
            if (signed_)
                written[w++] = t[digits - 1];
            for (size_t k = digits; k < d; ++k)
                written[w++] = t[k];
            i = d;
        }
    }
    while (i < n && isBlank(t[i]))
        ++i;
    if (i != n)
        return false;
    bool ok = false;
    *out = QByteArray::fromRawData(written, int(w)).toDouble(&ok);
    return ok;
}

// The text with every sign, point and blank taken out is "OL".
bool overloadText(std::string_view t)
{
    char kept[3];
    size_t k = 0;
    for (const char c : t) {
        if (c == '+' || c == '-' || c == '.' || isBlank(c))
            continue;
        if (k == 2)
            return false;
        kept[k++] = c;
    }
    return k == 2 && kept[0] == 'O' && kept[1] == 'L';
}

// Where the curve draws an overload text of range `range`: a sign (after a
// blank and blanks, or first), blanks, "OL", "OL.", "O.L" or ".OL" and
// blanks; anything else at 0. The server trims the texts with E'…' sets in
// which "\v" is the letter v, not the vertical tab: a text holding a
// vertical tab finds no form, and a range text loses its v's.
double overloadCurve(std::string_view v, std::string_view range, const std::vector<double> &table)
{
    const size_t n = v.size();
    size_t i = 0;
    if (i < n && v[i] == ' ') {
        ++i;
        while (i < n && isBlank(v[i]))
            ++i;
    }
    if (i >= n || (v[i] != '+' && v[i] != '-'))
        return 0.0;
    const bool negative = v[i] == '-';
    ++i;
    while (i < n && isBlank(v[i]))
        ++i;
    size_t end = n;
    while (end > i && isBlank(v[end - 1]))
        --end;
    static const char *const kForms[4] = {"OL", "OL.", "O.L", ".OL"};
    const std::string_view form = v.substr(i, end - i);
    int position = 0;
    for (int f = 0; f < 4; ++f)
        if (form == kForms[f])
            position = f + 1;
    if (position == 0 || v.find('\v') != std::string_view::npos)
        return 0.0;
    const auto trimmed = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == 'v';
    };
    size_t a = 0, b = range.size();
    while (a < b && trimmed(range[a]))
        ++a;
    while (b > a && trimmed(range[b - 1]))
        --b;
    if (b - a < 1 || b - a > 2 || !isDigit(range[a]) || !isDigit(range[b - 1]))
        return 0.0;
    const size_t index =
        size_t(range[a] - '0') * (b - a == 2 ? 10 : 1) + (b - a == 2 ? size_t(range[b - 1] - '0') : 0);
    const size_t at = index * 4 + size_t(position) - 1;
    if (at >= table.size())
        return 0.0;
    return (negative ? -1.0 : 1.0) * table[at];
}

TextReading readingOf(std::string_view value, std::string_view range, const std::vector<double> &table)
{
    TextReading r;
    r.number = numberOfText(value, &r.value);
    r.overload = overloadText(value);
    r.curve = r.number ? r.value : overloadCurve(value, range, table);
    return r;
}

// The readings of the texts met last, by a hash of the texts: a row's
// value is mostly one of a few thousand texts, worked out once each.
class ReadingCache
{
public:
    ReadingCache() : m_slots(kSlots) {}

    TextReading of(std::string_view value, std::string_view range, const std::vector<double> &table)
    {
        if (value.size() + range.size() + 1 > sizeof(Slot::key))
            return readingOf(value, range, table);
        // The texts apart by a 0 byte, which no text of the server holds.
        char key[sizeof(Slot::key)];
        std::memcpy(key, value.data(), value.size());
        key[value.size()] = 0;
        std::memcpy(key + value.size() + 1, range.data(), range.size());
        const size_t length = value.size() + range.size() + 1;
        quint32 hash = 2166136261u;
        for (size_t i = 0; i < length; ++i)
            hash = (hash ^ quint8(key[i])) * 16777619u;
        Slot &slot = m_slots[hash & (kSlots - 1)];
        if (slot.length != length || std::memcmp(slot.key, key, length) != 0) {
            slot.reading = readingOf(value, range, table);
            slot.length = quint8(length);
            std::memcpy(slot.key, key, length);
        }
        return slot.reading;
    }

private:
    static constexpr size_t kSlots = 8192;
    struct Slot
    {
        TextReading reading;
        quint8 length = 0; ///< of the key; 0: empty (a key holds its 0 byte)
        char key[39];
    };
    std::vector<Slot> m_slots;
};

// Where the curve draws each overload, 4 forms a range, as the server's
// statements have it (overloadTableSql()).
const std::vector<double> &overloadTable()
{
    static const std::vector<double> table = [] {
        static const char *const kForms[4] = {"OL", "OL.", "O.L", ".OL"};
        std::vector<double> t;
        for (int range = 0; range < kRangeCount; ++range)
            for (const char *form : kForms)
                t.push_back(
                    overloadCurveValue(QString(QLatin1Char('+') + QLatin1String(form)), range).value_or(0.0));
        return t;
    }();
    return table;
}

// The fields of one row of COPY's binary format, in turn: the stream opens
// with a signature and a header extension, each row is a count of fields
// and each field its length (-1 for NULL) and bytes, a count of -1 ends it.
class BinaryRows
{
public:
    // Takes one message of the stream; false when its bytes are not that.
    bool take(const char *data, int size)
    {
        static const char signature[] = "PGCOPY\n\377\r\n";
        m_p = data;
        m_end = data + size;
        if (!m_headerRead) {
            if (size < 19 || std::memcmp(m_p, signature, 11) != 0)
                return fail();
            const qint32 extension = bigEndian32(m_p + 15);
            if (extension < 0 || extension > size - 19)
                return fail();
            m_p += 19 + extension;
            m_headerRead = true;
        }
        return true;
    }
    // Starts the next row of `fields` fields of the message; false at its
    // end, or where it holds no such row (then bad() tells).
    bool nextRow(int fields)
    {
        if (m_p == m_end || m_bad)
            return false;
        if (m_ended || m_end - m_p < 2)
            return fail();
        const int count = qint16(quint16(quint8(m_p[0])) << 8 | quint8(m_p[1]));
        m_p += 2;
        if (count == -1) {
            m_ended = true;
            return m_p == m_end ? false : fail();
        }
        return count == fields || fail();
    }
    // The next field of the row; a null view for NULL.
    std::string_view field()
    {
        if (m_bad || m_end - m_p < 4)
            return fail(), std::string_view();
        const qint32 length = bigEndian32(m_p);
        m_p += 4;
        if (length == -1)
            return std::string_view();
        if (length < 0 || length > m_end - m_p)
            return fail(), std::string_view();
        const std::string_view v(m_p, size_t(length));
        m_p += length;
        return v;
    }
    qint64 int64()
    {
        const std::string_view v = field();
        if (v.size() != 8)
            return fail(), 0;
        return bigEndian64(v.data());
    }
    double real()
    {
        const quint64 bits = quint64(int64());
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    bool bad() const { return m_bad; }
    bool ended() const { return m_ended; }

private:
    bool fail()
    {
        m_bad = true;
        return false;
    }
    const char *m_p = nullptr;
    const char *m_end = nullptr;
    bool m_headerRead = false;
    bool m_ended = false;
    bool m_bad = false;
};

// The meters and units a streamed read meets, by their bytes (a short name
// makes no copy), with each unit's factor to the quantity's base unit.
struct Names
{
    const Quantity &quantity;
    std::unordered_map<std::string, int> sourceIndex;
    std::vector<QString> sources;
    std::unordered_map<std::string, int> unitIndex;
    std::vector<double> factors;
    std::string bytes;

    int source(std::string_view name)
    {
        bytes.assign(name.data(), name.size());
        const auto it = sourceIndex.find(bytes);
        if (it != sourceIndex.end())
            return it->second;
        sources.push_back(QString::fromUtf8(name.data(), int(name.size())));
        return sourceIndex.emplace(bytes, int(sources.size()) - 1).first->second;
    }
    int unit(std::string_view name)
    {
        bytes.assign(name.data(), name.size());
        const auto it = unitIndex.find(bytes);
        if (it != unitIndex.end())
            return it->second;
        factors.push_back(factorOf(quantity, QString::fromUtf8(name.data(), int(name.size()))));
        return unitIndex.emplace(bytes, int(factors.size()) - 1).first->second;
    }
};

// A meter's readings of one unit: both indexes of Names.
using KeyIndex = std::pair<int, int>;

// A row as the streamed reads give it, its value in its own unit.
struct StreamedRow
{
    qint64 us;
    qint64 id;
    int source;
    int unit;
    double v;
};

// The rows of `runs` (in the quantity, of the meter `sourceFilter` where it
// is not null) handed to `take` one by one as the server reads them, in the
// binary format: grouping them there costs several times more than reading
// them.
bool streamRuns(Read &r, const std::vector<Run> &runs, const QString &sourceFilter, Names &names,
                const std::function<void(const StreamedRow &)> &take)
{
    if (runs.empty())
        return true;
    Params p;
    const QString from = QStringLiteral("unnest(%1::bigint[], %2::bigint[]) AS r(lo, hi)")
                             .arg(p.add(los(runs)), p.add(his(runs)));
    const QString where =
        r.rowsWhere(p, QStringLiteral("r.lo"), QStringLiteral("r.hi"), sourceFilter, &names.quantity);
    // The value texts are read here, as the server reads them; the time is
    // sent as the server keeps it (microseconds from 2000), not worked out
    // a row there. A quantity of one unit leaves its unit out: each field
    // sent costs the server about a tenth of the pass.
    const bool sendUnit = names.quantity.units.size() != 1;
    const QString sql =
        QStringLiteral("COPY (SELECT x.us, %1, x.source, %2x.v, x.f FROM %3 CROSS JOIN LATERAL (SELECT %4 "
                       "AS source, coalesce(i.unitstr, '') AS unitstr, (%5)::timestamp AS us, %6 AS place, %7 AS v, "
                       "%8 AS f FROM invoice i WHERE %9 OFFSET 0) x) TO STDOUT (FORMAT binary)")
            .arg(r.idOf(QStringLiteral("x.place")), sendUnit ? QStringLiteral("x.unitstr, ") : QString(), from,
                 r.source(), r.time(), r.place(), r.value(), r.frastr(), where);
    const QByteArray unitName = names.quantity.units.front().unit.toUtf8();
    const int onlyUnit = sendUnit ? -1 : names.unit(std::string_view(unitName.constData(), size_t(unitName.size())));
    ReadingCache readings;
    const std::vector<double> &table = overloadTable();
    BinaryRows rows;
    const bool copied = r.link.copyOut(sql.toUtf8(), p.values(), [&](const char *data, int size) {
        if (!rows.take(data, size))
            return false;
        while (rows.nextRow(sendUnit ? 6 : 5)) {
            StreamedRow row;
            row.us = rows.int64() + kUsTo2000;
            row.id = rows.int64();
            const std::string_view source = rows.field();
            const std::string_view unit = sendUnit ? rows.field() : std::string_view();
            const std::string_view value = rows.field();
            const std::string_view range = rows.field();
            if (rows.bad())
                return false;
            row.v = readings.of(value, range, table).curve;
            row.source = names.source(source);
            row.unit = sendUnit ? names.unit(unit) : onlyUnit;
            take(row);
        }
        return !rows.bad();
    });
    if (copied && rows.ended())
        return true;
    if (r.error)
        *r.error = rows.bad() || copied ? QStringLiteral("the server sent a row that could not be read")
                                        : r.link.error();
    return false;
}

// A bucket's summary of one meter and unit, its values in that unit.
struct BucketRow
{
    qint64 bucket = 0;
    qint64 count = 0;
    qint64 firstUs = 0, firstId = 0;
    double firstV = 0;
    qint64 lastUs = 0, lastId = 0;
    double lastV = 0;
    double loV = 0;
    qint64 loUs = 0;
    double hiV = 0;
    qint64 hiUs = 0;

    Agg agg(double f) const
    {
        Agg a;
        a.count = count;
        a.firstUs = firstUs;
        a.firstId = firstId;
        a.firstV = firstV * f;
        a.lastUs = lastUs;
        a.lastId = lastId;
        a.lastV = lastV * f;
        a.loV = loV * f;
        a.loUs = loUs;
        a.hiV = hiV * f;
        a.hiUs = hiUs;
        return a;
    }
};

// A summary column of a bucket's M4 and where it lands in a BucketRow
// (nowhere for one this does not know: it is read past).
struct BucketField
{
    QString name;
    bool real = false;
    qint64 BucketRow::*whole = nullptr;
    double BucketRow::*number = nullptr;
};

// Those columns in the order the summaries declare them.
const std::vector<BucketField> &bucketFields()
{
    static const std::vector<BucketField> fields = [] {
        const std::map<QString, qint64 BucketRow::*> wholes = {
            {QStringLiteral("n_rows"), &BucketRow::count},   {QStringLiteral("first_us"), &BucketRow::firstUs},
            {QStringLiteral("first_id"), &BucketRow::firstId}, {QStringLiteral("last_us"), &BucketRow::lastUs},
            {QStringLiteral("last_id"), &BucketRow::lastId},   {QStringLiteral("lo_us"), &BucketRow::loUs},
            {QStringLiteral("hi_us"), &BucketRow::hiUs}};
        const std::map<QString, double BucketRow::*> numbers = {{QStringLiteral("first_v"), &BucketRow::firstV},
                                                                 {QStringLiteral("last_v"), &BucketRow::lastV},
                                                                 {QStringLiteral("lo_v"), &BucketRow::loV},
                                                                 {QStringLiteral("hi_v"), &BucketRow::hiV}};
        std::vector<BucketField> out;
        for (const SummarySchema::SummaryField &f :
             SummarySchema::summaryFields({"n_rows", "first_us", "last_us", "lo_v", "hi_v"})) {
            BucketField field{f.name, f.real};
            if (f.real && numbers.count(f.name))
                field.number = numbers.at(f.name);
            else if (!f.real && wholes.count(f.name))
                field.whole = wholes.at(f.name);
            out.push_back(field);
        }
        return out;
    }();
    return fields;
}

// The summary rows of `runs` of `level` for `keys`, streamed like the rows.
bool streamBuckets(Read &r, int level, const std::vector<Run> &runs, const std::vector<Key> &keys, Names &names,
                   const std::function<void(const KeyIndex &, const BucketRow &)> &take)
{
    if (runs.empty() || keys.empty())
        return true;
    Params p;
    const QString lo = p.add(los(runs));
    const QString hi = p.add(his(runs));
    // A meter's buckets from the first run to the last in one pass of its
    // index, those between the runs passed over, where that is not many
    // more than the runs: looking a run up costs about what passing a dozen
    // buckets does. Else each run of each meter is looked up. Where many
    // meters share the level and the runs hold most of a long stretch, the
    // stretch is read once for all of them in the table's own order: a
    // bucket's page holds those of the other meters of its time, and a pass
    // per meter would visit each page once per meter (50 meters' whole
    // range: 0.65 s against 0.37 s). A short stretch is not worth it: the
    // summaries' pages are only roughly in time order (buckets merged into
    // are written anew), so the pages of a short stretch hold many more
    // buckets than its own (half a 50-meter zoom: 72 ms against 47 ms).
    const qint64 levelUs = levels()[size_t(level)].us;
    const qint64 span = (runs.back().hi - runs.front().lo) / levelUs;
    const bool pass = span <= 16 * qint64(runs.size());
    qint64 covered = 0;
    for (const Run &run : runs)
        covered += (run.hi - run.lo) / levelUs;
    const bool together = pass && keys.size() >= 4 && 5 * covered >= 2 * span && span * qint64(keys.size()) >= 200000;
    QString from = keysTable(p, keys);
    if (!pass)
        from = QStringLiteral("unnest(%1::bigint[], %2::bigint[]) AS r(lo, hi) CROSS JOIN %3").arg(lo, hi, from);
    const QString within =
        pass ? QStringLiteral("s.bucket >= %1 AND s.bucket < %2 AND s.bucket < (%3::bigint[])[width_bucket(s.bucket, "
                              "%4::bigint[])]")
                   .arg(p.add(runs.front().lo), p.add(runs.back().hi), hi, lo)
             : QStringLiteral("s.bucket >= r.lo AND s.bucket < r.hi");
    QString columns = QStringLiteral("s.source, s.unitstr, s.bucket");
    for (const BucketField &f : bucketFields())
        columns += QStringLiteral(", s.") + f.name;
    const QString sql =
        together ? QStringLiteral("COPY (SELECT %1 FROM %2 JOIN %3 s ON s.source = q.source AND s.funcstr = q.funcstr "
                                  "AND s.unitstr = q.unitstr AND %4) TO STDOUT (FORMAT binary)")
                       .arg(columns, from, SummarySchema::levelTable(r.tag, level), within)
                 : QStringLiteral("COPY (SELECT %1 FROM %2 CROSS JOIN LATERAL (SELECT * FROM %3 s WHERE s.source = "
                                  "q.source AND s.funcstr = q.funcstr AND s.unitstr = q.unitstr AND %4 OFFSET 0) s) "
                                  "TO STDOUT (FORMAT binary)")
                       .arg(columns, from, SummarySchema::levelTable(r.tag, level), within);
    BinaryRows rows;
    const bool copied = r.link.copyOut(sql.toUtf8(), p.values(), [&](const char *data, int size) {
        if (!rows.take(data, size))
            return false;
        while (rows.nextRow(3 + int(bucketFields().size()))) {
            const std::string_view source = rows.field();
            const std::string_view unit = rows.field();
            BucketRow b;
            b.bucket = rows.int64();
            for (const BucketField &f : bucketFields()) {
                if (f.real) {
                    const double v = rows.real();
                    if (f.number)
                        b.*f.number = v;
                } else {
                    const qint64 v = rows.int64();
                    if (f.whole)
                        b.*f.whole = v;
                }
            }
            if (rows.bad())
                return false;
            take({names.source(source), names.unit(unit)}, b);
        }
        return !rows.bad();
    });
    if (copied && rows.ended())
        return true;
    if (r.error)
        *r.error = rows.bad() || copied ? QStringLiteral("the server sent a row that could not be read")
                                        : r.link.error();
    return false;
}

// M4 of `intervals` from the summaries (Plan `pl`) and the rows they do not
// hold, per meter, into `out`. The rows are those of the seconds the edges
// of columns cut and those past the watermark: they are read in one pass,
// all meters at once in the time index's order, and taken into their
// columns here. (Reading only the rows next to a cut and the buckets of the
// rest of the second needs, for a fair share of the meters, their rows of
// that second read again to find the lowest and highest; without a meter in
// the index that reads every meter's rows of the second again.)
bool gatherM4(Read &r, const std::vector<Interval> &intervals, const Plan &pl, const QString &sourceFilter,
              const std::vector<Key> &keys, const Quantity &q, AggMap *out)
{
    std::vector<qint64> starts;
    for (const Interval &iv : intervals)
        starts.push_back(iv.lo);
    const auto intervalOf = [&](qint64 us) {
        const auto at = std::upper_bound(starts.begin(), starts.end(), us);
        const qint64 k = qint64(at - starts.begin()) - 1;
        return k >= 0 && us < intervals[size_t(k)].hi ? int(k) : -1;
    };
    Names names{q, {}, {}, {}, {}, {}};
    std::map<std::pair<int, int>, Agg> aggs; // (meter, interval)
    for (size_t level = 0; level < pl.levelRuns.size(); ++level) {
        const auto take = [&](const KeyIndex &key, const BucketRow &b) {
            const int k = intervalOf(b.bucket);
            if (k >= 0)
                aggs[{key.first, k}].merge(b.agg(names.factors[size_t(key.second)]));
        };
        if (!streamBuckets(r, int(level), pl.levelRuns[level], keys, names, take))
            return false;
    }
    // The rows come in time order: each meter's column is gathered on its
    // own until the meter's next row falls in another one.
    struct Gathering
    {
        int interval = -1;
        Agg agg;
    };
    std::vector<Gathering> gathering;
    const auto put = [&](int source) {
        Gathering &g = gathering[size_t(source)];
        if (g.interval >= 0)
            aggs[{source, g.interval}].merge(g.agg);
        g = Gathering();
    };
    const bool read = streamRuns(r, pl.rawRuns, sourceFilter, names, [&](const StreamedRow &row) {
        const int k = intervalOf(row.us);
        if (k < 0)
            return;
        Agg a;
        a.count = 1;
        a.firstUs = a.lastUs = a.loUs = a.hiUs = row.us;
        a.firstId = a.lastId = row.id;
        a.firstV = a.lastV = a.loV = a.hiV = row.v * names.factors[size_t(row.unit)];
        if (size_t(row.source) >= gathering.size())
            gathering.resize(size_t(row.source) + 1);
        if (gathering[size_t(row.source)].interval != k) {
            put(row.source);
            gathering[size_t(row.source)].interval = k;
        }
        gathering[size_t(row.source)].agg.merge(a);
    });
    if (!read)
        return false;
    for (size_t source = 0; source < gathering.size(); ++source)
        put(int(source));
    for (const auto &a : aggs)
        (*out)[{names.sources[size_t(a.first.first)], a.first.second}].merge(a.second);
    return true;
}

// `runs` before `t` into `before`, from it on into `after`; a run across it
// is cut there.
void splitRuns(const std::vector<Run> &runs, qint64 t, std::vector<Run> *before, std::vector<Run> *after)
{
    for (const Run &run : runs) {
        if (run.lo < t)
            before->push_back({run.lo, std::min(run.hi, t)});
        if (run.hi > t)
            after->push_back({std::max(run.lo, t), run.hi});
    }
}

// Buckets and seconds of rows a plan reads for all its meters before `t`,
// a rough measure of its work.
qint64 planWork(const Plan &pl, size_t meters, qint64 t = std::numeric_limits<qint64>::max())
{
    qint64 work = 0;
    for (size_t level = 0; level < pl.levelRuns.size(); ++level)
        for (const Run &run : pl.levelRuns[level])
            if (run.lo < t)
                work += (std::min(run.hi, t) - run.lo) / levels()[level].us;
    for (const Run &run : pl.rawRuns)
        if (run.lo < t)
            work += (std::min(run.hi, t) - run.lo) / (1000 * kUsPerMs) + 1;
    return work * qint64(meters);
}

// Past this much work a plan is read in two halves at once, the later one
// over a second connection in the same snapshot: the server works each on a
// core of its own (50 meters' first curve: 0.84–1.17 s alone, 0.76–0.93 s
// in halves). Opening the connection costs some 10 ms, which smaller plans
// would not win back.
std::atomic<qint64> twoConnectionsWork{20000};
std::atomic<qint64> secondReads{0};

// `first(r)` over this read's connection into `*firstRead` and, at the same
// time, `later` over a second connection in the snapshot `sharing` names;
// true when `later` was read there. Where it was not (no connection to be
// had, a failed read), the caller reads it over this one.
template <class First, class Later>
bool readInTwo(Read &r, const PgLink::Sharing &sharing, First first, Later later, bool *firstRead)
{
    bool laterRead = false;
    std::thread twin([&] {
        const std::unique_ptr<PgLink> link = PgLink::join(sharing);
        if (!link)
            return;
        QString error;
        Read other{*link, r.table, r.summaries, &error, r.tag, r.jit, r.watermark};
        laterRead = later(other);
        if (laterRead)
            ++secondReads;
    });
    *firstRead = first(r);
    twin.join();
    return laterRead;
}

// gatherM4(), the columns of the second half over a second connection where
// the plan is large enough. Where that connection cannot be had or its read
// fails, this one reads that half as well: the same snapshot, the same rows.
bool m4WithSummaries(Read &r, const std::vector<Interval> &intervals, const Plan &pl, const QString &sourceFilter,
                     const std::vector<Key> &keys, const Quantity &q, AggMap *out)
{
    const qint64 work = planWork(pl, keys.size());
    if (intervals.size() < 2 || work < twoConnectionsWork)
        return gatherM4(r, intervals, pl, sourceFilter, keys, q, out);
    PgLink::Sharing sharing = r.link.share();
    if (sharing.snapshot.isEmpty())
        return gatherM4(r, intervals, pl, sourceFilter, keys, q, out);
    // Split at the column edge that halves the work.
    size_t lo = 1, hi = intervals.size() - 1;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (2 * planWork(pl, keys.size(), intervals[mid].lo) < work)
            lo = mid + 1;
        else
            hi = mid;
    }
    const qint64 t = intervals[lo].lo;
    Plan first, second;
    first.levelRuns.resize(pl.levelRuns.size());
    second.levelRuns.resize(pl.levelRuns.size());
    for (size_t level = 0; level < pl.levelRuns.size(); ++level)
        splitRuns(pl.levelRuns[level], t, &first.levelRuns[level], &second.levelRuns[level]);
    splitRuns(pl.rawRuns, t, &first.rawRuns, &second.rawRuns);
    AggMap later;
    bool read = false;
    const bool laterRead = readInTwo(
        r, sharing, [&](Read &one) { return gatherM4(one, intervals, first, sourceFilter, keys, q, out); },
        [&](Read &other) { return gatherM4(other, intervals, second, sourceFilter, keys, q, &later); }, &read);
    if (!read)
        return false;
    if (!laterRead) {
        later.clear();
        if (!gatherM4(r, intervals, second, sourceFilter, keys, q, &later))
            return false;
    }
    for (const auto &a : later)
        (*out)[a.first].merge(a.second);
    return true;
}

// The readings of one curve in one column up to a reading further from
// the one before it than the least gap the curve can have: each of the
// quantity's units apart, in its own values.
struct Stretch
{
    int interval = 0;
    qint64 fromUs = 0;    ///< its first reading
    qint64 beforeUs = 0;  ///< the reading before that
    bool follows = false; ///< split off from the one before it in the same column
    std::vector<Agg> units;
};

// The sum, mean and spread of numbers as the server's avg() and var_pop()
// gather them (N, Sx, Sxx updated a number at a time).
struct Accumulator
{
    double n = 0, sx = 0, sxx = 0;
    qint64 count = 0;
    double min = 0, max = 0;
    qint64 minUs = 0, maxUs = 0;
    qint64 overloads = 0;

    void add(double x, qint64 us)
    {
        const double n1 = n + 1.0;
        const double sx1 = sx + x;
        if (n > 0.0) {
            const double t = x * n1 - sx1;
            sxx += t * t / (n * n1);
        }
        n = n1;
        sx = sx1;
        if (count == 0 || x < min || (x == min && us < minUs)) {
            min = x;
            minUs = us;
        }
        if (count == 0 || x > max || (x == max && us < maxUs)) {
            max = x;
            maxUs = us;
        }
        ++count;
    }
    // The numbers of `later`, read after these, added as the server joins
    // the states of two workers of one avg() or var_pop().
    void merge(const Accumulator &later)
    {
        overloads += later.overloads;
        if (later.count == 0)
            return;
        if (count == 0) {
            const qint64 ol = overloads;
            *this = later;
            overloads = ol;
            return;
        }
        const double t = sx / n - later.sx / later.n;
        const double n1 = n + later.n;
        sxx = sxx + later.sxx + n * later.n * t * t / n1;
        sx += later.sx;
        n = n1;
        // On equal values the earlier reading, which is this one's.
        if (later.min < min) {
            min = later.min;
            minUs = later.minUs;
        }
        if (later.max > max) {
            max = later.max;
            maxUs = later.maxUs;
        }
        count += later.count;
    }
};

struct CurveRows
{
    std::vector<Stretch> stretches;
    qint64 lastUs = 0;
    std::vector<Accumulator> units;
};

// The stretches held at most, over every curve: past them the rows are
// read by the statements that keep nothing (readings far apart each make
// one).
constexpr size_t kMaxStretches = 200000;

// The rows of a streamed read taken in, curve by curve.
struct RowsPass
{
    std::map<QString, CurveRows> curves;
    size_t stretches = 0;
};

// What the halves of one read share: the stretches of both, so that they
// stop where together they make too many, and the word to stop.
struct PassShared
{
    std::atomic<size_t> stretches{0};
    std::atomic<bool> stop{false};
};

// The rows of [a, b), in the columns from intervals[first] on, read in one
// statement whose rows the server streams in time order and taken into
// `pass` as they come: the columns' M4, the gaps and the statistics in one
// pass. False with `crowded` and no error where the rows make more
// stretches than are held, or the other half of the read found so.
bool passRows(Read &r, const std::vector<Interval> &intervals, size_t first, qint64 a, qint64 b,
              const ColumnsRequest &request, PassShared &shared, RowsPass *pass, bool *crowded)
{
    *crowded = false;
    const Quantity &q = request.quantity;
    std::vector<QByteArray> units;
    for (const Quantity::Unit &u : q.units)
        units.push_back(u.unit.toUtf8());
    const size_t unitCount = units.size();
    // Readings further apart than this are where a gap may lie: every gap
    // is at least this.
    const qint64 breakUs = request.gapMs > 0 ? qint64(std::floor(request.gapMs * kUsPerMs)) : kMinGapUs;

    Params p;
    QString where = r.rowsWhere(p, QString::number(a), QString::number(b), request.source, nullptr);
    // One unit as a plain comparison, which the server makes in less time
    // than one with a list.
    QStringList unitNames;
    bool blankUnit = false;
    for (const Quantity::Unit &u : q.units) {
        unitNames << u.unit;
        blankUnit = blankUnit || u.unit.isEmpty();
    }
    where += QStringLiteral(" AND ") + Read::equals(p, QStringLiteral("i.funcstr"), q.function) +
             QStringLiteral(" AND ") +
             (unitCount == 1 ? Read::equals(p, QStringLiteral("i.unitstr"), unitNames.front())
                             : QStringLiteral("(i.unitstr = ANY(%1::text[])%2)")
                                   .arg(p.add(pgArray(unitNames)),
                                        blankUnit ? QStringLiteral(" OR i.unitstr IS NULL") : QString()));
    // Only what tells the rows apart is sent: not the meter where one is
    // asked for, nor the unit of a quantity of one; each field costs the
    // server a call a row, a NULL too.
    const bool sendSource = r.table.hasSource && request.source.isNull();
    const bool sendUnit = unitCount > 1;
    QStringList projection{QStringLiteral("(%1)::timestamp").arg(r.time()),
                           r.table.hasId ? QStringLiteral("coalesce(i.id, 0)::bigint")
                                         : QStringLiteral("i.ctid")};
    if (sendSource)
        projection << QStringLiteral("i.source");
    if (sendUnit)
        projection << QStringLiteral("i.unitstr");
    projection << r.value() << r.frastr();
    const QString sql =
        QStringLiteral("COPY (SELECT %1 FROM invoice i WHERE %2 ORDER BY %3) TO STDOUT (FORMAT binary)")
            .arg(projection.join(QStringLiteral(", ")), where,
                 r.table.timeIsZoned ? QStringLiteral("(%1)::timestamp").arg(r.time()) : r.time());
    // Where each text is among them.
    const int sourceField = sendSource ? 2 : -1;
    const int unitField = sendUnit ? 2 + int(sendSource) : -1;
    const int valueField = 2 + int(sendSource) + int(sendUnit);

    // The meter of every row where it is not sent.
    const QByteArray sourceName = request.source.toUtf8();
    std::map<QString, CurveRows> &curves = pass->curves;
    // The meters met, by the bytes of their names, and the last row's.
    std::vector<std::pair<QByteArray, CurveRows *>> meters;
    std::string_view lastSource;
    qint64 lastUs = std::numeric_limits<qint64>::min();
    CurveRows *curve = nullptr;
    size_t k = first; // the interval of the latest row
    ReadingCache readings;
    const std::vector<double> &table = overloadTable();
    bool headerRead = false, ended = false, malformed = false;

    const auto take = [&](const char *data, int size) {
        const char *p = data;
        const char *const end = data + size;
        if (!headerRead) {
            if (size < 19 || std::memcmp(p, "PGCOPY\n\377\r\n", 11) != 0)
                return !(malformed = true);
            const qint32 extension = bigEndian32(p + 15);
            if (extension < 0 || extension > size - 19)
                return !(malformed = true);
            p += 19 + extension;
            headerRead = true;
        }
        if (shared.stop) {
            *crowded = true;
            return false;
        }
        while (p < end) {
            if (ended || end - p < 2)
                return !(malformed = true);
            const int fields = qint16(quint16(quint8(p[0])) << 8 | quint8(p[1]));
            p += 2;
            if (fields == -1) {
                ended = true;
                continue;
            }
            if (fields != valueField + 2)
                return !(malformed = true);
            std::string_view field[6];
            for (int f = 0; f < fields; ++f) {
                if (end - p < 4)
                    return !(malformed = true);
                const qint32 length = bigEndian32(p);
                p += 4;
                if (length == -1)
                    continue; // NULL, read as ""
                if (length < 0 || length > end - p)
                    return !(malformed = true);
                field[f] = std::string_view(p, size_t(length));
                p += length;
            }
            if (field[0].size() != 8 || field[1].size() != (r.table.hasId ? 8u : 6u))
                return !(malformed = true);
            const qint64 us = bigEndian64(field[0].data()) + kUsTo2000;
            const char *id = field[1].data();
            const qint64 place = r.table.hasId ? bigEndian64(id)
                                               : qint64(quint32(bigEndian32(id))) << 16 |
                                                     quint16(quint8(id[4]) << 8 | quint8(id[5]));
            const std::string_view source =
                sourceField < 0 ? std::string_view(sourceName.constData(), size_t(sourceName.size()))
                                : field[sourceField];
            const std::string_view unitText =
                unitField < 0 ? std::string_view(units[0].constData(), size_t(units[0].size()))
                              : field[unitField];
            const std::string_view value = field[valueField];
            const std::string_view rangeText = field[valueField + 1];
            if (!curve || source != lastSource) {
                const auto seen = std::find_if(meters.begin(), meters.end(), [&](const auto &m) {
                    return source == std::string_view(m.first.constData(), size_t(m.first.size()));
                });
                QByteArray name;
                if (seen != meters.end()) {
                    curve = seen->second;
                    name = seen->first;
                } else {
                    name = QByteArray(source.data(), int(source.size()));
                    curve = &curves[QString::fromUtf8(name)];
                    curve->units.resize(unitCount);
                    meters.push_back({name, curve});
                }
                // The name's bytes stay where they are as long as `meters`
                // holds it; the message's do not.
                lastSource = std::string_view(name.constData(), size_t(name.size()));
            }
            // Rows out of time order (a zoned time across a change of the
            // clocks) are read by the statements that do not need it.
            if (us < lastUs) {
                shared.stop = *crowded = true;
                return false;
            }
            lastUs = us;
            size_t unit = 0;
            while (unit < unitCount &&
                   unitText != std::string_view(units[unit].constData(), size_t(units[unit].size())))
                ++unit;
            if (unit == unitCount || us < a || us >= b)
                continue;
            while (k + 1 < intervals.size() && us >= intervals[k].hi)
                ++k;
            const TextReading reading = readings.of(value, rangeText, table);

            std::vector<Stretch> &s = curve->stretches;
            const bool apart = !s.empty() && us - curve->lastUs > breakUs;
            if (s.empty() || apart || s.back().interval != int(k)) {
                ++pass->stretches;
                if (++shared.stretches > kMaxStretches) {
                    shared.stop = *crowded = true;
                    return false;
                }
                Stretch next;
                next.interval = int(k);
                next.fromUs = us;
                next.follows = apart && s.back().interval == int(k);
                next.beforeUs = curve->lastUs;
                next.units.resize(unitCount);
                s.push_back(std::move(next));
            }
            curve->lastUs = us;
            Agg &g = s.back().units[unit];
            const double v = reading.curve;
            if (g.count == 0) {
                g.firstUs = g.lastUs = g.loUs = g.hiUs = us;
                g.firstId = g.lastId = place;
                g.firstV = g.lastV = g.loV = g.hiV = v;
            } else {
                // As the server compares ARRAY[us, id, value] and ARRAY[value, us].
                if (std::tie(us, place, v) < std::tie(g.firstUs, g.firstId, g.firstV)) {
                    g.firstUs = us;
                    g.firstId = place;
                    g.firstV = v;
                }
                if (std::tie(us, place, v) > std::tie(g.lastUs, g.lastId, g.lastV)) {
                    g.lastUs = us;
                    g.lastId = place;
                    g.lastV = v;
                }
                if (v < g.loV || (v == g.loV && us < g.loUs)) {
                    g.loV = v;
                    g.loUs = us;
                }
                if (v > g.hiV || (v == g.hiV && us < g.hiUs)) {
                    g.hiV = v;
                    g.hiUs = us;
                }
            }
            ++g.count;
            Accumulator &m = curve->units[unit];
            if (reading.number)
                m.add(reading.value, us);
            if (reading.overload)
                ++m.overloads;
        }
        return true;
    };
    bool stopped = false;
    const bool ok = r.link.copyOut(sql.toUtf8(), p.values(), take, &stopped);
    if (*crowded)
        return false;
    if (malformed || (ok && !ended)) {
        *r.error = QStringLiteral("the server sent a row that could not be read");
        return false;
    }
    if (!ok) {
        *r.error = r.link.error();
        return false;
    }
    return true;
}

// `later`, the rows after those of `pass`, joined to them: a meter's first
// stretch of the later rows follows its last reading of the earlier ones.
void joinPasses(RowsPass *pass, RowsPass &&later)
{
    pass->stretches += later.stretches;
    for (auto &c : later.curves) {
        const auto at = pass->curves.find(c.first);
        if (at == pass->curves.end()) {
            pass->curves.emplace(c.first, std::move(c.second));
            continue;
        }
        CurveRows &rows = at->second;
        CurveRows &more = c.second;
        if (more.stretches.empty())
            continue;
        if (!rows.stretches.empty())
            more.stretches.front().beforeUs = rows.lastUs;
        rows.stretches.insert(rows.stretches.end(), std::make_move_iterator(more.stretches.begin()),
                              std::make_move_iterator(more.stretches.end()));
        rows.lastUs = more.lastUs;
        for (size_t u = 0; u < rows.units.size(); ++u)
            rows.units[u].merge(more.units[u]);
    }
}

// How many rows of the table lie before a time, as the server's statistics
// of its times tell: for each of its partitions, or else the table, its
// rows spread evenly within the steps of its histogram. (The partitions'
// are kept up to date as rows come; the whole's only by hand.)
struct RowsBefore
{
    std::vector<std::pair<double, std::vector<qint64>>> parts; ///< rows a step, the steps' edges

    double operator()(qint64 us) const
    {
        double rows = 0;
        for (const auto &part : parts) {
            const std::vector<qint64> &e = part.second;
            const auto at = std::upper_bound(e.begin(), e.end(), us);
            if (at == e.begin())
                continue;
            const size_t i = size_t(at - e.begin()) - 1;
            rows += part.first * (at == e.end() ? double(i)
                                                : double(i) + double(us - e[i]) / double(e[i + 1] - e[i]));
        }
        return rows;
    }
};

// The read's statistics of the table's times; false where the server
// could not give them (after a savepoint `columns`).
bool rowsBefore(Read &r, RowsBefore *out)
{
    PgResult res;
    if (!r.link.exec("SELECT c.oid = p.oid, c.reltuples::float8 * (1 - s.null_frac) AS rows, "
                     "array_to_string(ARRAY(SELECT (extract(epoch FROM x) * 1000000)::bigint "
                     "FROM unnest(s.histogram_bounds::text::timestamp[]) x WHERE isfinite(x)), ',') "
                     "FROM (SELECT to_regclass('invoice') AS oid) p "
                     "JOIN pg_class c ON c.oid = p.oid OR c.oid IN "
                     "(SELECT inhrelid FROM pg_inherits WHERE inhparent = p.oid) "
                     "JOIN pg_namespace n ON n.oid = c.relnamespace "
                     "JOIN pg_stats s ON s.schemaname = n.nspname AND s.tablename = c.relname "
                     "AND s.attname = 'create_time' AND s.inherited = (c.relkind = 'p') "
                     "WHERE c.reltuples > 0",
                     {}, &res)) {
        // Read in one then, in the snapshot as it was.
        r.link.exec("ROLLBACK TO SAVEPOINT columns");
        return false;
    }
    RowsBefore whole, parts;
    for (int i = 0; i < res.rows(); ++i) {
        std::vector<qint64> edges;
        for (const QByteArray &e : QByteArray(res.text(i, 2).data(), int(res.text(i, 2).size())).split(','))
            if (!e.isEmpty())
                edges.push_back(e.toLongLong());
        if (edges.size() < 2 || !std::is_sorted(edges.begin(), edges.end()))
            continue;
        const double rows = res.real(i, 1) / double(edges.size() - 1);
        (res.text(i, 0) == "t" ? whole : parts).parts.push_back({rows, std::move(edges)});
    }
    *out = parts.parts.empty() ? std::move(whole) : std::move(parts);
    return true;
}

// Past this many rows, as the server's statistics count them, a curve from
// the rows alone is read in two halves at once, the later over a second
// connection in the same snapshot, each taken in on a core of its own. The
// statistics cost the read some 2 ms, the second connection 1–2 ms where
// one is kept and 10 ms where it is opened.
std::atomic<qint64> twoConnectionsRows{50000};

// The column where a read of the rows of `intervals` is cut in two, at
// about half its rows; 0 where it is read in one.
size_t rowsSplit(Read &r, const std::vector<Interval> &intervals, PgLink::Sharing *sharing)
{
    // A zoned time is sent in the clock's time, out of order across a
    // change of the clocks, and a text one is not in the statistics.
    if (intervals.size() < 2 || r.table.timeIsZoned || r.table.timeIsText)
        return 0;
    const qint64 least = twoConnectionsRows;
    RowsBefore before;
    if (!rowsBefore(r, &before))
        return 0;
    const qint64 a = intervals.front().lo;
    const qint64 b = intervals.back().hi;
    std::function<double(qint64)> rows = before;
    if (before.parts.empty()) {
        if (least > 0)
            return 0;
        rows = [](qint64 us) { return double(us); };
    }
    const double from = rows(a);
    const double to = rows(b);
    if (to - from < double(least))
        return 0;
    // The first column edge past the middle, or the one before it where
    // that is nearer.
    const double middle = (from + to) / 2;
    size_t lo = 1, hi = intervals.size() - 1;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (rows(intervals[mid].lo) < middle)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo > 1 && middle - rows(intervals[lo - 1].lo) < rows(intervals[lo].lo) - middle)
        --lo;
    *sharing = r.link.share();
    return sharing->snapshot.isEmpty() ? 0 : lo;
}

// Reads the rows' curves (see columns()) into `out`: in two halves at once
// where there are rows enough, the later over a second connection where it
// can be had, else this one reads both. False with `crowded` and no error
// where the rows make more stretches than are held.
bool streamedColumns(Read &r, const std::vector<Interval> &intervals, const std::vector<int> &columnOf,
                     const ColumnsRequest &request, Columns *out, bool *crowded)
{
    *crowded = false;
    const qint64 a = intervals.front().lo;
    const qint64 b = intervals.back().hi;
    // Stopped early, a statement leaves the snapshot usable for the next.
    if (!r.link.exec("SAVEPOINT columns")) {
        *r.error = r.link.error();
        return false;
    }
    PassShared shared;
    RowsPass pass;
    PgLink::Sharing sharing;
    const size_t split = rowsSplit(r, intervals, &sharing);
    bool read = false;
    if (split == 0) {
        read = passRows(r, intervals, 0, a, b, request, shared, &pass, crowded);
    } else {
        const qint64 t = intervals[split].lo;
        RowsPass later;
        bool laterCrowded = false;
        const bool laterRead = readInTwo(
            r, sharing, [&](Read &one) { return passRows(one, intervals, 0, a, t, request, shared, &pass, crowded); },
            [&](Read &other) {
                return passRows(other, intervals, split, t, b, request, shared, &later, &laterCrowded);
            },
            &read);
        if (read && laterCrowded) {
            *crowded = true;
            read = false;
        } else if (read && !laterRead) {
            shared.stretches -= later.stretches;
            later = RowsPass();
            read = passRows(r, intervals, split, t, b, request, shared, &later, crowded);
        }
        if (read)
            joinPasses(&pass, std::move(later));
    }
    if (*crowded) {
        if (!r.link.exec("ROLLBACK TO SAVEPOINT columns")) {
            *crowded = false;
            *r.error = r.link.error();
        }
        return false;
    }
    if (!read)
        return false;

    const Quantity &q = request.quantity;
    const size_t unitCount = size_t(q.units.size());
    QMap<QString, MeterMoments> moments;
    for (auto &c : pass.curves) {
        const QString &source = c.first;
        CurveRows &rows = c.second;
        if (rows.stretches.empty())
            continue;
        if (request.statistics) {
            MeterMoments &meter = moments[source];
            for (size_t u = 0; u < unitCount; ++u) {
                const Accumulator &acc = rows.units[u];
                const double f = q.units[int(u)].factor;
                Moments m;
                m.overloads = acc.overloads;
                m.n = acc.count;
                if (m.n > 0) {
                    m.mean = acc.sx / acc.n * f;
                    m.m2 = acc.sxx / acc.n * acc.n * f * f;
                    m.min = acc.min * f;
                    m.minUs = acc.minUs;
                    m.max = acc.max * f;
                    m.maxUs = acc.maxUs;
                }
                meter.moments.merge(m);
                if (m.n > 0 && !meter.units.contains(q.units[int(u)].unit))
                    meter.units << q.units[int(u)].unit;
            }
        }
        // A stretch in its units' values, in the quantity's unit.
        const auto merged = [&](const Stretch &s, Agg *into) {
            for (size_t u = 0; u < unitCount; ++u) {
                Agg g = s.units[u];
                const double f = q.units[int(u)].factor;
                g.firstV *= f;
                g.lastV *= f;
                g.loV *= f;
                g.hiV *= f;
                into->merge(g);
            }
        };
        Agg whole;
        for (const Stretch &s : rows.stretches)
            merged(s, &whole);
        qint64 gapUs = kMinGapUs;
        if (request.gapMs > 0)
            gapUs = qint64(std::floor(request.gapMs * kUsPerMs));
        else if (whole.count > 1)
            gapUs = std::max(kMinGapUs, 3 * (whole.lastUs - whole.firstUs) / (whole.count - 1));

        // The stretches of a column between its gaps are its groups.
        std::vector<std::pair<int, Agg>> groups; // column, rows
        for (size_t i = 0; i < rows.stretches.size(); ++i) {
            const Stretch &s = rows.stretches[i];
            if (i == 0 || !s.follows || s.fromUs - s.beforeUs > gapUs)
                groups.push_back({columnOf[size_t(s.interval)], Agg()});
            merged(s, &groups.back().second);
        }
        Curve result;
        result.source = source;
        result.count = whole.count;
        result.gapMs = double(gapUs) / kUsPerMs;
        addGroups(std::move(groups), gapUs, &result);
        out->curves.push_back(result);
    }
    if (request.statistics)
        finishStatistics(moments, false, &out->statistics, &out->meters);
    return true;
}

} // namespace

bool inspect(QSqlDatabase &db, Table *table, QString *error)
{
    *table = Table();
    PgLink link(db);
    PgResult res;
    if (!link.exec("SELECT attname::text, format_type(atttypid, atttypmod) FROM pg_attribute "
                   "WHERE attrelid = to_regclass('invoice') AND attnum > 0 AND NOT attisdropped",
                   {}, &res)) {
        *error = link.error();
        return false;
    }
    const auto isText = [](const QString &type) {
        return type == QLatin1String("text") || type.startsWith(QLatin1String("character"));
    };
    // A column of a type no read can use stops the read here, saying which,
    // not halfway with the server's words about some operator.
    const auto refuse = [error](const QString &column, const QString &type, const char *wanted) {
        *error = QStringLiteral("the column %1 of the table invoice is %2; the program reads it only as %3")
                     .arg(column, type, QLatin1String(wanted));
        return false;
    };
    for (int i = 0; i < res.rows(); ++i) {
        table->exists = true;
        const QString name = res.string(i, 0);
        const QString type = res.string(i, 1);
        if (name == QLatin1String("id")) {
            table->hasId = true;
        } else if (name == QLatin1String("source")) {
            table->hasSource = true;
            if (!isText(type))
                return refuse(name, type, "text");
        } else if (name == QLatin1String("funcstr") || name == QLatin1String("unitstr")) {
            if (!isText(type))
                return refuse(name, type, "text");
        } else if (name == QLatin1String("create_time")) {
            table->timeIsText = isText(type);
            table->timeIsDate = type == QLatin1String("date");
            table->timeIsZoned = type.endsWith(QLatin1String("with time zone"));
            if (!table->timeIsText && !table->timeIsDate && !type.startsWith(QLatin1String("timestamp")))
                return refuse(name, type, "a timestamp, a date or text");
        } else if (name == QLatin1String("frastr")) {
            table->frastrIsText = isText(type);
        } else if (name == QLatin1String("datavaluestr")) {
            table->valueIsText = isText(type);
        }
    }
    probeSummaries(db, table);
    return true;
}

void probeSummaries(QSqlDatabase &db, Table *table)
{
    const SummarySchema::Status status = SummarySchema::probe(db);
    table->summaries = status.state == SummarySchema::State::Usable;
    table->summaryReason = status.reason;
    table->summariesCanBuild = status.canBuild && !table->summaries;
    table->summariesIncomplete = status.state == SummarySchema::State::Incomplete;
}

namespace {

bool serverOnThisMachine(const QSqlDatabase &db)
{
    const QString host = db.hostName();
    return host.isEmpty() || host.startsWith(QLatin1Char('/')) || host == QLatin1String("localhost") ||
           host.startsWith(QLatin1String("127.")) || host == QLatin1String("::1");
}

} // namespace

void setTwoConnectionsWork(qint64 work)
{
    twoConnectionsWork = work;
}

void setTwoConnectionsRows(qint64 rows)
{
    twoConnectionsRows = rows;
}

qint64 secondConnectionReads()
{
    return secondReads;
}

bool columns(QSqlDatabase &db, const Table &table, const ColumnsRequest &request, Columns *out,
             QString *error)
{
    *out = Columns();
    std::vector<qint64> bounds;
    for (const qint64 ms : request.boundaries)
        bounds.push_back(ms * kUsPerMs);
    for (size_t i = 1; i < bounds.size(); ++i) {
        if (bounds[i] < bounds[i - 1]) {
            *error = QStringLiteral("the column boundaries must not decrease");
            return false;
        }
    }
    finish(Moments(), &out->statistics);
    if (bounds.size() < 2 || request.quantity.units.isEmpty())
        return true;
    // Columns of no width hold nothing; the others are the intervals.
    std::vector<Interval> intervals;
    std::vector<int> columnOf;
    for (size_t k = 0; k + 1 < bounds.size(); ++k) {
        if (bounds[k] < bounds[k + 1]) {
            intervals.push_back({bounds[k], bounds[k + 1]});
            columnOf.push_back(int(k));
        }
    }
    const qint64 a = bounds.front();
    const qint64 b = bounds.back();
    const Quantity &q = request.quantity;
    return withRead(db, table, error, true, [&](Read &r) {
        out->fromSummaries = r.summaries;
        // From the rows alone: one pass, reduced here as the rows come,
        // where the server is on this machine. Over a network every row
        // would cross it (some 50 bytes each, half a gigabyte at 10 M rows);
        // there the server's statements reduce them and send the columns.
        if (!r.summaries && serverOnThisMachine(db)) {
            bool crowded = false;
            if (streamedColumns(r, intervals, columnOf, request, out, &crowded))
                return true;
            if (!crowded)
                return false;
        }
        QStringList sources;
        if (!request.source.isNull()) {
            sources << request.source;
        } else if (r.summaries) {
            std::vector<Key> keys;
            if (!keysIn(r, a, b, QString(), &keys))
                return false;
            for (const Key &k : keys)
                if (k.function == q.function && !sources.contains(k.source))
                    sources << k.source;
        }
        AggMap columns;
        QMap<QString, MeterMoments> moments;
        bool gathered = false;
        // Cells of half the least gap the curves can have, as many as the
        // widest inner column spans (the outer ones may reach further out).
        Cells cells;
        cells.width = std::max<qint64>(1, (request.gapMs > 0 ? qint64(std::floor(request.gapMs * kUsPerMs))
                                                             : kMinGapUs) /
                                              2);
        qint64 widest = 0;
        for (size_t k = intervals.size() > 2 ? 1 : 0; k < intervals.size() - (intervals.size() > 2 ? 1 : 0); ++k)
            widest = std::max(widest, intervals[k].hi - intervals[k].lo);
        cells.bits = int(std::clamp<qint64>(widest / cells.width + 2, 8, kMaxCells));
        if (!m4(r, intervals, request.source, sources, q, &columns, request.statistics ? &moments : nullptr,
                &gathered, &cells))
            return false;
        // Where the summaries serve, the figures are theirs; a pass over
        // the rows alone gathered them with the columns.
        if (request.statistics && !gathered && !momentsIn(r, a, b, request.source, q, &moments))
            return false;
        if (request.statistics)
            finishStatistics(moments, r.summaries, &out->statistics, &out->meters);

        // Each curve's count, first and last reading, and so its gap.
        std::map<QString, Agg> curves;
        for (const auto &c : columns)
            curves[c.first.first].merge(c.second);
        QHash<QString, qint64> gapUs;
        for (const auto &c : curves) {
            qint64 gap = kMinGapUs;
            if (request.gapMs > 0)
                gap = qint64(std::floor(request.gapMs * kUsPerMs));
            else if (c.second.count > 1)
                gap = std::max(kMinGapUs, 3 * (c.second.lastUs - c.second.firstUs) / (c.second.count - 1));
            gapUs.insert(c.first, gap);
        }
        QHash<QString, std::vector<Gap>> gaps;
        if (cells.bits > 0) {
            // Read from the rows with their cells: only a column whose cells
            // do not show it free of gaps is looked into, in the rows.
            std::vector<SourceRun> open;
            for (const auto &c : columns) {
                const Agg &g = c.second;
                const qint64 gap = gapUs.value(c.first.first);
                if (g.lastUs - g.firstUs > gap &&
                    !cells.noGapWithin(c.first.first, c.first.second, g.firstUs, g.lastUs, gap)) {
                    const Interval &iv = intervals[size_t(c.first.second)];
                    // Neighbours are one run, read in the index's order.
                    if (!open.empty() && open.back().source == c.first.first && open.back().hi == iv.lo)
                        open.back().hi = iv.hi;
                    else
                        open.push_back({iv.lo, iv.hi, c.first.first});
                }
            }
            std::vector<Element> ends;
            if (!rawElements(r, open, q, gapUs, &ends, &gaps))
                return false;
        } else if (!gapUs.isEmpty() && !findGaps(r, a, b, gapUs, q, &gaps)) {
            return false;
        }

        // A column holding a gap of a curve is read again for that curve,
        // one stretch between gaps at a time.
        const auto intervalAt = [&](qint64 us) {
            const auto it = std::upper_bound(intervals.begin(), intervals.end(), us,
                                             [](qint64 t, const Interval &iv) { return t < iv.lo; });
            return int(it - intervals.begin()) - 1;
        };
        for (const auto &c : curves) {
            const QString &source = c.first;
            std::map<int, std::vector<qint64>> splits;
            for (const Gap &g : gaps.value(source)) {
                const int k = intervalAt(g.next);
                if (k >= 0 && k == intervalAt(g.prev) && g.prev >= intervals[size_t(k)].lo)
                    splits[k].push_back(g.next);
            }
            std::vector<Interval> parts;
            std::vector<int> partColumn;
            for (auto &s : splits) {
                std::sort(s.second.begin(), s.second.end());
                qint64 lo = intervals[size_t(s.first)].lo;
                for (const qint64 at : s.second) {
                    parts.push_back({lo, at});
                    partColumn.push_back(s.first);
                    lo = at;
                }
                parts.push_back({lo, intervals[size_t(s.first)].hi});
                partColumn.push_back(s.first);
            }
            AggMap partAggs;
            if (!parts.empty() && !m4(r, parts, source, QStringList{source}, q, &partAggs))
                return false;

            Curve curve;
            curve.source = source;
            curve.count = c.second.count;
            curve.gapMs = double(gapUs.value(source)) / kUsPerMs;
            std::vector<std::pair<int, Agg>> groups; // column, rows
            for (auto it = columns.lower_bound({source, 0}); it != columns.end() && it->first.first == source;
                 ++it)
                if (!splits.count(it->first.second))
                    groups.push_back({columnOf[size_t(it->first.second)], it->second});
            for (const auto &part : partAggs)
                groups.push_back({columnOf[size_t(partColumn[size_t(part.first.second)])], part.second});
            addGroups(std::move(groups), gapUs.value(source), &curve);
            out->curves.push_back(curve);
        }
        return true;
    });
}

bool statistics(QSqlDatabase &db, const Table &table, const Range &range, const QString &source,
                const Quantity &quantity, Statistics *out, QString *error, QVector<MeterStatistics> *meters)
{
    *out = Statistics();
    if (meters)
        meters->clear();
    const qint64 a = range.fromMs * kUsPerMs;
    const qint64 b = range.toMs * kUsPerMs;
    if (a >= b || quantity.units.isEmpty()) {
        finish(Moments(), out);
        return true;
    }
    return withRead(db, table, error, true, [&](Read &r) {
        QMap<QString, MeterMoments> perMeter;
        if (!momentsIn(r, a, b, source, quantity, &perMeter))
            return false;
        finishStatistics(perMeter, r.summaries, out, meters);
        return true;
    });
}

bool rowCount(QSqlDatabase &db, const Table &table, const Range &range, const QString &source, qint64 *count,
              QString *error)
{
    *count = 0;
    if (range.fromMs >= range.toMs)
        return true;
    return withRead(db, table, error, true, [&](Read &r) {
        QHash<QString, Count> c;
        if (!counts(r, range.fromMs * kUsPerMs, range.toMs * kUsPerMs, source, GroupBy::Nothing, &c))
            return false;
        *count = c.value(QString()).rows;
        return true;
    });
}

namespace {

// Per-bucket row counts of a run of one level, in time order.
bool bucketCounts(Read &r, int level, const Run &run, const std::vector<Key> &keys,
                  std::vector<std::pair<qint64, qint64>> *out)
{
    out->clear();
    if (keys.empty())
        return true;
    Params p;
    const QString sql =
        QStringLiteral("SELECT s.bucket, sum(s.n_rows) FROM %1 CROSS JOIN LATERAL (SELECT * FROM %2 s "
                       "WHERE s.source = q.source AND s.funcstr = q.funcstr AND s.unitstr = q.unitstr "
                       "AND s.bucket >= %3 AND s.bucket < %4 OFFSET 0) s GROUP BY 1 ORDER BY 1")
            .arg(keysTable(p, keys), SummarySchema::levelTable(r.tag, level), p.add(run.lo), p.add(run.hi));
    PgResult res;
    if (!r.exec(sql, p, &res))
        return false;
    for (int i = 0; i < res.rows(); ++i)
        out->push_back({res.int64(i, 0), res.int64(i, 1)});
    return true;
}

// Rows of [lo, hi) of the meter (null: all).
bool rawCount(Read &r, qint64 lo, qint64 hi, const QString &source, qint64 *count)
{
    Params p;
    const QString where = r.rowsWhere(p, p.add(lo), p.add(hi), source, nullptr);
    PgResult res;
    if (!r.exec(QStringLiteral("SELECT count(*) FROM invoice i WHERE %1").arg(where), p, &res))
        return false;
    *count = res.rows() == 1 ? res.int64(0, 0) : 0;
    return true;
}

// The key of row `m` of [lo, hi), a stretch short enough to step through.
bool keyInStretch(Read &r, qint64 lo, qint64 hi, const QString &source, qint64 m, RowKey *key, bool *found)
{
    Params p;
    const QString where = r.rowsWhere(p, p.add(lo), p.add(hi), source, nullptr);
    const QString sql =
        QStringLiteral("SELECT %1, %2 FROM invoice i WHERE %3 ORDER BY %4, %5 OFFSET %6 LIMIT 1")
            .arg(r.us(), r.id(), where, r.time(), r.orderKey(), p.add(m));
    PgResult res;
    if (!r.exec(sql, p, &res))
        return false;
    *found = res.rows() == 1;
    if (*found)
        *key = {res.int64(0, 0), res.int64(0, 1)};
    return true;
}

} // namespace

QVector<RowAnchor> anchorsOf(const ColumnsRequest &request, const Columns &columns, const Range &range,
                             qint64 total)
{
    const QVector<qint64> &b = request.boundaries;
    if (total <= 0 || b.size() < 2 || b.first() != range.fromMs || b.last() != range.toMs)
        return {};
    std::vector<qint64> rows(size_t(b.size()), 0);
    for (const Curve &c : columns.curves)
        for (const Group &g : c.groups) {
            if (g.column < 0 || g.column >= b.size() - 1)
                return {};
            rows[size_t(g.column)] += g.count;
        }
    QVector<RowAnchor> anchors;
    qint64 before = 0;
    for (int k = 0; k < b.size(); ++k) {
        anchors.push_back({b[k], before});
        before += rows[size_t(k)];
    }
    // Rows of other quantities or meters, or rows come since: no anchor holds.
    if (before != total)
        return {};
    return anchors;
}

bool keyAt(QSqlDatabase &db, const Table &table, const Range &range, const QString &source, qint64 n,
           RowKey *key, QString *error, qint64 total, const QVector<RowAnchor> &anchors)
{
    *key = RowKey();
    error->clear();
    if (n < 0 || range.fromMs >= range.toMs)
        return false;
    const qint64 a = range.fromMs * kUsPerMs;
    const qint64 b = range.toMs * kUsPerMs;
    bool found = false;
    const bool ok = withRead(db, table, error, true, [&](Read &r) {
        // A stretch: a level's run, or rows.
        struct Stretch
        {
            int level; // -1: rows
            qint64 lo;
            qint64 hi;
        };
        std::vector<Stretch> stretches;
        std::vector<Key> keys;
        if (r.summaries) {
            if (!keysIn(r, a, b, source, &keys))
                return false;
            std::vector<std::vector<Run>> pieces(levels().size());
            std::vector<Run> raw;
            split(r, a, b, pieces, raw);
            for (size_t level = 0; level < pieces.size(); ++level)
                for (const Run &run : pieces[level])
                    stretches.push_back({int(level), run.lo, run.hi});
            for (const Run &run : raw)
                stretches.push_back({-1, run.lo, run.hi});
            std::sort(stretches.begin(), stretches.end(),
                      [](const Stretch &x, const Stretch &y) { return x.lo < y.lo; });
        } else {
            stretches.push_back({-1, a, b});
        }
        qint64 m = n;
        for (size_t i = 0; i < stretches.size(); ++i) {
            Stretch s = stretches[i];
            // Down through the levels to the finest bucket, then rows.
            while (s.level >= 0) {
                std::vector<std::pair<qint64, qint64>> buckets;
                if (!bucketCounts(r, s.level, {s.lo, s.hi}, keys, &buckets))
                    return false;
                const qint64 size = levels()[size_t(s.level)].us;
                bool inside = false;
                for (const auto &bucket : buckets) {
                    if (m < bucket.second) {
                        s = {s.level - 1, bucket.first, bucket.first + size};
                        inside = true;
                        break;
                    }
                    m -= bucket.second;
                }
                if (!inside)
                    break;
            }
            if (s.level >= 0)
                continue; // all of it lay before row n
            // Rows without summaries: the row's time guessed from the
            // counts at the stretch's ends, and the rows between a guess and
            // the nearer end counted (from the index alone where the table's
            // pages are all visible), until a few thousand are left to step
            // through. The first count reads no further than the row, or than
            // the end past it when the range's rows are known.
            constexpr qint64 kStep = 4096;
            qint64 rowsBefore = 0; // of the stretch, before s.lo
            qint64 rowsTo = -1;    // before s.hi
            if (stretches.size() == 1 && total >= 0)
                rowsTo = total;
            else if (!rawCount(r, s.lo, s.hi, source, &rowsTo))
                return false;
            if (m >= rowsTo) {
                m -= rowsTo;
                continue;
            }
            // The whole range's rows, counted column by column: the two
            // anchors around row m bound what is left to count.
            if (stretches.size() == 1 && total >= 0) {
                for (const RowAnchor &x : anchors) {
                    const qint64 at = x.ms * kUsPerMs;
                    if (at <= s.lo || x.rowsBefore < rowsBefore)
                        continue;
                    if (at >= s.hi || x.rowsBefore > rowsTo)
                        break;
                    if (x.rowsBefore <= m) {
                        s.lo = at;
                        rowsBefore = x.rowsBefore;
                    } else {
                        s.hi = at;
                        rowsTo = x.rowsBefore;
                        break;
                    }
                }
            }
            while (rowsTo - rowsBefore > kStep && s.hi - s.lo > 1) {
                const double share = (double(m - rowsBefore) + 0.5) / double(rowsTo - rowsBefore);
                const qint64 at =
                    std::clamp<qint64>(s.lo + qint64(double(s.hi - s.lo) * share), s.lo + 1, s.hi - 1);
                qint64 rows = 0;
                qint64 rowsAt = 0;
                if (m - rowsBefore < rowsTo - m) {
                    if (!rawCount(r, s.lo, at, source, &rows))
                        return false;
                    rowsAt = rowsBefore + rows;
                } else {
                    if (!rawCount(r, at, s.hi, source, &rows))
                        return false;
                    rowsAt = rowsTo - rows;
                }
                if (m < rowsAt) {
                    s.hi = at;
                    rowsTo = rowsAt;
                } else {
                    s.lo = at;
                    rowsBefore = rowsAt;
                }
            }
            return keyInStretch(r, s.lo, s.hi, source, m - rowsBefore, key, &found);
        }
        return true;
    });
    return ok && found;
}

bool page(QSqlDatabase &db, const Table &table, const PageRequest &request, QVector<Row> *rows,
          QString *error)
{
    rows->clear();
    if (request.range.fromMs >= request.range.toMs || request.limit <= 0)
        return true;
    return withRead(db, table, error, false, [&](Read &r) {
        Params p;
        QString where = r.rowsWhere(p, p.add(request.range.fromMs * kUsPerMs),
                                    p.add(request.range.toMs * kUsPerMs), request.source, nullptr);
        const bool backward = request.from == PageRequest::Before || request.from == PageRequest::Last;
        if (request.from == PageRequest::AtOrAfter || request.from == PageRequest::After ||
            request.from == PageRequest::Before) {
            const QString keyTime = timestampSql(p.add(request.key.timeUs));
            QString keyId;
            if (table.hasId) {
                keyId = p.add(request.key.id);
            } else {
                keyId = QStringLiteral("%1::tid").arg(
                    p.add(QStringLiteral("(%1,%2)").arg(request.key.id / 65536).arg(request.key.id % 65536)));
            }
            const char *op = request.from == PageRequest::AtOrAfter ? ">="
                             : request.from == PageRequest::After   ? ">"
                                                                    : "<";
            where += QStringLiteral(" AND (%1, %2) %3 (%4, %5)")
                         .arg(r.time(), r.orderKey(), QLatin1String(op), keyTime, keyId);
            // Lets the server skip the partitions on the far side of the key.
            where +=
                QStringLiteral(" AND %1 %2 %3").arg(r.time(), QLatin1String(backward ? "<=" : ">="), keyTime);
        }
        const QString direction = backward ? QStringLiteral(" DESC") : QString();
        const QString sql =
            (QStringLiteral("SELECT %1, %2, ") + r.value() +
             QStringLiteral(", i.unitstr, i.funcstr, %3, %4 FROM invoice i WHERE %5 ORDER BY %6%7, %8%7 LIMIT %9"))
                .arg(r.us(), r.id(), r.frastr(),
                     table.hasSource ? QStringLiteral("i.source") : QStringLiteral("NULL"), where, r.time(),
                     direction, r.orderKey(), p.add(qint64(request.limit)));
        PgResult res;
        if (!r.exec(sql, p, &res))
            return false;
        rows->reserve(res.rows());
        for (int i = 0; i < res.rows(); ++i) {
            Row row;
            row.key = {res.int64(i, 0), res.int64(i, 1)};
            row.ms = msOf(row.key.timeUs);
            row.value = res.string(i, 2);
            row.unit = res.string(i, 3);
            row.function = res.string(i, 4);
            row.frastr = res.string(i, 5);
            row.source = res.string(i, 6);
            rows->push_back(row);
        }
        if (backward)
            std::reverse(rows->begin(), rows->end());
        return true;
    });
}

namespace {
// The rows of one message of COPY's binary format into `batch`: each a
// count of fields, then each field's length (-1 for NULL, taken as "") and
// bytes; the time first, as a timestamp. The stream opens with a signature
// and a header extension, and ends with a count of -1. False when the bytes
// are not that.
// With `place`, each row ends with its ctid.
bool takeBinaryRows(const char *data, int size, bool place, bool *headerRead, bool *ended, RowBatch *batch)
{
    static const char signature[] = "PGCOPY\n\377\r\n";
    const char *p = data;
    const char *const end = data + size;
    if (!*headerRead) {
        if (size < 19 || std::memcmp(p, signature, 11) != 0)
            return false;
        const qint32 extension = bigEndian32(p + 15);
        if (extension < 0 || extension > size - 19)
            return false;
        p += 19 + extension;
        *headerRead = true;
    }
    QByteArray &text = batch->text;
    while (p < end) {
        if (*ended || end - p < 2)
            return false;
        const int fields = qint16(quint16(quint8(p[0])) << 8 | quint8(p[1]));
        p += 2;
        if (fields == -1) {
            *ended = true;
            continue;
        }
        if (fields != RowBatch::FieldCount + (place ? 2 : 1) || end - p < 12 || bigEndian32(p) != 8)
            return false;
        RowBatch::Row row;
        row.timeUs = bigEndian64(p + 4) + kUsTo2000;
        p += 12;
        for (int f = 0; f < RowBatch::FieldCount; ++f) {
            if (end - p < 4)
                return false;
            const qint32 length = bigEndian32(p);
            p += 4;
            row.bounds[f] = text.size();
            if (length == -1)
                continue; // NULL
            if (length < 0 || length > end - p)
                return false;
            text.append(p, length);
            p += length;
        }
        row.bounds[RowBatch::FieldCount] = text.size();
        if (place) {
            // The block (4 bytes) and the row in it (2 bytes).
            if (end - p < 10 || bigEndian32(p) != 6)
                return false;
            row.place = qint64(quint32(bigEndian32(p + 4))) << 16 | quint16(quint8(p[8]) << 8 | quint8(p[9]));
            p += 10;
        }
        batch->rows.push_back(row);
    }
    return true;
}
// Puts the rows of one time among the first `count` rows of `batch` in the
// order of where they lie.
void orderTies(RowBatch *batch, size_t count)
{
    auto &rows = batch->rows;
    for (size_t a = 0; a < count;) {
        size_t b = a + 1;
        while (b < count && rows[b].timeUs == rows[a].timeUs)
            ++b;
        const auto byPlace = [](const RowBatch::Row &x, const RowBatch::Row &y) { return x.place < y.place; };
        if (b - a > 1 && !std::is_sorted(rows.begin() + long(a), rows.begin() + long(b), byPlace))
            std::sort(rows.begin() + long(a), rows.begin() + long(b), byPlace);
        a = b;
    }
}

// Rows of one time held to be put in order before the server is left to
// order them.
constexpr int kMaxSharedTime = 16384;

// Row `k` of `from` appended to `to`, its texts with it.
void moveRow(const RowBatch &from, size_t k, RowBatch *to)
{
    RowBatch::Row row = from.rows[k];
    const int shift = to->text.size() - row.bounds[0];
    to->text.append(from.text.constData() + row.bounds[0], row.bounds[RowBatch::FieldCount] - row.bounds[0]);
    for (int &bound : row.bounds)
        bound += shift;
    to->rows.push_back(row);
}
} // namespace

bool streamRows(QSqlDatabase &db, const Table &table, const Range &range, const QString &source, qint64 limit,
                int batchRows, const std::function<bool(RowBatch &)> &take, bool *stopped, QString *error)
{
    *stopped = false;
    if (range.fromMs >= range.toMs || limit <= 0)
        return true;
    return withRead(db, table, error, false, [&](Read &r) {
        // A long export is one statement: no limit on its time.
        if (!r.link.exec("SET LOCAL statement_timeout = 0")) {
            *error = r.link.error();
            return false;
        }
        // Rows of one time in a table without id are put in order of where
        // they lie here: the server would sort every row for it, where the
        // index gives them by time alone. Not where many rows share a time
        // (a date) or two times can show as one (a zoned time); nor from a
        // time shared by more rows than a batch should hold, from which the
        // server sorts them after all.
        bool placesHere = !table.hasId && !table.timeIsZoned && !table.timeIsDate;
        qint64 fromUs = range.fromMs * kUsPerMs;
        RowBatch batch;
        qint64 handed = 0;
        bool enough = false; // `limit` rows handed over: the rest is not wanted
        // Hands over the first `complete` rows of the batch (whole times),
        // as many as are still wanted, and keeps the others for the next.
        const auto handOver = [&](size_t complete) {
            if (placesHere)
                orderTies(&batch, complete);
            const size_t wanted = size_t(std::min<qint64>(qint64(complete), limit - handed));
            RowBatch rest;
            if (wanted == complete)
                for (size_t k = complete; k < batch.rows.size(); ++k)
                    moveRow(batch, k, &rest);
            batch.rows.resize(wanted);
            handed += qint64(wanted);
            enough = handed == limit;
            const bool more = wanted == 0 || take(batch);
            batch = std::move(rest);
            return more;
        };
        for (;;) {
            Params p;
            // Numbers are spelt out: the texts (a meter's name) go in as
            // literals, which would make a number a text.
            const QString where = r.rowsWhere(p, QString::number(fromUs),
                                              QString::number(range.toMs * kUsPerMs), source, nullptr);
            // The same rows, order and texts as page(), in the binary
            // format: the times as the server keeps them, the texts as they
            // are, and neither turned into text and back.
            const QString sql =
                QStringLiteral(
                    "COPY (SELECT (%1)::timestamp, %2, i.unitstr, i.funcstr, %3, %4%5 FROM invoice i "
                    "WHERE %6 ORDER BY %7) TO STDOUT (FORMAT binary)")
                    .arg(r.time(), r.value(), r.frastr(),
                         table.hasSource ? QStringLiteral("i.source") : QStringLiteral("NULL"),
                         placesHere ? QStringLiteral(", i.ctid") : QString(), where,
                         placesHere ? r.time()
                                    : QStringLiteral("%1, %2 LIMIT %3")
                                          .arg(r.time(), r.orderKey(), QString::number(limit - handed)));
            // Stopped early, the statement leaves the snapshot usable for the next.
            if (placesHere && !r.link.exec("SAVEPOINT stream")) {
                *error = r.link.error();
                return false;
            }
            bool malformed = false;
            bool headerRead = false;
            bool ended = false;
            bool crowded = false; // the rows of one time fill a batch
            const bool ok = r.link.copyOut(
                sql.toUtf8(), p.values(),
                [&](const char *data, int size) {
                    if (!takeBinaryRows(data, size, placesHere, &headerRead, &ended, &batch)) {
                        malformed = true;
                        return false;
                    }
                    if (int(batch.rows.size()) < batchRows)
                        return true;
                    // The rows of the last time may go on in the next message.
                    size_t complete = batch.rows.size();
                    while (placesHere && complete > 0 &&
                           batch.rows[complete - 1].timeUs == batch.rows.back().timeUs)
                        --complete;
                    if (complete == 0 && int(batch.rows.size()) >= kMaxSharedTime) {
                        crowded = true;
                        return false;
                    }
                    return complete == 0 || (handOver(complete) && !enough);
                },
                stopped);
            if (malformed) {
                *stopped = false;
                *error = QStringLiteral("the server sent a row that could not be read");
                return false;
            }
            if (enough) {
                // The server was asked to stop once the rows wanted were there.
                *stopped = false;
                return true;
            }
            if (crowded) {
                // From that time on in the server's order.
                if (!r.link.exec("ROLLBACK TO SAVEPOINT stream")) {
                    *stopped = false;
                    *error = r.link.error();
                    return false;
                }
                fromUs = batch.rows.front().timeUs;
                batch.clear();
                placesHere = false;
                continue;
            }
            if (!ok) {
                *error = r.link.error();
                return false;
            }
            if (!ended) {
                *error = QStringLiteral("the server sent a row that could not be read");
                return false;
            }
            break;
        }
        if (!batch.rows.empty() && !handOver(batch.rows.size())) {
            *stopped = true;
            *error = QStringLiteral("stopped");
            return false;
        }
        return true;
    });
}

bool quantities(QSqlDatabase &db, const Table &table, const Range &range, const QString &source,
                QVector<QuantityCount> *out, QString *error)
{
    Tally t;
    const bool ok = tally(db, table, range, source, &t, error);
    *out = t.quantities;
    return ok;
}

bool tally(QSqlDatabase &db, const Table &table, const Range &range, const QString &source, Tally *out,
           QString *error)
{
    *out = Tally();
    if (range.fromMs >= range.toMs)
        return true;
    return withRead(db, table, error, true, [&](Read &r) {
        // Every meter's rows, counted once: the meter asked for is picked
        // out here.
        QHash<QString, Count> c;
        if (!counts(r, range.fromMs * kUsPerMs, range.toMs * kUsPerMs, QString(), GroupBy::All, &c))
            return false;
        QHash<QString, Count> quantities;
        for (auto it = c.cbegin(); it != c.cend(); ++it) {
            if (it->rows == 0)
                continue;
            const QStringList parts = it.key().split(kKeyApart);
            if (!out->sources.contains(parts.at(0)))
                out->sources.push_back(parts.at(0));
            if (!source.isNull() && parts.at(0) != source)
                continue;
            out->rows += it->rows;
            Count &q = quantities[parts.at(1) + kKeyApart + parts.at(2)];
            q.rows += it->rows;
            q.firstUs = std::min(q.firstUs, it->firstUs);
        }
        out->sources.sort();
        for (auto it = quantities.cbegin(); it != quantities.cend(); ++it) {
            const int cut = it.key().indexOf(kKeyApart);
            out->quantities.push_back(
                {it.key().left(cut), it.key().mid(cut + 1), it->rows, msOf(it->firstUs)});
        }
        std::sort(out->quantities.begin(), out->quantities.end(),
                  [](const QuantityCount &x, const QuantityCount &y) {
                      return x.firstMs != y.firstMs
                                 ? x.firstMs < y.firstMs
                                 : std::tie(x.function, x.unit) < std::tie(y.function, y.unit);
                  });
        return true;
    });
}

bool sources(QSqlDatabase &db, const Table &table, const Range &range, QStringList *out, QString *error)
{
    Tally t;
    const bool ok = tally(db, table, range, QString(), &t, error);
    *out = t.sources;
    return ok;
}

bool changeMark(QSqlDatabase &db, const Table &table, qint64 *mark, QString *error)
{
    *mark = 0;
    PgLink link(db);
    PgResult res;
    if (table.hasId) {
        // One row read, however long the table.
        if (!link.exec("SELECT pg_sequence_last_value(s) FROM (SELECT pg_get_serial_sequence('invoice', "
                       "'id')::regclass "
                       "AS s) x WHERE s IS NOT NULL AND has_sequence_privilege(s, 'SELECT')",
                       {}, &res)) {
            *error = link.error();
            return false;
        }
        if (res.rows() == 1)
            *mark = res.int64(0, 0);
    }
    // The newest time moves with rows that bring their own ids, which leave
    // the sequence where it was; a follower reads only rows after its last
    // one anyway.
    const QString time = timeSql(table, QString());
    if (!link.exec(QStringLiteral("SELECT %1 FROM invoice WHERE %2 IS NOT NULL ORDER BY %2 DESC LIMIT 1")
                       .arg(timeUsSql(time), table.timeIsText ? time : QStringLiteral("create_time"))
                       .toUtf8(),
                   {}, &res)) {
        *error = link.error();
        return false;
    }
    // Mixed so that a move of either moves the mark.
    if (res.rows() == 1)
        *mark = qint64(quint64(*mark) * 1000003u + quint64(res.int64(0, 0)));
    return true;
}

bool unreadableTimes(QSqlDatabase &db, const Table &table, qint64 *count, QString *example, QString *error)
{
    *count = 0;
    example->clear();
    if (!table.exists || !table.timeIsText)
        return true;
    PgLink link(db);
    PgResult res;
    if (!link.exec(QStringLiteral("SELECT count(*), min(create_time::text) FROM invoice WHERE create_time IS NOT "
                                  "NULL AND %1 IS NULL")
                       .arg(textTimeSql(QStringLiteral("create_time")))
                       .toUtf8(),
                   {}, &res) ||
        res.rows() != 1) {
        *error = link.error();
        return false;
    }
    *count = res.int64(0, 0);
    *example = res.string(0, 1);
    return true;
}

} // namespace RangeQueries
