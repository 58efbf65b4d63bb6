// tick: times the same-range recording tick of a run shown in the main window
// (frame cut-out, decoding, panel, table row, hand-over to the record store,
// curve append, replot, and the painting that follows) with a curve of N
// points.
#include "benchcommands.h"

#include "core/meter/meterreading.h"
#include "models/livereadingmodel.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "core/meter/frameencoder.h"
#include "core/meter/memoryline.h"
#include "core/meter/metersession.h"
#include "widgets/plot/liveplot.h"
#include "widgets/resources/resources.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextStream>
#include <qwt_plot_curve.h>

#include <algorithm>
#include <ctime>

namespace {
constexpr int kRange = 3;       // a 4-digit range with a scale of ±800
constexpr int kMaxRows = 50000; // the reading table's cap
constexpr int kWarmUpTicks = 20;

bool intOption(const QStringList &args, const QString &name, int *value)
{
    const int at = args.indexOf(name);
    if (at < 0)
        return true;
    bool ok = false;
    *value = at + 1 < args.size() ? args.at(at + 1).toInt(&ok) : 0;
    return ok && *value > 0;
}
// Processor time of this thread: on a machine busy with other work the
// wall clock also counts the time the tick waited for a processor.
qint64 threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

qint64 percentileUs(QVector<qint64> ns, double q)
{
    std::sort(ns.begin(), ns.end());
    return ns.at(std::min(int(q * ns.size()), int(ns.size()) - 1)) / 1000;
}
} // namespace

// Fills the window's table and curve and feeds its session frames.
class TickBench
{
public:
    static int run(int points, int ticks);

private:
    static void fill(TK52K_Comm &w, int points);
    struct Timing
    {
        qint64 wallNs;
        qint64 cpuNs;
    };
    static Timing tick(TK52K_Comm &w, MemoryLine &line, int count);
};

void TickBench::fill(TK52K_Comm &w, int points)
{
    // The run so far: one reading a second of the same range, as the tick
    // would have left them.
    const QDateTime now = QDateTime::currentDateTime();
    LivePlot *plot = w.livePlot();
    auto *model =
        qobject_cast<LiveReadingModel *>(w.findChild<QTableView *>(QStringLiteral("tableView"))->model());
    plot->restart(now.addSecs(-points), kRange, 0);
    QRandomGenerator rng(1);
    double v = 0;
    for (int i = 1; i < points; ++i) {
        v = qBound(-799.0, v + rng.bounded(41) - 20, 799.0);
        plot->append(now.addSecs(i - points), v);
        MeterReading r;
        r.funcStr = QStringLiteral("DCV");
        r.unitStr = QStringLiteral("mV");
        r.rangeIndex = kRange;
        r.decimals = 1;
        r.value = v;
        r.time = now.addSecs(i - points);
        model->append(r);
    }
    plot->replot();
}

TickBench::Timing TickBench::tick(TK52K_Comm &w, MemoryLine &line, int count)
{
    FrameContent content;
    content.rangeIndex = kRange;
    content.count = count;
    line.feed(encodeMeterFrame(content));

    const qint64 cpuStart = threadCpuNs();
    QElapsedTimer clock;
    clock.start();
    w.session()->sample();
    // What the tick changed is painted on the next pass of the event loop.
    QCoreApplication::processEvents();
    return {clock.nsecsElapsed(), threadCpuNs() - cpuStart};
}

int TickBench::run(int points, int ticks)
{
    initTk52kResources();
    installFontSubstitutions();

    TK52K_Comm w;
    w.resize(1536, 864);
    w.show();
    QCoreApplication::processEvents();
    // The bench drives the ticks itself, on a line in memory.
    w.setSamplingMode(false, 3600);
    MemoryLine line;
    w.session()->start(&line);

    // First frame: a new range, which starts table and curve.
    tick(w, line, 100);
    fill(w, std::max(1, std::min(points, kMaxRows - kWarmUpTicks - ticks) - 1));
    // Filling may outlast the line's watchdog; bytes keep the run going.
    line.feed(QByteArray());
    QCoreApplication::processEvents();

    QRandomGenerator rng(2);
    QVector<qint64> wall, cpu;
    for (int i = 0; i < kWarmUpTicks + ticks; ++i) {
        const Timing t = tick(w, line, int(rng.bounded(8000)));
        if (i >= kWarmUpTicks) {
            wall.append(t.wallNs);
            cpu.append(t.cpuNs);
        }
    }
    if (!w.session()->isRunning()) {
        QTextStream(stderr) << "tick: the run ended before the last tick\n";
        return 1;
    }
    const int shown = int(w.livePlot()->curve()->dataSize());

    QTextStream(stdout) << "{\"bench\":\"tick\",\"points\":" << points
                        << ",\"median_us\":" << percentileUs(wall, 0.5)
                        << ",\"p95_us\":" << percentileUs(wall, 0.95)
                        << ",\"cpu_median_us\":" << percentileUs(cpu, 0.5)
                        << ",\"cpu_p95_us\":" << percentileUs(cpu, 0.95)
                        << ",\"curve_points_at_end\":" << shown << "}\n";
    return 0;
}

int runTickBench(const QStringList &args)
{
    int points = 1000;
    int ticks = 300;
    if (!intOption(args, "--points", &points) || !intOption(args, "--ticks", &ticks)) {
        QTextStream(stderr) << "usage: tk52k-bench tick --points N [--ticks K]\n";
        return 2;
    }
    // Readings go to a queue for a server that is not there, and what is left
    // at the end into a throw-away spool: the bench never writes to a real
    // database.
    QTemporaryDir spool;
    qputenv("TK52K_SPOOL_DIR", spool.path().toLocal8Bit());
    qputenv("TK52K_DB_HOST", "127.0.0.1");
    qputenv("TK52K_DB_PORT", "9");
    return TickBench::run(points, ticks);
}
