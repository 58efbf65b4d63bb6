// How long the window's hand-over of a reading takes now that the store
// journals it, and how long a reading waits until it is safe on the disk.
//
//   bench_journal [--readings N] [--interval MS] [--dir FOLDER]
//   bench_journal --burst N [--dir FOLDER]
//
// Hands N readings (default 200), one every MS milliseconds (default 60, the
// fastest sampling), to a store whose server is not there, so everything
// stays in the journal (in FOLDER, default a temporary folder: put it on the
// disk you care about). Prints one JSON line with the figures.
//
// With --burst, hands N readings over as fast as it can, as a long outage
// piles them up, and prints the process's peak memory and how many of them
// are held in memory rather than only in the journal.

#include "core/meter/tkdatadas.h"
#include "core/store/database.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
double percentile(std::vector<qint64> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : double(v[std::min(v.size() - 1, size_t(p * double(v.size())))]);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto option = [&args](const char *name, const QString &fallback) {
        const int i = args.indexOf(QLatin1String(name));
        return i >= 0 ? args.value(i + 1) : fallback;
    };
    const int burst = option("--burst", QStringLiteral("0")).toInt();
    const int readings = burst > 0 ? burst : option("--readings", QStringLiteral("200")).toInt();
    const int intervalMs = option("--interval", QStringLiteral("60")).toInt();
    QTemporaryDir tmp;
    const QString dir = option("--dir", tmp.path());
    if (readings <= 0 || intervalMs < 0) {
        std::fputs("usage: bench_journal [--readings N] [--interval MS] [--dir FOLDER]\n", stderr);
        return 2;
    }
    qputenv("TK52K_SPOOL_DIR", dir.toLocal8Bit());
    qputenv("TK52K_DB_HOST", "127.0.0.1");
    qputenv("TK52K_DB_PORT", "9");

    database store;
    store.openDatabase();
    TkDataDas reading;
    reading.funcStr = QStringLiteral("DCV");
    reading.unitStr = QStringLiteral("V");
    reading.valueStr = QStringLiteral("1.234");
    reading.decimals = 3;

    if (burst > 0) {
        QElapsedTimer all;
        all.start();
        for (int i = 0; i < burst; ++i) {
            reading.time = QDateTime::currentDateTime();
            store.insertRecord(&reading);
        }
        const double seconds = all.nsecsElapsed() / 1e9;
        rusage usage = {};
        ::getrusage(RUSAGE_SELF, &usage);
        const QJsonObject result{{QStringLiteral("readings"), burst},
                                 {QStringLiteral("handOverPerSecond"), burst / seconds},
                                 {QStringLiteral("pending"), store.pendingCount()},
                                 {QStringLiteral("inMemory"), store.inMemoryCount()},
                                 {QStringLiteral("peakRssMB"), usage.ru_maxrss / 1024.0}};
        std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
        store.shutdown(0);
        return 0;
    }

    std::vector<qint64> handOverNs, durableUs;
    QElapsedTimer clock;
    for (int i = 0; i < readings; ++i) {
        reading.time = QDateTime::currentDateTime();
        clock.start();
        store.insertRecord(&reading);
        handOverNs.push_back(clock.nsecsElapsed());
        while (!store.isDurable())
            QThread::usleep(50);
        durableUs.push_back(clock.nsecsElapsed() / 1000);
        QThread::msleep(static_cast<unsigned long>(intervalMs));
    }

    const QJsonObject result{{QStringLiteral("readings"), readings},
                             {QStringLiteral("intervalMs"), intervalMs},
                             {QStringLiteral("handOverMedianUs"), percentile(handOverNs, 0.5) / 1000.0},
                             {QStringLiteral("handOverMaxUs"), percentile(handOverNs, 1.0) / 1000.0},
                             {QStringLiteral("durableMedianMs"), percentile(durableUs, 0.5) / 1000.0},
                             {QStringLiteral("durable99Ms"), percentile(durableUs, 0.99) / 1000.0},
                             {QStringLiteral("durableMaxMs"), percentile(durableUs, 1.0) / 1000.0}};
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    store.shutdown(0);
    return 0;
}
