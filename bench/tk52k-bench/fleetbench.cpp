// tk52k-bench fleet --writers N --rate R --seconds S: N record writers, each
// with its own thread, connection and journal as a logger has them, fed R
// readings a second each for S seconds, into the configured database
// (TK52K_DB_*). Prints the readings committed per second and the time from
// hand-over (enqueue) to the commit that wrote each reading.
#include "benchcommands.h"
#include "benchutil.h"

#include "core/store/dbsettings.h"
#include "core/store/measurementrecord.h"
#include "core/store/recordwriter.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
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

// One meter: its writer and the hand-over times of its readings not yet
// committed, oldest first. The writer commits in order, so the first
// (handed over - pending) of them are the ones just committed.
struct Meter
{
    std::unique_ptr<RecordWriter> writer;
    QMutex mutex;
    std::deque<qint64> handedOver; // ns on the bench clock, guarded by mutex
    qint64 enqueued = 0;           // guarded by mutex
    qint64 committed = 0;          // guarded by mutex
    std::vector<qint64> latencyNs; // guarded by mutex
    qint64 lastCommitNs = 0;       // guarded by mutex
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
        meter->writer = std::make_unique<RecordWriter>(settings);
        QString error;
        if (!meter->writer->openJournal(spool.filePath(QString::number(i)), &error)) {
            std::fprintf(stderr, "tk52k-bench fleet: no journal: %s\n", qPrintable(error));
            return 1;
        }
        Meter *m = meter.get();
        QObject::connect(
            m->writer.get(), &RecordWriter::stateChanged, m->writer.get(),
            [m, &clock] {
                QMutexLocker lock(&m->mutex);
                const qint64 now = clock.nsecsElapsed();
                const qint64 committed = m->enqueued - m->writer->pendingCount();
                for (; m->committed < committed; ++m->committed) {
                    m->latencyNs.push_back(now - m->handedOver.front());
                    m->handedOver.pop_front();
                    m->lastCommitNs = now;
                }
            },
            Qt::DirectConnection);
        meter->writer->start();
        meters.push_back(std::move(meter));
    }
    // Wait until every writer has its connection, so the run measures
    // writing rather than logging in.
    QElapsedTimer connecting;
    connecting.start();
    while (!std::all_of(meters.cbegin(), meters.cend(),
                        [](const auto &m) { return m->writer->isConnected(); })) {
        if (connecting.hasExpired(180000)) {
            std::fputs("tk52k-bench fleet: not every writer connected within 180 s\n", stderr);
            return 1;
        }
        QThread::msleep(20);
    }

    // Readings due spread over each second, meter i starting i/N of a
    // reading period late, as independent meters would.
    MeasurementRecord record;
    record.funcStr = QStringLiteral("DCV");
    record.unitStr = QStringLiteral("V");
    record.rangeIndex = 2;
    const qint64 startNs = clock.nsecsElapsed();
    const qint64 total = static_cast<qint64>(rate * seconds);
    std::vector<qint64> sent(meters.size(), 0);
    qint64 sentAll = 0;
    while (sentAll < total * writers) {
        const double elapsed = (clock.nsecsElapsed() - startNs) / 1e9;
        for (size_t i = 0; i < meters.size(); ++i) {
            const qint64 due =
                std::min<qint64>(total, static_cast<qint64>(elapsed * rate + double(i) / writers));
            Meter &m = *meters[i];
            for (; sent[i] < due; ++sent[i], ++sentAll) {
                record.valueText = QString::number(sent[i]);
                record.time = QDateTime::currentDateTime();
                record.source = prefix + QString::number(i);
                QMutexLocker lock(&m.mutex);
                m.handedOver.push_back(clock.nsecsElapsed());
                ++m.enqueued;
                m.writer->enqueue(record);
            }
        }
        QThread::msleep(2);
    }
    const qint64 producedNs = clock.nsecsElapsed();
    for (auto &m : meters)
        m->writer->finish();
    for (auto &m : meters)
        m->writer->wait();

    std::vector<qint64> latencies;
    qint64 committed = 0;
    qint64 lastCommitNs = startNs;
    for (auto &m : meters) {
        QMutexLocker lock(&m->mutex);
        latencies.insert(latencies.end(), m->latencyNs.cbegin(), m->latencyNs.cend());
        committed += m->committed;
        lastCommitNs = std::max(lastCommitNs, m->lastCommitNs);
        m->writer->closeJournal();
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
