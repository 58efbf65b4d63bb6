// bench_statistics [rows]: times the statistics of a run and of a history
// range, in memory (no server):
//   - RunStatistics::add() per reading, on noise around a level and on a
//     steady rise (every reading a new maximum),
//   - HistoryStatistics over `rows` history rows (default 1 000 000) of one
//     quantity with 1 % overloads and 1 % of another quantity, on noise and
//     on a steady rise,
//   - next to it, filling the same HistoryData, which the loader does anyway.
// Prints the figures.
#include "core/history/historydata.h"
#include "core/history/historystatistics.h"
#include "core/meter/runstatistics.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cmath>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? QByteArray(argv[1]).toInt() : 1000000;
    if (rows <= 0) {
        std::fprintf(stderr, "bench_statistics: rows must be a positive number\n");
        return 2;
    }

    QRandomGenerator random(52);
    QVector<double> values(rows);
    for (int i = 0; i < rows; ++i)
        values[i] = 10.0 + 1e-6 * i + (random.bounded(2001) - 1000) * 1e-5;

    const QDateTime t0(QDate(2024, 1, 1), QTime(0, 0));
    QElapsedTimer timer;
    // A live reading carries its time already; a few thousand stand for them.
    QVector<QDateTime> times;
    for (int i = 0; i < 4096; ++i)
        times.append(t0.addMSecs(qint64(i) * 333));
    const auto perReading = [&](auto value) {
        RunStatistics run;
        timer.restart();
        for (int i = 0; i < rows; ++i)
            run.add(value(i), times[i & 4095]);
        return double(timer.nsecsElapsed()) / rows;
    };
    const double noiseNs = perReading([&](int i) { return values[i] - 1e-6 * i; });
    const double riseNs = perReading([&](int i) { return 1e-3 * i; });

    // Rows arrive as the server's texts, as the loader hands them over, three
    // readings a second.
    const QString volt = QStringLiteral("V"), dcv = QStringLiteral("直流电压"), two = QStringLiteral("2");
    double fillS = 0;
    const auto fill = [&](auto value) {
        HistoryData data;
        data.reserve(rows);
        QString time;
        timer.restart();
        for (int i = 0; i < rows; ++i) {
            if (i % 3 == 0) {
                const int sec = i / 3;
                time = t0.date().addDays(sec / 86400).toString(Qt::ISODate) + QLatin1Char(' ') +
                       QTime(0, 0).addSecs(sec % 86400).toString(QStringLiteral("hh:mm:ss"));
            }
            if (i % 100 == 7)
                data.appendText(time, u"+ OL ", volt, dcv, two);
            else if (i % 100 == 8)
                data.appendText(time, u"12.5", u"kΩ", u"电阻", u"20");
            else
                data.appendText(time, QString::number(value(i), 'f', 4), volt, dcv, two);
        }
        fillS = timer.nsecsElapsed() / 1e9;
        return data;
    };
    const auto statistics = [&](const HistoryData &data, double *seconds) {
        timer.restart();
        const HistoryStatistics s = HistoryStatistics::ofFirstQuantity(data);
        *seconds = timer.nsecsElapsed() / 1e9;
        return s;
    };
    double noiseS = 0, riseS = 0;
    const HistoryStatistics history = statistics(fill([&](int i) { return values[i]; }), &noiseS);
    statistics(fill([&](int i) { return 1e-3 * i; }), &riseS);

    std::printf("bench_statistics: %d readings\n", rows);
    std::printf("  RunStatistics::add      %8.1f ns per reading (noise), %.1f ns (steady rise)\n", noiseNs,
                riseNs);
    std::printf("  HistoryData fill        %8.3f s\n", fillS);
    std::printf("  HistoryStatistics       %8.3f s noise, %.3f s steady rise (%.1f ns per row)\n", noiseS,
                riseS, noiseS * 1e9 / rows);
    std::printf("  count %lld, overloads %lld, mean %.9g, stddev %.6g\n",
                qlonglong(history.statistics().count()), qlonglong(history.statistics().overloads()),
                history.statistics().mean(), history.statistics().stddev());
    return 0;
}
