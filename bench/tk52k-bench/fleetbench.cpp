// tk52k-bench fleet --writers N --rate R --seconds S: N record stores, each
// with its own thread, connection and journal as a logger has them, fed R
// readings a second each for S seconds, into the configured database
// (TK52K_DB_*). Prints the readings committed per second and the time from
// hand-over to the commit that wrote each reading (seen to within the
// bench's 2 ms polling).
//
// With --compare-summaries the same load runs against two new databases of
// the server, one whose table keeps its summaries and one whose table has
// none, in six slices taking turns (with, without, without, with, with,
// without), so a change in the machine's load falls on both alike. Prints
// the p99 and the server's log (WAL) bytes per reading of each; the WAL
// figure is the server's whole log over the slices, so other writers on
// the same server count too.
#include "benchcommands.h"
#include "benchutil.h"

#include "core/meter/meterreading.h"
#include "core/store/database.h"
#include "core/store/dbsettings.h"
#include "core/store/recordschema.h"
#include "core/store/summaryschema.h"

#include <QCommandLineParser>
#include <QCoreApplication>
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

namespace {

// What one stretch of load did.
struct Phase
{
    qint64 handedOver = 0;
    qint64 committed = 0;
    qint64 rows = -1; ///< of this stretch in the table; -2 when a reading is there twice
    std::vector<qint64> latencyNs;
    double runS = 0;     ///< first hand-over to last commit
    double drainMs = 0;  ///< last hand-over to last commit
    qint64 walBytes = -1; ///< the server's log written meanwhile
};

// The server's log position in bytes, -1 when it cannot be read.
qint64 walPosition(const DbSettings &settings)
{
    qint64 at = -1;
    {
        QSqlDatabase db = settings.addConnection(QStringLiteral("fleet-wal"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT pg_wal_lsn_diff(pg_current_wal_lsn(), '0/0')::bigint")) && q.next())
                at = q.value(0).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fleet-wal"));
    return at;
}

// Runs `writers` stores at `rate` readings a second each for `seconds`
// into the database of `settings`, their meters named `prefix`N, and waits
// for every reading to be committed (at most two minutes). False when the
// stores cannot be had.
bool runPhase(const DbSettings &settings, int writers, double rate, double seconds, const QString &prefix,
              Phase *out)
{
    QTemporaryDir spool;
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
            return false;
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
            return false;
        }
        QThread::msleep(20);
    }
    const qint64 walBefore = walPosition(settings);

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
    const qint64 walAfter = walPosition(settings);
    for (auto &m : meters)
        m->store->shutdown();

    qint64 lastCommitNs = startNs;
    for (auto &m : meters) {
        out->latencyNs.insert(out->latencyNs.end(), m->latencyNs.cbegin(), m->latencyNs.cend());
        out->committed += m->committed;
        lastCommitNs = std::max(lastCommitNs, m->lastCommitNs);
    }
    out->handedOver = sentAll;
    out->runS = (lastCommitNs - startNs) / 1e9;
    out->drainMs = (lastCommitNs - producedNs) / 1e6;
    out->walBytes = walBefore >= 0 && walAfter >= 0 ? walAfter - walBefore : -1;
    QString error;
    out->rows = rowsOfRun(settings, prefix, &error);
    if (out->rows == -1)
        std::fprintf(stderr, "tk52k-bench fleet: cannot count the rows: %s\n", qPrintable(error));
    return true;
}

// A new, empty database `name` (dropped first when there), with the
// program's table, with or without its summaries.
bool makeDatabase(const DbSettings &admin, const QString &name, bool summaries)
{
    QString error;
    {
        QSqlDatabase db = admin.addConnection(QStringLiteral("fleet-admin"));
        QSqlQuery q(db);
        if (!db.open() || !q.exec(QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(name)) ||
            !q.exec(QStringLiteral("CREATE DATABASE \"%1\"").arg(name)))
            error = db.isOpen() ? q.lastError().text() : db.lastError().text();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fleet-admin"));
    if (error.isEmpty()) {
        DbSettings in = admin;
        in.databaseName = name;
        QSqlDatabase db = in.addConnection(QStringLiteral("fleet-make"));
        RecordSchema::TableShape shape;
        if (!db.open())
            error = db.lastError().text();
        else if (RecordSchema::ensureTable(db, &shape, &error) && !summaries)
            SummarySchema::uninstall(db, &error);
        else if (summaries && SummarySchema::probe(db).state != SummarySchema::State::Usable)
            error = QStringLiteral("the summaries are not usable on a new table");
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fleet-make"));
    if (!error.isEmpty())
        std::fprintf(stderr, "tk52k-bench fleet: cannot make database %s: %s\n", qPrintable(name),
                     qPrintable(error));
    return error.isEmpty();
}

void dropDatabase(const DbSettings &admin, const QString &name)
{
    {
        QSqlDatabase db = admin.addConnection(QStringLiteral("fleet-admin"));
        QSqlQuery q(db);
        if (db.open())
            q.exec(QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(name));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fleet-admin"));
}

double ms(qint64 ns) { return ns / 1e6; }

int compareSummaries(const DbSettings &settings, int writers, double rate, double seconds)
{
    const QString stem = QStringLiteral("%1_fleet_%2").arg(settings.databaseName).arg(QCoreApplication::applicationPid());
    const QString names[2] = {stem + QStringLiteral("_with"), stem + QStringLiteral("_without")};
    if (!makeDatabase(settings, names[0], true) || !makeDatabase(settings, names[1], false)) {
        dropDatabase(settings, names[0]);
        dropDatabase(settings, names[1]);
        return 1;
    }
    // with, without, without, with, with, without: each takes the first
    // and the last place once.
    const int order[6] = {0, 1, 1, 0, 0, 1};
    Phase sum[2];
    qint64 rowsInTable = 0;
    qint64 expected = 0;
    bool ok = true;
    for (int slice = 0; slice < 6 && ok; ++slice) {
        const int which = order[slice];
        DbSettings in = settings;
        in.databaseName = names[which];
        Phase phase;
        const QString prefix =
            QStringLiteral("fleet-%1-%2-").arg(QDateTime::currentMSecsSinceEpoch()).arg(slice);
        ok = runPhase(in, writers, rate, seconds / 3, prefix, &phase);
        std::fprintf(stderr, "tk52k-bench fleet: slice %d %s summaries: p99 %.1f ms, %lld readings\n", slice + 1,
                     which == 0 ? "with" : "without",
                     [&] {
                         std::vector<qint64> l = phase.latencyNs;
                         std::sort(l.begin(), l.end());
                         return ms(percentile(l, 0.99));
                     }(),
                     static_cast<long long>(phase.committed));
        Phase &s = sum[which];
        s.latencyNs.insert(s.latencyNs.end(), phase.latencyNs.cbegin(), phase.latencyNs.cend());
        s.committed += phase.committed;
        s.handedOver += phase.handedOver;
        s.walBytes = (s.walBytes < 0 ? 0 : s.walBytes) + std::max<qint64>(0, phase.walBytes);
        expected += phase.handedOver;
        rowsInTable += std::max<qint64>(0, phase.rows);
        ok = ok && phase.rows == phase.handedOver;
    }
    dropDatabase(settings, names[0]);
    dropDatabase(settings, names[1]);
    for (Phase &s : sum)
        std::sort(s.latencyNs.begin(), s.latencyNs.end());
    const auto perReading = [](const Phase &s) { return s.committed > 0 ? double(s.walBytes) / s.committed : 0.0; };
    printJsonLine(QStringLiteral("{\"bench\":\"fleet\",\"compare_summaries\":true,\"writers\":%1,\"rate\":%2,"
                                 "\"seconds\":%3,\"p50_ms\":%4,\"p50_ms_without\":%5,\"p99_ms\":%6,"
                                 "\"p99_ms_without\":%7,\"max_ms\":%8,\"max_ms_without\":%9,"
                                 "\"wal_bytes_per_reading\":%10,\"wal_bytes_per_reading_without\":%11,"
                                 "\"rows_in_table\":%12,\"rows_expected\":%13}")
                      .arg(writers)
                      .arg(rate)
                      .arg(seconds)
                      .arg(ms(percentile(sum[0].latencyNs, 0.50)), 0, 'f', 1)
                      .arg(ms(percentile(sum[1].latencyNs, 0.50)), 0, 'f', 1)
                      .arg(ms(percentile(sum[0].latencyNs, 0.99)), 0, 'f', 1)
                      .arg(ms(percentile(sum[1].latencyNs, 0.99)), 0, 'f', 1)
                      .arg(sum[0].latencyNs.empty() ? 0.0 : ms(sum[0].latencyNs.back()), 0, 'f', 1)
                      .arg(sum[1].latencyNs.empty() ? 0.0 : ms(sum[1].latencyNs.back()), 0, 'f', 1)
                      .arg(perReading(sum[0]), 0, 'f', 0)
                      .arg(perReading(sum[1]), 0, 'f', 0)
                      .arg(rowsInTable)
                      .arg(expected));
    return ok && rowsInTable == expected ? 0 : 1;
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
    const QCommandLineOption compareOption(
        QStringLiteral("compare-summaries"),
        QStringLiteral("run the load with and without the summaries, taking turns, in two new databases"));
    parser.addOptions({writersOption, rateOption, secondsOption, compareOption});
    parser.process(QStringList{QStringLiteral("fleet")} + arguments);
    const int writers = parser.value(writersOption).toInt();
    const double rate = parser.value(rateOption).toDouble();
    const double seconds = parser.value(secondsOption).toDouble();
    if (writers < 1 || rate <= 0 || seconds <= 0) {
        std::fputs("tk52k-bench fleet: --writers, --rate and --seconds take positive numbers\n", stderr);
        return 2;
    }

    const DbSettings settings = DbSettings::fromEnvironment();
    if (parser.isSet(compareOption))
        return compareSummaries(settings, writers, rate, seconds);

    // Tells this run's rows from those of earlier runs.
    const QString prefix = QStringLiteral("fleet-%1-").arg(QDateTime::currentMSecsSinceEpoch());
    Phase phase;
    if (!runPhase(settings, writers, rate, seconds, prefix, &phase))
        return 1;
    std::sort(phase.latencyNs.begin(), phase.latencyNs.end());
    const std::vector<qint64> &latencies = phase.latencyNs;
    printJsonLine(QStringLiteral("{\"bench\":\"fleet\",\"writers\":%1,\"rate\":%2,\"seconds\":%3,"
                                 "\"handed_over\":%4,\"committed\":%5,\"rows_in_table\":%6,"
                                 "\"committed_per_s\":%7,\"p50_ms\":%8,\"p99_ms\":%9,\"max_ms\":%10,"
                                 "\"drain_ms\":%11,\"wal_bytes_per_reading\":%12,\"cpu_ms\":%13}")
                      .arg(writers)
                      .arg(rate)
                      .arg(seconds)
                      .arg(phase.handedOver)
                      .arg(phase.committed)
                      .arg(phase.rows)
                      .arg(phase.runS > 0 ? phase.committed / phase.runS : 0.0, 0, 'f', 1)
                      .arg(ms(percentile(phase.latencyNs, 0.50)), 0, 'f', 1)
                      .arg(ms(percentile(phase.latencyNs, 0.99)), 0, 'f', 1)
                      .arg(latencies.empty() ? 0.0 : ms(latencies.back()), 0, 'f', 1)
                      .arg(phase.drainMs, 0, 'f', 0)
                      .arg(phase.committed > 0 && phase.walBytes >= 0 ? double(phase.walBytes) / phase.committed : -1.0,
                           0, 'f', 0)
                      .arg(processCpuMs()));
    return phase.committed == phase.handedOver && phase.rows == phase.handedOver ? 0 : 1;
}
