// bench_summaries [--rows-too] [--no-psql]: times the range reads on the
// table of the configured database (TK52K_DB_*), typically one made by
// bench/history-table/make-history-table.sh with its summaries built:
//   - the first curve of the whole range at 1000 columns (every meter, and
//     the first meter alone),
//   - a zoom to one hour and to ten minutes of the middle, 1000 columns,
//   - the page of 100 rows at a deep row (70 % in): keyAt() then page(),
//   - the statistics of the whole range, the row count,
// each from the summaries, with --rows-too also from the rows (slow on a big
// table), and beside each psql's time for the plain query over every row
// (GROUP BY a time bucket, OFFSET, the aggregates). Prints one JSON line per
// read, then the sizes of the table and of the summaries.
#include "core/store/dbsettings.h"
#include "core/store/rangequeries.h"
#include "core/store/summaryschema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace RangeQueries;

namespace {

DbSettings g_settings;

// psql's own time (\timing) for `sql`, -1 when it failed.
double psqlMs(const QString &sql)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PGPASSWORD"), g_settings.password);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("psql"),
            {"-X", "-q", "-h", g_settings.host, "-p", QString::number(g_settings.port), "-U",
             g_settings.userName, "-d", g_settings.databaseName, "-o", "/dev/null", "-c", "\\timing on", "-c",
             sql});
    if (!p.waitForFinished(-1) || p.exitCode() != 0)
        return -1;
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("Time: ([0-9.]+) ms"))
                                          .match(QString::fromUtf8(p.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

QString literal(qint64 ms)
{
    return QStringLiteral("(timestamp '1970-01-01' + %1 * interval '1 millisecond')").arg(ms);
}

QString plainRange(const Range &r)
{
    return QStringLiteral("create_time >= %1 AND create_time < %2").arg(literal(r.fromMs), literal(r.toMs));
}

// The plain query a curve would take over every row: per meter and column
// the count, lowest and highest value.
QString plainCurve(const Range &r, int columns)
{
    const double width = double(r.toMs - r.fromMs) / columns / 1000.0;
    return QStringLiteral("SELECT source, floor((extract(epoch FROM create_time) - %1) / %2), count(*), "
                          "min(datavaluestr::float8), max(datavaluestr::float8) FROM invoice WHERE %3 AND "
                          "datavaluestr ~ '^-?[0-9.]+$' GROUP BY 1, 2")
        .arg(r.fromMs / 1000.0, 0, 'f', 3)
        .arg(width, 0, 'f', 6)
        .arg(plainRange(r));
}

QString plainStatistics(const Range &r)
{
    return QStringLiteral(
               "SELECT count(v), avg(v), stddev_samp(v), min(v), max(v) FROM (SELECT "
               "datavaluestr::float8 AS v FROM invoice WHERE %1 AND datavaluestr ~ '^-?[0-9.]+$') x")
        .arg(plainRange(r));
}

QVector<qint64> boundaries(const Range &r, int columns)
{
    QVector<qint64> b;
    for (int k = 0; k <= columns; ++k)
        b << r.fromMs + qint64(double(r.toMs - r.fromMs) * k / columns);
    return b;
}

struct Timing
{
    double firstMs = -1;
    double bestMs = -1;
    bool ok = false;
};

Timing timed(const std::function<bool()> &read)
{
    Timing t;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        t.ok = read();
        const double ms = clock.nsecsElapsed() / 1e6;
        if (!t.ok)
            return t;
        if (i == 0)
            t.firstMs = ms;
        t.bestMs = t.bestMs < 0 ? ms : std::min(t.bestMs, ms);
    }
    return t;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool rowsToo = args.contains(QStringLiteral("--rows-too"));
    const bool withPsql = !args.contains(QStringLiteral("--no-psql"));
    g_settings = DbSettings::fromEnvironment();
    QSqlDatabase db = g_settings.addConnection(QStringLiteral("bench"));
    if (!db.open()) {
        std::fprintf(stderr, "bench_summaries: %s\n", qPrintable(db.lastError().text()));
        return 1;
    }
    Table table;
    QString error;
    if (!inspect(db, &table, &error) || !table.exists) {
        std::fprintf(stderr, "bench_summaries: no table invoice: %s\n", qPrintable(error));
        return 1;
    }
    if (!table.summaries)
        std::fprintf(stderr, "bench_summaries: no summaries (%s); reads come from the rows\n",
                     qPrintable(table.summaryReason));
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral(
            "SELECT (extract(epoch FROM min(create_time)) * 1000)::bigint, "
            "(extract(epoch FROM max(create_time)) * 1000)::bigint + 1, "
            "(SELECT min(source) FROM invoice WHERE create_time = (SELECT min(create_time) FROM "
            "invoice)) FROM invoice")) ||
        !q.next() || q.value(0).isNull()) {
        std::fprintf(stderr, "bench_summaries: the table has no rows\n");
        return 1;
    }
    const Range all{q.value(0).toLongLong(), q.value(1).toLongLong()};
    const QString firstSource = q.value(2).toString();
    const qint64 middle = all.fromMs + (all.toMs - all.fromMs) / 2;
    const Range hour{middle, middle + 3600000};
    const Range tenMinutes{middle + 600000, middle + 1200000};
    qint64 rows = 0;
    rowCount(db, table, all, QString(), &rows, &error);
    const Quantity quantity{QStringLiteral("DCV"), {{QStringLiteral("V"), 1.0}}};

    struct Read
    {
        const char *name;
        std::function<bool(const Table &)> run;
        QString plain;
    };
    const auto curve = [&](const Range &r, const QString &source) {
        return [&db, r, source, &quantity, &error](const Table &t) {
            ColumnsRequest request;
            request.boundaries = boundaries(r, 1000);
            request.source = source;
            request.quantity = quantity;
            Columns out;
            return RangeQueries::columns(db, t, request, &out, &error) && !out.curves.isEmpty();
        };
    };
    const qint64 deep = rows * 7 / 10;
    const QVector<Read> reads = {
        {"first_curve", curve(all, QString()), plainCurve(all, 1000)},
        {"first_curve_one_meter", curve(all, firstSource),
         plainCurve(all, 1000).replace(QStringLiteral("WHERE "),
                                       QStringLiteral("WHERE source = '%1' AND ").arg(firstSource))},
        {"zoom_hour", curve(hour, QString()), plainCurve(hour, 1000)},
        {"zoom_10_min", curve(tenMinutes, QString()), plainCurve(tenMinutes, 1000)},
        {"deep_page",
         [&](const Table &t) {
             RowKey key;
             QVector<Row> page;
             return keyAt(db, t, all, QString(), deep, &key, &error) &&
                    RangeQueries::page(db, t, {all, QString(), PageRequest::AtOrAfter, key, 100}, &page,
                                       &error) &&
                    page.size() == 100;
         },
         QStringLiteral("SELECT * FROM invoice WHERE %1 ORDER BY create_time, id OFFSET %2 LIMIT 100")
             .arg(plainRange(all))
             .arg(deep)},
        {"statistics",
         [&](const Table &t) {
             Statistics s;
             return RangeQueries::statistics(db, t, all, QString(), quantity, &s, &error) && s.count > 0;
         },
         plainStatistics(all)},
        {"row_count",
         [&](const Table &t) {
             qint64 n = 0;
             return rowCount(db, t, all, QString(), &n, &error) && n == rows;
         },
         QStringLiteral("SELECT count(*) FROM invoice WHERE %1").arg(plainRange(all))},
    };
    Table rowsOnly = table;
    rowsOnly.summaries = false;
    for (const Read &read : reads) {
        const Timing s = timed([&] { return read.run(table); });
        if (!s.ok)
            std::fprintf(stderr, "bench_summaries: %s failed: %s\n", read.name, qPrintable(error));
        const Timing r = rowsToo ? timed([&] { return read.run(rowsOnly); }) : Timing();
        const double plain = withPsql ? psqlMs(read.plain) : -1;
        std::printf(
            "{\"bench\":\"summaries\",\"rows\":%lld,\"read\":\"%s\",\"first_ms\":%.1f,\"best_ms\":%.1f,"
            "\"rows_first_ms\":%.1f,\"psql_ms\":%.1f}\n",
            static_cast<long long>(rows), read.name, s.firstMs, s.bestMs, r.firstMs, plain);
        std::fflush(stdout);
    }

    QStringList levels;
    for (size_t i = 0; i < SummarySchema::levels().size(); ++i)
        levels << QStringLiteral("'%1'").arg(SummarySchema::levelTable(SummarySchema::probe(db).tag, int(i)));
    if (q.exec(QStringLiteral(
                   "SELECT (SELECT sum(pg_total_relation_size(inhrelid)) FROM pg_inherits WHERE inhparent = "
                   "'invoice'::regclass) + pg_total_relation_size('invoice'), "
                   "(SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c WHERE relname IN (%1))")
                   .arg(levels.join(QLatin1Char(',')))) &&
        q.next())
        std::printf("{\"bench\":\"summaries\",\"rows\":%lld,\"table_mb\":%.1f,\"summaries_mb\":%.1f}\n",
                    static_cast<long long>(rows), q.value(0).toDouble() / 1048576.0,
                    q.value(1).toDouble() / 1048576.0);
    return 0;
}
