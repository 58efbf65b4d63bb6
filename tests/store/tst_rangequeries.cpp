// The range reads, from the summaries and from the rows, against answers
// worked out here from every row: the curve's columns with the window's own
// reading of the value texts, the server's own aggregates, paging by SQL.

#include "scratchdatabase.h"

#include "core/history/curvevalue.h"
#include "core/store/pglink.h"
#include "core/store/rangequeries.h"
#include "core/store/recordschema.h"
#include "core/store/summaryschema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <cmath>
#include <limits>

using namespace RangeQueries;

namespace {

// 2024-07-31 22:30 (naive ms): three hours of two meters at 4 Hz across the
// month's end, so across two partitions.
constexpr qint64 kStartMs = 1722465000000;
constexpr qint64 kHourMs = 3600000;

struct RefRow
{
    qint64 us;
    qint64 id;
    QString source;
    QString function;
    QString unit;
    QString value;
    double y; // the curve's value as the window reads the text
};

Quantity dcv()
{
    return Quantity{QStringLiteral("DCV"), {{QStringLiteral("V"), 1.0}, {QStringLiteral("mV"), 0.001}}};
}

double factorOf(const QString &unit)
{
    return unit == QLatin1String("mV") ? 0.001 : 1.0;
}

qint64 floorMs(qint64 us)
{
    return us >= 0 ? us / 1000 : -((-us + 999) / 1000);
}

// The M4 groups a curve drawn through every row has, with the gap rule.
QVector<Curve> bruteForce(const QVector<RefRow> &rows, const QVector<qint64> &b, const QString &source)
{
    QMap<QString, QVector<const RefRow *>> bySource;
    for (const RefRow &r : rows) {
        const qint64 ms = floorMs(r.us);
        if (r.function == QLatin1String("DCV") &&
            (r.unit == QLatin1String("V") || r.unit == QLatin1String("mV")) && ms >= b.first() &&
            ms < b.last() && (source.isNull() || r.source == source))
            bySource[r.source] << &r;
    }
    QVector<Curve> curves;
    for (auto it = bySource.cbegin(); it != bySource.cend(); ++it) {
        const QVector<const RefRow *> &c = it.value();
        Curve curve;
        curve.source = it.key();
        curve.count = c.size();
        const qint64 gap =
            c.size() > 1 ? std::max<qint64>(2000000, 3 * (c.last()->us - c.first()->us) / (c.size() - 1))
                         : 2000000;
        curve.gapMs = gap / 1000.0;
        int column = -1;
        for (int i = 0; i < c.size(); ++i) {
            const qint64 ms = floorMs(c[i]->us);
            const int k = int(std::upper_bound(b.begin(), b.end(), ms) - b.begin()) - 1;
            const Point p{ms, c[i]->y * factorOf(c[i]->unit)};
            const bool gapBefore = i > 0 && c[i]->us - c[i - 1]->us > gap;
            if (k != column || gapBefore) {
                Group g;
                g.column = k;
                g.first = g.min = g.max = p;
                g.joinsPrevious = i > 0 && !gapBefore;
                curve.groups << g;
                column = k;
            }
            Group &g = curve.groups.last();
            ++g.count;
            g.last = p;
            if (p.value < g.min.value)
                g.min = p;
            if (p.value > g.max.value)
                g.max = p;
        }
        curves << curve;
    }
    return curves;
}

QString describe(const Group &g)
{
    return QStringLiteral("col %1 n %2 first %3/%4 last %5/%6 min %7/%8 max %9/%10 joins %11")
        .arg(g.column)
        .arg(g.count)
        .arg(g.first.ms)
        .arg(g.first.value, 0, 'g', 17)
        .arg(g.last.ms)
        .arg(g.last.value, 0, 'g', 17)
        .arg(g.min.ms)
        .arg(g.min.value, 0, 'g', 17)
        .arg(g.max.ms)
        .arg(g.max.value, 0, 'g', 17)
        .arg(g.joinsPrevious);
}

} // namespace

class TestRangeQueries : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScratchDatabase> m_db;
    QVector<RefRow> m_rows;
    Table m_table;

    QSqlDatabase db() { return m_db->connection(); }
    Table tableFor(bool summaries) const
    {
        Table t = m_table;
        t.summaries = summaries;
        return t;
    }

private slots:
    void initTestCase()
    {
        m_db = std::make_unique<ScratchDatabase>(QStringLiteral("rangequeries"),
                                                 ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
        QSqlDatabase c = db();
        RecordSchema::TableShape shape;
        QString error;
        QVERIFY2(RecordSchema::ensureTable(c, &shape, &error), qPrintable(error));
        QVERIFY2(RecordSchema::ensurePartitions(c, QDate(2024, 7, 1), 1, &error), qPrintable(error));
        // Jittered spacing, an overload and a text now and then, stretches in
        // mV, a gap of each meter and rows that share their time exactly.
        QVERIFY2(m_db->exec(QStringLiteral(R"(
INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source)
SELECT 'DCV',
       CASE WHEN i % 997 = 0 THEN (CASE WHEN i % 2 = 0 THEN '+ .OL ' ELSE ' - .OL' END) WHEN i % 1999 = 0 THEN 'abc'
            WHEN (i / 3000) % 4 = 3 THEN to_char(sin(i / 50.0 + s) * 3000, 'FM0.0')
            ELSE to_char(sin(i / 50.0 + s) * 3, 'FM0.000') END,
       CASE WHEN (i / 3000) % 4 = 3 THEN 'mV' ELSE 'V' END, '1',
       timestamp '2024-07-31 22:30' + (i * 250 + (i * 7 + s) % 13) * interval '1 millisecond',
       CASE WHEN s = 0 THEN 'meter-a' ELSE 'meter-b' END
  FROM generate_series(0, 43199) i, generate_series(0, 1) s
 WHERE NOT (s = 0 AND i BETWEEN 20000 AND 20120) AND NOT (s = 1 AND i BETWEEN 30000 AND 30040))")),
                 qPrintable(m_db->error()));
        QVERIFY2(
            m_db->exec(QStringLiteral(
                "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) "
                "SELECT funcstr, '5.000', 'V', frastr, create_time, source FROM invoice WHERE id % 500 = 0; "
                "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) VALUES "
                "('OHM', '1.5', 'kΩ', '20', '2024-08-01 00:10:00', 'meter-a'), "
                "('DCV', '1.000', 'V', '1', '2024-07-31 23:00:00', NULL)")),
            qPrintable(m_db->error()));
        QVERIFY2(inspect(c, &m_table, &error), qPrintable(error));
        QVERIFY2(m_table.summaries, qPrintable(m_table.summaryReason));

        QSqlQuery q(c);
        q.setForwardOnly(true);
        QVERIFY(q.exec(QStringLiteral("SELECT (extract(epoch FROM create_time) * 1000000)::bigint, id, "
                                      "coalesce(source, ''), funcstr, unitstr, datavaluestr, frastr, "
                                      "to_char(create_time, 'YYYY-MM-DD HH24:MI:SS.MS') FROM invoice "
                                      "ORDER BY create_time, id")));
        while (q.next()) {
            m_rows << RefRow{q.value(0).toLongLong(),
                             q.value(1).toLongLong(),
                             q.value(2).toString(),
                             q.value(3).toString(),
                             q.value(4).toString(),
                             q.value(5).toString(),
                             curveValueOf(q.value(5).toString(), q.value(6).toString())};
        }
        QVERIFY(m_rows.size() > 86000);
    }

    void columns_data()
    {
        QTest::addColumn<QVector<qint64>>("boundaries");
        QTest::addColumn<QString>("source");
        QVector<qint64> wide, narrow, aligned, one;
        for (int k = 0; k <= 1000; ++k)
            wide << kStartMs - 300007 + k * (3 * kHourMs + 600000) / 1000;
        for (int k = 0; k <= 500; ++k)
            narrow << kStartMs + kHourMs + 1234 + k * 1207;
        // Column edges on the hour, the minute and the second, and one
        // column of a single millisecond.
        aligned << kStartMs + 1800000 - 60000 << kStartMs + 1800000 << kStartMs + 1800001
                << kStartMs + 1860000 << kStartMs + 1861000 << kStartMs + 5400000 << kStartMs + 9000000;
        one << kStartMs - 1000 << kStartMs + 4 * kHourMs;
        // Three cuts in one second between wide columns: the longest piece
        // of that second lies between two cuts.
        QVector<qint64> cuts{kStartMs + 1740000, kStartMs + 1800123, kStartMs + 1800400, kStartMs + 1800777,
                             kStartMs + 1860000};
        // Minutes each holding a gap of a meter whole, among minutes of none.
        QVector<qint64> minutes;
        for (qint64 ms = kStartMs + 4920000; ms <= kStartMs + 7560000; ms += 60000)
            minutes << ms;
        QTest::newRow("1000 columns, every meter") << wide << QString();
        QTest::newRow("1000 columns, one meter") << wide << QStringLiteral("meter-b");
        QTest::newRow("500 columns of 1.2 s") << narrow << QString();
        QTest::newRow("edges on bucket edges") << aligned << QStringLiteral("meter-a");
        QTest::newRow("one column") << one << QString();
        QTest::newRow("three cuts in a second") << cuts << QString();
        QTest::newRow("gaps within columns") << minutes << QString();
    }
    void columns()
    {
        QFETCH(QVector<qint64>, boundaries);
        QFETCH(QString, source);
        const QVector<Curve> expected = bruteForce(m_rows, boundaries, source);
        QVERIFY(!expected.isEmpty());
        // The summaries' read and the rows' each once as it comes and once
        // in two halves, the later over a second connection.
        for (const int mode : {0, 1, 2, 3}) {
            const bool summaries = mode < 2;
            RangeQueries::setTwoConnectionsWork(mode == 1 ? 0 : 20000);
            // Read in one whatever the server's statistics say (which its
            // autovacuum may gather at any time).
            RangeQueries::setTwoConnectionsRows(mode == 3 ? 0 : std::numeric_limits<qint64>::max());
            const qint64 secondReads = RangeQueries::secondConnectionReads();
            ColumnsRequest request;
            request.boundaries = boundaries;
            request.source = source;
            request.quantity = dcv();
            Columns got;
            QString error;
            QSqlDatabase c = db();
            QVERIFY2(RangeQueries::columns(c, tableFor(summaries), request, &got, &error), qPrintable(error));
            RangeQueries::setTwoConnectionsWork(20000);
            RangeQueries::setTwoConnectionsRows(50000);
            QCOMPARE(got.fromSummaries, summaries);
            // A read of one column is read in one.
            if (mode == 1 || (mode == 3 && boundaries.size() > 2))
                QVERIFY(RangeQueries::secondConnectionReads() > secondReads);
            QCOMPARE(got.curves.size(), expected.size());
            for (int i = 0; i < expected.size(); ++i) {
                QCOMPARE(got.curves[i].source, expected[i].source);
                QCOMPARE(got.curves[i].count, expected[i].count);
                QCOMPARE(got.curves[i].gapMs, expected[i].gapMs);
                QStringList want, have;
                for (const Group &g : expected[i].groups)
                    want << describe(g);
                for (const Group &g : got.curves[i].groups)
                    have << describe(g);
                QCOMPARE(have, want);
            }
        }
    }

    void statistics_data()
    {
        QTest::addColumn<qint64>("from");
        QTest::addColumn<qint64>("to");
        QTest::addColumn<QString>("source");
        QTest::newRow("all, unaligned ends")
            << kStartMs - 77 << kStartMs + 3 * kHourMs - 1234567 << QString();
        QTest::newRow("one meter, across the month's end")
            << kStartMs + 1799123 << kStartMs + 1800000 + 61001 << QStringLiteral("meter-a");
        QTest::newRow("within one second") << kStartMs + 2000100 << kStartMs + 2000900 << QString();
    }
    void statistics()
    {
        QFETCH(qint64, from);
        QFETCH(qint64, to);
        QFETCH(QString, source);
        const QString range =
            QStringLiteral("create_time >= timestamp '1970-01-01' + %1 * interval '1 ms' AND create_time < "
                           "timestamp '1970-01-01' + %2 * interval '1 ms' AND funcstr = 'DCV' AND unitstr IN "
                           "('V', 'mV')%3")
                .arg(from)
                .arg(to)
                .arg(source.isNull() ? QString() : QStringLiteral(" AND source = '%1'").arg(source));
        // The server's own aggregates, of every meter apart (those with
        // readings or overloads, by name) and of all together last.
        QSqlQuery q(db());
        QVERIFY(q.exec(
            QStringLiteral(
                "WITH x AS (SELECT coalesce(source, '') AS m, CASE WHEN datavaluestr ~ '^-?[0-9.]+$' "
                "THEN datavaluestr::float8 * CASE unitstr WHEN 'mV' THEN 0.001 ELSE 1 END END AS v, "
                "datavaluestr LIKE '%OL%' AS ol, (extract(epoch FROM create_time) * 1000)::bigint AS ms, "
                "create_time FROM invoice WHERE %1) "
                "SELECT m, count(v), avg(v), stddev_samp(v), min(v), max(v), count(*) FILTER (WHERE ol), "
                "(array_agg(ms ORDER BY v, create_time) FILTER (WHERE v IS NOT NULL))[1], "
                "(array_agg(ms ORDER BY v DESC, create_time) FILTER (WHERE v IS NOT NULL))[1] "
                "FROM x WHERE v IS NOT NULL OR ol GROUP BY GROUPING SETS ((m), ()) "
                "ORDER BY grouping(m), m")
                .arg(range)));
        QVector<QVariantList> expected;
        while (q.next()) {
            QVariantList row;
            for (int i = 0; i < 9; ++i)
                row << q.value(i);
            expected << row;
        }
        QVERIFY2(expected.size() >= 2, qPrintable(q.lastError().text()));
        const auto close = [](double a, double b) { return std::abs(a - b) <= 1e-9 * std::abs(b) + 1e-15; };
        const auto agrees = [&](const Statistics &s, const QVariantList &e) {
            QCOMPARE(s.count, e[1].toLongLong());
            QCOMPARE(s.overloads, e[6].toLongLong());
            if (s.count == 0)
                return;
            QVERIFY2(close(s.mean, e[2].toDouble()), qPrintable(QString::number(s.mean, 'g', 17)));
            if (s.count > 1)
                QVERIFY2(close(s.stddev, e[3].toDouble()), qPrintable(QString::number(s.stddev, 'g', 17)));
            QCOMPARE(s.min, e[4].toDouble());
            QCOMPARE(s.max, e[5].toDouble());
            QCOMPARE(s.minMs, e[7].toLongLong());
            QCOMPARE(s.maxMs, e[8].toLongLong());
        };
        QVERIFY(expected.last()[1].toLongLong() > 0);
        // From the summaries, from the rows, from the rows in two halves.
        for (const int mode : {0, 1, 2}) {
            const bool summaries = mode == 0;
            Statistics s;
            QVector<MeterStatistics> meters;
            QString error;
            QSqlDatabase c = db();
            QVERIFY2(RangeQueries::statistics(c, tableFor(summaries), {from, to}, source, dcv(), &s, &error,
                                              &meters),
                     qPrintable(error));
            QCOMPARE(s.fromSummaries, summaries);
            agrees(s, expected.last());
            QCOMPARE(meters.size(), expected.size() - 1);
            for (int i = 0; i < meters.size(); ++i) {
                QCOMPARE(meters[i].source, expected[i][0].toString());
                agrees(meters[i].figures, expected[i]);
            }
            // The same figures read with the curve of the range, in its pass
            // over the rows where there are no summaries.
            ColumnsRequest request;
            request.boundaries = {from, (from + to) / 2, (from + to) / 2 + 1, to};
            request.source = source;
            request.quantity = dcv();
            request.statistics = true;
            Columns columns;
            RangeQueries::setTwoConnectionsRows(mode == 2 ? 0 : std::numeric_limits<qint64>::max());
            const qint64 secondReads = RangeQueries::secondConnectionReads();
            const bool read = RangeQueries::columns(c, tableFor(summaries), request, &columns, &error);
            RangeQueries::setTwoConnectionsRows(50000);
            QVERIFY2(read, qPrintable(error));
            if (mode == 2)
                QVERIFY(RangeQueries::secondConnectionReads() > secondReads);
            agrees(columns.statistics, expected.last());
            QCOMPARE(columns.meters.size(), meters.size());
            for (int i = 0; i < meters.size(); ++i) {
                QCOMPARE(columns.meters[i].source, meters[i].source);
                QCOMPARE(columns.meters[i].units, meters[i].units);
                agrees(columns.meters[i].figures, expected[i]);
            }
        }
    }

    // Page by page forward and back, the keys of row n, the counts: all in
    // (create_time, id) order across the partitions and the equal times.
    void pagingAndPositions_data()
    {
        QTest::addColumn<QString>("source");
        QTest::newRow("every meter") << QString();
        QTest::newRow("one meter") << QStringLiteral("meter-b");
    }
    void pagingAndPositions()
    {
        QFETCH(QString, source);
        const Range range{kStartMs + 1790000, kStartMs + 1810000};
        QVector<qint64> ids;
        for (const RefRow &r : m_rows)
            if (floorMs(r.us) >= range.fromMs && floorMs(r.us) < range.toMs &&
                (source.isNull() || r.source == source))
                ids << r.id;
        QSqlDatabase c = db();
        QString error;

        QVector<qint64> forward, backward;
        PageRequest request{range, source, PageRequest::First, {}, 37};
        for (QVector<Row> rows;; request.from = PageRequest::After) {
            QVERIFY2(page(c, m_table, request, &rows, &error), qPrintable(error));
            if (rows.isEmpty())
                break;
            for (const Row &r : rows)
                forward << r.key.id;
            request.key = rows.last().key;
        }
        QCOMPARE(forward, ids);
        request.from = PageRequest::Last;
        for (QVector<Row> rows;; request.from = PageRequest::Before) {
            QVERIFY2(page(c, m_table, request, &rows, &error), qPrintable(error));
            if (rows.isEmpty())
                break;
            for (int i = rows.size() - 1; i >= 0; --i)
                backward.prepend(rows[i].key.id);
            request.key = rows.first().key;
        }
        QCOMPARE(backward, ids);

        for (const bool summaries : {true, false}) {
            qint64 count = -1;
            QVERIFY2(rowCount(c, tableFor(summaries), range, source, &count, &error), qPrintable(error));
            QCOMPARE(count, qint64(ids.size()));
            for (const qint64 n : {qint64(0), qint64(1), qint64(ids.size() / 3), qint64(ids.size() - 1)}) {
                RowKey key;
                QVERIFY2(keyAt(c, tableFor(summaries), range, source, n, &key, &error), qPrintable(error));
                QCOMPARE(key.id, ids[int(n)]);
                // The page from that key starts with that row.
                QVector<Row> rows;
                QVERIFY(page(c, m_table, {range, source, PageRequest::AtOrAfter, key, 1}, &rows, &error));
                QCOMPARE(rows.value(0).key.id, ids[int(n)]);
            }
            RowKey key;
            QVERIFY(!keyAt(c, tableFor(summaries), range, source, ids.size(), &key, &error));
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        // Deep in the whole table: through every level, or through the
        // rows' count histograms.
        QVector<qint64> all;
        for (const RefRow &r : m_rows)
            if (source.isNull() || r.source == source)
                all << r.id;
        const Range whole{kStartMs - 1000, kStartMs + 4 * kHourMs};
        for (const bool summaries : {true, false}) {
            for (const int n : {int(all.size() / 2 + 17), int(all.size() - 2)}) {
                RowKey key;
                QVERIFY2(keyAt(c, tableFor(summaries), whole, source, n, &key, &error), qPrintable(error));
                QCOMPARE(key.id, all[n]);
                // Found from the end, the range's rows known.
                key = RowKey();
                QVERIFY2(keyAt(c, tableFor(summaries), whole, source, n, &key, &error, all.size()),
                         qPrintable(error));
                QCOMPARE(key.id, all[n]);
            }
        }
    }

    // A table made elsewhere: five columns, frastr an integer, times to the
    // second. Read from its rows, rows of one second told apart by where
    // they lie.
    void tableMadeElsewhere()
    {
        ScratchDatabase other(QStringLiteral("rangeforeign"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(other.exec(QStringLiteral(
                     "CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, frastr integer, "
                     "create_time timestamp(0)); INSERT INTO invoice SELECT 'DCV', to_char(i % 17 - 8, "
                     "'FM0.000'), "
                     "'V', 1, timestamp '2024-05-01 10:00' + (i / 3) * interval '1 second' "
                     "FROM generate_series(0, 5999) i ORDER BY random()")),
                 qPrintable(other.error()));
        QSqlDatabase c = other.connection();
        Table table;
        QString error;
        QVERIFY2(inspect(c, &table, &error), qPrintable(error));
        QVERIFY(table.exists && !table.hasId && !table.hasSource && !table.frastrIsText && !table.summaries);
        const QStringList order = other
                                      .column(QStringLiteral("SELECT (ctid::text::point)[0]::bigint * 65536 "
                                                             "+ (ctid::text::point)[1]::bigint FROM invoice "
                                                             "ORDER BY create_time, ctid"))
                                      .split(',');
        const Range range{1714557600000, 1714557600000 + 2000000};
        QStringList paged;
        PageRequest request{range, QString(), PageRequest::First, {}, 500};
        for (QVector<Row> rows;; request.from = PageRequest::After) {
            QVERIFY2(page(c, table, request, &rows, &error), qPrintable(error));
            if (rows.isEmpty())
                break;
            for (const Row &r : rows)
                paged << QString::number(r.key.id);
            request.key = rows.last().key;
        }
        QCOMPARE(paged, order);
        for (const int n : {0, 4500, 5999}) {
            RowKey key;
            QVERIFY2(keyAt(c, table, range, QString(), n, &key, &error), qPrintable(error));
            QCOMPARE(QString::number(key.id), order[n]);
        }
        Statistics s;
        QVERIFY2(RangeQueries::statistics(c, table, range, QString(), dcv(), &s, &error), qPrintable(error));
        QCOMPARE(s.count, qint64(6000));
        QCOMPARE(
            QString::number(s.mean, 'f', 9),
            other.column(QStringLiteral("SELECT round(avg(datavaluestr::float8)::numeric, 9) FROM invoice")));
        ColumnsRequest columnsRequest{
            {range.fromMs, range.fromMs + 1000000, range.toMs}, QString(), dcv(), 0};
        Columns columns;
        QVERIFY2(RangeQueries::columns(c, table, columnsRequest, &columns, &error), qPrintable(error));
        QCOMPARE(columns.curves.size(), 1);
        QCOMPARE(columns.curves[0].count, qint64(6000));
        // Rows found from the counts of columns of 7 s, whose edges fall on
        // seconds of three rows: the same rows, on either side of an edge.
        QVector<qint64> sevens;
        for (qint64 ms = range.fromMs; ms < range.toMs; ms += 7000)
            sevens << ms;
        columnsRequest.boundaries = sevens << range.toMs;
        QVERIFY2(RangeQueries::columns(c, table, columnsRequest, &columns, &error), qPrintable(error));
        const QVector<RowAnchor> anchors = anchorsOf(columnsRequest, columns, range, 6000);
        QCOMPARE(anchors.size(), sevens.size());
        for (const int n : {0, 20, 21, 23, 4493, 4494, 4496, 5999}) {
            RowKey key;
            QVERIFY2(keyAt(c, table, range, QString(), n, &key, &error, 6000, anchors), qPrintable(error));
            QCOMPARE(QString::number(key.id), order[n]);
        }
        QVERIFY(anchorsOf(columnsRequest, columns, range, 5999).isEmpty() &&
                anchorsOf(columnsRequest, columns, {range.fromMs - 1000, range.toMs}, 6000).isEmpty());
    }

    void quantitiesAndSources()
    {
        const Range range{kStartMs, kStartMs + 3 * kHourMs};
        QSqlDatabase c = db();
        for (const bool summaries : {true, false}) {
            QVector<QuantityCount> quantities;
            QStringList names;
            QString error;
            QVERIFY2(RangeQueries::quantities(c, tableFor(summaries), range, QStringLiteral("meter-a"),
                                              &quantities, &error),
                     qPrintable(error));
            QVERIFY2(RangeQueries::sources(c, tableFor(summaries), range, &names, &error), qPrintable(error));
            QStringList got;
            for (const QuantityCount &q : quantities)
                got << QStringLiteral("%1 %2 %3").arg(q.function, q.unit).arg(q.count);
            QCOMPARE(got.join(','),
                     m_db->column(QStringLiteral(
                         "SELECT funcstr || ' ' || unitstr || ' ' || count(*) FROM invoice "
                         "WHERE source = 'meter-a' GROUP BY funcstr, unitstr ORDER BY min(create_time)")));
            QCOMPARE(names, QStringList({QString(), QStringLiteral("meter-a"), QStringLiteral("meter-b")}));
            // The window's one pass: the chosen meter's rows, every meter's name.
            Tally tally;
            qint64 rows = 0;
            QVERIFY2(
                RangeQueries::tally(c, tableFor(summaries), range, QStringLiteral("meter-a"), &tally, &error),
                qPrintable(error));
            QVERIFY2(rowCount(c, tableFor(summaries), range, QStringLiteral("meter-a"), &rows, &error),
                     qPrintable(error));
            QVERIFY(rows > 0);
            QCOMPARE(tally.rows, rows);
            QCOMPARE(tally.sources, names);
        }
    }

    // Tables made by hand: a text time that is none leaves out its row, not
    // the read; a numeric value column is read; a column no read can use
    // is refused at once, by name.
    void handMadeTables_data()
    {
        QTest::addColumn<QString>("timeType");
        QTest::addColumn<QString>("valueType");
        QTest::addColumn<QStringList>("rows"); // create_time, datavaluestr
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QString>("values");
        QTest::addColumn<qint64>("unreadable");
        QTest::newRow("text times, some none")
            << "varchar(40)" << "text"
            << QStringList{"2024-05-01 10:00:00", "1",   "2024-02-30 10:00:00", "2", "2024-05-01 10:00:01.5",
                           "3",                   "yesterday", "4",          "2024-05-01T10:00:02", "5",
                           "2024-05-01 24:00:00", "6"}
            << "" << "1,3,5" << qint64(3);
        QTest::newRow("numeric values") << "timestamp(3)" << "numeric"
                                        << QStringList{"2024-05-01 10:00:00", "1.5", "2024-05-01 10:00:01", "2.5"}
                                        << "" << "1.5,2.5" << qint64(0);
        QTest::newRow("times as numbers") << "integer" << "text" << QStringList{"1", "1"}
                                          << "create_time of the table invoice is integer" << "" << qint64(0);
    }
    void handMadeTables()
    {
        QFETCH(QString, timeType);
        QFETCH(QString, valueType);
        QFETCH(QStringList, rows);
        QFETCH(QString, refusal);
        QFETCH(QString, values);
        QFETCH(qint64, unreadable);
        ScratchDatabase other(QStringLiteral("rangehandmade"), ScratchDatabase::Content::EmptyDatabase);
        QStringList tuples;
        for (int i = 0; i + 1 < rows.size(); i += 2)
            tuples << QStringLiteral("('DCV', '%1', 'V', '1', '%2')").arg(rows[i + 1], rows[i]);
        QVERIFY2(other.exec(QStringLiteral("CREATE TABLE invoice (funcstr text, datavaluestr %1, unitstr text, "
                                           "frastr text, create_time %2); INSERT INTO invoice (funcstr, "
                                           "datavaluestr, unitstr, frastr, create_time) VALUES %3")
                                .arg(valueType, timeType, tuples.join(','))),
                 qPrintable(other.error()));
        QSqlDatabase c = other.connection();
        Table table;
        QString error;
        if (!refusal.isEmpty()) {
            QVERIFY(!inspect(c, &table, &error));
            QVERIFY2(error.contains(refusal), qPrintable(error));
            return;
        }
        QVERIFY2(inspect(c, &table, &error), qPrintable(error));
        const Range range{1714557600000, 1714557600000 + 3000};
        QVector<Row> page;
        QVERIFY2(RangeQueries::page(c, table, {range, QString(), PageRequest::First, {}, 100}, &page, &error),
                 qPrintable(error));
        QStringList got;
        for (const Row &r : page)
            got << r.value;
        QCOMPARE(got.join(','), values);
        Statistics s;
        QVERIFY2(RangeQueries::statistics(c, table, range, QString(), dcv(), &s, &error), qPrintable(error));
        QCOMPARE(s.count, qint64(page.size()));
        // The curve's pass over the same rows: the times of the text, the
        // numbers' texts.
        Columns columns;
        QVERIFY2(RangeQueries::columns(c, table, {{range.fromMs, range.toMs}, QString(), dcv(), 0, true}, &columns,
                                       &error),
                 qPrintable(error));
        QCOMPARE(columns.statistics.count, s.count);
        QCOMPARE(columns.statistics.mean, s.mean);
        qint64 count = -1;
        QString example;
        QVERIFY2(unreadableTimes(c, table, &count, &example, &error), qPrintable(error));
        QCOMPARE(count, unreadable);
    }

    // The curve and the figures read from the rows alone take each value
    // text as the server's expressions do, to the bit: forms at the edges
    // of a number, overloads of every form and range, and the server's own
    // quirks (an exponent of three digits is no number, its trims take
    // "\v" for the letter v). A table without id or meter: rows told apart
    // by where they lie. A row a second, a column each.
    void valueTextsReadAsTheServerReadsThem()
    {
        ScratchDatabase other(QStringLiteral("rangetexts"), ScratchDatabase::Content::EmptyDatabase);
        const QStringList texts{
            "1.5", "1",   " +.5 ", "1",    "5.", "1",   "-0", "1",   "1E+05", "1",   "1e123", "1",  "1e-99", "1",
            "0.00000000000000000000000000000000000001", "1", "0.000000000000000000000000000000000000001", "1",
            " 12 \t", "1", "+-1", "1", "1,5", "1", ".e1", "1", "+ OL.", "3", " - O.L", "44", "-OL", "45",
            "+.OL", "v3v", " \v-OL", "2", "+OL\v", "2", "OL", "2", "+ OL", "", "abc", "1", "", "1"};
        QStringList tuples;
        for (int i = 0; i + 1 < texts.size(); i += 2)
            tuples << QStringLiteral("('DCV', E'%1', 'V', NULLIF('%2', ''), timestamp '2024-05-01 10:00' + %3 * "
                                     "interval '1 s')")
                          .arg(texts[i], texts[i + 1])
                          .arg(i / 2);
        tuples << QStringLiteral("('DCV', NULL, 'V', '1', timestamp '2024-05-01 10:00' + %1 * interval '1 s')")
                      .arg(texts.size() / 2);
        QVERIFY2(other.exec(QStringLiteral("CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, "
                                           "frastr text, create_time timestamp(3)); INSERT INTO invoice VALUES %1")
                                .arg(tuples.join(','))),
                 qPrintable(other.error()));
        QSqlDatabase c = other.connection();
        Table table;
        QString error;
        QVERIFY2(inspect(c, &table, &error), qPrintable(error));
        const qint64 rows = texts.size() / 2 + 1;
        ColumnsRequest request;
        for (qint64 k = 0; k <= rows; ++k)
            request.boundaries << 1714557600000 + k * 1000;
        request.quantity = Quantity{QStringLiteral("DCV"), {{QStringLiteral("V"), 1.0}}};
        request.statistics = true;
        Columns got;
        QVERIFY2(RangeQueries::columns(c, table, request, &got, &error), qPrintable(error));
        QSqlQuery q(c);
        QVERIFY(q.exec(QStringLiteral("SELECT %1, %2, %3 FROM invoice ORDER BY create_time")
                           .arg(SummarySchema::curveValueSql("datavaluestr", "frastr"),
                                SummarySchema::numberSql("datavaluestr"), SummarySchema::overloadSql("datavaluestr"))));
        QCOMPARE(got.curves.size(), 1);
        QCOMPARE(got.curves[0].groups.size(), int(rows));
        qint64 numbers = 0, overloads = 0;
        double lowest = qInf(), highest = -qInf();
        for (const Group &g : got.curves[0].groups) {
            QVERIFY(q.next());
            const double server = q.value(0).toDouble();
            QVERIFY2(g.first.value == server && std::signbit(g.first.value) == std::signbit(server),
                     qPrintable(QStringLiteral("%1: %2, the server %3")
                                    .arg(texts.value(2 * int(g.column)), QString::number(g.first.value, 'g', 17),
                                         QString::number(server, 'g', 17))));
            if (!q.isNull(1)) {
                ++numbers;
                lowest = std::min(lowest, q.value(1).toDouble());
                highest = std::max(highest, q.value(1).toDouble());
            }
            overloads += q.value(2).toBool();
        }
        QCOMPARE(got.statistics.count, numbers);
        QCOMPARE(got.statistics.overloads, overloads);
        QCOMPARE(got.statistics.min, lowest);
        QCOMPARE(got.statistics.max, highest);
    }

    // Readings so far apart that each would be a piece of the streamed
    // pass (past the 200 000 it holds): the read goes on with the
    // statements, in the same snapshot, and draws the same curve.
    void readingsFarApartReadByTheStatements()
    {
        ScratchDatabase other(QStringLiteral("rangeapart"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(other.exec(QStringLiteral(
                     "CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, frastr text, create_time "
                     "timestamp(3)); INSERT INTO invoice SELECT 'DCV', (i % 1000)::text, 'V', '1', timestamp "
                     "'2024-05-01' + i * interval '3 s' FROM generate_series(0, 200000) i; CREATE INDEX ON "
                     "invoice (create_time)")),
                 qPrintable(other.error()));
        QVector<RefRow> rows;
        const qint64 start = 1714521600000;
        for (qint64 i = 0; i <= 200000; ++i)
            rows << RefRow{(start + i * 3000) * 1000, 0, "", "DCV", "V", QString::number(i % 1000), double(i % 1000)};
        ColumnsRequest request;
        for (qint64 k = 0; k <= 1000; ++k)
            request.boundaries << start + k * 600003;
        request.quantity = dcv();
        QSqlDatabase c = other.connection();
        Table table;
        Columns got;
        QString error;
        QVERIFY2(inspect(c, &table, &error) && RangeQueries::columns(c, table, request, &got, &error),
                 qPrintable(error));
        const QVector<Curve> expected = bruteForce(rows, request.boundaries, QString());
        QCOMPARE(got.curves.size(), 1);
        QCOMPARE(got.curves[0].count, expected[0].count);
        QStringList want, have;
        for (const Group &g : expected[0].groups)
            want << describe(g);
        for (const Group &g : got.curves[0].groups)
            have << describe(g);
        QCOMPARE(have, want);
    }

    // Rows a bulk load writes with ids of its own move the mark that a
    // window following the table looks at, though the id sequence stays.
    void changeMarkSeesRowsWithTheirOwnIds()
    {
        QSqlDatabase c = db();
        qint64 before = -1, after = -1;
        QString error;
        QVERIFY2(changeMark(c, m_table, &before, &error), qPrintable(error));
        QVERIFY2(m_db->exec(QStringLiteral(
                     "INSERT INTO invoice (id, funcstr, datavaluestr, unitstr, frastr, create_time, source) "
                     "VALUES (2000000000, 'DCV', '1', 'V', '1', '2024-08-31 23:00:00', 'meter-a')")),
                 qPrintable(m_db->error()));
        const auto back = qScopeGuard([this] { m_db->exec(QStringLiteral("DELETE FROM invoice WHERE id = 2000000000")); });
        QVERIFY2(changeMark(c, m_table, &after, &error), qPrintable(error));
        QVERIFY(after != before);
    }

    // The later half, read over a second connection, sees what the read's
    // own transaction sees and not a row committed since.
    void secondConnectionReadsInTheSameSnapshot()
    {
        QSqlDatabase c = db();
        PgLink link(c);
        QVERIFY2(link.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY") && link.offerSnapshot() &&
                     link.exec("SELECT count(*) FROM invoice"),
                 qPrintable(link.error()));
        {
            QSqlDatabase other = m_db->settings().addConnection(QStringLiteral("later-writer"));
            QVERIFY(other.open());
            QSqlQuery q(other);
            QVERIFY2(q.exec(QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, "
                                           "create_time, source) VALUES ('DCV', '9.999', 'V', '1', "
                                           "'2024-08-01 01:00:00.5', 'meter-a')")),
                     qPrintable(q.lastError().text()));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("later-writer"));
        QVector<qint64> boundaries;
        for (int k = 0; k <= 100; ++k)
            boundaries << kStartMs + k * 3 * kHourMs / 100;
        ColumnsRequest request;
        request.boundaries = boundaries;
        request.quantity = dcv();
        Columns got;
        QString error;
        RangeQueries::setTwoConnectionsWork(0);
        const qint64 secondReads = RangeQueries::secondConnectionReads();
        const bool read = RangeQueries::columns(c, tableFor(true), request, &got, &error);
        RangeQueries::setTwoConnectionsWork(20000);
        link.exec("ROLLBACK");
        QVERIFY(m_db->exec(QStringLiteral("DELETE FROM invoice WHERE datavaluestr = '9.999'")));
        QVERIFY2(read, qPrintable(error));
        QVERIFY(RangeQueries::secondConnectionReads() > secondReads);
        const QVector<Curve> expected = bruteForce(m_rows, boundaries, QString());
        QCOMPARE(got.curves.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(got.curves[i].count, expected[i].count);
            QCOMPARE(got.curves[i].groups.size(), expected[i].groups.size());
            for (int g = 0; g < expected[i].groups.size(); ++g)
                QCOMPARE(describe(got.curves[i].groups[g]), describe(expected[i].groups[g]));
        }
    }
};

QTEST_GUILESS_MAIN(TestRangeQueries)
#include "tst_rangequeries.moc"
