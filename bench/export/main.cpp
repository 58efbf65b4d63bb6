// bench_export [rows]: fills a scratch database with `rows` readings (default
// 1 000 000), then times, for the same rows:
//   - psql's \copy of the range to a file (the yardstick for the text export)
//     and tk52k-export --format txt, after one untimed run of each to warm
//     the server's cache, then alternately three times each,
//   - tk52k-export --format txt, xlsx and csv, start to finish,
//   - the text, workbook and CSV writers alone on the loaded table.
// A second argument names another build's tk52k-export, timed in turn with
// the other two as "baseline" (before and after figures under one load).
// Prints the figures and drops the database. The server is the configured
// one (TK52K_DB_*); the database name is the bench's own.
#include "export/readingcsvwriter.h"
#include "export/tabletextwriter.h"
#include "export/tableworkbookwriter.h"
#include "core/store/database.h"
#include "core/store/historyreads.h"
#include "models/historytablemodel.h"
#include "core/store/dbsettings.h"
#include "core/store/recordschema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

namespace {

const char *const From = "2024-01-01 00:00:00";

bool exec(QSqlDatabase db, const QString &sql)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    std::fprintf(stderr, "bench_export: %s\n", qPrintable(q.lastError().text()));
    return false;
}

double seconds(const QElapsedTimer &t)
{
    return t.nsecsElapsed() / 1e9;
}

double childCpu()
{
    rusage u = {};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ownCpu()
{
    rusage u = {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of the last timed() program (the server's share not included).
double g_cpu = 0;

// Runs a program and returns its wall time in seconds, or -1 on failure.
double timed(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    const double cpu0 = childCpu();
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return -1;
    const double wall = seconds(t);
    g_cpu = childCpu() - cpu0;
    return wall;
}

// The middle of three or more runs; -1 when any of them failed.
double median(std::vector<double> runs)
{
    std::sort(runs.begin(), runs.end());
    return runs.front() < 0 ? -1 : runs[runs.size() / 2];
}

// Wall time, the CPU time of the client side, and the size of the file made.
void report(const char *what, double s, double cpu, const QString &file)
{
    std::printf("%-34s %7.3f s wall %7.3f s cpu %8.1f MiB\n", what, s, cpu,
                QFileInfo(file).size() / 1048576.0);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000000;
    const QString to =
        QDateTime::fromString(From, "yyyy-MM-dd HH:mm:ss").addSecs(rows - 1).toString("yyyy-MM-dd HH:mm:ss");

    DbSettings settings = DbSettings::fromEnvironment();
    DbSettings admin = settings;
    admin.databaseName = QStringLiteral("postgres");
    settings.databaseName = QStringLiteral("tk52k_bench_export_%1").arg(app.applicationPid());
    {
        QSqlDatabase a = admin.addConnection(QStringLiteral("admin"));
        if (!a.open() || !exec(a, "CREATE DATABASE " + settings.databaseName)) {
            std::fprintf(stderr, "bench_export: no server: %s\n", qPrintable(a.lastError().text()));
            return 1;
        }
    }

    int status = 0;
    {
        QSqlDatabase db = settings.addConnection(QStringLiteral("bench"));
        QElapsedTimer fill;
        fill.start();
        // The table with its partitions but without the last statement, its
        // index, which is built after the rows: one sort instead of a million
        // index inserts.
        QStringList create = RecordSchema::createStatements();
        const QString index = create.takeLast();
        bool ready = db.open();
        for (const QString &statement : qAsConst(create))
            ready = ready && exec(db, statement);
        ready = ready &&
                exec(db, RecordSchema::insertInto() +
                             QStringLiteral("SELECT '直流电压', to_char(random() * 20, "
                                            "'FM990.000'), 'V', '2', timestamp '%1' + i * interval '1 "
                                            "second' FROM generate_series(0, %2) AS i")
                                 .arg(From)
                                 .arg(rows - 1)) &&
                exec(db, index) && exec(db, "ANALYZE invoice");
        db.close();
        if (!ready) {
            status = 1;
        } else {
            std::printf("%d rows in %s (filled in %.1f s)\n", rows, qPrintable(settings.databaseName),
                        seconds(fill));
            QTemporaryDir dir;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("PGPASSWORD", settings.password);
            env.insert("TK52K_DB_NAME", settings.databaseName);
            env.insert("TK52K_DB_HOST", settings.host);
            env.insert("TK52K_DB_PORT", QString::number(settings.port));

            const QString copyFile = dir.filePath("copy.txt");
            const QString copy =
                QStringLiteral("\\copy (SELECT to_char(create_time, 'YYYY-MM-DD HH24:MI:SS'), "
                               "datavaluestr, unitstr, funcstr FROM invoice WHERE create_time "
                               "BETWEEN '%1' AND '%2' ORDER BY create_time) TO '%3'")
                    .arg(From, to, copyFile);
            const QStringList psqlArgs{"-X", "-q",
                                       "-h", settings.host,
                                       "-p", QString::number(settings.port),
                                       "-U", settings.userName,
                                       "-d", settings.databaseName,
                                       "-c", copy};
            const QString tool = QCoreApplication::applicationDirPath() + "/tk52k-export";
            const QString txt = dir.filePath("export.txt");
            const QStringList txtArgs{"--from", From, "--to", to, "--format", "txt", "--output", txt};
            timed("psql", psqlArgs, env);
            timed(tool, txtArgs, env);
            const QString baseline = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
            std::vector<double> psqlRuns, txtRuns, baselineRuns;
            for (int i = 0; i < 3; ++i) {
                psqlRuns.push_back(timed("psql", psqlArgs, env));
                report("psql \\copy to a file", psqlRuns.back(), g_cpu, copyFile);
                txtRuns.push_back(timed(tool, txtArgs, env));
                report("tk52k-export --format txt", txtRuns.back(), g_cpu, txt);
                if (!baseline.isEmpty()) {
                    const QString other = dir.filePath("baseline.txt");
                    baselineRuns.push_back(timed(
                        baseline, {"--from", From, "--to", to, "--format", "txt", "--output", other}, env));
                    report("baseline tk52k-export --format txt", baselineRuns.back(), g_cpu, other);
                }
            }
            const double psql = median(psqlRuns);
            const double toolTxt = median(txtRuns);
            if (!baselineRuns.empty()) {
                std::printf("baseline text export / psql \\copy: %.2f (median %.3f s)\n",
                            median(baselineRuns) / psql, median(baselineRuns));
                QFile mine(txt), theirs(dir.filePath("baseline.txt"));
                const bool same = mine.open(QIODevice::ReadOnly) && theirs.open(QIODevice::ReadOnly) &&
                                  mine.readAll() == theirs.readAll();
                std::printf("the same bytes as the baseline's file: %s\n", same ? "yes" : "NO");
            }
            const QString xlsx = dir.filePath("export.xlsx");
            const double toolXlsx =
                timed(tool, {"--from", From, "--to", to, "--format", "xlsx", "--output", xlsx}, env);
            report("tk52k-export --format xlsx", toolXlsx, g_cpu, xlsx);
            const QString csv = dir.filePath("export.csv");
            const double toolCsv =
                timed(tool, {"--from", From, "--to", to, "--format", "csv", "--output", csv}, env);
            report("tk52k-export --format csv", toolCsv, g_cpu, csv);

            QElapsedTimer t;
            t.start();
            double cpu = ownCpu();
            const QDateTime fromTime = QDateTime::fromString(From, "yyyy-MM-dd HH:mm:ss");
            const QDateTime toTime = QDateTime::fromString(to, "yyyy-MM-dd HH:mm:ss");
            database store(settings, QString());
            store.openForReading();
            auto overview = std::make_shared<HistoryReads::OverviewRead>(fromTime, toTime, QString());
            store.readNow(overview);
            report("opening the range (in process)", seconds(t), ownCpu() - cpu, QString());
            // The rows come from the server a block at a time as each writer reads them.
            HistoryTableModel model;
            model.setRange(&store, overview->table, HistoryReads::rangeOf(fromTime, toTime), QString(), overview->rows,
                           false);
            model.setBlocking(true, 8192);
            t.restart();
            cpu = ownCpu();
            const bool txtOk = writeTableText(model, txt) == TextWriteResult::Written;
            report("text writer alone", seconds(t), ownCpu() - cpu, txt);
            t.restart();
            cpu = ownCpu();
            const bool xlsxOk =
                writeTableWorkbook(model, QStringLiteral("数据记录"), {100, 100, 100, 100}, xlsx);
            report("workbook writer alone", seconds(t), ownCpu() - cpu, xlsx);
            t.restart();
            cpu = ownCpu();
            const bool csvOk = writeReadingsCsv(model, csv) == TextWriteResult::Written;
            report("CSV writer alone", seconds(t), ownCpu() - cpu, csv);

            if (psql > 0 && toolTxt > 0)
                std::printf("text export / psql \\copy: %.2f (medians %.3f s / %.3f s)\n", toolTxt / psql,
                            toolTxt, psql);
            if (psql < 0 || toolTxt < 0 || toolXlsx < 0 || toolCsv < 0 || !txtOk || !xlsxOk || !csvOk ||
                overview->rows != rows)
                status = 1;
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    {
        QSqlDatabase a = QSqlDatabase::database(QStringLiteral("admin"));
        exec(a, "DROP DATABASE IF EXISTS " + settings.databaseName + " WITH (FORCE)");
        a.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("admin"));
    return status;
}
