// tk52k-bench history: opens the history window off screen on a range and
// reports how long it takes to show the curve of the whole range, a zoom into
// it, a deep row of the table and the range's statistics, with the peak
// memory; beside it, psql's time for the plain aggregate over the rows that
// the curve stands for (the minimum and maximum of each of 1000 columns).
//
//   --from T --to T          a range of the configured database (TK52K_DB_*)
//   --rows N [--sources S]   a table of N readings of S meters the benchmark
//                            makes (once) in a database of its own, with the
//                            program's layout and summaries; the whole of it;
//                            then the same rows copied into five columns with
//                            an index on create_time (made once; no
//                            summaries): one JSON line each, with the ratios
//                            to psql's aggregate
//   --program-only           with --rows: the program's table alone
//   --no-psql                leave psql's aggregate out (its figures -1): a
//                            quicker run to compare two builds of the program
#include "benchcommands.h"
#include "benchutil.h"

#include "core/store/database.h"
#include "core/store/dbsettings.h"
#include "core/store/historyreads.h"
#include "core/store/recordschema.h"
#include "models/historytablemodel.h"
#include "widgets/history/hisviewform.h"
#include "widgets/panel/statsbox.h"
#include "widgets/plot/historycurve.h"
#include "widgets/resources/resources.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTimer>
#include <QVariant>

#include <qwt_plot.h>

#include <cstdio>

namespace {

// Runs the event loop until `done`, looking every few milliseconds. It
// sleeps in between, as a window's loop does: spinning would take a core of
// this 2-core machine from the server whose reads are timed.
bool waitFor(const std::function<bool()> &done, int timeoutMs = 600000)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start(2);
    while (!done()) {
        if (clock.hasExpired(timeoutMs))
            return false;
        loop.exec();
    }
    return true;
}

// Milliseconds psql takes to run `sql`; -1 when it fails.
qint64 psqlMs(const DbSettings &settings, const QString &sql)
{
    QProcess psql;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PGPASSWORD"), settings.password);
    psql.setProcessEnvironment(env);
    psql.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    psql.start(QStringLiteral("psql"),
               {"-X", "-q", "-At", "-h", settings.host, "-p", QString::number(settings.port), "-U",
                settings.userName, "-d", settings.databaseName, "-o", "/dev/null", "-c", sql});
    if (!psql.waitForFinished(-1) || psql.exitStatus() != QProcess::NormalExit || psql.exitCode() != 0)
        return -1;
    return clock.elapsed();
}

// The database of --rows N --sources S, made and filled once.
bool makeTable(DbSettings *settings, qint64 rows, int sources, QString *error)
{
    const QString name = QStringLiteral("tk52k_bench_history_%1_%2").arg(rows).arg(sources);
    DbSettings admin = *settings;
    admin.databaseName = QStringLiteral("postgres");
    bool made = false;
    {
        QSqlDatabase db = admin.addConnection(QStringLiteral("bench-admin"));
        if (!db.open()) {
            *error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT 1 FROM pg_database WHERE datname = ?"));
            q.addBindValue(name);
            made = q.exec() && q.next();
            if (!made && !q.exec(QStringLiteral("CREATE DATABASE %1").arg(name)))
                *error = q.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-admin"));
    if (!error->isEmpty())
        return false;
    settings->databaseName = name;
    if (made)
        return true;
    const QString script = QDir(qEnvironmentVariable("TK52K_SOURCE_DIR", QStringLiteral(TK52K_SOURCE_DIR)))
                               .filePath(QStringLiteral("bench/history-table/make-history-table.sh"));
    std::fprintf(stderr, "tk52k-bench history: making %lld readings of %d meters (%s)\n",
                 static_cast<long long>(rows), sources, qPrintable(name));
    QProcess make;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TK52K_DB_NAME"), name);
    make.setProcessEnvironment(env);
    make.setProcessChannelMode(QProcess::ForwardedChannels);
    make.start(QStringLiteral("sh"),
               {script, QString::number(rows), QStringLiteral("2025-11-01"), QString::number(sources)});
    if (!make.waitForFinished(-1) || make.exitCode() != 0) {
        *error = QStringLiteral("%1 failed").arg(script);
        return false;
    }
    database store(*settings, QString());
    store.openForReading();
    auto build = std::make_shared<HistoryReads::BuildSummariesRead>();
    store.readNow(build);
    if (!build->built) {
        *error = QStringLiteral("the summaries were not built: %1").arg(build->error());
        return false;
    }
    return true;
}

// The rows of `from`'s table copied once into a database of five columns
// (funcstr, datavaluestr, unitstr, frastr, create_time) with an index on
// create_time, named `to`.
bool copyToFiveColumns(const DbSettings &from, DbSettings *to, QString *error)
{
    to->databaseName = from.databaseName + QStringLiteral("_five");
    DbSettings admin = from;
    admin.databaseName = QStringLiteral("postgres");
    bool made = false;
    {
        QSqlDatabase db = admin.addConnection(QStringLiteral("bench-admin"));
        QSqlQuery q(db);
        if (!db.open() ||
            !q.exec(QStringLiteral("SELECT 1 FROM pg_database WHERE datname = '%1'").arg(to->databaseName))) {
            *error = db.lastError().text();
        } else {
            made = q.next();
            if (!made && !q.exec(QStringLiteral("CREATE DATABASE %1").arg(to->databaseName)))
                *error = q.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-admin"));
    if (!error->isEmpty() || made)
        return error->isEmpty();
    const QString psql = QStringLiteral("psql -X -q -v ON_ERROR_STOP=1 -h '%1' -p %2 -U '%3' -d ")
                             .arg(from.host)
                             .arg(from.port)
                             .arg(from.userName);
    const QString script =
        psql + to->databaseName +
        " -c 'CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, frastr text, create_time "
        "timestamp(3))' && " +
        psql + from.databaseName +
        " -c '\\copy (SELECT funcstr, datavaluestr, unitstr, frastr, create_time FROM invoice) TO STDOUT' "
        "| " +
        psql + to->databaseName + " -c '\\copy invoice FROM STDIN' && " + psql + to->databaseName +
        " -c 'CREATE INDEX ON invoice (create_time)' -c 'VACUUM ANALYZE invoice'";
    QProcess sh;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PGPASSWORD"), from.password);
    sh.setProcessEnvironment(env);
    sh.setProcessChannelMode(QProcess::ForwardedChannels);
    sh.start(QStringLiteral("sh"), {QStringLiteral("-c"), script});
    if (!sh.waitForFinished(-1) || sh.exitCode() != 0) {
        *error = QStringLiteral("the five-column copy failed");
        return false;
    }
    return true;
}

// The first and last reading of the table.
bool tableSpan(const DbSettings &settings, QDateTime *from, QDateTime *to)
{
    bool ok = false;
    {
        QSqlDatabase db = settings.addConnection(QStringLiteral("bench-span"));
        QSqlQuery q(db);
        ok = db.open() &&
             q.exec(QStringLiteral("SELECT min(create_time)::text, max(create_time)::text FROM invoice")) &&
             q.next();
        if (ok) {
            *from = QDateTime::fromString(q.value(0).toString().left(19),
                                          QLatin1String(RecordSchema::kTimeFormat));
            *to = QDateTime::fromString(q.value(1).toString().left(19),
                                        QLatin1String(RecordSchema::kTimeFormat));
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-span"));
    return ok && from->isValid() && to->isValid();
}

} // namespace

int runHistoryBench(const QStringList &arguments)
{
    initTk52kResources();
    installFontSubstitutions();
    QCommandLineParser parser;
    const QCommandLineOption fromOption(QStringLiteral("from"), QStringLiteral("range start"),
                                        QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QCommandLineOption toOption(QStringLiteral("to"), QStringLiteral("range stop"),
                                      QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QCommandLineOption rowsOption(QStringLiteral("rows"),
                                        QStringLiteral("readings of a table made here"), QStringLiteral("N"));
    const QCommandLineOption sourcesOption(QStringLiteral("sources"), QStringLiteral("meters of that table"),
                                           QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption programOption(QStringLiteral("program-only"),
                                           QStringLiteral("not the five-column copy of the rows"));
    // Measured by default now; still taken.
    const QCommandLineOption fiveOption(QStringLiteral("five-columns"),
                                        QStringLiteral("the five-column copy too"));
    const QCommandLineOption noPsqlOption(QStringLiteral("no-psql"), QStringLiteral("psql's aggregate not run"));
    parser.addOptions({fromOption, toOption, rowsOption, sourcesOption, programOption, fiveOption, noPsqlOption});
    if (!parser.parse(QStringList{QStringLiteral("history")} + arguments)) {
        std::fprintf(stderr, "tk52k-bench history: %s\n", qPrintable(parser.errorText()));
        return 2;
    }

    DbSettings settings = DbSettings::fromEnvironment();
    QDateTime from, to;
    if (parser.isSet(rowsOption)) {
        QString error;
        if (!makeTable(&settings, parser.value(rowsOption).toLongLong(), parser.value(sourcesOption).toInt(),
                       &error) ||
            !tableSpan(settings, &from, &to)) {
            std::fprintf(stderr, "tk52k-bench history: %s\n", qPrintable(error));
            return 1;
        }
    } else {
        const QString format = QLatin1String(RecordSchema::kTimeFormat);
        from = QDateTime::fromString(parser.value(fromOption), format);
        to = QDateTime::fromString(parser.value(toOption), format);
    }
    if (!from.isValid() || !to.isValid()) {
        std::fputs("tk52k-bench history: give --from and --to as \"yyyy-MM-dd HH:mm:ss\", or --rows N\n",
                   stderr);
        return 2;
    }

    const auto measure = [&](const DbSettings &db, const QString &layout) -> bool {
        // The aggregate the curve of 1000 columns stands for, as psql runs
        // it over the rows, warmed once; the same for the zoom's tenth.
        const auto aggregate = [](const RangeQueries::Range &range) {
            return QStringLiteral(
                       "SELECT width_bucket(extract(epoch FROM create_time), %1, %2, 1000) k, count(*), "
                       "min(datavaluestr), max(datavaluestr) FROM invoice WHERE create_time >= "
                       "timestamp '1970-01-01' + %3 * interval '1 millisecond' AND create_time < "
                       "timestamp '1970-01-01' + %4 * interval '1 millisecond' GROUP BY k")
                .arg(range.fromMs / 1000.0, 0, 'f', 3)
                .arg(range.toMs / 1000.0, 0, 'f', 3)
                .arg(range.fromMs)
                .arg(range.toMs);
        };
        const RangeQueries::Range range = HistoryReads::rangeOf(from, to);
        const bool withPsql = !parser.isSet(noPsqlOption);
        if (withPsql)
            psqlMs(db, aggregate(range));
        const qint64 psql = withPsql ? psqlMs(db, aggregate(range)) : -1;

        HisViewForm view;
        view.resize(1500, 800);
        view.show();
        QApplication::processEvents();
        QElapsedTimer clock;
        clock.start();
        view.loadRange(db, from, to);
        // A range without readings draws no curve and has no row to scroll
        // to: there is nothing to time.
        if (!waitFor([&] { return !view.isLoading(); }))
            return false;
        if (view.historyModel()->totalRows() == 0) {
            std::fputs("tk52k-bench history: the range holds no readings\n", stderr);
            return false;
        }
        // The whole range's curve drawn.
        if (!waitFor(
                [&] { return !view.isLoading() && !view.isCurveLoading() && view.curve()->dataSize() > 0; }))
            return false;
        view.repaint();
        const qint64 firstCurveMs = clock.elapsed();

        // The figures of the range.
        const qint64 statsMs = [&] {
            if (!waitFor([&] {
                    return view.statsBox()->figureText(QStringLiteral("count")) != QStringLiteral("—");
                }))
                return qint64(-1);
            return clock.elapsed();
        }();

        // A zoom onto a tenth of the range, around its middle.
        const QwtScaleDiv x = view.plot()->axisScaleDiv(QwtPlot::xBottom);
        const double middle = (x.lowerBound() + x.upperBound()) / 2, tenth = x.range() / 20;
        // The axis counts seconds from the range's first reading.
        const qint64 zoomFrom = HistoryCurve::msOf(middle - tenth, view.originMs());
        const qint64 zoomTo = HistoryCurve::msOf(middle + tenth, view.originMs());
        const qint64 psqlZoom = withPsql ? psqlMs(db, aggregate({zoomFrom, zoomTo})) : -1;
        clock.restart();
        view.plot()->setAxisScale(QwtPlot::xBottom, middle - tenth, middle + tenth);
        view.plot()->replot();
        waitFor([&] { return !view.isCurveLoading(); });
        view.repaint();
        const qint64 zoomMs = clock.elapsed();

        // The table scrolled to a row deep in the range, shown.
        const int deep = view.historyModel()->rowCount() * 7 / 10;
        clock.restart();
        view.showRow(deep);
        waitFor([&] {
            view.tableView()->viewport()->repaint();
            return !view.historyModel()->data(view.historyModel()->index(deep, 0)).toString().isEmpty();
        });
        const qint64 scrollMs = clock.elapsed();

        const auto ratio = [](qint64 ms, qint64 psqlMs) { return psqlMs > 0 ? double(ms) / psqlMs : -1.0; };
        printJsonLine(
            QStringLiteral("{\"bench\":\"history\",\"table\":\"%1\",\"rows\":%2,\"first_curve_ms\":%3,"
                           "\"zoom_ms\":%4,\"scroll_ms\":%5,\"stats_ms\":%6,\"peak_rss_mb\":%7,"
                           "\"psql_ms\":%8,\"psql_zoom_ms\":%9,\"first_curve_x_psql\":%10,"
                           "\"zoom_x_psql\":%11}")
                .arg(layout)
                .arg(view.historyModel()->totalRows())
                .arg(firstCurveMs)
                .arg(zoomMs)
                .arg(scrollMs)
                .arg(statsMs)
                .arg(peakRssMb(), 0, 'f', 1)
                .arg(psql)
                .arg(psqlZoom)
                .arg(ratio(firstCurveMs, psql), 0, 'f', 2)
                .arg(ratio(zoomMs, psqlZoom), 0, 'f', 2));
        return true;
    };

    if (!measure(settings, parser.isSet(rowsOption) ? QStringLiteral("program") : settings.databaseName))
        return 1;
    if (parser.isSet(rowsOption) && !parser.isSet(programOption)) {
        // The same rows in five columns with an index on create_time, as a
        // table of an older logger looks.
        DbSettings five = settings;
        QString error;
        if (!copyToFiveColumns(settings, &five, &error)) {
            std::fprintf(stderr, "tk52k-bench history: %s\n", qPrintable(error));
            return 1;
        }
        if (!measure(five, QStringLiteral("five columns")))
            return 1;
    }
    return 0;
}
