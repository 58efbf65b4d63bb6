#include "meter/runstatistics.h"

#include <QtTest>

#include <cmath>

class TestRunStatistics : public QObject
{
    Q_OBJECT

private slots:
    void figures_data();
    void figures();
    void extremesKeepFirstTime();
};

using Values = QVector<double>;

void TestRunStatistics::figures_data()
{
    QTest::addColumn<Values>("values");
    QTest::addColumn<double>("mean");
    QTest::addColumn<double>("stddev"); // NaN: not defined
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");

    const double nan = std::nan("");
    QTest::newRow("one reading") << Values{3.5} << 3.5 << nan << 3.5 << 3.5;
    QTest::newRow("small set") << Values{2, 4, 4, 4, 5, 5, 7, 9} << 5.0 << std::sqrt(32.0 / 7) << 2.0 << 9.0;
    // A sum of squares around 1e18 keeps no digit of a variance of 30.
    QTest::newRow("large offset, tiny spread")
        << Values{1e9 + 4, 1e9 + 7, 1e9 + 13, 1e9 + 16} << 1e9 + 10 << std::sqrt(30.0) << 1e9 + 4 << 1e9 + 16;
    QTest::newRow("all equal") << Values{0.1, 0.1, 0.1} << 0.1 << 0.0 << 0.1 << 0.1;
}

void TestRunStatistics::figures()
{
    QFETCH(Values, values);
    QFETCH(double, mean);
    QFETCH(double, stddev);
    QFETCH(double, min);
    QFETCH(double, max);

    RunStatistics stats;
    const QDateTime t0(QDate(2026, 3, 1), QTime(10, 0));
    for (int i = 0; i < values.size(); ++i)
        QVERIFY(stats.add(values[i], t0.addSecs(i)));
    QVERIFY(std::abs(stats.mean() - mean) <= 1e-12 * std::abs(mean));
    if (std::isnan(stddev))
        QVERIFY(std::isnan(stats.stddev()));
    else
        QVERIFY2(std::abs(stats.stddev() - stddev) <= 1e-9 * std::max(stddev, 1e-300) + 1e-15,
                 qPrintable(QString::number(stats.stddev(), 'g', 17)));
    QCOMPARE(stats.min(), min);
    QCOMPARE(stats.max(), max);
}

// The extremes carry the time they were first seen; overloads and values
// that are not finite take no part, and a reset forgets everything.
void TestRunStatistics::extremesKeepFirstTime()
{
    RunStatistics stats;
    const QDateTime t0(QDate(2026, 3, 1), QTime(10, 0));
    const Values values{5, 1, 9, 1, 9, 4};
    for (int i = 0; i < values.size(); ++i)
        stats.add(values[i], t0.addSecs(i));
    QVERIFY(!stats.add(std::nan(""), t0));
    stats.addOverload();
    QVERIFY(stats.minTime() == t0.addSecs(1) && stats.maxTime() == t0.addSecs(2));
    QVERIFY(stats.count() == 6 && stats.overloads() == 1 && stats.mean() == 29.0 / 6);
    stats.reset();
    QVERIFY(stats.count() == 0 && stats.overloads() == 0 && std::isnan(stats.mean()));
    stats.add(-3, t0);
    QCOMPARE(stats.max(), -3.0); // not the 9 of before the reset
}

QTEST_APPLESS_MAIN(TestRunStatistics)
#include "tst_runstatistics.moc"
