// tk52k-bench fleet --writers N --rate R --seconds S: N record stores, each
// with its own thread, connection and journal as a logger has them, fed R
// readings a second each for S seconds, into the configured database
// (TK52K_DB_*). Prints the readings committed per second and the time from
// hand-over to the commit that wrote each reading (seen to within the
// bench's 2 ms polling).
#include "benchcommands.h"
#include "benchutil.h"

#include "core/meter/meterreading.h"
#include "core/store/database.h"
#include "core/store/dbsettings.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <vector>

namespace {

// One meter: its store and the hand-over times of its readings not yet
// committed, oldest first. The store commits in order, so the first
// (handed over - pending) of them are the ones just committed.
struct Meter
{
    std::unique_ptr<database> store;
    std::deque<qint64> handedOver; // ns on the bench clock
    qint64 enqueued = 0;
    qint64 committed = 0;
    std::vector<qint64> latencyNs;
    qint64 lastCommitNs = 0;

    void noteCommits(qint64 now)
    {
        const qint64 done = enqueued - store->pendingCount();
        for (; committed < done; ++committed) {
            latencyNs.push_back(now - handedOver.front());
            handedOver.pop_front();
            lastCommitNs = now;
        }
    }
};

qint64 percentile(std::vector<qint64> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t at = std::min(sorted.size() - 1, static_cast<size_t>(p * (sorted.size() - 1) + 0.5));
    return sorted[at];
}

qint64 rowsOfRun(const DbSettings &settings, const QString &prefix, QString *error)
{
    qint64 rows = -1;
    {
        QSqlDatabase db = settings.addConnection(QStringLiteral("fleet-count"));
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT count(*), count(DISTINCT (source, datavaluestr)) FROM invoice "
                                     "WHERE source LIKE ?"));
            q.addBindValue(prefix + QLatin1Char('%'));
            if (q.exec() && q.next()) {
                // A reading written twice shows as fewer distinct ones than rows.
                rows = q.value(0).toLongLong() == q.value(1).toLongLong() ? q.value(0).toLongLong() : -2;
            } else {
                *error = q.lastError().text();
            }
        } else {
            *error = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fleet-count"));
    return rows;
}

} // namespace

int runFleetBench(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption writersOption(QStringLiteral("writers"), QStringLiteral("record writers"),
                                           QStringLiteral("N"), QStringLiteral("90"));
    const QCommandLineOption rateOption(QStringLiteral("rate"),
                                        QStringLiteral("readings a second per writer"), QStringLiteral("R"),
                                        QStringLiteral("17"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("length of the run"),
                                           QStringLiteral("S"), QStringLiteral("60"));
    parser.addOptions({writersOption, rateOption, secondsOption});
    parser.process(QStringList{QStringLiteral("fleet")} + arguments);
    const int writers = parser.value(writersOption).toInt();
    const double rate = parser.value(rateOption).toDouble();
    const double seconds = parser.value(secondsOption).toDouble();
    if (writers < 1 || rate <= 0 || seconds <= 0) {
        std::fputs("tk52k-bench fleet: --writers, --rate and --seconds take positive numbers\n", stderr);
        return 2;
    }

    const DbSettings settings = DbSettings::fromEnvironment();
    QTemporaryDir spool;
    // Tells this run's rows from those of earlier runs.
    const QString prefix = QStringLiteral("fleet-%1-").arg(QDateTime::currentMSecsSinceEpoch());
    QElapsedTimer clock;
    clock.start();

    std::vector<std::unique_ptr<Meter>> meters;
    for (int i = 0; i < writers; ++i) {
        auto meter = std::make_unique<Meter>();
        meter->store = std::make_unique<database>(settings, spool.filePath(QString::number(i)));
        meter->store->setSource(prefix + QString::number(i));
        if (meter->store->openDatabase() != 1) {
            std::fprintf(stderr, "tk52k-bench fleet: the store does not open: %s\n",
                         qPrintable(meter->store->statusText()));
            return 1;
        }
        meters.push_back(std::move(meter));
    }
    // Wait until every store has its connection, so the run measures
    // writing rather than logging in.
    QElapsedTimer connecting;
    connecting.start();
    while (!std::all_of(meters.cbegin(), meters.cend(),
                        [](const auto &m) { return m->store->isConnected(); })) {
        if (connecting.hasExpired(180000)) {
            std::fputs("tk52k-bench fleet: not every store connected within 180 s\n", stderr);
            return 1;
        }
        QThread::msleep(20);
    }

    // Readings due spread over each second, meter i starting i/N of a
    // reading period late, as independent meters would.
    MeterReading reading;
    reading.funcStr = QStringLiteral("DCV");
    reading.unitStr = QStringLiteral("V");
    reading.rangeIndex = 2;
    const qint64 startNs = clock.nsecsElapsed();
    const qint64 total = static_cast<qint64>(rate * seconds);
    std::vector<qint64> sent(meters.size(), 0);
    qint64 sentAll = 0;
    const auto noteCommits = [&] {
        const qint64 now = clock.nsecsElapsed();
        for (auto &m : meters)
            m->noteCommits(now);
    };
    while (sentAll < total * writers) {
        const double elapsed = (clock.nsecsElapsed() - startNs) / 1e9;
        for (size_t i = 0; i < meters.size(); ++i) {
            const qint64 due =
                std::min<qint64>(total, static_cast<qint64>(elapsed * rate + double(i) / writers));
            Meter &m = *meters[i];
            for (; sent[i] < due; ++sent[i], ++sentAll) {
                reading.valueStr = QString::number(sent[i]);
                reading.time = QDateTime::currentDateTime();
                m.handedOver.push_back(clock.nsecsElapsed());
                ++m.enqueued;
                m.store->submit(reading);
            }
        }
        noteCommits();
        QThread::msleep(2);
    }
    const qint64 producedNs = clock.nsecsElapsed();
    QElapsedTimer draining;
    draining.start();
    while (!draining.hasExpired(120000) &&
           !std::all_of(meters.cbegin(), meters.cend(), [](const auto &m) { return m->store->pendingCount() == 0; })) {
        noteCommits();
        QThread::msleep(2);
    }
    noteCommits();
    for (auto &m : meters)
        m->store->shutdown();

    std::vector<qint64> latencies;
    qint64 committed = 0;
    qint64 lastCommitNs = startNs;
    for (auto &m : meters) {
        latencies.insert(latencies.end(), m->latencyNs.cbegin(), m->latencyNs.cend());
        committed += m->committed;
        lastCommitNs = std::max(lastCommitNs, m->lastCommitNs);
    }
    std::sort(latencies.begin(), latencies.end());
    QString error;
    const qint64 rows = rowsOfRun(settings, prefix, &error);
    if (rows == -1)
        std::fprintf(stderr, "tk52k-bench fleet: cannot count the rows: %s\n", qPrintable(error));

    const double runS = (lastCommitNs - startNs) / 1e9;
    printJsonLine(QStringLiteral("{\"bench\":\"fleet\",\"writers\":%1,\"rate\":%2,\"seconds\":%3,"
                                 "\"handed_over\":%4,\"committed\":%5,\"rows_in_table\":%6,"
                                 "\"committed_per_s\":%7,\"p50_ms\":%8,\"p99_ms\":%9,\"max_ms\":%10,"
                                 "\"drain_ms\":%11,\"cpu_ms\":%12}")
                      .arg(writers)
                      .arg(rate)
                      .arg(seconds)
                      .arg(sentAll)
                      .arg(committed)
                      .arg(rows)
                      .arg(runS > 0 ? committed / runS : 0.0, 0, 'f', 1)
                      .arg(percentile(latencies, 0.50) / 1e6, 0, 'f', 1)
                      .arg(percentile(latencies, 0.99) / 1e6, 0, 'f', 1)
                      .arg(latencies.empty() ? 0.0 : latencies.back() / 1e6, 0, 'f', 1)
                      .arg((lastCommitNs - producedNs) / 1e6, 0, 'f', 0)
                      .arg(processCpuMs()));
    return committed == sentAll && rows == sentAll ? 0 : 1;
}
