// logger --rate R --seconds S [--no-metrics]: the cost of one headless
// logger, the figure that says how many meters a small board can log.
// tk52k-logger runs as its own process, as the service runs it, on a
// virtual meter (tk52k-sim on a pseudo-terminal) sending R frames a second
// in one range, into the configured server (by default a database
// "tk52k_bench_logger", made on first use), with its metrics page on a
// loopback port unless --no-metrics. After a 10 s warm-up its processor time
// (every thread's, from /proc/PID/task/*/schedstat) over S seconds and then
// its memory (resident, proportional and private) are measured; the
// readings taken in that time come from the metrics page, or from the stop
// line without it.
#include "benchcommands.h"
#include "benchutil.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace {
constexpr int kWarmUpSeconds = 10;
constexpr int kRange = 3;

int fail(const QString &message)
{
    QTextStream(stderr) << "tk52k-bench logger: " << message << '\n';
    return 1;
}

void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Processor time of every thread of `pid` so far, in ns.
qint64 processCpuNs(qint64 pid)
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            total += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}

// Memory figures of `pid` in MiB: resident (what `ps` shows), its
// proportional share (shared library pages divided among the processes that
// map them) and what is its alone: what each further logger on a board costs.
struct Memory
{
    double rss = -1;
    double pss = -1;
    double privateMb = 0;
};

Memory memoryOf(qint64 pid)
{
    Memory m;
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!rollup.open(QIODevice::ReadOnly))
        return m;
    for (const QByteArray &line : rollup.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        const double mb = f.value(1).toDouble() / 1024.0;
        if (f.value(0) == "Rss:")
            m.rss = mb;
        else if (f.value(0) == "Pss:")
            m.pss = mb;
        else if (f.value(0) == "Private_Clean:" || f.value(0) == "Private_Dirty:")
            m.privateMb += mb;
    }
    return m;
}

// tk52k_readings_taken_total from the logger's page; -1 when it does not answer.
qint64 takenFromMetrics(int port)
{
    httplib::Client client("127.0.0.1", port);
    const auto response = client.Get("/metrics");
    if (!response || response->status != 200)
        return -1;
    static const QRegularExpression taken(QStringLiteral("^tk52k_readings_taken_total (\\d+)$"),
                                          QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = taken.match(QString::fromStdString(response->body));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

int usage()
{
    QTextStream(stderr) << "usage: tk52k-bench logger --rate R --seconds S [--no-metrics]\n";
    return 2;
}
} // namespace

int runLoggerBench(const QStringList &args)
{
    double rate = 17;
    int seconds = 60;
    bool metrics = true;
    for (int i = 0; i < args.size(); ++i) {
        bool ok = false;
        if (args.at(i) == QLatin1String("--no-metrics")) {
            metrics = false;
            continue;
        }
        if (i + 1 >= args.size())
            return usage();
        if (args.at(i) == QLatin1String("--rate"))
            rate = args.at(i + 1).toDouble(&ok);
        else if (args.at(i) == QLatin1String("--seconds"))
            seconds = args.at(i + 1).toInt(&ok);
        if (!ok || rate <= 0 || seconds <= 0)
            return usage();
        ++i;
    }

    const QString dir = QCoreApplication::applicationDirPath();
    const QString sim = dir + QStringLiteral("/tk52k-sim");
    const QString loggerPath = dir + QStringLiteral("/tk52k-logger");
    if (!QFileInfo(sim).isExecutable() || !QFileInfo(loggerPath).isExecutable())
        return fail(QStringLiteral("tk52k-sim and tk52k-logger must lie beside this program"));

    QProcess meter;
    meter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    meter.start(sim, {QStringLiteral("--rate"), QString::number(rate), QStringLiteral("--range"),
                      QString::number(kRange), QStringLiteral("--seed"), QStringLiteral("1")});
    if (!meter.waitForStarted(5000) || !meter.waitForReadyRead(5000))
        return fail(QStringLiteral("the virtual meter did not start"));
    const QString device = QString::fromLocal8Bit(meter.readLine()).trimmed();

    QTemporaryDir spool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TK52K_SPOOL_DIR"), spool.path());
    if (!env.contains(QStringLiteral("TK52K_DB_NAME")))
        env.insert(QStringLiteral("TK52K_DB_NAME"), QStringLiteral("tk52k_bench_logger"));
    const int port = 30000 + int(::getpid() % 20000);
    QStringList loggerArgs{QStringLiteral("--port"), device, QStringLiteral("--quiet")};
    if (metrics)
        loggerArgs << QStringLiteral("--metrics") << QString::number(port);
    QProcess logger;
    logger.setProcessEnvironment(env);
    logger.start(loggerPath, loggerArgs);
    if (!logger.waitForStarted(5000)) {
        meter.kill();
        meter.waitForFinished();
        return fail(QStringLiteral("the logger did not start"));
    }
    const qint64 pid = logger.processId();

    runEventsFor(kWarmUpSeconds * 1000);
    const qint64 takenBefore = metrics ? takenFromMetrics(port) : 0;
    const qint64 cpuStart = processCpuNs(pid);
    QElapsedTimer clock;
    clock.start();
    runEventsFor(seconds * 1000);
    const qint64 cpuNs = processCpuNs(pid) - cpuStart;
    const qint64 wallMs = clock.elapsed();
    const Memory memory = memoryOf(pid);
    const qint64 takenAfter = metrics ? takenFromMetrics(port) : 0;

    ::kill(pid_t(pid), SIGTERM);
    logger.waitForFinished(30000);
    const QString err = QString::fromUtf8(logger.readAllStandardError());
    meter.terminate();
    if (!meter.waitForFinished(3000))
        meter.kill();
    if (logger.exitStatus() != QProcess::NormalExit || logger.exitCode() != 0)
        return fail(QStringLiteral("the logger did not end cleanly:\n") + err);

    qint64 readings = takenAfter - takenBefore;
    if (!metrics) {
        // The stop line is all there is.
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("stopped: taken (\\d+)")).match(err);
        readings = m.hasMatch() ? m.captured(1).toLongLong() : -1;
    }
    if (takenBefore < 0 || takenAfter < 0)
        return fail(QStringLiteral("the metrics page did not answer:\n") + err);

    // Without metrics the readings are the whole run's, warm-up included.
    printJsonLine(QStringLiteral("{\"bench\":\"logger\",\"rate\":%1,\"seconds\":%2,\"metrics\":%3,"
                                 "\"cpu_percent\":%4,\"rss_mb\":%5,\"pss_mb\":%6,\"private_mb\":%7,"
                                 "\"readings\":%8}")
                      .arg(rate)
                      .arg(seconds)
                      .arg(metrics ? QStringLiteral("true") : QStringLiteral("false"))
                      .arg(100.0 * double(cpuNs) / 1e6 / double(wallMs), 0, 'f', 3)
                      .arg(memory.rss, 0, 'f', 1)
                      .arg(memory.pss, 0, 'f', 1)
                      .arg(memory.privateMb, 0, 'f', 1)
                      .arg(readings));
    return 0;
}
