#include "summaryschema.h"

#include "core/meter/rangescale.h"
#include "core/store/pglink.h"
#include "core/store/schemaversion.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QStringList>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <utility>

// The SQL files are linked into the core library, which the programs use
// as a static library: their resources are made known by hand.
static void initSummaryResources()
{
    Q_INIT_RESOURCE(summaryschema);
}

namespace SummarySchema {
namespace {

// Bumped whenever what a bucket holds or how a row is read changes, so
// summaries made by another version are rebuilt rather than trusted. 3:
// the triggers leave a mark a bypass of them changes; summaries of 2 may
// have missed a load without a trace, so they are made anew. 4: only rows
// before the watermark are in the buckets.
constexpr int kVersion = 4;
// The oldest program that keeps summaries of this version right where it
// writes: the triggers do all the work, the rollups included, so any
// program's INSERT keeps them exact. (A program of layout 3 makes new
// partitions without their triggers; the summaries are then read from the
// rows until a build mends them, as for a partition made by hand.)
const char *const kOldestWriter = "2.0";

// The watermark: the buckets hold the rows before it, exactly; the rows at
// and after it (the last seconds) are read from the table. A rollup moves
// it on, merging the rows it passes, under an exclusive advisory lock that
// every trigger takes shared before it reads the watermark: a rollup thus
// waits for every writer that saw the old watermark to commit (their rows
// are then in its snapshot), and writers that come later see the new one.
// The keys: these classes in the upper half, the number of the summaries'
// tag in the lower (lockKey()).
constexpr qint64 kLockClass = 0x544B3532;
constexpr qint64 kLeadClass = 0x544B3533;
// Taken by whoever gives relations their triggers (a new partition's
// adoption, a repair), for its transaction: two writers that made the same
// month's partition at once would otherwise both find it without triggers
// (a DROP IF EXISTS does not see the other's uncommitted ones) and the
// second would fail on CREATE with "already exists".
constexpr qint64 kTriggersClass = 0x544B3534;
// Rows this much older than the newest are rolled up; newer ones stay in
// the tail, so a writer whose readings wait a moment still finds its rows
// after the watermark and writes no summary row.
constexpr qint64 kRollupMarginUs = 3 * 1000000;
// A writer whose rows lie this far past the watermark rolls the tail up
// (one writer at a time, the others wait for it as for any rollup).
constexpr qint64 kRollupLagUs = 10 * 1000000;
// Rows rolled up by one call at most, so no writer waits long for one.
constexpr qint64 kRollupRows = 100000;

constexpr qint64 kSecond = 1000000;
constexpr qint64 kNoBound = std::numeric_limits<qint64>::max();

// The triggers that keep the summaries, fired in the ordinary session
// role, then those that fire only where the ordinary ones are skipped
// (session_replication_role = replica: logical replication, some loaders).
// The row trigger is made on invoice alone; its partitions get clones of it.
const char *const kTriggerNames[] = {"tk52k_summary_insert", "tk52k_summary_update", "tk52k_summary_delete",
                                     "tk52k_summary_truncate"};
const char *const kReplicaRowTrigger = "tk52k_summary_replica";
const char *const kReplicaTruncateTrigger = "tk52k_summary_replica_truncate";
// Of each relation, invoice and every partition, in working order.
constexpr int kTriggerCount = 6;

// One build at a time per database: a session advisory lock under this key.
const char *const kBuildLock = "SELECT pg_try_advisory_lock(hashtext('tk52k_invoice_summary_build'))";
const char *const kBuildUnlock = "SELECT pg_advisory_unlock(hashtext('tk52k_invoice_summary_build'))";

// The file that holds invoice's rows. VACUUM FULL and CLUSTER write the
// rows into a new one, in an order of their own among rows of equal time:
// where the table has no id, its summaries are made again after that.
const char *const kPlaceSql = "pg_relation_filenode('invoice'::regclass)::text";

// Which of the optional columns the table has. The five columns every
// table has; the program's own adds `id` and `source`, a table an older
// logger made has neither. Without `source` all rows are of one meter, "".
// Without `id`, rows of equal time are told apart by their place in the
// table (ctid), as the reads of rows order them; the summaries then compare
// times alone, and a write that ties with a bucket's first or last reading
// has the bucket computed again from the rows.
struct Layout
{
    bool hasId = true;
    bool hasSource = true;
    /// As the state records it: "id,source", "id", "source" or "".
    QString name() const
    {
        QStringList parts;
        if (hasId)
            parts << QStringLiteral("id");
        if (hasSource)
            parts << QStringLiteral("source");
        return parts.join(QLatin1Char(','));
    }
};

// Replaces each {KEY} of `text`.
QString fill(QString text, std::initializer_list<std::pair<const char *, QString>> values)
{
    for (const auto &v : values)
        text.replace(QLatin1Char('{') + QLatin1String(v.first) + QLatin1Char('}'), v.second);
    return text;
}

// A summary table as the statements spell it; PgLink puts in the names of
// the table's own summaries (useTag()).
QString levelTable(int level)
{
    return QStringLiteral("{SUM}_") + QLatin1String(levels()[size_t(level)].name);
}

QString number(qint64 v)
{
    return QString::number(v);
}

// The meter of a row of `a`.
QString sourceOf(const QString &a, const Layout &layout)
{
    return layout.hasSource ? QStringLiteral("coalesce(%1.source, '')").arg(a) : QStringLiteral("''::text");
}

// The start of the bucket of size `size` holding `us` (a floor, also before 1970).
QString floorSql(const QString &us, qint64 size)
{
    return fill(QStringLiteral("({US} - ((({US} % {L}) + {L}) % {L}))"), {{"US", us}, {"L", number(size)}});
}

qint64 coarsest()
{
    return levels().back().us;
}

// An advisory lock key of the summaries: the class, and the number of
// their tag (PgLink puts it in for {TAGNO}, see setTag()).
QString lockKey(qint64 lockClass)
{
    return QStringLiteral("((%1::bigint << 32) | {TAGNO})").arg(lockClass);
}

const char *const kWhitespace = R"( \t\n\r\f\v)";

// Where an overload is drawn, per range and form of "OL" (the decimals):
// the same figures the window computes (overloadCurveValue), so both agree.
struct OverloadScale
{
    int range;
    const char *form;
    double value;
};

const std::vector<OverloadScale> &overloadScale()
{
    static const std::vector<OverloadScale> kScale = [] {
        std::vector<OverloadScale> out;
        for (int range = 0; range < kRangeCount; ++range)
            for (const char *form : {"OL", "OL.", "O.L", ".OL"})
                out.push_back({range, form,
                               overloadCurveValue(QString(QLatin1Char('+') + QLatin1String(form)), range)
                                   .value_or(0.0)});
        return out;
    }();
    return kScale;
}

// The figures in an array, 4 per range, for the reads of rows, which may
// have no summaries to read them from.
QString overloadArraySql()
{
    QStringList values;
    for (const OverloadScale &s : overloadScale())
        values << QString::number(s.value, 'g', 17);
    return QStringLiteral("'{%1}'::float8[]").arg(values.join(QLatin1Char(',')));
}

// The same as the rows of a VALUES list (range, form, value), a line per
// range, each figure as short as reads back the same.
QString overloadValuesSql()
{
    QString out;
    for (const OverloadScale &s : overloadScale())
        out += QStringLiteral("%1(%2, '%3', %4::float8)")
                   .arg(out.isEmpty()                 ? QString()
                        : s.form == std::string("OL") ? QStringLiteral(",\n  ")
                                                      : QStringLiteral(", "))
                   .arg(s.range)
                   .arg(QLatin1String(s.form), QString::number(s.value, 'g', QLocale::FloatingPointShortest));
    return out;
}

// The summaries' copy of the figures, which their functions read: the
// meter's ranges are data there, not text in every function.
const char *const kScaleTable = "{SUM}_range_scale";

// The table made and filled where it is missing; the build also makes it
// for summaries whose functions predate it, as the build reads it too.
QStringList scaleStatements()
{
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (range integer NOT NULL, form text NOT NULL, "
                           "overload float8 NOT NULL, PRIMARY KEY (range, form))")
                .arg(QLatin1String(kScaleTable)),
            QStringLiteral(
                "INSERT INTO %1 (range, form, overload) VALUES\n  %2\nON CONFLICT (range, form) DO NOTHING")
                .arg(QLatin1String(kScaleTable), overloadValuesSql())};
}

// The columns of a summary row after its key (source, funcstr, unitstr,
// bucket), declared once: the table, every aggregate and every merge of
// the summaries is made from this list. A group holds the columns whose
// values go together (the first reading's time, id and value; count, mean
// and M2).
struct SummaryColumn
{
    /// The columns, "name type" each, in table order.
    std::vector<const char *> columns;
    /// The group's aggregates over a bucket's rows (us, id, cv, nv, ol, and
    /// prev, the time of the row before in the bucket), named for `out`.
    const char *fromRows;
    /// The same over finer buckets (their columns, and prev_last, the last
    /// time of the bucket before, and pmean, the mean of their parent).
    const char *fromChildren;
    /// The columns from those aggregates; ID(x) is an id, kept as 0 where
    /// the table has none (a row's place orders ties while it is read, but
    /// means nothing once the table is vacuumed or rewritten).
    const char *out;
    /// The merge of a batch (`excluded`) into a bucket (`s`): the SET
    /// clauses, or, where `pick` is given instead, the condition under which
    /// the batch's values replace the bucket's.
    const char *merge;
    const char *pick;
    /// One row (r_us, r_id, r_cv, r_nv, r_ol) as a bucket of its own, and
    /// appended after a bucket's last row (no clause: unchanged).
    const char *fromOne;
    const char *append;
};

// Count, mean and M2 merge with Chan's formula, extremes keep the earliest
// of equal values, first and last go by (time, id). The largest spacing is
// the children's or one between two of them; merged, it is known only when
// the batch lies wholly after or before the rows there, else left NULL, and
// the trigger recomputes the bucket. Without an id column every id is 0, so
// a batch that ties with the bucket's first or last time is neither, and
// such a bucket is recomputed.
const std::vector<SummaryColumn> &summaryColumns()
{
    // Each: columns, fromRows, fromChildren, out, merge, pick, fromOne, append.
    // clang-format off
    static const std::vector<SummaryColumn> kColumns = {
        {{"n_rows bigint NOT NULL"},
         "count(*) AS n_rows",
         "sum(n_rows)::bigint AS n_rows",
         "n_rows",
         "n_rows = s.n_rows + excluded.n_rows",
         nullptr,
         "1",
         "n_rows = s.n_rows + 1"},
        {{"first_us bigint NOT NULL", "first_id bigint NOT NULL", "first_v float8 NOT NULL"},
         "min(ARRAY[us, id, cv]) AS f",
         "min(ARRAY[first_us, first_id, first_v]) AS f",
         "f[1]::bigint, ID(f[2]), f[3]",
         nullptr,
         "(excluded.first_us, excluded.first_id) < (s.first_us, s.first_id)",
         "r_us, r_id, r_cv",
         nullptr},
        {{"last_us bigint NOT NULL", "last_id bigint NOT NULL", "last_v float8 NOT NULL"},
         "max(ARRAY[us, id, cv]) AS l",
         "max(ARRAY[last_us, last_id, last_v]) AS l",
         "l[1]::bigint, ID(l[2]), l[3]",
         nullptr,
         "(excluded.last_us, excluded.last_id) > (s.last_us, s.last_id)",
         "r_us, r_id, r_cv",
         "last_us = r_us, last_id = r_id, last_v = r_cv"},
        {{"lo_v float8 NOT NULL", "lo_us bigint NOT NULL"},
         "min(ARRAY[cv, us]) AS lo",
         "min(ARRAY[lo_v, lo_us]) AS lo",
         "lo[1], lo[2]::bigint",
         nullptr,
         "excluded.lo_v < s.lo_v OR (excluded.lo_v = s.lo_v AND excluded.lo_us < s.lo_us)",
         "r_cv, r_us",
         "lo_v = CASE WHEN r_cv < s.lo_v THEN r_cv ELSE s.lo_v END, "
         "lo_us = CASE WHEN r_cv < s.lo_v THEN r_us ELSE s.lo_us END"},
        {{"hi_v float8 NOT NULL", "hi_us bigint NOT NULL"},
         "max(ARRAY[cv, -us]) AS hi",
         "max(ARRAY[hi_v, -hi_us]) AS hi",
         "hi[1], (-hi[2])::bigint",
         nullptr,
         "excluded.hi_v > s.hi_v OR (excluded.hi_v = s.hi_v AND excluded.hi_us < s.hi_us)",
         "r_cv, r_us",
         "hi_v = CASE WHEN r_cv > s.hi_v THEN r_cv ELSE s.hi_v END, "
         "hi_us = CASE WHEN r_cv > s.hi_v THEN r_us ELSE s.hi_us END"},
        {{"max_gap bigint"},
         "coalesce(max(us - prev), 0) AS max_gap",
         "greatest(max(max_gap), max(first_us - prev_last)) AS max_gap",
         "max_gap",
         "max_gap = CASE\n"
         "   WHEN (excluded.first_us, excluded.first_id) > (s.last_us, s.last_id)\n"
         "     THEN greatest(s.max_gap, excluded.max_gap, excluded.first_us - s.last_us)\n"
         "   WHEN (excluded.last_us, excluded.last_id) < (s.first_us, s.first_id)\n"
         "     THEN greatest(s.max_gap, excluded.max_gap, s.first_us - excluded.last_us) END",
         nullptr,
         "0",
         "max_gap = greatest(s.max_gap, r_us - s.last_us)"},
        {{"n bigint NOT NULL", "mean float8", "m2 float8"},
         "count(nv) AS n, avg(nv) AS mean, var_pop(nv) * count(nv) AS m2",
         "sum(n)::bigint AS n, max(pmean) AS mean,\n"
         "        sum(coalesce(m2, 0) + n * (mean - pmean) ^ 2) FILTER (WHERE n > 0) AS m2",
         "n, mean, m2",
         "n = s.n + excluded.n,\n"
         " mean = CASE WHEN excluded.n = 0 THEN s.mean WHEN s.n = 0 THEN excluded.mean "
         "ELSE s.mean + (excluded.mean - s.mean) * excluded.n / (s.n + excluded.n) END,\n"
         " m2 = CASE WHEN excluded.n = 0 THEN s.m2 WHEN s.n = 0 THEN excluded.m2 "
         "ELSE s.m2 + excluded.m2 + (excluded.mean - s.mean) ^ 2 * s.n * excluded.n / (s.n + excluded.n) END",
         nullptr,
         "CASE WHEN r_nv IS NULL THEN 0 ELSE 1 END, r_nv, CASE WHEN r_nv IS NOT NULL THEN 0::float8 END",
         "n = s.n + CASE WHEN r_nv IS NULL THEN 0 ELSE 1 END,\n"
         " mean = CASE WHEN r_nv IS NULL THEN s.mean WHEN s.n = 0 THEN r_nv "
         "ELSE s.mean + (r_nv - s.mean) / (s.n + 1) END,\n"
         " m2 = CASE WHEN r_nv IS NULL THEN s.m2 WHEN s.n = 0 THEN 0 ELSE s.m2 + (r_nv - s.mean) ^ 2 * s.n / "
         "(s.n + 1) END"},
        {{"min_v float8", "min_us bigint"},
         "min(ARRAY[nv, us]) FILTER (WHERE nv IS NOT NULL) AS mn",
         "min(ARRAY[min_v, min_us]) FILTER (WHERE n > 0) AS mn",
         "mn[1], mn[2]::bigint",
         nullptr,
         "excluded.n > 0 AND (s.n = 0 OR excluded.min_v < s.min_v OR "
         "(excluded.min_v = s.min_v AND excluded.min_us < s.min_us))",
         "r_nv, CASE WHEN r_nv IS NOT NULL THEN r_us END",
         "min_v = CASE WHEN r_nv < s.min_v OR (s.n = 0 AND r_nv IS NOT NULL) THEN r_nv ELSE s.min_v END,\n"
         " min_us = CASE WHEN r_nv < s.min_v OR (s.n = 0 AND r_nv IS NOT NULL) THEN r_us ELSE s.min_us END"},
        {{"max_v float8", "max_us bigint"},
         "max(ARRAY[nv, -us]) FILTER (WHERE nv IS NOT NULL) AS mx",
         "max(ARRAY[max_v, -max_us]) FILTER (WHERE n > 0) AS mx",
         "mx[1], (-mx[2])::bigint",
         nullptr,
         "excluded.n > 0 AND (s.n = 0 OR excluded.max_v > s.max_v OR "
         "(excluded.max_v = s.max_v AND excluded.max_us < s.max_us))",
         "r_nv, CASE WHEN r_nv IS NOT NULL THEN r_us END",
         "max_v = CASE WHEN r_nv > s.max_v OR (s.n = 0 AND r_nv IS NOT NULL) THEN r_nv ELSE s.max_v END,\n"
         " max_us = CASE WHEN r_nv > s.max_v OR (s.n = 0 AND r_nv IS NOT NULL) THEN r_us ELSE s.max_us END"},
        {{"overloads bigint NOT NULL"},
         "count(*) FILTER (WHERE ol) AS overloads",
         "sum(overloads)::bigint AS overloads",
         "overloads",
         "overloads = s.overloads + excluded.overloads",
         nullptr,
         "CASE WHEN r_ol THEN 1 ELSE 0 END",
         "overloads = s.overloads + CASE WHEN r_ol THEN 1 ELSE 0 END"},
    };
    // clang-format on
    return kColumns;
}

// A summary row's key, then summaryColumns().
const char *const kKeyColumns[] = {"source text", "funcstr text", "unitstr text", "bucket bigint"};

QString columnName(const char *declared)
{
    const char *space = std::strchr(declared, ' ');
    return QString::fromLatin1(declared, int(space - declared));
}

// One of the parts of each group of summaryColumns(), joined.
QString eachGroup(const char *SummaryColumn::*part, const QString &separator)
{
    QStringList out;
    for (const SummaryColumn &g : summaryColumns())
        if (g.*part)
            out << QLatin1String(g.*part);
    return out.join(separator);
}

// Columns of a summary row, in table order.
QString columnList()
{
    static const QString kList = [] {
        QStringList names;
        for (const char *k : kKeyColumns)
            names << columnName(k);
        for (const SummaryColumn &g : summaryColumns())
            for (const char *c : g.columns)
                names << columnName(c);
        return names.join(QStringLiteral(", "));
    }();
    return kList;
}

// The same from the aggregates' columns.
QString projection(const Layout &layout)
{
    QString out = QStringLiteral("source, funcstr, unitstr, bucket, ") +
                  eachGroup(&SummaryColumn::out, QStringLiteral(", "));
    return out.replace(QRegularExpression(QStringLiteral("ID\\(([^)]*)\\)")),
                       layout.hasId ? QStringLiteral("\\1::bigint") : QStringLiteral("0::bigint"));
}

QString tableDdl(const QString &table)
{
    QString columns;
    const auto add = [&](const char *declared) {
        const QString name = columnName(declared);
        const QStringList type = QString::fromLatin1(declared).mid(name.size() + 1).split(QLatin1Char(' '));
        columns += QStringLiteral("    %1 %2,\n")
                       .arg(name, -9)
                       .arg(type.size() > 1 ? type[0].leftJustified(6) + QLatin1Char(' ') +
                                                  type.mid(1).join(QLatin1Char(' '))
                                            : type[0]);
    };
    for (const char *k : kKeyColumns)
        add((QByteArray(k) + " NOT NULL").constData());
    for (const SummaryColumn &g : summaryColumns())
        for (const char *c : g.columns)
            add(c);
    return fill(QStringLiteral("CREATE TABLE IF NOT EXISTS {T} (\n{COLUMNS}"
                               "    PRIMARY KEY (source, funcstr, unitstr, bucket)\n"
                               ") WITH (fillfactor = 80)"),
                {{"T", table}, {"COLUMNS", columns}});
}

// A summary row that holds nothing yet, for the key columns `key`: zeros
// where a column may not be NULL.
QString emptyRow(const QString &key)
{
    QStringList values{key};
    for (const SummaryColumn &g : summaryColumns())
        for (const char *c : g.columns) {
            const QStringList type = QString::fromLatin1(c).split(QLatin1Char(' '));
            values << (type.size() > 2 ? QStringLiteral("0") : QStringLiteral("NULL::") + type[1]);
        }
    return values.join(QStringLiteral(", "));
}

// What orders the rows of `a` (a table, not a transition table) of equal
// time.
QString rowIdSql(const QString &a, const Layout &layout)
{
    return layout.hasId ? QStringLiteral("coalesce(%1.id, 0)").arg(a)
                        : QStringLiteral("((%1.ctid::text::point)[0]::bigint * 65536 + "
                                         "(%1.ctid::text::point)[1]::bigint)")
                              .arg(a);
}

// What each row of `alias` means to the summaries; `id` orders rows of
// equal time (rowIdSql(), or 0 where no order is known).
QString rowValues(const QString &a, const Layout &layout, const QString &id)
{
    return fill(QStringLiteral("{SRC} AS source, coalesce({A}.funcstr, '') AS funcstr, "
                               "coalesce({A}.unitstr, '') AS unitstr, {US} AS us, {ID} AS id, "
                               "{CV} AS cv, {NV} AS nv, {OL} AS ol"),
                {{"A", a},
                 {"SRC", sourceOf(a, layout)},
                 {"ID", id},
                 {"US", timeUsSql(a + QLatin1String(".create_time"))},
                 // An integer range index reads as its digits.
                 {"CV", curveValueSql(a + QLatin1String(".datavaluestr"), a + QLatin1String(".frastr::text"),
                                     QLatin1String(kScaleTable))},
                 {"NV", numberSql(a + QLatin1String(".datavaluestr"))},
                 {"OL", overloadSql(a + QLatin1String(".datavaluestr"))}});
}

// Summary rows of level size `size` from the rows `rows` (a query giving
// rowValues()' columns).
QString rawAggregate(const QString &rows, qint64 size, const Layout &layout)
{
    return fill(QStringLiteral(R"(SELECT {P} FROM (
 SELECT source, funcstr, unitstr, bucket, {AGG}
   FROM (SELECT r.*, b.bucket,
                lag(r.us) OVER (PARTITION BY r.source, r.funcstr, r.unitstr, b.bucket ORDER BY r.us, r.id) AS prev
           FROM ({ROWS}) r CROSS JOIN LATERAL (SELECT {FLOOR} AS bucket) b) x
  GROUP BY source, funcstr, unitstr, bucket) a)"),
                {{"P", projection(layout)},
                 {"AGG", eachGroup(&SummaryColumn::fromRows, QStringLiteral(",\n        "))},
                 {"ROWS", rows},
                 {"FLOOR", floorSql(QStringLiteral("r.us"), size)}});
}

// Summary rows of level size `size` from the finer summary rows `children`.
QString childAggregate(const QString &children, qint64 size, const Layout &layout)
{
    return fill(QStringLiteral(R"(SELECT {P} FROM (
 SELECT source, funcstr, unitstr, parent AS bucket, {AGG}
   FROM (SELECT c.*, p.parent,
                lag(c.last_us) OVER (PARTITION BY c.source, c.funcstr, c.unitstr, p.parent ORDER BY c.bucket) AS prev_last,
                sum(c.n * c.mean) OVER w / nullif(sum(c.n) OVER w, 0) AS pmean
           FROM ({CHILDREN}) c CROSS JOIN LATERAL (SELECT {FLOOR} AS parent) p
         WINDOW w AS (PARTITION BY c.source, c.funcstr, c.unitstr, p.parent)) x
  GROUP BY source, funcstr, unitstr, parent) a)"),
                {{"P", projection(layout)},
                 {"AGG", eachGroup(&SummaryColumn::fromChildren, QStringLiteral(",\n        "))},
                 {"CHILDREN", children},
                 {"FLOOR", floorSql(QStringLiteral("c.bucket"), size)}});
}

// The merge of a batch (`excluded`) into a bucket (`s`) that already holds
// rows.
QString mergeSet()
{
    QStringList set;
    for (const SummaryColumn &g : summaryColumns()) {
        if (!g.pick) {
            set << QLatin1String(g.merge);
            continue;
        }
        for (const char *c : g.columns)
            set << fill(QStringLiteral("{C} = CASE WHEN {IF} THEN excluded.{C} ELSE s.{C} END"),
                        {{"C", columnName(c)}, {"IF", QLatin1String(g.pick)}});
    }
    return set.join(QStringLiteral(",\n "));
}

// The sections of sql/summaries.sql by name, the reader's notes left out
// (see the head of that file).
const QHash<QString, QString> &sqlSections()
{
    static const QHash<QString, QString> kSections = [] {
        initSummaryResources();
        QHash<QString, QString> out;
        QFile file(QStringLiteral(":/sql/summaries.sql"));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("tk52k: the summaries' SQL is not among the program's resources");
        QString name;
        QStringList lines;
        const auto close = [&] {
            while (!lines.isEmpty() && lines.back().trimmed().isEmpty())
                lines.removeLast();
            if (!name.isEmpty())
                out.insert(name, lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
            lines.clear();
        };
        for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("--- "))) {
                close();
                name = line.mid(4).trimmed();
            } else if (!line.startsWith(QLatin1String("--"))) {
                lines << line;
            }
        }
        close();
        return out;
    }();
    return kSections;
}

// The section `name` of sql/summaries.sql with its placeholders filled.
QString sql(const char *name, std::initializer_list<std::pair<const char *, QString>> values = {})
{
    const auto it = sqlSections().constFind(QLatin1String(name));
    if (it == sqlSections().constEnd())
        qFatal("tk52k: no section %s in the summaries' SQL", name);
    return fill(*it, values);
}

// The same as one piece of a statement, without the line's end.
QString sqlPart(const char *name, std::initializer_list<std::pair<const char *, QString>> values = {})
{
    return sql(name, values).trimmed();
}

// `statement` made ready for format(), where {RAW} stands for the table named.
QString forFormat(QString statement)
{
    return fill(statement.replace(QLatin1Char('%'), QLatin1String("%%")), {{"RAW", QStringLiteral("%s")}});
}

// One piece per level, `each` filled for level i, joined.
template <class Each> QString perLevel(Each each, const QString &separator = QString(), size_t from = 0)
{
    QStringList out;
    for (size_t i = from; i < levels().size(); ++i)
        out << each(i);
    return out.join(separator);
}

QString upsertLevel(size_t i, const QString &rows)
{
    return sql("upsert-level",
               {{"T", levelTable(int(i))}, {"COLS", columnList()}, {"ROWS", rows}, {"SET", mergeSet()}});
}

QString ownTableOnly()
{
    return sql("own-table-only");
}

// The lock, the watermark, and for inserts (`lead`) the rows' span and the
// rollup of a long tail.
QString watermarkStep(bool lead)
{
    return sql("watermark",
               {{"READ", lead ? sql("watermark-lead",
                                    {{"LAG", timestampSql(QStringLiteral("wm + ") + number(kRollupLagUs))},
                                     {"LEAD", lockKey(kLeadClass)},
                                     {"MARGIN", number(kRollupMarginUs)},
                                     {"ROWS", number(kRollupRows)}})
                              : sql("watermark-read")},
                {"LOCK", lockKey(kLockClass)},
                {"WM_TS", timestampSql(QStringLiteral("wm"))}});
}

QString declareKeys()
{
    return sql("declare-keys", {{"KEYS", perLevel([](size_t i) {
                                             return sql("declare-key", {{"I", number(qint64(i))}});
                                         }).chopped(1)}});
}

QString redoAll()
{
    return perLevel([](size_t i) {
        return sql("redo-level", {{"I", number(qint64(i))}, {"LEVEL", QLatin1String(levels()[i].name)}});
    });
}

// The buckets of every level that the rows of `rows` (old_rows, new_rows)
// fall in, into k0, k1, …
QString affectedKeys(const QString &rows, const Layout &layout)
{
    return sql(
        "affected-keys",
        {{"SOURCE", sourceOf(QStringLiteral("x"), layout)},
         {"US", timeUsSql(QStringLiteral("create_time"))},
         {"ROWS", rows},
         {"ARRAYS", perLevel(
                        [](size_t i) {
                            return sqlPart("affected-level",
                                           {{"BUCKET", floorSql(QStringLiteral("us"), levels()[i].us)}});
                        },
                        QStringLiteral(", "))},
         {"INTO", perLevel([](size_t i) { return QStringLiteral("k%1").arg(i); }, QStringLiteral(", "))}});
}

QString notifySources(const QString &rows, const Layout &layout)
{
    return sql("notify", {{"SOURCE", sourceOf(QStringLiteral("x"), layout)}, {"ROWS", rows}});
}

QString rollupFunction(const QString &schema, const Layout &layout)
{
    const qint64 second = levels()[0].us;
    const QString rows =
        sqlPart("rollup-rows",
                {{"VALUES", rowValues(QStringLiteral("i"), layout, rowIdSql(QStringLiteral("i"), layout))},
                 {"FROM", timestampSql(QStringLiteral("$1"))},
                 {"TO", timestampSql(QStringLiteral("$2"))}});
    const QString full = QStringLiteral("($4 + d - CASE WHEN d >= 2147483648 THEN 4294967296 ELSE 0 END)");
    return sql("rollup",
               {{"DECLARE_LEVELS", perLevel(
                                       [](size_t i) {
                                           return sql("rollup-declare-level",
                                                      {{"I", number(qint64(i))}, {"T", levelTable(int(i))}});
                                       },
                                       QString(), 1)},
                {"AHEAD_LEVELS", perLevel(
                                     [&](size_t i) {
                                         return sql(
                                             "rollup-ahead-level",
                                             {{"I", number(qint64(i))},
                                              {"T", levelTable(int(i))},
                                              {"AGGREGATE",
                                               childAggregate(QStringLiteral("SELECT * FROM unnest(v_rows)"),
                                                              levels()[i].us, layout)}});
                                     },
                                     QString(), 1)},
                {"MERGE_LEVELS", perLevel(
                                     [](size_t i) {
                                         return QStringLiteral("      ") +
                                                upsertLevel(
                                                    i, QStringLiteral("SELECT * FROM unnest(v_r%1)").arg(i));
                                     },
                                     QString(), 1)},
                {"MADE_LEVELS",
                 perLevel(
                     [&](size_t i) {
                         return QStringLiteral("  ") +
                                upsertLevel(i,
                                            childAggregate(
                                                QStringLiteral(
                                                    "SELECT * FROM %1 WHERE bucket >= v_w AND bucket < v_w2")
                                                    .arg(levelTable(0)),
                                                levels()[i].us, layout));
                     },
                     QString(), 1)},
                {"STOP",
                 sql("rollup-stop",
                     {{"FLOOR_T_MARGIN", floorSql(QStringLiteral("(") + timeUsSql(QStringLiteral("v_t")) +
                                                      QStringLiteral(" - margin)"),
                                                  second)},
                      {"FLOOR_T", floorSql(timeUsSql(QStringLiteral("v_t")), second)},
                      {"TS_W", timestampSql(QStringLiteral("v_w"))},
                      {"S", number(second)}})},
                {"AHEAD",
                 forFormat(sqlPart("rollup-ahead", {{"T0", levelTable(0)},
                                                    {"AGGREGATE", rawAggregate(rows, second, layout)}}))},
                {"RECOUNT",
                 forFormat(sqlPart("rollup-recount", {{"XID", full},
                                                      {"FROM", timestampSql(QStringLiteral("$1"))},
                                                      {"TO", timestampSql(QStringLiteral("$2"))}}))},
                {"FINEST",
                 forFormat(sqlPart("rollup-finest", {{"T0", levelTable(0)},
                                                     {"COLS", columnList()},
                                                     {"AGGREGATE", rawAggregate(rows, second, layout)}}))},
                {"LOCK", lockKey(kLockClass)},
                {"FLOOR_T", floorSql(timeUsSql(QStringLiteral("v_t")), second)},
                {"T0", levelTable(0)},
                {"SCHEMA", schema}})
        .trimmed();
}

QString redoFunction(int level, const QString &schema, const Layout &layout)
{
    const Level &l = levels()[size_t(level)];
    QString insert;
    if (level == 0) {
        const QString rows = sqlPart(
            "redo-rows-select",
            {{"VALUES", rowValues(QStringLiteral("i"), layout,
                                  layout.hasId ? rowIdSql(QStringLiteral("i"), layout)
                                               : QStringLiteral("i.tk52k_row"))},
             {"PLACE", layout.hasId
                           ? QString()
                           : QStringLiteral(", %1 AS tk52k_row").arg(rowIdSql(QStringLiteral("i"), layout))},
             {"FROM", timestampSql(QStringLiteral("k.bucket"))},
             {"TO", timestampSql(QStringLiteral("k.bucket + ") + number(l.us))},
             {"WM", timestampSql(QStringLiteral("$2"))},
             {"SOURCE", sourceOf(QStringLiteral("i"), layout)}});
        insert = sql("redo-rows",
                     {{"STATEMENT", forFormat(sqlPart("redo-rows-insert",
                                                      {{"T", levelTable(level)},
                                                       {"COLS", columnList()},
                                                       {"AGGREGATE", rawAggregate(rows, l.us, layout)}}))}});
    } else {
        insert = sql(
            "redo-children",
            {{"T", levelTable(level)},
             {"COLS", columnList()},
             {"AGGREGATE", childAggregate(sqlPart("redo-children-select",
                                                  {{"FINER", levelTable(level - 1)}, {"SIZE", number(l.us)}}),
                                          l.us, layout)}});
    }
    return sql("redo", {{"LEVEL", QLatin1String(l.name)},
                        {"T", levelTable(level)},
                        {"COLS", columnList()},
                        {"EMPTY", emptyRow(QStringLiteral("k.source, k.funcstr, k.unitstr, k.bucket"))},
                        {"INSERT", insert},
                        {"SCHEMA", schema}})
        .trimmed();
}

// {FN}_merge() and the insert trigger that calls it.
QStringList insertFunctions(const QString &schema, const Layout &layout)
{
    // A transition table has no ctid: without ids a row here has none.
    const QString newValues =
        rowValues(QStringLiteral("n"), layout,
                  layout.hasId ? rowIdSql(QStringLiteral("n"), layout) : QStringLiteral("0"));
    const QString append = eachGroup(&SummaryColumn::append, QStringLiteral(",\n "));
    const QString single = sql(
        "merge-single", {{"LEVELS", perLevel([&](size_t i) {
                              const QString bucket = floorSql(QStringLiteral("r_us"), levels()[i].us);
                              return sql("merge-single-level",
                                         {{"I", number(qint64(i))},
                                          {"T", levelTable(int(i))},
                                          {"COLS", columnList()},
                                          {"V", QStringLiteral("r_source, r_funcstr, r_unitstr, ") + bucket +
                                                    QStringLiteral(", ") +
                                                    eachGroup(&SummaryColumn::fromOne, QStringLiteral(", "))},
                                          {"APPEND", append},
                                          {"SET", mergeSet()},
                                          {"B", bucket}});
                          })},
                         {"REDO", redoAll()}});
    const QString many =
        layout.hasId
            ? sql("merge-many",
                  {{"LEVELS", perLevel(
                                  [&](size_t i) {
                                      return sqlPart(
                                          "merge-many-level",
                                          {{"I", number(qint64(i))},
                                           {"T", levelTable(int(i))},
                                           {"COLS", columnList()},
                                           {"AGGREGATE", rawAggregate(QStringLiteral("SELECT * FROM r"),
                                                                      levels()[i].us, layout)},
                                           {"SET", mergeSet()}});
                                  },
                                  QStringLiteral(",\n"))},
                   {"STALE", perLevel(
                                 [](size_t i) {
                                     return sqlPart("merge-many-stale", {{"I", number(qint64(i))}});
                                 },
                                 QStringLiteral(", "))},
                   {"INTO",
                    perLevel([](size_t i) { return QStringLiteral("k%1").arg(i); }, QStringLiteral(", "))}})
            : affectedKeys(
                  QStringLiteral("SELECT source, funcstr, unitstr, %1 AS create_time FROM unnest(batch)")
                      .arg(timestampSql(QStringLiteral("us"))),
                  layout);
    return {sql("merge", {{"KEYS", perLevel([](size_t i) {
                               return sql("declare-key", {{"I", number(qint64(i))}});
                           })},
                          {"SINGLE", single},
                          {"MANY", many},
                          {"REDO", redoAll()},
                          {"SCHEMA", schema}})
                .trimmed(),
            sql("inserted", {{"DECLARE", declareKeys()},
                             {"WATERMARK", watermarkStep(true)},
                             {"VALUES", newValues},
                             {"SCHEMA", schema}})
                .trimmed()};
}

QString deleteFunction(const QString &schema, const Layout &layout)
{
    return sql("deleted",
               {{"DECLARE", declareKeys()},
                {"OWN_TABLE_ONLY", ownTableOnly()},
                {"WATERMARK", watermarkStep(false)},
                {"AFFECTED",
                 affectedKeys(QStringLiteral("SELECT * FROM old_rows WHERE create_time < wm_ts"), layout)},
                {"REDO", redoAll()},
                {"NOTIFY", notifySources(QStringLiteral("old_rows"), layout)},
                {"SCHEMA", schema}})
        .trimmed();
}

QString updateFunction(const QString &schema, const Layout &layout)
{
    const QString columns = layout.hasSource ? QStringLiteral("source, funcstr, unitstr, create_time")
                                             : QStringLiteral("funcstr, unitstr, create_time");
    return sql("updated",
               {{"DECLARE", declareKeys()},
                {"OWN_TABLE_ONLY", ownTableOnly()},
                {"WATERMARK", watermarkStep(false)},
                {"AFFECTED",
                 affectedKeys(QStringLiteral("SELECT %1 FROM old_rows WHERE create_time < wm_ts UNION ALL "
                                             "SELECT %1 FROM new_rows WHERE create_time < wm_ts")
                                  .arg(columns),
                              layout)},
                {"REDO", redoAll()},
                {"NOTIFY",
                 notifySources(
                     layout.hasSource
                         ? QStringLiteral("(SELECT source FROM old_rows UNION SELECT source FROM new_rows)")
                         : QStringLiteral("old_rows"),
                     layout)},
                {"SCHEMA", schema}})
        .trimmed();
}

QString truncateFunction(const QString &schema, const Layout &layout)
{
    return sql("truncated",
               {{"DECLARE", declareKeys()},
                {"OWN_TABLE_ONLY", ownTableOnly()},
                {"WATERMARK", watermarkStep(false)},
                {"TABLES", perLevel([](size_t i) { return levelTable(int(i)); }, QStringLiteral(", "))},
                {"PLACE", layout.hasId ? QString()
                                       : QStringLiteral("\n    UPDATE {SUM}_state SET place = %1;")
                                             .arg(QLatin1String(kPlaceSql))},
                {"LEVELS", perLevel([](size_t i) {
                     return sql("truncated-level", {{"I", number(qint64(i))},
                                                    {"T", levelTable(int(i))},
                                                    {"L", number(levels()[i].us)}});
                 })},
                {"REDO", redoAll()},
                {"SCHEMA", schema}})
        .trimmed();
}

QString replicaFunction(const QString &schema)
{
    const auto floorOf = [](const char *row) {
        return floorSql(timeUsSql(QLatin1String(row) + QStringLiteral(".create_time")), coarsest());
    };
    return sql("replica", {{"OWN_TABLE_ONLY", ownTableOnly()},
                           {"FLOOR_OLD", floorOf("OLD")},
                           {"FLOOR_NEW", floorOf("NEW")},
                           {"C", number(coarsest())},
                           {"SCHEMA", schema}})
        .trimmed();
}

// The statements of a section that holds several, each ended by ";" at a
// line's end.
QStringList statementsOf(const QString &section)
{
    QStringList out;
    for (const QString &s : section.split(QRegularExpression(QStringLiteral(";\\s*\\n"))))
        if (!s.trimmed().isEmpty())
            out << s.trimmed();
    return out;
}

// The summary triggers of `relation`, made anew: invoice itself (`root`)
// or one of its partitions, which has a clone of the row trigger already.
QStringList triggerStatements(const QString &relation, bool root)
{
    QStringList out;
    for (const char *name : kTriggerNames)
        out << QStringLiteral("DROP TRIGGER IF EXISTS %1 ON %2").arg(QLatin1String(name), relation);
    out << QStringLiteral("DROP TRIGGER IF EXISTS %1 ON %2")
               .arg(QLatin1String(kReplicaTruncateTrigger), relation);
    if (root)
        out << QStringLiteral("DROP TRIGGER IF EXISTS %1 ON %2")
                   .arg(QLatin1String(kReplicaRowTrigger), relation);
    out << statementsOf(
        sql("triggers", {{"R", relation}, {"REPLICA_TRUNCATE", QLatin1String(kReplicaTruncateTrigger)}}));
    if (root)
        out << statementsOf(
            sql("trigger-replica-rows", {{"R", relation}, {"REPLICA_ROWS", QLatin1String(kReplicaRowTrigger)}}));
    // ENABLE REPLICA reaches the partitions' clones of the row trigger too.
    out << QStringLiteral("ALTER TABLE %1 ENABLE REPLICA TRIGGER %2")
               .arg(relation, QLatin1String(kReplicaTruncateTrigger));
    out << QStringLiteral("ALTER TABLE %1 ENABLE REPLICA TRIGGER %2")
               .arg(relation, QLatin1String(kReplicaRowTrigger));
    return out;
}

// How many of the summary triggers of the relation `oid` (SQL) are there
// and fire when they should; kTriggerCount when all are.
QString workingTriggersSql(const QString &oid)
{
    QStringList ordinary;
    for (const char *name : kTriggerNames)
        ordinary << QStringLiteral("'%1'").arg(QLatin1String(name));
    return QStringLiteral(
               "(SELECT count(*) FROM pg_trigger t WHERE t.tgrelid = %1 AND ((t.tgname IN (%2) AND "
               "t.tgenabled IN ('O', 'A')) OR (t.tgname IN ('%3', '%4') AND t.tgenabled = 'R')))")
        .arg(oid, ordinary.join(QStringLiteral(", ")), QLatin1String(kReplicaRowTrigger),
             QLatin1String(kReplicaTruncateTrigger));
}

// A mark of the summary triggers of the relation `oid` (SQL) as they are
// now. Every ALTER TABLE … DISABLE/ENABLE TRIGGER, drop or re-creation
// writes their catalog rows anew and so changes it (the rows' xmin), even
// when they end up as they were: the mark recorded when the summaries were
// last made whole, compared at each read, tells whether writes may have
// gone past the triggers since.
QString triggerMarkSql(const QString &oid)
{
    QStringList names;
    for (const char *name : kTriggerNames)
        names << QStringLiteral("'%1'").arg(QLatin1String(name));
    names << QStringLiteral("'%1'").arg(QLatin1String(kReplicaRowTrigger))
          << QStringLiteral("'%1'").arg(QLatin1String(kReplicaTruncateTrigger));
    return QStringLiteral(
               "(SELECT coalesce(string_agg(t.oid::text || ':' || t.xmin::text || t.tgenabled::text, "
               "',' ORDER BY t.oid), '') FROM pg_trigger t WHERE t.tgrelid = %1 AND t.tgname IN (%2))")
        .arg(oid, names.join(QStringLiteral(", ")));
}

// The bounds of each partition as naive microseconds: NULL for the default
// partition, the extreme numbers for MINVALUE and MAXVALUE.
QString partitionBoundsSql()
{
    const auto bound = [](const char *side, const char *open, const char *extreme) {
        return QStringLiteral("CASE WHEN b ~ '%1 \\(%2\\)' THEN %3 ELSE %4 END")
            .arg(QLatin1String(side), QLatin1String(open), QLatin1String(extreme),
                 timeUsSql(QStringLiteral("(regexp_match(b, '%1 \\(''([^'']*)''\\)'))[1]::timestamp")
                               .arg(QLatin1String(side))));
    };
    return QStringLiteral("SELECT c.oid, c.oid::regclass::text, c.relkind::text, CASE WHEN b = 'DEFAULT' "
                          "THEN NULL ELSE %1 END "
                          "AS lo_us, CASE WHEN b = 'DEFAULT' THEN NULL ELSE %2 END AS hi_us, "
                          "%3 AS triggers, has_table_privilege(c.oid, 'TRIGGER'), %4 "
                          "FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                          "CROSS JOIN LATERAL (SELECT pg_get_expr(c.relpartbound, c.oid) AS b) x "
                          "WHERE i.inhparent = 'invoice'::regclass ORDER BY lo_us NULLS LAST")
        .arg(bound("FROM", "MINVALUE", "-9223372036854775807"),
             bound("TO", "MAXVALUE", "9223372036854775807"), workingTriggersSql(QStringLiteral("c.oid")),
             triggerMarkSql(QStringLiteral("c.oid")));
}

struct Partition
{
    qint64 oid = 0;
    QString name;
    bool subPartitioned = false;
    bool isDefault = false;
    qint64 lo = 0;
    qint64 hi = 0;
    int triggers = 0;
    bool mayTrigger = false;
    QString mark; ///< triggerMarkSql()
};

bool readPartitions(PgLink &link, std::vector<Partition> *out)
{
    PgResult r;
    if (!link.exec(partitionBoundsSql().toUtf8(), {}, &r))
        return false;
    out->clear();
    for (int i = 0; i < r.rows(); ++i) {
        Partition p;
        p.oid = r.int64(i, 0);
        p.name = r.string(i, 1);
        p.subPartitioned = r.text(i, 2) == "p";
        p.isDefault = r.isNull(i, 3);
        p.lo = r.int64(i, 3);
        p.hi = r.int64(i, 4);
        p.triggers = int(r.int64(i, 5));
        p.mayTrigger = r.text(i, 6) == "t";
        p.mark = r.string(i, 7);
        out->push_back(p);
    }
    return true;
}

bool runAll(PgLink &link, const QStringList &statements, QString *error)
{
    for (const QString &s : statements) {
        if (!link.exec(s.toUtf8())) {
            if (error)
                *error = link.error();
            return false;
        }
    }
    return true;
}

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

// The bucket sizes as the state records them.
QString levelList()
{
    QStringList sizes;
    for (const Level &l : levels())
        sizes << QString::number(l.us);
    return sizes.join(QLatin1Char(','));
}

// MINVALUE and MAXVALUE bounds stand for no bound at all.
bool isFinite(qint64 bound)
{
    return bound > std::numeric_limits<qint64>::min() + 1 && bound < kNoBound;
}

// No one but the owner may run the functions: the trigger functions write
// the summaries with the owner's rights, and the others would recompute
// them from any table named to them. The owner of invoice, who may be
// another role, needs the trigger functions to give new partitions their
// triggers; firing a trigger needs no right on its function.
QStringList grantStatements(const QString &tableOwner)
{
    QStringList functions;
    for (const Level &l : levels())
        functions << QStringLiteral("{FN}_redo_%1({FN}_key[], regclass, bigint)").arg(QLatin1String(l.name));
    functions << QStringLiteral("{FN}_merge({FN}_row[], oid, bigint)");
    // The rollup too: a build by the table's owner moves the watermark.
    const QStringList triggerFunctions{"{FN}_inserted()", "{FN}_deleted()", "{FN}_updated()",
                                       "{FN}_truncated()", "{FN}_replica()", "{FN}_rollup(bigint, bigint)"};
    QStringList out;
    for (const QString &f : functions + triggerFunctions)
        out << QStringLiteral("REVOKE ALL ON FUNCTION %1 FROM PUBLIC").arg(f);
    for (const QString &f : triggerFunctions)
        out << QStringLiteral("GRANT EXECUTE ON FUNCTION %1 TO %2").arg(f, tableOwner);
    return out;
}

// Records the triggers' marks of invoice and each partition as they are
// now: the summaries hold every row written so far.
QStringList markStatements()
{
    return {
        // State tables made before the place was kept lack it (altered only
        // then: a builder that does not own them may not alter them).
        QStringLiteral("DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = "
                       "'{SUM}_state'::regclass AND attname = 'place' AND NOT attisdropped) THEN "
                       "ALTER TABLE {SUM}_state ADD COLUMN place text; END IF; END $$"),
        QStringLiteral("UPDATE {SUM}_state SET marks = %1, relid = 'invoice'::regclass, place = %2")
            .arg(triggerMarkSql(QStringLiteral("'invoice'::regclass")), QLatin1String(kPlaceSql)),
        QStringLiteral("UPDATE {SUM}_partition SET marks = %1").arg(triggerMarkSql(QStringLiteral("relid")))};
}

} // namespace

QStringList installScript(const ScriptTarget &target)
{
    const Layout layout{target.hasId, target.hasSource};
    const QString &schema = target.schema;
    QStringList statements;
    statements << QStringLiteral(
                      "CREATE TABLE IF NOT EXISTS {SUM}_state (one boolean PRIMARY KEY DEFAULT "
                      "true CHECK (one), version integer NOT NULL, levels text NOT NULL, relid oid NOT NULL)")
               << QStringLiteral("ALTER TABLE {SUM}_state ADD COLUMN IF NOT EXISTS marks text")
               << QStringLiteral("ALTER TABLE {SUM}_state ADD COLUMN IF NOT EXISTS layout text")
               << QStringLiteral("CREATE TABLE IF NOT EXISTS {SUM}_pending (lo_us bigint PRIMARY KEY, "
                                 "hi_us bigint NOT NULL)")
               << QStringLiteral("CREATE TABLE IF NOT EXISTS {SUM}_partition (relid oid PRIMARY KEY, "
                                 "lo_us bigint, hi_us bigint)")
               << QStringLiteral("ALTER TABLE {SUM}_partition ADD COLUMN IF NOT EXISTS marks text")
               << QStringLiteral("CREATE TABLE IF NOT EXISTS {SUM}_watermark (one boolean PRIMARY KEY DEFAULT "
                                 "true CHECK (one), us bigint)")
               << scaleStatements();
    for (size_t i = 0; i < levels().size(); ++i) {
        statements << tableDdl(levelTable(int(i)));
        // The build and TRUNCATE work on time ranges; the rows come in time order.
        statements << QStringLiteral("CREATE INDEX IF NOT EXISTS %1_bucket_idx ON %1 USING brin (bucket)")
                          .arg(levelTable(int(i)));
    }
    if (!target.keyTypeExists)
        statements << QStringLiteral("CREATE TYPE {FN}_key AS (source text, funcstr text, unitstr text, "
                                     "bucket bigint)");
    for (size_t i = 0; i < levels().size(); ++i)
        statements << redoFunction(int(i), schema, layout);
    statements << rollupFunction(schema, layout);
    if (!target.rowTypeExists)
        statements << QStringLiteral("CREATE TYPE {FN}_row AS (source text, funcstr text, unitstr text, us bigint, "
                                     "id bigint, cv float8, nv float8, ol boolean)");
    statements << insertFunctions(schema, layout) << deleteFunction(schema, layout) << updateFunction(schema, layout)
               << truncateFunction(schema, layout) << replicaFunction(schema);
    statements << grantStatements(target.tableOwner);
    statements << triggerStatements(QStringLiteral("invoice"), true);
    return statements;
}

namespace {

// Everything install() makes: objects first (installScript()), then the
// triggers, the partitions they watch and the rows still to summarize.
bool installObjects(PgLink &link, const Layout &layout, QString *error)
{
    PgResult r;
    if (!link.exec("SELECT quote_ident(current_schema()), to_regtype('{FN}_key') IS NOT NULL, "
                   "quote_ident(pg_get_userbyid(relowner)), to_regtype('{FN}_row') IS NOT NULL FROM pg_class "
                   "WHERE oid = 'invoice'::regclass",
                   {}, &r) ||
        r.rows() != 1 || r.isNull(0, 0)) {
        *error = link.error().isEmpty() ? QStringLiteral("no current schema") : link.error();
        return false;
    }
    ScriptTarget target;
    target.hasId = layout.hasId;
    target.hasSource = layout.hasSource;
    target.schema = r.string(0, 0);
    target.tableOwner = r.string(0, 2);
    target.keyTypeExists = r.text(0, 1) == "t";
    target.rowTypeExists = r.text(0, 3) == "t";
    QStringList statements;
    // Writers wait for the moment it takes; rows written before are counted
    // below, rows after go through the triggers.
    statements << QStringLiteral("SET LOCAL lock_timeout = '10s'")
               << QStringLiteral("SET LOCAL client_min_messages = warning")
               << QStringLiteral("LOCK TABLE invoice IN SHARE ROW EXCLUSIVE MODE");
    statements << installScript(target);
    if (!runAll(link, statements, error))
        return false;

    std::vector<Partition> partitions;
    if (!readPartitions(link, &partitions)) {
        *error = link.error();
        return false;
    }
    statements.clear();
    for (const Partition &p : partitions) {
        statements << triggerStatements(p.name, false);
        statements << QStringLiteral("INSERT INTO {SUM}_partition VALUES (%1, %2, %3) ON CONFLICT (relid) "
                                     "DO UPDATE SET lo_us = excluded.lo_us, hi_us = excluded.hi_us")
                          .arg(p.oid)
                          .arg(p.isDefault ? QStringLiteral("NULL") : number(p.lo))
                          .arg(p.isDefault ? QStringLiteral("NULL") : number(p.hi));
    }
    const QString c = number(coarsest());
    // The first and last time, from the index, while writers wait: the
    // microseconds of the extremes are the extremes of the microseconds.
    statements << QStringLiteral(
                      "INSERT INTO {SUM}_pending "
                      "SELECT %1, %2 + %3 FROM (SELECT %4 AS lo, %5 AS hi FROM (SELECT min(create_time) AS a, "
                      "max(create_time) AS b FROM invoice) t) m "
                      "WHERE m.lo IS NOT NULL ON CONFLICT (lo_us) DO UPDATE SET hi_us = "
                      "greatest({SUM}_pending.hi_us, excluded.hi_us)")
                      .arg(floorSql(QStringLiteral("m.lo"), coarsest()),
                           floorSql(QStringLiteral("m.hi"), coarsest()), c, timeUsSql(QStringLiteral("t.a")),
                           timeUsSql(QStringLiteral("t.b")));
    // The rows there now are built from the pending ranges; the watermark
    // starts past them (none on an empty table: the first rollup sets it).
    statements << QStringLiteral("INSERT INTO {SUM}_watermark (us) SELECT %1 + %2 FROM (SELECT %3 AS hi FROM "
                                 "(SELECT max(create_time) AS b FROM invoice) t) m ON CONFLICT (one) DO NOTHING")
                      .arg(floorSql(QStringLiteral("m.hi"), levels()[0].us), number(levels()[0].us),
                           timeUsSql(QStringLiteral("t.b")));
    // The version is tk52k_schema_version's to say (install()); the state
    // notes it too, for the programs before the record that read it there.
    statements
        << QStringLiteral(
               "INSERT INTO {SUM}_state (version, levels, relid, layout) VALUES (%1, '%2', "
               "'invoice'::regclass, '%3') ON CONFLICT (one) DO UPDATE SET version = excluded.version, "
               "levels = excluded.levels, relid = excluded.relid, layout = excluded.layout")
               .arg(kVersion)
               .arg(levelList(), layout.name());
    statements << markStatements();
    return runAll(link, statements, error);
}

// Runs `work` inside a transaction of its own, or inside the caller's.
template <class Work> bool inTransaction(PgLink &link, QString *error, Work work)
{
    if (link.inTransaction()) {
        // A savepoint, so a failure leaves the caller's transaction usable.
        if (!link.exec("SAVEPOINT tk52k_summary")) {
            *error = link.error();
            return false;
        }
        if (work())
            return link.exec("RELEASE SAVEPOINT tk52k_summary");
        link.exec("ROLLBACK TO SAVEPOINT tk52k_summary");
        return false;
    }
    if (!link.exec("BEGIN")) {
        *error = link.error();
        return false;
    }
    if (work() && link.exec("COMMIT"))
        return true;
    if (error->isEmpty())
        *error = link.error();
    link.exec("ROLLBACK");
    return false;
}

struct Catalog
{
    int serverVersion = 0;
    bool tableExists = false;
    bool mayCreate = false;
    bool mayTrigger = false;
    bool usableShape = false; ///< the five columns of types the summaries read
    QString shapeProblem;
    Layout layout;
    bool hasTimeIndex = false;
    bool owner = false;
    qint64 rowEstimate = 0;
    bool partitioned = false;
};

bool readCatalog(PgLink &link, Catalog *c)
{
    PgResult r;
    if (!link.exec("SELECT current_setting('server_version_num')::int, to_regclass('invoice') IS NOT NULL, "
                   "has_schema_privilege(current_schema(), 'CREATE'), "
                   "to_regclass('invoice') IS NOT NULL AND has_table_privilege('invoice', 'TRIGGER'), "
                   "EXISTS (SELECT 1 FROM pg_partitioned_table WHERE partrelid = to_regclass('invoice'))",
                   {}, &r) ||
        r.rows() != 1)
        return false;
    c->serverVersion = int(r.int64(0, 0));
    c->tableExists = r.text(0, 1) == "t";
    c->mayCreate = r.text(0, 2) == "t";
    c->mayTrigger = r.text(0, 3) == "t";
    c->partitioned = r.text(0, 4) == "t";
    if (!c->tableExists)
        return true;
    PgResult columns;
    if (!link.exec("SELECT attname::text, format_type(atttypid, atttypmod) FROM pg_attribute "
                   "WHERE attrelid = 'invoice'::regclass AND attnum > 0 AND NOT attisdropped",
                   {}, &columns))
        return false;
    QHash<QString, QString> types;
    for (int i = 0; i < columns.rows(); ++i)
        types.insert(columns.string(i, 0), columns.string(i, 1));
    QStringList problems;
    const auto want = [&](const char *column, std::initializer_list<const char *> accepted) {
        const QString type = types.value(QLatin1String(column));
        for (const char *a : accepted)
            if (type.startsWith(QLatin1String(a)))
                return;
        problems
            << (type.isEmpty()
                    ? QCoreApplication::translate("SummarySchema", "没有 %1 列").arg(QLatin1String(column))
                    : QStringLiteral("%1 %2").arg(QLatin1String(column), type));
    };
    // `id` and `source` where the table has them, of the types the program
    // gives them; the five columns always.
    c->layout.hasId = types.contains(QStringLiteral("id"));
    c->layout.hasSource = types.contains(QStringLiteral("source"));
    if (c->layout.hasId)
        want("id", {"bigint", "integer"});
    if (c->layout.hasSource)
        want("source", {"text", "character varying"});
    for (const char *text : {"funcstr", "datavaluestr", "unitstr"})
        want(text, {"text", "character varying"});
    want("frastr", {"text", "character varying", "integer", "smallint", "bigint"});
    want("create_time", {"timestamp"});
    if (types.value(QStringLiteral("create_time")).contains(QLatin1String("with time zone")))
        problems << QStringLiteral("create_time %1").arg(types.value(QStringLiteral("create_time")));
    c->usableShape = problems.isEmpty();
    c->shapeProblem = problems.join(QStringLiteral(", "));
    PgResult more;
    if (!link.exec("SELECT EXISTS (SELECT 1 FROM pg_index x JOIN pg_attribute a ON a.attrelid = x.indrelid "
                   "AND a.attnum = x.indkey[0] WHERE x.indrelid = 'invoice'::regclass AND x.indisvalid AND "
                   "a.attname = 'create_time' AND x.indpred IS NULL AND x.indexprs IS NULL), "
                   "pg_has_role((SELECT relowner FROM pg_class WHERE oid = 'invoice'::regclass), 'USAGE'), "
                   "(SELECT greatest(sum(greatest(c.reltuples, 0)), 0)::bigint FROM pg_class c "
                   "WHERE c.oid = 'invoice'::regclass OR c.oid IN (SELECT inhrelid FROM pg_inherits "
                   "WHERE inhparent = 'invoice'::regclass))",
                   {}, &more) ||
        more.rows() != 1)
        return false;
    c->hasTimeIndex = more.text(0, 0) == "t";
    c->owner = more.text(0, 1) == "t";
    c->rowEstimate = more.int64(0, 2);
    return true;
}

// The summaries of a table are named after it with a tag: "" for the first
// table to have them, "_2", "_3" … where a table renamed away (archived)
// keeps the plain names. They are found through the table's own trigger,
// whatever they are called, or, with the triggers gone, through the state
// table that names the table.
void setTag(PgLink &link, const QString &tag)
{
    link.setNames({{"{SUM}", "invoice_summary" + tag.toUtf8()},
                   {"{FN}", "tk52k_summary" + tag.toUtf8()},
                   {"{TAGNO}", tag.isEmpty() ? QByteArray("1") : tag.mid(1).toUtf8()}});
}

bool findTag(PgLink &link, QString *tag, bool *found)
{
    *found = false;
    PgResult r;
    if (!link.exec("SELECT p.proname::text FROM pg_trigger t JOIN pg_proc p ON p.oid = t.tgfoid "
                   "WHERE t.tgrelid = to_regclass('invoice') AND t.tgname = 'tk52k_summary_insert'",
                   {}, &r))
        return false;
    const QString prefix = QStringLiteral("tk52k_summary");
    const QString suffix = QStringLiteral("_inserted");
    if (r.rows() == 1 && r.string(0, 0).startsWith(prefix) && r.string(0, 0).endsWith(suffix)) {
        const QString name = r.string(0, 0);
        *tag = name.mid(prefix.size(), name.size() - prefix.size() - suffix.size());
        *found = true;
        setTag(link, *tag);
        return true;
    }
    if (!link.exec(
            "SELECT substring(c.relname FROM '^invoice_summary(.*)_state$') FROM pg_class c "
            "WHERE c.relkind = 'r' AND c.relnamespace = (SELECT oid FROM pg_namespace WHERE nspname = "
            "current_schema()) AND c.relname ~ '^invoice_summary(_[0-9]+)?_state$' AND EXISTS (SELECT 1 "
            "FROM pg_attribute a WHERE a.attrelid = c.oid AND a.attname = 'relid' AND NOT a.attisdropped)",
            {}, &r))
        return false;
    for (int i = 0; i < r.rows(); ++i) {
        PgResult owner;
        if (!link.exec(
                QStringLiteral("SELECT bool_or(relid = to_regclass('invoice')) FROM invoice_summary%1_state")
                    .arg(r.string(i, 0))
                    .toUtf8(),
                {}, &owner))
            return false;
        if (owner.text(0, 0) == "t") {
            *tag = r.string(i, 0);
            *found = true;
            setTag(link, *tag);
            return true;
        }
    }
    return true;
}

// The first tag whose names no other table's summaries hold.
bool freeTag(PgLink &link, QString *tag)
{
    for (int n = 1; n < 1000; ++n) {
        const QString t = n == 1 ? QString() : QStringLiteral("_%1").arg(n);
        PgResult r;
        if (!link.exec("SELECT to_regclass($1) IS NULL AND to_regtype($2) IS NULL",
                       {("invoice_summary" + t + "_state").toUtf8(), ("tk52k_summary" + t + "_key").toUtf8()},
                       &r))
            return false;
        if (r.text(0, 0) == "t") {
            *tag = t;
            setTag(link, t);
            return true;
        }
    }
    return false;
}

// The part of tk52k_schema_version that records the summaries tagged `tag`:
// "summaries" for the first table's, "summaries_2" … for those of a table
// made after another was renamed away with its own.
QString recordPart(const QString &tag)
{
    return QStringLiteral("summaries") + tag;
}

// Whether this login may read the schema record (SQL).
const char *const kRecordReadable =
    "coalesce(has_table_privilege(to_regclass('tk52k_schema_version'), 'SELECT'), false)";

// The version the schema record names for the summaries tagged `tag`
// (SQL, where the record may be read): NULL for summaries made before it.
QString recordedVersionSql(const QString &tag)
{
    return QStringLiteral("(SELECT version FROM tk52k_schema_version WHERE part = '%1')").arg(recordPart(tag));
}

// The version of the summaries tagged `tag` as the schema record has it.
// Summaries made before the record, or where this login may not read it,
// are known by the version their state table noted (`noted`).
bool summariesVersion(PgLink &link, const QString &tag, qint64 noted, qint64 *version)
{
    *version = noted;
    PgResult r;
    if (!link.exec(QByteArray("SELECT ") + kRecordReadable, {}, &r))
        return false;
    if (r.text(0, 0) != "t")
        return true;
    if (!link.exec(("SELECT " + recordedVersionSql(tag)).toUtf8(), {}, &r))
        return false;
    if (!r.isNull(0, 0))
        *version = r.int64(0, 0);
    return true;
}

// Whether the summaries' copy of the overload figures is the program's,
// as far as the catalog tells (SQL): true where an older install keeps
// them in its functions or where this login may not read the table (the
// builder, who may, finds out), false where the functions read a table
// that is gone, NULL where the table is to be compared (scaleSameSql()).
QString scaleKnownSql()
{
    return QStringLiteral("CASE WHEN to_regclass('%1') IS NULL THEN NOT EXISTS (SELECT 1 FROM pg_proc "
                          "WHERE oid = to_regprocedure('{FN}_rollup(bigint, bigint)') AND "
                          "strpos(prosrc, '%1') > 0) WHEN NOT has_table_privilege(to_regclass('%1'), 'SELECT') "
                          "THEN true END")
        .arg(QLatin1String(kScaleTable));
}

// Whether the table holds the program's figures and no others (SQL).
QString scaleSameSql()
{
    static const QString kSame =
        QStringLiteral("(SELECT count(*) FILTER (WHERE s.overload = v.overload) = %1 AND count(*) = %1 FROM %2 s "
                       "FULL JOIN (VALUES %3) v (range, form, overload) USING (range, form))")
            .arg(overloadScale().size())
            .arg(QLatin1String(kScaleTable), overloadValuesSql());
    return kSame;
}

Status failedProbe(PgLink &link)
{
    Status s;
    s.reason = QCoreApplication::translate("SummarySchema", "无法查询汇总表：%1").arg(link.error());
    return s;
}

} // namespace

const std::vector<Level> &levels()
{
    static const std::vector<Level> kLevels = {
        // The edges of a pixel column a minute or two wide read a handful of
        // 10 s buckets, not dozens of 1 s ones.
        {"1s", kSecond},
        {"10s", 10 * kSecond},
        {"1m", 60 * kSecond},
        {"1h", 3600 * kSecond},
    };
    return kLevels;
}

QString levelTable(const QString &tag, int level)
{
    return QStringLiteral("invoice_summary%1_%2").arg(tag, QLatin1String(levels()[size_t(level)].name));
}

QString timeUsSql(const QString &time)
{
    // Whole days as integers, and only the time of day as a double: under
    // 86 400 s it is within a billionth of a second of the stored time, so
    // rounding gives the microsecond back exactly in every year, as fast as
    // a double of the whole epoch (which is a microsecond off before 1685 and
    // after 2242) and several times quicker than the numeric extract().
    return QStringLiteral("((%1)::date - date '1970-01-01')::bigint * 86400000000 + "
                          "(date_part('epoch', (%1)::time) * 1000000)::bigint")
        .arg(time);
}

QString timestampSql(const QString &us)
{
    return QStringLiteral("(timestamp '1970-01-01' + (%1) * interval '1 microsecond')").arg(us);
}

QString numberSql(const QString &value)
{
    // The exponent is held to two digits and the text to 40 characters, so
    // the cast can never overflow and fail a writer's INSERT.
    return fill(
        QStringLiteral("(CASE WHEN length({V}) <= 40 AND {V} ~ '^[{W}]*[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)"
                       "([eE][+-]?[0-9]{1,2})?[{W}]*$' THEN ({V})::float8 END)"),
        {{"V", value}, {"W", QLatin1String(kWhitespace)}});
}

QString overloadSql(const QString &value)
{
    return fill(QStringLiteral("(strpos({V}, 'L') > 0 AND regexp_replace({V}, '[-+.{W}]', '', 'g') = 'OL')"),
                {{"V", value}, {"W", QLatin1String(kWhitespace)}});
}

QString curveValueSql(const QString &value, const QString &rangeText, const QString &scaleTable)
{
    // As HistoryData reads it: an overload only where the text starts with a
    // sign or a blank, its decimals from the form of "OL", its range from
    // `frastr` (0–44). The table is read into an array once per statement
    // (a figure missing there is 0): looked up row by row, a range of
    // overloads would take forty times as long to summarize.
    static const QString kArray = overloadArraySql();
    const QString array =
        scaleTable.isEmpty()
            ? kArray
            : QStringLiteral("SELECT array_agg(s.overload ORDER BY g) FROM generate_series(1, %1) g LEFT JOIN %2 s "
                             "ON s.range * 4 + array_position(ARRAY['OL', 'OL.', 'O.L', '.OL'], s.form) = g")
                  .arg(overloadScale().size())
                  .arg(scaleTable);
    return fill(
        QStringLiteral(
            "coalesce({NUM}, CASE WHEN {V} ~ '^([+-]| [{W}]*[+-])[{W}]*(OL|OL[.]|O[.]L|[.]OL)[{W}]*$' "
            "THEN (CASE WHEN btrim({V}, E'{W}') LIKE '-%' THEN -1 ELSE 1 END) * ({TABLE})["
            "(CASE WHEN btrim({R}, E'{W}') ~ '^[0-9]{1,2}$' THEN btrim({R}, E'{W}')::int END) * 4 + "
            "array_position(ARRAY['OL', 'OL.', 'O.L', '.OL'], btrim({V}, E'{W}+-'))] END, 0::float8)"),
        {{"NUM", numberSql(value)},
         {"TABLE", array},
         {"V", value},
         {"R", rangeText},
         {"W", QLatin1String(kWhitespace)}});
}

BucketMerge bucketMerge(const std::vector<const char *> &groups, const QString &alias)
{
    QStringList columns, aggregates, out;
    for (const char *first : groups) {
        const auto g = std::find_if(summaryColumns().cbegin(), summaryColumns().cend(),
                                    [&](const SummaryColumn &c) { return columnName(c.columns.front()) == first; });
        Q_ASSERT(g != summaryColumns().cend());
        for (const char *c : g->columns)
            columns << alias + QLatin1Char('.') + columnName(c);
        aggregates << QLatin1String(g->fromChildren);
        out << QLatin1String(g->out);
    }
    return {columns.join(QStringLiteral(", ")), aggregates.join(QStringLiteral(", ")),
            out.join(QStringLiteral(", "))};
}

std::vector<SummaryField> summaryFields(const std::vector<const char *> &groups)
{
    std::vector<SummaryField> fields;
    for (const char *first : groups) {
        const auto g = std::find_if(summaryColumns().cbegin(), summaryColumns().cend(),
                                    [&](const SummaryColumn &c) { return columnName(c.columns.front()) == first; });
        Q_ASSERT(g != summaryColumns().cend());
        if (g == summaryColumns().cend())
            continue;
        for (const char *c : g->columns)
            fields.push_back({columnName(c), std::strstr(c, " float8") != nullptr});
    }
    return fields;
}

Status probe(QSqlDatabase &db)
{
    PgLink link(db);
    Status s;
    Catalog c;
    if (!link.isValid()) {
        s.reason = link.error();
        return s;
    }
    if (!readCatalog(link, &c))
        return failedProbe(link);
    if (c.serverVersion < 150000) {
        s.reason = QCoreApplication::translate(
            "SummarySchema",
            "数据库服务器版本过低：汇总表需要 PostgreSQL 15 或更新版本，历史记录将逐行读取。");
        return s;
    }
    if (!c.tableExists) {
        s.reason = QCoreApplication::translate("SummarySchema", "数据表 invoice 不存在。");
        return s;
    }
    if (!c.usableShape) {
        s.reason = QCoreApplication::translate("SummarySchema",
                                               "数据表 invoice 的列不合汇总表之用（%1），历史记录将逐行读取。")
                       .arg(c.shapeProblem);
        return s;
    }
    std::vector<Partition> partitions;
    if (c.partitioned && !readPartitions(link, &partitions))
        return failedProbe(link);
    bool mayTrigger = c.mayTrigger;
    // Without an index on create_time every write would have its buckets
    // read from the whole table: the build makes one, which takes the owner.
    const bool mayIndex = c.hasTimeIndex || (c.owner && !c.partitioned);
    for (const Partition &p : partitions) {
        if (p.subPartitioned) {
            s.reason =
                QCoreApplication::translate(
                    "SummarySchema", "分区 %1 本身又被分区，汇总表不支持这种数据表，历史记录将逐行读取。")
                    .arg(p.name);
            return s;
        }
        mayTrigger = mayTrigger && p.mayTrigger;
    }
    s.canBuild = c.mayCreate && mayTrigger && mayIndex;
    bool installed = false;
    if (!findTag(link, &s.tag, &installed))
        return failedProbe(link);
    if (!installed) {
        s.state = s.canBuild ? State::NotInstalled : State::Unavailable;
        s.reason = s.canBuild ? QCoreApplication::translate("SummarySchema", "汇总表尚未建立。")
                              : QCoreApplication::translate(
                                    "SummarySchema", "没有在数据库中建立汇总表的权限，历史记录将逐行读取。");
        return s;
    }

    PgResult state;
    if (!link.exec("SELECT has_table_privilege('{SUM}_state', 'SELECT') AND "
                   "has_table_privilege('{SUM}_pending', 'SELECT') AND "
                   "coalesce(has_table_privilege(to_regclass('{SUM}_watermark'), 'SELECT'), true) AND "
                   "has_table_privilege('{SUM}_partition', 'SELECT')",
                   {}, &state))
        return failedProbe(link);
    bool mayRead = state.text(0, 0) == "t";
    bool allLevels = true;
    for (size_t i = 0; mayRead && allLevels && i < levels().size(); ++i) {
        PgResult r;
        if (!link.exec(QStringLiteral("SELECT to_regclass('%1') IS NOT NULL, "
                                      "coalesce(has_table_privilege(to_regclass('%1'), 'SELECT'), false)")
                           .arg(levelTable(int(i)))
                           .toUtf8(),
                       {}, &r))
            return failedProbe(link);
        // A level another version did not keep is missing, not forbidden.
        allLevels = r.text(0, 0) == "t";
        mayRead = r.text(0, 1) == "t" || !allLevels;
    }
    if (!allLevels) {
        s.state = State::Incomplete;
        s.otherVersion = true;
        s.reason = QCoreApplication::translate("SummarySchema", "汇总表由其他版本的程序建立，需要重建。");
        return s;
    }
    if (!mayRead) {
        s.reason = QCoreApplication::translate("SummarySchema", "没有读取汇总表的权限，历史记录将逐行读取。");
        return s;
    }
    s.state = State::Incomplete;
    if (!link.exec(
            QStringLiteral("SELECT version, levels, (SELECT count(*) FROM {SUM}_pending), %1, "
                           "to_jsonb(s) ->> 'marks' = %2 AND relid = 'invoice'::regclass, "
                           "coalesce(to_jsonb(s) ->> 'layout', 'id,source'), "
                           "to_jsonb(s) ->> 'place' IS NOT DISTINCT FROM %3, %4, %5 FROM {SUM}_state s")
                .arg(workingTriggersSql(QStringLiteral("'invoice'::regclass")),
                     triggerMarkSql(QStringLiteral("'invoice'::regclass")), QLatin1String(kPlaceSql),
                     QLatin1String(kRecordReadable), scaleKnownSql())
                .toUtf8(),
            {}, &state))
        return failedProbe(link);
    // The version from the schema record (the state's for summaries made
    // before it), and where the state cannot tell, whether the overload
    // figures are the program's: one more query at most.
    qint64 version = state.rows() == 1 ? state.int64(0, 0) : -1;
    bool sameScale = state.rows() == 1 && state.text(0, 8) == "t";
    QStringList more;
    if (state.rows() == 1 && state.text(0, 7) == "t")
        more << recordedVersionSql(s.tag);
    if (state.rows() == 1 && state.isNull(0, 8))
        more << scaleSameSql();
    PgResult recorded;
    if (!more.isEmpty() && !link.exec(("SELECT " + more.join(QStringLiteral(", "))).toUtf8(), {}, &recorded))
        return failedProbe(link);
    if (state.rows() == 1 && state.text(0, 7) == "t" && !recorded.isNull(0, 0))
        version = recorded.int64(0, 0);
    if (state.rows() == 1 && state.isNull(0, 8))
        sameScale = recorded.text(0, int(more.size()) - 1) == "t";
    if (state.rows() != 1 || version != kVersion || state.string(0, 1) != levelList() ||
        state.string(0, 5) != c.layout.name()) {
        s.otherVersion = true;
        s.reason = QCoreApplication::translate("SummarySchema", "汇总表由其他版本的程序建立，需要重建。");
        return s;
    }
    // The overload figures the functions read must be the program's: where
    // they are missing or others, overloads were summarized otherwise than
    // the rows are read. (Summaries made before the figures were data have
    // them in their functions, as this program does.)
    if (!sameScale) {
        s.otherVersion = true;
        s.reason = QCoreApplication::translate("SummarySchema", "汇总表中量程的过载值与本程序的不同或已缺失，需要重建。");
        return s;
    }
    if (state.int64(0, 2) > 0) {
        s.reason = QCoreApplication::translate("SummarySchema", "汇总表尚未建立完成。");
        return s;
    }
    // Read in the reader's snapshot, with the buckets it then reads.
    PgResult watermark;
    if (!link.exec("SELECT us FROM {SUM}_watermark", {}, &watermark))
        return failedProbe(link);
    s.watermark = watermark.rows() == 1 && !watermark.isNull(0, 0) ? watermark.int64(0, 0)
                                                                    : std::numeric_limits<qint64>::min();
    if (state.int64(0, 3) < kTriggerCount) {
        s.reason = QCoreApplication::translate("SummarySchema",
                                               "数据表 invoice 的汇总触发器被删除或停用，汇总表需要修复。");
        return s;
    }
    // Writes may have gone past triggers that were disabled for a while and
    // enabled again (a restore with triggers disabled does so).
    if (state.text(0, 4) != "t") {
        s.reason = QCoreApplication::translate(
            "SummarySchema", "数据表 invoice 的汇总触发器曾被停用或更改，汇总表可能缺少读数，需要修复。");
        return s;
    }
    if (!c.layout.hasId && !c.partitioned && state.text(0, 6) != "t") {
        s.reason = QCoreApplication::translate(
            "SummarySchema", "数据表 invoice 被重写过（VACUUM FULL 或 CLUSTER），同一时刻的读数次序可能已变，汇总表需要修复。");
        return s;
    }
    PgResult registry;
    if (!link.exec("SELECT relid::bigint, lo_us, hi_us, marks FROM {SUM}_partition", {}, &registry))
        return failedProbe(link);
    struct Known
    {
        std::pair<qint64, qint64> bounds;
        QString mark;
    };
    QHash<qint64, Known> known;
    for (int i = 0; i < registry.rows(); ++i)
        known.insert(registry.int64(i, 0), {{registry.int64(i, 1), registry.int64(i, 2)},
                                            registry.isNull(i, 3) ? QString() : registry.string(i, 3)});
    for (const Partition &p : partitions) {
        const auto it = known.constFind(p.oid);
        if (it == known.constEnd() || p.triggers < kTriggerCount ||
            (!p.isDefault && it->bounds != std::make_pair(p.lo, p.hi))) {
            s.reason = QCoreApplication::translate("SummarySchema",
                                                   "分区 %1 在本程序之外被建立、挂接或更改，汇总表需要修复。")
                           .arg(p.name);
            return s;
        }
        if (it->mark != p.mark) {
            s.reason =
                QCoreApplication::translate(
                    "SummarySchema", "分区 %1 的汇总触发器曾被停用或更改，汇总表可能缺少读数，需要修复。")
                    .arg(p.name);
            return s;
        }
        known.remove(p.oid);
    }
    if (!known.isEmpty()) {
        s.reason = QCoreApplication::translate(
            "SummarySchema", "数据表 invoice 的分区在本程序之外被删除或分离，汇总表需要修复。");
        return s;
    }
    s.state = State::Usable;
    s.reason.clear();
    return s;
}

bool install(QSqlDatabase &db, QString *error)
{
    PgLink link(db);
    QString why;
    Catalog c;
    if (!readCatalog(link, &c)) {
        *error = link.error();
        return false;
    }
    if (c.serverVersion < 150000 || !c.tableExists || !c.usableShape) {
        *error = c.serverVersion < 150000 ? QStringLiteral("the summaries need PostgreSQL 15 or later")
                                          : QStringLiteral("columns the summaries cannot read: %1").arg(c.shapeProblem);
        return false;
    }
    QString tag;
    bool found = false;
    if (!findTag(link, &tag, &found) || (!found && !freeTag(link, &tag))) {
        *error = link.error().isEmpty() ? QStringLiteral("no free name for the summaries") : link.error();
        return false;
    }
    const bool ok = inTransaction(link, &why, [&] {
        if (!installObjects(link, c.layout, &why))
            return false;
        // The record says what version the summaries are. One another login
        // made and this one may not change is no reason to go without them,
        // unless it names another version for them: they would then be
        // made anew at every build.
        QString refused;
        if (!SchemaVersion::record(db, {recordPart(tag), kVersion, QLatin1String(kOldestWriter)}, &refused)) {
            qint64 recorded = kVersion;
            if (!summariesVersion(link, tag, kVersion, &recorded) || recorded != kVersion) {
                why = QStringLiteral("the summaries' version cannot be recorded: %1").arg(refused);
                return false;
            }
            qWarning("tk52k: the summaries' layout is not recorded: %s", qPrintable(refused));
        }
        return true;
    });
    if (!ok)
        *error = why;
    return ok;
}

bool adoptPartition(QSqlDatabase &db, const QString &partition, QString *error)
{
    PgLink link(db);
    QString tag;
    bool found = false;
    if (!findTag(link, &tag, &found)) {
        *error = link.error();
        return false;
    }
    if (!found)
        return true;
    // Summaries of another version are not read and will be made anew
    // (build()), triggers and all.
    PgResult version;
    if (!link.exec("SELECT version FROM {SUM}_state", {}, &version)) {
        *error = link.error();
        return false;
    }
    qint64 recorded = -1;
    if (version.rows() == 1 && !summariesVersion(link, tag, version.int64(0, 0), &recorded)) {
        *error = link.error();
        return false;
    }
    if (recorded != kVersion)
        return true;
    QString why;
    const bool ok = inTransaction(link, &why, [&] {
        std::vector<Partition> partitions;
        if (!link.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(lockKey(kTriggersClass)).toUtf8()) ||
            !readPartitions(link, &partitions)) {
            why = link.error();
            return false;
        }
        for (const Partition &p : partitions) {
            if (p.name != partition)
                continue;
            // A partition known already keeps a mark that no longer matches
            // its triggers, so what went past them is still found.
            PgResult known;
            if (!link.exec(QStringLiteral("SELECT marks IS NOT DISTINCT FROM %1 FROM {SUM}_partition "
                                          "WHERE relid = %2")
                               .arg(triggerMarkSql(number(p.oid)), number(p.oid))
                               .toUtf8(),
                           {}, &known)) {
                why = link.error();
                return false;
            }
            QStringList statements{QStringLiteral("SET LOCAL client_min_messages = warning")};
            statements << triggerStatements(p.name, false);
            statements << QStringLiteral("INSERT INTO {SUM}_partition VALUES (%1, %2, %3) "
                                         "ON CONFLICT (relid) DO NOTHING")
                              .arg(p.oid)
                              .arg(p.isDefault ? QStringLiteral("NULL") : number(p.lo))
                              .arg(p.isDefault ? QStringLiteral("NULL") : number(p.hi));
            if (known.rows() == 0 || known.text(0, 0) == "t")
                statements << QStringLiteral("UPDATE {SUM}_partition SET marks = %1 WHERE relid = %2")
                                  .arg(triggerMarkSql(number(p.oid)), number(p.oid));
            return runAll(link, statements, &why);
        }
        why = QStringLiteral("%1 is no partition of invoice").arg(partition);
        return false;
    });
    if (!ok)
        *error = why;
    return ok;
}

bool rollUp(QSqlDatabase &db, qint64 marginUs, QString *error)
{
    PgLink link(db);
    QString tag;
    bool found = false;
    PgResult r;
    if (!findTag(link, &tag, &found) ||
        (found && !link.exec(QStringLiteral("SELECT to_regprocedure('{FN}_rollup(bigint, bigint)') IS NOT NULL, "
                                            "(SELECT us FROM {SUM}_watermark), %1")
                                 .arg(timeUsSql(QStringLiteral("(SELECT max(create_time) FROM invoice)")))
                                 .toUtf8(),
                             {}, &r))) {
        *error = link.error();
        return false;
    }
    // Summaries of another version are made anew by a build, not rolled up.
    if (!found || r.text(0, 0) != "t" || r.isNull(0, 2))
        return true;
    // Up to the newest row when it starts: writers carrying on do not keep it going.
    const qint64 target = r.int64(0, 2);
    qint64 at = r.isNull(0, 1) ? std::numeric_limits<qint64>::min() : r.int64(0, 1);
    while (at <= target) {
        if (!link.exec(QStringLiteral("SELECT {FN}_rollup(%1, %2)").arg(marginUs).arg(kRollupRows).toUtf8()) ||
            !link.exec("SELECT us FROM {SUM}_watermark", {}, &r)) {
            *error = link.error();
            return false;
        }
        const qint64 now = r.rows() == 1 && !r.isNull(0, 0) ? r.int64(0, 0) : at;
        if (now == at)
            break;
        at = now;
    }
    return true;
}

bool uninstall(QSqlDatabase &db, QString *error)
{
    PgLink link(db);
    QString tag;
    bool found = false;
    if (!findTag(link, &tag, &found)) {
        *error = link.error();
        return false;
    }
    if (!found)
        return true;
    QString why;
    const bool ok = inTransaction(link, &why, [&] {
        QStringList statements{QStringLiteral("SET LOCAL client_min_messages = warning")};
        PgResult r;
        if (!link.exec("SELECT c.oid::regclass::text FROM pg_trigger t JOIN pg_class c ON c.oid = t.tgrelid "
                       "JOIN pg_proc p ON p.oid = t.tgfoid WHERE t.tgname = 'tk52k_summary_insert' AND "
                       "p.proname = '{FN}_inserted'",
                       {}, &r)) {
            why = link.error();
            return false;
        }
        for (int i = 0; i < r.rows(); ++i) {
            for (const char *name : kTriggerNames)
                statements << QStringLiteral("DROP TRIGGER IF EXISTS %1 ON %2")
                                  .arg(QLatin1String(name), r.string(i, 0));
            statements << QStringLiteral("DROP TRIGGER IF EXISTS %1 ON %2")
                              .arg(QLatin1String(kReplicaTruncateTrigger), r.string(i, 0));
        }
        // The row trigger where it was made; its clones on the partitions go with it.
        if (!link.exec(QStringLiteral("SELECT t.tgrelid::regclass::text FROM pg_trigger t JOIN pg_proc p ON "
                                      "p.oid = t.tgfoid WHERE t.tgname = '%1' AND t.tgparentid = 0 AND "
                                      "p.proname = '{FN}_replica'")
                           .arg(QLatin1String(kReplicaRowTrigger))
                           .toUtf8(),
                       {}, &r)) {
            why = link.error();
            return false;
        }
        for (int i = 0; i < r.rows(); ++i)
            statements << QStringLiteral("DROP TRIGGER IF EXISTS %1 ON %2")
                              .arg(QLatin1String(kReplicaRowTrigger), r.string(i, 0));
        for (const char *f :
             {"{FN}_inserted()", "{FN}_deleted()", "{FN}_updated()", "{FN}_truncated()", "{FN}_replica()",
              "{FN}_rollup(bigint, bigint)"})
            statements << QStringLiteral("DROP FUNCTION IF EXISTS %1").arg(QLatin1String(f));
        // The levels of whichever version made them: found by their names.
        const auto dropFound = [&](const char *find, const char *drop) {
            if (!link.exec(find, {}, &r)) {
                why = link.error();
                return false;
            }
            for (int i = 0; i < r.rows(); ++i)
                statements << QLatin1String(drop) + r.string(i, 0);
            return true;
        };
        if (!dropFound("SELECT p.oid::regprocedure::text FROM pg_proc p WHERE p.proname ~ "
                       "('^' || '{FN}' || '_redo_[0-9]+[smhd]$') AND p.pronamespace = "
                       "(SELECT typnamespace FROM pg_type WHERE oid = to_regtype('{FN}_key'))",
                       "DROP FUNCTION IF EXISTS ") ||
            !dropFound("SELECT c.oid::regclass::text FROM pg_class c WHERE c.relkind = 'r' AND c.relname ~ "
                       "('^' || '{SUM}' || '_[0-9]+[smhd]$') AND c.relnamespace = "
                       "(SELECT relnamespace FROM pg_class WHERE oid = to_regclass('{SUM}_state'))",
                       "DROP TABLE IF EXISTS "))
            return false;
        statements << QStringLiteral("DROP TABLE IF EXISTS {SUM}_state, {SUM}_pending, "
                                     "{SUM}_partition, {SUM}_watermark, %1")
                          .arg(QLatin1String(kScaleTable))
                   // With {FN}_merge(), the one function that takes it.
                   << QStringLiteral("DROP TYPE IF EXISTS {FN}_row CASCADE")
                   << QStringLiteral("DROP TYPE IF EXISTS {FN}_key");
        return runAll(link, statements, &why);
    });
    if (!ok)
        *error = why;
    return ok;
}

namespace {

// A range still to summarize, [lo, hi) in naive microseconds.
struct Span
{
    qint64 lo;
    qint64 hi;
};

// Brings triggers and the list of partitions up to date with the table and
// notes as pending what they missed: the bounds of a partition made,
// attached or stripped of its triggers outside the program, those of one
// dropped or detached. One short transaction, writers waiting meanwhile.
bool repair(PgLink &link, const Layout &layout, QString *error)
{
    return inTransaction(link, error, [&] {
        if (!runAll(link,
                    {QStringLiteral("SET LOCAL lock_timeout = '10s'"),
                     QStringLiteral("SET LOCAL client_min_messages = warning"),
                     QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(lockKey(kTriggersClass)),
                     QStringLiteral("LOCK TABLE invoice IN SHARE ROW EXCLUSIVE MODE")},
                    error))
            return false;
        PgResult span;
        // Everything rows or buckets cover, to bound open partition ranges
        // (the times from the index, as in install).
        if (!link.exec(QStringLiteral("SELECT least(%1, (SELECT min(bucket) FROM %3)), "
                                      "greatest(%2 + 1, (SELECT max(bucket) FROM %3) + %4) FROM invoice")
                           .arg(timeUsSql(QStringLiteral("min(create_time)")),
                                timeUsSql(QStringLiteral("max(create_time)")),
                                levelTable(int(levels().size()) - 1), number(coarsest()))
                           .toUtf8(),
                       {}, &span)) {
            *error = link.error();
            return false;
        }
        // No rows and no summaries: nothing can be missing, though the
        // triggers may still need making.
        const bool empty = span.isNull(0, 0);
        const qint64 first = empty ? 0 : span.int64(0, 0);
        const qint64 last = empty ? 0 : span.int64(0, 1);
        std::vector<Span> dirty;
        const auto mark = [&](qint64 lo, qint64 hi) {
            lo = std::max(lo, first);
            hi = std::min(hi, last);
            if (lo < hi)
                dirty.push_back({floorTo(lo, coarsest()), ceilTo(hi, coarsest())});
        };
        QStringList statements;
        PgResult parent;
        if (!link.exec(
                QStringLiteral("SELECT %1, marks IS NOT DISTINCT FROM %2 AND relid = 'invoice'::regclass AND "
                               "(%3 OR place IS NOT DISTINCT FROM %4) FROM {SUM}_state")
                    .arg(workingTriggersSql(QStringLiteral("'invoice'::regclass")),
                         triggerMarkSql(QStringLiteral("'invoice'::regclass")),
                         layout.hasId ? QStringLiteral("true") : QStringLiteral("false"), QLatin1String(kPlaceSql))
                    .toUtf8(),
                {}, &parent)) {
            *error = link.error();
            return false;
        }
        // Triggers missing, disabled, or changed since the summaries were
        // last whole (writes may have gone past them), or rows without ids
        // rewritten: everything again.
        if (parent.rows() != 1 || parent.int64(0, 0) < kTriggerCount || parent.text(0, 1) != "t") {
            statements << triggerStatements(QStringLiteral("invoice"), true);
            mark(first, last);
        }
        std::vector<Partition> partitions;
        PgResult registry;
        if (!readPartitions(link, &partitions) ||
            !link.exec("SELECT relid::bigint, lo_us, hi_us, lo_us IS NULL, marks FROM {SUM}_partition", {},
                       &registry)) {
            *error = link.error();
            return false;
        }
        QHash<qint64, Span> known;
        QHash<qint64, QString> marks;
        for (int i = 0; i < registry.rows(); ++i) {
            const bool isDefault = registry.text(i, 3) == "t";
            known.insert(registry.int64(i, 0), isDefault ? Span{std::numeric_limits<qint64>::min(), kNoBound}
                                                         : Span{registry.int64(i, 1), registry.int64(i, 2)});
            if (!registry.isNull(i, 4))
                marks.insert(registry.int64(i, 0), registry.string(i, 4));
        }
        for (const Partition &p : partitions) {
            const Span bounds =
                p.isDefault ? Span{std::numeric_limits<qint64>::min(), kNoBound} : Span{p.lo, p.hi};
            const auto it = known.constFind(p.oid);
            const bool sameBounds = it != known.constEnd() && it->lo == bounds.lo && it->hi == bounds.hi;
            const bool sameTriggers = marks.contains(p.oid) && marks.value(p.oid) == p.mark;
            if (p.triggers < kTriggerCount || !sameBounds || !sameTriggers) {
                statements << triggerStatements(p.name, false);
                mark(bounds.lo, bounds.hi);
                if (it != known.constEnd())
                    mark(it->lo, it->hi);
                statements << QStringLiteral("INSERT INTO {SUM}_partition VALUES (%1, %2, %3) "
                                             "ON CONFLICT (relid) DO UPDATE SET lo_us = excluded.lo_us, "
                                             "hi_us = excluded.hi_us")
                                  .arg(p.oid)
                                  .arg(p.isDefault ? QStringLiteral("NULL") : number(p.lo))
                                  .arg(p.isDefault ? QStringLiteral("NULL") : number(p.hi));
            }
            known.remove(p.oid);
        }
        for (auto it = known.cbegin(); it != known.cend(); ++it) {
            mark(it->lo, it->hi);
            statements << QStringLiteral("DELETE FROM {SUM}_partition WHERE relid = %1").arg(it.key());
            // A partition detached and kept loses the triggers, where this
            // role may take them; elsewhere they stay and do nothing.
            PgResult kept;
            if (!link.exec(QStringLiteral("SELECT oid::regclass::text FROM pg_class WHERE oid = %1 AND "
                                          "pg_has_role(relowner, 'USAGE')")
                               .arg(it.key())
                               .toUtf8(),
                           {}, &kept)) {
                *error = link.error();
                return false;
            }
            for (int i = 0; i < kept.rows(); ++i) {
                for (const char *name : kTriggerNames)
                    statements << QStringLiteral("DROP TRIGGER IF EXISTS %1 ON %2")
                                      .arg(QLatin1String(name), kept.string(i, 0));
                statements << QStringLiteral("DROP TRIGGER IF EXISTS %1 ON %2")
                                  .arg(QLatin1String(kReplicaTruncateTrigger), kept.string(i, 0));
            }
        }
        statements << scaleStatements();
        for (const Span &d : dirty)
            statements << QStringLiteral("INSERT INTO {SUM}_pending VALUES (%1, %2) ON CONFLICT (lo_us) DO "
                                         "UPDATE SET hi_us = greatest({SUM}_pending.hi_us, excluded.hi_us)")
                              .arg(d.lo)
                              .arg(d.hi);
        statements << markStatements();
        return runAll(link, statements, error);
    });
}

// The pending ranges, merged where they overlap, written back that way.
bool mergePending(PgLink &link, std::vector<Span> *out, QString *error)
{
    return inTransaction(link, error, [&] {
        PgResult r;
        if (!link.exec("SELECT lo_us, hi_us FROM {SUM}_pending ORDER BY lo_us FOR UPDATE", {}, &r)) {
            *error = link.error();
            return false;
        }
        out->clear();
        for (int i = 0; i < r.rows(); ++i) {
            const Span s{r.int64(i, 0), r.int64(i, 1)};
            if (!out->empty() && s.lo <= out->back().hi)
                out->back().hi = std::max(out->back().hi, s.hi);
            else if (s.lo < s.hi)
                out->push_back(s);
        }
        QStringList statements{QStringLiteral("DELETE FROM {SUM}_pending")};
        for (const Span &s : *out)
            statements << QStringLiteral("INSERT INTO {SUM}_pending VALUES (%1, %2)").arg(s.lo).arg(s.hi);
        return runAll(link, statements, error);
    });
}

// One chunk: the summaries of [lo, hi) made again from the rows before the
// watermark, with the partitions holding those rows locked against writers
// (SHARE), so no row is written between the read and the commit, and the
// watermark held where it is (the rollup's lock, shared as the writers
// take it, and after the table's, as they do). Writers to other partitions
// carry on.
bool buildChunk(PgLink &link, const Layout &layout, const Span &chunk, const QStringList &locks, qint64 *rows,
                QString *error)
{
    return inTransaction(link, error, [&] {
        PgResult watermark;
        if (!runAll(link,
                    {QStringLiteral("SET LOCAL lock_timeout = '5s'"),
                     QStringLiteral("LOCK TABLE %1 IN SHARE MODE").arg(locks.join(QStringLiteral(", ")))},
                    error) ||
            !link.exec(QStringLiteral("SELECT pg_advisory_xact_lock_shared(%1)").arg(lockKey(kLockClass)).toUtf8()) ||
            !link.exec("SELECT us FROM {SUM}_watermark", {}, &watermark)) {
            if (error->isEmpty())
                *error = link.error();
            return false;
        }
        QStringList statements;
        const QString lo = number(chunk.lo);
        const QString hi = number(watermark.rows() == 1 && !watermark.isNull(0, 0)
                                      ? std::max(chunk.lo, std::min(chunk.hi, watermark.int64(0, 0)))
                                      : chunk.lo);
        const QString end = number(chunk.hi);
        for (size_t i = 0; i < levels().size(); ++i)
            statements << QStringLiteral("DELETE FROM %1 WHERE bucket >= %2 AND bucket < %3")
                              .arg(levelTable(int(i)), lo, end);
        statements << QStringLiteral("INSERT INTO %1 (%2) %3")
                          .arg(levelTable(0), columnList(),
                               rawAggregate(
                                   QStringLiteral("SELECT %1 FROM invoice i WHERE i.create_time >= %2 "
                                                  "AND i.create_time < %3")
                                       .arg(rowValues(QStringLiteral("i"), layout, rowIdSql(QStringLiteral("i"), layout)),
                                            timestampSql(lo), timestampSql(hi)),
                                   levels()[0].us, layout));
        for (size_t i = 1; i < levels().size(); ++i)
            statements << QStringLiteral("INSERT INTO %1 (%2) %3")
                              .arg(levelTable(int(i)), columnList(),
                                   childAggregate(
                                       QStringLiteral("SELECT * FROM %1 WHERE bucket >= %2 AND bucket < %3")
                                           .arg(levelTable(int(i) - 1), lo, end),
                                       levels()[i].us, layout));
        statements << QStringLiteral("UPDATE {SUM}_pending SET lo_us = %1 WHERE lo_us = %2").arg(end, lo)
                   << QStringLiteral("DELETE FROM {SUM}_pending WHERE lo_us >= hi_us");
        if (!runAll(link, statements, error))
            return false;
        PgResult r;
        if (!link.exec(
                QStringLiteral("SELECT coalesce(sum(n_rows), 0) FROM %1 WHERE bucket >= %2 AND bucket < %3")
                    .arg(levelTable(int(levels().size()) - 1), lo, end)
                    .toUtf8(),
                {}, &r)) {
            *error = link.error();
            return false;
        }
        *rows = r.int64(0, 0);
        return true;
    });
}

// An index on create_time, made while writers carry on (CONCURRENTLY, so
// no transaction of its own may be open); one a killed build left invalid
// goes first.
bool makeTimeIndex(PgLink &link, QString *error)
{
    const char *const drop = "DROP INDEX CONCURRENTLY IF EXISTS invoice_create_time_idx";
    const char *const make = "CREATE INDEX CONCURRENTLY IF NOT EXISTS invoice_create_time_idx ON invoice (create_time)";
    PgResult r;
    if (!link.exec("SELECT NOT x.indisvalid FROM pg_index x WHERE x.indexrelid = "
                   "to_regclass('invoice_create_time_idx')",
                   {}, &r) ||
        (r.rows() == 1 && r.text(0, 0) == "t" && !link.exec(drop)) || !link.exec(make)) {
        *error = link.error();
        return false;
    }
    return true;
}

// What a build is about to do to the table and how long it keeps writers
// waiting, said before it starts.
QString buildPlan(const Catalog &c, const Status &status)
{
    QStringList out;
    if (!c.hasTimeIndex)
        out << QCoreApplication::translate(
                   "SummarySchema",
                   "给数据表 invoice 建立 create_time 的索引 invoice_create_time_idx（CREATE INDEX "
                   "CONCURRENTLY：不锁写入和读取，只等当时未结束的事务）。");
    if (status.state == State::NotInstalled || status.otherVersion)
        out << QCoreApplication::translate(
                   "SummarySchema",
                   "建立汇总表和函数，给 invoice 及其分区加上汇总触发器：锁住数据表一次，通常不到一秒"
                   "（至多等候 10 秒），其间写入等待，读取照常。invoice 的列、每一行的值和原有的 INSERT、"
                   "SELECT 语句都不变。");
    out << QCoreApplication::translate(
               "SummarySchema",
               "汇总%1：分段进行，每段约一秒，其间写入这一段所在的表或分区的程序等待，读取照常；"
               "可随时中断，下次从中断处继续。")
               .arg(status.state == State::NotInstalled || status.otherVersion
                        ? QCoreApplication::translate("SummarySchema", "约 %1 行读数").arg(c.rowEstimate)
                        : QCoreApplication::translate("SummarySchema", "尚未汇总的读数"));
    return out.join(QLatin1Char('\n'));
}

bool retryable(const QByteArray &state)
{
    // Deadlock, lock timeout, serialization failure.
    return state == "40P01" || state == "55P03" || state == "40001";
}

} // namespace

BuildOutcome build(QSqlDatabase &db, const BuildControl &control, QString *error)
{
    PgLink link(db);
    PgResult r;
    if (!link.exec(kBuildLock, {}, &r)) {
        *error = link.error();
        return BuildOutcome::Failed;
    }
    if (r.text(0, 0) != "t") {
        *error = QCoreApplication::translate("SummarySchema", "另一个程序正在建立汇总表。");
        return BuildOutcome::Failed;
    }
    struct Unlock
    {
        PgLink &link;
        ~Unlock() { link.exec(kBuildUnlock); }
    } unlock{link};

    // Summaries a newer program laid out are not this one's to make anew.
    if (!SchemaVersion::mayWrite(db, error))
        return BuildOutcome::Failed;
    const Status status = probe(db);
    if (status.state == State::Usable)
        return BuildOutcome::Built;
    if (status.state == State::Unavailable || !status.canBuild) {
        *error = status.reason;
        return BuildOutcome::Failed;
    }
    Catalog catalog;
    if (!readCatalog(link, &catalog)) {
        *error = link.error();
        return BuildOutcome::Failed;
    }
    if (control.announce && !control.announce(buildPlan(catalog, status)))
        return BuildOutcome::Cancelled;
    if (!catalog.hasTimeIndex && !makeTimeIndex(link, error))
        return BuildOutcome::Failed;
    QString tag;
    bool found = false;
    // Summaries another version made mean something else: made anew.
    if (status.otherVersion && !uninstall(db, error))
        return BuildOutcome::Failed;
    if (!findTag(link, &tag, &found)) {
        *error = link.error();
        return BuildOutcome::Failed;
    }
    for (int attempt = 0; !found; ++attempt) {
        if (install(db, error) && findTag(link, &tag, &found) && found)
            break;
        if (attempt == 4 || !retryable(link.sqlState()))
            return BuildOutcome::Failed;
    }
    for (int attempt = 0; !repair(link, catalog.layout, error); ++attempt) {
        if (attempt == 4 || !retryable(link.sqlState()))
            return BuildOutcome::Failed;
        error->clear();
    }
    std::vector<Span> pending;
    if (!mergePending(link, &pending, error))
        return BuildOutcome::Failed;

    qint64 total = 0;
    for (const Span &s : pending)
        total += s.hi - s.lo;
    qint64 done = 0;
    qint64 rows = 0;
    // Chunks start at an hour of rows and grow or shrink to about a second
    // of work, so writers to the partition being read wait no longer.
    qint64 step = coarsest();
    constexpr qint64 kTargetMs = 1000;
    for (const Span &range : pending) {
        qint64 lo = range.lo;
        while (lo < range.hi) {
            if (control.cancel && control.cancel->load())
                return BuildOutcome::Cancelled;
            std::vector<Partition> partitions;
            PgResult next;
            if (!readPartitions(link, &partitions) ||
                !link.exec(QStringLiteral(
                               "SELECT %1 FROM invoice WHERE create_time >= %2 ORDER BY create_time LIMIT 1")
                               .arg(timeUsSql(QStringLiteral("create_time")), timestampSql(number(lo)))
                               .toUtf8(),
                           {}, &next)) {
                *error = link.error();
                return BuildOutcome::Failed;
            }
            // A stretch without rows goes in one chunk; one with rows a step at a time.
            const qint64 nextRow = next.rows() ? floorTo(next.int64(0, 0), coarsest()) : kNoBound;
            qint64 hi = nextRow > lo ? nextRow : lo + step;
            hi = std::min(hi, range.hi);
            // Within one partition's bounds, so one lock serves.
            for (const Partition &p : partitions) {
                if (p.isDefault)
                    continue;
                for (const qint64 bound : {p.lo, p.hi}) {
                    const qint64 b = isFinite(bound) ? ceilTo(bound, coarsest()) : lo;
                    if (b > lo && b < hi)
                        hi = b;
                }
            }
            QStringList locks;
            bool covered = false;
            const Partition *defaultPartition = nullptr;
            for (const Partition &p : partitions) {
                if (p.isDefault) {
                    defaultPartition = &p;
                    continue;
                }
                if (p.lo < hi && p.hi > lo) {
                    locks << p.name;
                    covered = covered || (p.lo <= lo && p.hi >= hi);
                }
            }
            if (defaultPartition && !covered)
                locks << defaultPartition->name;
            if (partitions.empty() || locks.isEmpty())
                locks = QStringList{QStringLiteral("invoice")};

            QElapsedTimer clock;
            clock.start();
            qint64 chunkRows = 0;
            for (int attempt = 0; !buildChunk(link, catalog.layout, {lo, hi}, locks, &chunkRows, error);
                 ++attempt) {
                if (attempt == 4 || !retryable(link.sqlState()))
                    return BuildOutcome::Failed;
                error->clear();
            }
            const qint64 ms = std::max<qint64>(1, clock.elapsed());
            if (chunkRows > 0 && hi - lo == step)
                step = std::max(
                    coarsest(),
                    floorTo(qint64(double(step) * std::clamp(double(kTargetMs) / double(ms), 0.25, 4.0)),
                            coarsest()));
            done += hi - lo;
            rows += chunkRows;
            lo = hi;
            if (control.progress)
                control.progress(total > 0 ? double(done) / double(total) : 1.0, rows);
        }
    }
    // The rows written since the build began, and those before a build
    // resumed after an interruption, up to the newest.
    for (int attempt = 0; !rollUp(db, 0, error); ++attempt) {
        if (attempt == 4 || !retryable(link.sqlState()))
            return BuildOutcome::Failed;
        error->clear();
    }
    QStringList analyze;
    for (size_t i = 0; i < levels().size(); ++i)
        analyze << QStringLiteral("ANALYZE %1").arg(levelTable(int(i)));
    runAll(link, analyze, error);
    const Status after = probe(db);
    if (after.state != State::Usable) {
        // Partitions changed while the build ran: the next build repairs that.
        *error = after.reason;
        return BuildOutcome::Failed;
    }
    return BuildOutcome::Built;
}

} // namespace SummarySchema
