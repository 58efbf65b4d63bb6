#include "plot/rangescale.h"

#include <QtTest>

class TestRangeScale : public QObject
{
    Q_OBJECT

private slots:
    void rows_data();
    void rows();
    void symmetricAndStepDividesRange();
    void outsideIndexesHaveNoEntry_data();
    void outsideIndexesHaveNoEntry();
};

void TestRangeScale::rows_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("upper");
    QTest::addColumn<double>("step");

    // Rows picked where a neighbour differs, so a shifted or swapped row shows.
    QTest::newRow("0 first") << 0 << 800 << 100.0;
    QTest::newRow("4") << 4 << 1200 << 200.0;
    QTest::newRow("10") << 10 << 8000 << 1000.0;
    QTest::newRow("14") << 14 << 12 << 2.0;
    QTest::newRow("16") << 16 << 8000 << 1000.0;
    QTest::newRow("20") << 20 << 12 << 2.0;
    QTest::newRow("27 half step") << 27 << 4 << 0.5;
    QTest::newRow("28") << 28 << 600 << 100.0;
    QTest::newRow("33") << 33 << 400 << 50.0;
    QTest::newRow("36") << 36 << 2000 << 400.0;
    QTest::newRow("39") << 39 << 2 << 0.5;
    QTest::newRow("40") << 40 << 30 << 6.0;
    QTest::newRow("42") << 42 << 1500 << 300.0;
    QTest::newRow("44 last") << 44 << 3000 << 500.0;
}

void TestRangeScale::rows()
{
    QFETCH(int, index);
    QFETCH(int, upper);
    QFETCH(double, step);

    QVERIFY(hasRangeScale(index));
    const std::optional<RangeScale> scale = rangeScale(index);
    QVERIFY(scale.has_value());
    QCOMPARE(scale->upper, upper);
    QCOMPARE(scale->lower, -upper);
    QCOMPARE(scale->step, step);
}

void TestRangeScale::symmetricAndStepDividesRange()
{
    // Every axis is symmetric and its ticks land on both ends.
    for (int i = 0; i < kRangeCount; ++i) {
        const std::optional<RangeScale> scale = rangeScale(i);
        QVERIFY2(scale.has_value(), qPrintable(QString::number(i)));
        QCOMPARE(scale->lower, -scale->upper);
        QVERIFY(scale->upper > 0);
        const double ticks = scale->upper / scale->step;
        QCOMPARE(ticks, std::floor(ticks));
    }
}

void TestRangeScale::outsideIndexesHaveNoEntry_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("initial reading") << -1;
    QTest::newRow("one past the end") << 45;
    QTest::newRow("far out") << 1000;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
}

void TestRangeScale::outsideIndexesHaveNoEntry()
{
    QFETCH(int, index);
    QVERIFY(!hasRangeScale(index));
    QVERIFY(!rangeScale(index).has_value());
}

QTEST_GUILESS_MAIN(TestRangeScale)
#include "tst_rangescale.moc"
