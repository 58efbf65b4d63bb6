#include "scratchdatabase.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <cmath>
#include <memory>

// `tk52k-export --format stats` against the server's own aggregates over the
// same rows.
class TstRangeStatistics : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void agreesWithServer_data();
    void agreesWithServer();

private:
    QJsonObject runStats(const QString &from, const QString &to);

    std::unique_ptr<ScratchDatabase> m_db;
};

namespace {
const QDateTime kStart = QDateTime::fromString("2024-05-01 10:00:00", Qt::ISODate);
}

void TstRangeStatistics::initTestCase()
{
    m_db = std::make_unique<ScratchDatabase>(QStringLiteral("rangestats"));
    QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));

    // A long run of a reference read with a large offset and a tiny spread,
    // with overloads, a text that is no number, and rows of another quantity
    // in between, all of which the figures must leave out.
    QRandomGenerator random(52);
    QStringList rows;
    const auto row = [&](int sec, const QString &value, const QString &unit, const QString &func) {
        rows << QStringLiteral("('%1', '%2', '%3', '2', '%4')")
                    .arg(func, value, unit, kStart.addSecs(sec).toString("yyyy-MM-dd hh:mm:ss"));
    };
    for (int i = 0; i < 3000; ++i) {
        const int sec = i / 3; // three readings a second
        if (i % 97 == 5)
            row(sec, i % 2 ? "+ OL " : "- O.L ", "V", QStringLiteral("直流电压"));
        else if (i % 211 == 7)
            row(sec, QStringLiteral("12.5"), QStringLiteral("kΩ"), QStringLiteral("电阻"));
        else if (i == 1000)
            row(sec, QStringLiteral("----"), "V", QStringLiteral("直流电压"));
        else
            row(sec, QString::number(98765.4321 + (random.bounded(2001) - 1000) * 1e-4, 'f', 4), "V",
                QStringLiteral("直流电压"));
    }
    QVERIFY2(m_db->exec("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) VALUES " +
                        rows.join(',')),
             qPrintable(m_db->error()));
    // A single reading an hour later.
    QVERIFY(m_db->insert(kStart.addSecs(3600), "-0.25"));
}

QJsonObject TstRangeStatistics::runStats(const QString &from, const QString &to)
{
    QProcess p;
    p.start(qEnvironmentVariable("TK52K_BIN_DIR") + "/tk52k-export",
            {"--from", from, "--to", to, "--format", "stats"});
    if (!p.waitForFinished(120000) || p.exitCode() != 0) {
        qWarning() << p.readAllStandardError();
        return {};
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(p.readAllStandardOutput(), &error);
    if (error.error != QJsonParseError::NoError)
        qWarning() << error.errorString();
    return doc.object();
}

void TstRangeStatistics::agreesWithServer_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addRow("long run") << 0 << 999;
    QTest::addRow("one reading") << 3600 << 3600;
    QTest::addRow("no rows") << 2000 << 2100;
}

void TstRangeStatistics::agreesWithServer()
{
    QFETCH(int, from);
    QFETCH(int, to);
    const QString fromText = kStart.addSecs(from).toString("yyyy-MM-dd hh:mm:ss");
    const QString toText = kStart.addSecs(to).toString("yyyy-MM-dd hh:mm:ss");
    const QJsonObject stats = runStats(fromText, toText);
    QVERIFY(!stats.isEmpty());

    QSqlQuery q(m_db->connection());
    QVERIFY(q.prepare(R"(
        WITH r AS (SELECT * FROM invoice WHERE create_time BETWEEN ?::timestamp AND ?::timestamp
                   AND funcstr = '直流电压' AND unitstr = 'V'),
             v AS (SELECT datavaluestr::float8 AS x, create_time FROM r
                   WHERE datavaluestr ~ '^\s*[-+]?[0-9]+(\.[0-9]*)?\s*$')
        SELECT count(*), avg(x), stddev_samp(x), min(x), max(x),
               (SELECT min(create_time) FROM v WHERE x = (SELECT min(x) FROM v))::text,
               (SELECT min(create_time) FROM v WHERE x = (SELECT max(x) FROM v))::text,
               (SELECT count(*) FROM r WHERE datavaluestr ~ 'O')
        FROM v)"));
    q.addBindValue(fromText);
    q.addBindValue(toText);
    QVERIFY2(q.exec() && q.next(), qPrintable(q.lastError().text()));

    QCOMPARE(stats.value("count").toInt(), q.value(0).toInt());
    QCOMPARE(stats.value("overloads").toInt(), q.value(7).toInt());
    const char *figures[] = {"mean", "stddev", "min", "max"};
    for (int i = 0; i < 4; ++i) {
        const QJsonValue ours = stats.value(figures[i]);
        if (q.value(i + 1).isNull()) {
            QVERIFY2(ours.isNull(), figures[i]);
            continue;
        }
        const double theirs = q.value(i + 1).toDouble();
        QVERIFY2(std::abs(ours.toDouble() - theirs) <= 1e-9 * std::abs(theirs),
                 qPrintable(QStringLiteral("%1: %2 against %3")
                                .arg(figures[i], QString::number(ours.toDouble(), 'g', 17),
                                     QString::number(theirs, 'g', 17))));
    }
    const auto time = [](const QVariant &v) { return v.isNull() ? QString() : v.toString() + ".000"; };
    QCOMPARE(stats.value("min_time").toString(), time(q.value(5)));
    QCOMPARE(stats.value("max_time").toString(), time(q.value(6)));
    if (q.value(0).toInt() > 0) {
        QCOMPARE(stats.value("unit").toString(), QStringLiteral("V"));
        QCOMPARE(stats.value("function").toString(), QStringLiteral("直流电压"));
    }
}

QTEST_GUILESS_MAIN(TstRangeStatistics)
#include "tst_rangestatistics.moc"
