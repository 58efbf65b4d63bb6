// live --rate R --seconds S: the cost of logging. The real main window, off
// screen, records a virtual meter (tk52k-sim on a pseudo-terminal) sending R
// frames a second in one range; after a 10 s warm-up the processor time and
// the resident memory of this process are measured over S seconds.
//
// Readings go to the database the TK52K_DB_* variables name (by default a
// database "tk52k_bench_live" on the configured server, made on first use),
// so the figures include the hand-over to the store as a user's run does.
#include "benchcommands.h"
#include "benchutil.h"

#include "widgets/mainwindow/tk52k_comm.h"
#include "core/meter/metersession.h"
#include "widgets/resources/resources.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

namespace {
constexpr int kWarmUpSeconds = 10;
constexpr int kRange = 3; // a 4-digit range with a scale of ±800

void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int fail(const QString &message)
{
    QTextStream(stderr) << "tk52k-bench live: " << message << '\n';
    return 1;
}
} // namespace

int runLiveBench(const QStringList &args)
{
    double rate = 17;
    int seconds = 30;
    for (int i = 0; i + 1 < args.size(); i += 2) {
        bool ok = false;
        if (args.at(i) == QLatin1String("--rate"))
            rate = args.at(i + 1).toDouble(&ok);
        else if (args.at(i) == QLatin1String("--seconds"))
            seconds = args.at(i + 1).toInt(&ok);
        if (!ok || rate <= 0 || seconds <= 0) {
            QTextStream(stderr) << "usage: tk52k-bench live --rate R --seconds S\n";
            return 2;
        }
    }
    if (args.size() % 2 != 0) {
        QTextStream(stderr) << "usage: tk52k-bench live --rate R --seconds S\n";
        return 2;
    }

    QTemporaryDir spool;
    qputenv("TK52K_SPOOL_DIR", spool.path().toLocal8Bit());
    if (!qEnvironmentVariableIsSet("TK52K_DB_NAME"))
        qputenv("TK52K_DB_NAME", "tk52k_bench_live");

    // The virtual meter is built next to this program.
    const QString sim = QCoreApplication::applicationDirPath() + QStringLiteral("/tk52k-sim");
    if (!QFileInfo(sim).isExecutable())
        return fail(sim + QStringLiteral(" is missing"));
    QProcess meter;
    meter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    meter.start(sim, {QStringLiteral("--rate"), QString::number(rate), QStringLiteral("--range"),
                      QString::number(kRange), QStringLiteral("--seed"), QStringLiteral("1")});
    if (!meter.waitForStarted(5000) || !meter.waitForReadyRead(5000))
        return fail(QStringLiteral("the virtual meter did not start"));
    const QString device = QString::fromLocal8Bit(meter.readLine()).trimmed();

    initTk52kResources();
    installFontSubstitutions();
    int readings = 0;
    int result = 0;
    {
        TK52K_Comm w;
        w.resize(1536, 864);
        w.show();
        QCoreApplication::processEvents();
        w.choosePort(device);
        w.setSamplingMode(true, 1);
        QObject::connect(w.session(), &MeterSession::readingTaken, [&readings] { ++readings; });
        w.doToolStart();
        if (!w.session()->isRunning()) {
            meter.kill();
            meter.waitForFinished();
            return fail(QStringLiteral("the run did not start on ") + device);
        }

        runEventsFor(kWarmUpSeconds * 1000);
        readings = 0;
        const qint64 cpuStart = processCpuMs();
        QElapsedTimer clock;
        clock.start();
        runEventsFor(seconds * 1000);
        const qint64 cpuMs = processCpuMs() - cpuStart;
        const qint64 wallMs = clock.elapsed();
        const int rows = w.findChild<QTableView *>(QStringLiteral("tableView"))->model()->rowCount();
        if (!w.session()->isRunning())
            result = fail(QStringLiteral("the run ended before the measurement did"));

        printJsonLine(QStringLiteral("{\"bench\":\"live\",\"rate\":%1,\"cpu_percent\":%2,\"rss_mb\":%3,"
                                     "\"readings\":%4,\"table_rows\":%5}")
                          .arg(rate)
                          .arg(100.0 * double(cpuMs) / double(wallMs), 0, 'f', 2)
                          .arg(residentMb(), 0, 'f', 1)
                          .arg(readings)
                          .arg(rows));
        w.doToolStop();
    }
    meter.terminate();
    if (!meter.waitForFinished(3000))
        meter.kill();
    return result;
}
