// bench_export [rows [baseline]]: fills two scratch databases with `rows`
// readings (default 1 000 000) each, one in the program's table and one in a
// five-column table (funcstr, datavaluestr, unitstr, frastr, create_time
// with an index on create_time), then times, for the same rows of each:
//   - psql's \copy of the range to a file (the yardstick of the text and
//     CSV exports) and tk52k-export --format txt and csv, after one untimed
//     run of each to warm the server's cache, then in turn three times each,
//     with the ratio of the medians to psql's,
//   - tk52k-export --format xlsx once (the baseline's too, when named),
// each with the tool's peak resident memory. A second argument names another
// build's tk52k-export, timed in turn with the others as "baseline" (before
// and after figures under one load). Prints the figures and drops the
// databases. The server is the configured one (TK52K_DB_*); the database
// names are the bench's own.
#include "core/store/dbsettings.h"
#include "core/store/recordschema.h"

#include <QCoreApplication>
#include <QDateTime>
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

// CPU seconds of the last timed() program (the server's share not included).
double g_cpu = 0;

// Runs a program and returns its wall time in seconds, or -1 on failure.
// Peak resident memory (MiB) of the last timed() program.
double g_peak = 0;

// Runs a program and returns its wall time in seconds, or -1 on failure.
// GNU time, where there is one, tells the program's peak memory.
double timed(const QString &program, const QStringList &args, const QProcessEnvironment &env)
{
    const double cpu0 = childCpu();
    QTemporaryDir dir;
    const QString peakFile = dir.filePath("peak");
    const bool gnuTime = QFileInfo(QStringLiteral("/usr/bin/time")).isExecutable();
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer t;
    t.start();
    if (gnuTime)
        p.start(QStringLiteral("/usr/bin/time"), QStringList{"-f", "%M", "-o", peakFile, program} + args);
    else
        p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return -1;
    const double wall = seconds(t);
    g_cpu = childCpu() - cpu0;
    QFile peak(peakFile);
    g_peak = peak.open(QIODevice::ReadOnly) ? peak.readAll().trimmed().toDouble() / 1024.0 : 0;
    return wall;
}

// The middle of three or more runs; -1 when any of them failed.
double median(std::vector<double> runs)
{
    std::sort(runs.begin(), runs.end());
    return runs.front() < 0 ? -1 : runs[runs.size() / 2];
}

// Wall time, the CPU time of the client side, and the size of the file made.
void report(const QString &what, double s, double cpu, const QString &file)
{
    std::printf("%-46s %7.3f s wall %7.3f s cpu %8.1f MiB file %6.1f MiB peak\n", qPrintable(what), s, cpu,
                QFileInfo(file).size() / 1048576.0, g_peak);
}

// The rows, in the program's table or in five columns.
bool fill(const DbSettings &settings, int rows, bool fiveColumns)
{
    QSqlDatabase db = settings.addConnection(QStringLiteral("bench"));
    bool ready = db.open();
    if (fiveColumns) {
        ready = ready &&
                exec(db, "CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, frastr text, "
                         "create_time timestamp(3))") &&
                exec(db, QStringLiteral("INSERT INTO invoice SELECT '直流电压', to_char(random() * 20, "
                                        "'FM990.000'), 'V', '2', timestamp '%1' + i * interval '1 second' "
                                        "FROM generate_series(0, %2) AS i")
                             .arg(From)
                             .arg(rows - 1)) &&
                exec(db, "CREATE INDEX ON invoice (create_time)");
    } else {
        // The table with its partitions but without the last statement, its
        // index, which is built after the rows: one sort instead of a
        // million index inserts.
        QStringList create = RecordSchema::createStatements();
        const QString index = create.takeLast();
        for (const QString &statement : qAsConst(create))
            ready = ready && exec(db, statement);
        ready = ready &&
                exec(db, RecordSchema::insertInto() +
                             QStringLiteral("SELECT '直流电压', to_char(random() * 20, "
                                            "'FM990.000'), 'V', '2', timestamp '%1' + i * interval '1 "
                                            "second' FROM generate_series(0, %2) AS i")
                                 .arg(From)
                                 .arg(rows - 1)) &&
                exec(db, index);
    }
    ready = ready && exec(db, "ANALYZE invoice");
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("bench"));
    return ready;
}

// The exports of one table against psql's \copy of its rows; false when a
// run failed.
bool bench(const DbSettings &settings, const QString &layout, const QString &to, const QString &baseline)
{
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PGPASSWORD", settings.password);
    env.insert("TK52K_DB_NAME", settings.databaseName);
    env.insert("TK52K_DB_HOST", settings.host);
    env.insert("TK52K_DB_PORT", QString::number(settings.port));

    const QString copyFile = dir.filePath("copy.txt");
    const QString copy = QStringLiteral("\\copy (SELECT to_char(create_time, 'YYYY-MM-DD HH24:MI:SS'), "
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
    const auto args = [&](const QString &format, const QString &file) {
        return QStringList{"--from", From, "--to", to, "--format", format, "--output", file};
    };
    const QString txt = dir.filePath("export.txt");
    const QString csv = dir.filePath("export.csv");
    const QString other = dir.filePath("baseline.txt");
    timed("psql", psqlArgs, env);
    timed(tool, args("txt", txt), env);
    std::vector<double> psqlRuns, txtRuns, csvRuns, baselineRuns;
    double txtPeak = 0, csvPeak = 0;
    for (int i = 0; i < 3; ++i) {
        psqlRuns.push_back(timed("psql", psqlArgs, env));
        report(layout + ": psql \\copy to a file", psqlRuns.back(), g_cpu, copyFile);
        txtRuns.push_back(timed(tool, args("txt", txt), env));
        txtPeak = std::max(txtPeak, g_peak);
        report(layout + ": tk52k-export --format txt", txtRuns.back(), g_cpu, txt);
        csvRuns.push_back(timed(tool, args("csv", csv), env));
        csvPeak = std::max(csvPeak, g_peak);
        report(layout + ": tk52k-export --format csv", csvRuns.back(), g_cpu, csv);
        if (!baseline.isEmpty()) {
            baselineRuns.push_back(timed(baseline, args("txt", other), env));
            report(layout + ": baseline tk52k-export --format txt", baselineRuns.back(), g_cpu, other);
        }
    }
    const QString xlsx = dir.filePath("export.xlsx");
    const double toolXlsx = timed(tool, args("xlsx", xlsx), env);
    report(layout + ": tk52k-export --format xlsx", toolXlsx, g_cpu, xlsx);
    double baselineXlsx = 0;
    if (!baseline.isEmpty()) {
        const QString otherXlsx = dir.filePath("baseline.xlsx");
        baselineXlsx = timed(baseline, args("xlsx", otherXlsx), env);
        report(layout + ": baseline tk52k-export --format xlsx", baselineXlsx, g_cpu, otherXlsx);
    }
    const double psql = median(psqlRuns);
    const double toolTxt = median(txtRuns);
    const double toolCsv = median(csvRuns);
    if (psql > 0 && toolTxt > 0 && toolCsv > 0) {
        std::printf(
            "%s: psql \\copy %.3f s; txt %.3f s = %.2f x, peak %.1f MiB; csv %.3f s = %.2f x, peak %.1f "
            "MiB; xlsx %.3f s\n",
            qPrintable(layout), psql, toolTxt, toolTxt / psql, txtPeak, toolCsv, toolCsv / psql, csvPeak,
            toolXlsx);
    }
    if (!baselineRuns.empty() && median(baselineRuns) > 0) {
        std::printf("%s: baseline txt %.3f s = %.2f x psql; xlsx %.3f s\n", qPrintable(layout),
                    median(baselineRuns), median(baselineRuns) / psql, baselineXlsx);
        QFile mine(txt), theirs(other);
        const bool same = mine.open(QIODevice::ReadOnly) && theirs.open(QIODevice::ReadOnly) &&
                          mine.readAll() == theirs.readAll();
        std::printf("%s: the same bytes as the baseline's file: %s\n", qPrintable(layout),
                    same ? "yes" : "NO");
    }
    return psql > 0 && toolTxt > 0 && toolCsv > 0 && toolXlsx > 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The figures as they come, also into a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int rows = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000000;
    const QString baseline = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    const QString to =
        QDateTime::fromString(From, "yyyy-MM-dd HH:mm:ss").addSecs(rows - 1).toString("yyyy-MM-dd HH:mm:ss");

    const DbSettings settings = DbSettings::fromEnvironment();
    DbSettings admin = settings;
    admin.databaseName = QStringLiteral("postgres");
    QSqlDatabase a = admin.addConnection(QStringLiteral("admin"));
    if (!a.open()) {
        std::fprintf(stderr, "bench_export: no server: %s\n", qPrintable(a.lastError().text()));
        return 1;
    }
    int status = 0;
    for (const bool five : {false, true}) {
        DbSettings own = settings;
        own.databaseName = QStringLiteral("tk52k_bench_export_%1_%2")
                               .arg(five ? "five" : "program")
                               .arg(app.applicationPid());
        const QString layout = five ? QStringLiteral("five columns") : QStringLiteral("program's table");
        QElapsedTimer filled;
        filled.start();
        if (!exec(a, "CREATE DATABASE " + own.databaseName))
            return 1;
        if (fill(own, rows, five)) {
            std::printf("%d rows in %s (%s, filled in %.1f s)\n", rows, qPrintable(own.databaseName),
                        qPrintable(layout), seconds(filled));
            if (!bench(own, layout, to, baseline))
                status = 1;
        } else {
            status = 1;
        }
        exec(a, "DROP DATABASE IF EXISTS " + own.databaseName + " WITH (FORCE)");
    }
    a.close();
    a = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("admin"));
    return status;
}
