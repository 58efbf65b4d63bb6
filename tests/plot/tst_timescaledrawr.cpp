#include "plot/secondsscaleengine.h"
#include "plot/timescaledrawr.h"

#include <QtTest>
#include <qwt_text.h>

class TestTimeScaleDrawR : public QObject
{
    Q_OBJECT

private slots:
    void label_data();
    void label();
    void ticksNeverRepeatAClockTime_data();
    void ticksNeverRepeatAClockTime();
};

void TestTimeScaleDrawR::label_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("origin") << 0.0 << "10:00:00";
    QTest::newRow("last second of the hour") << 3599.0 << "10:59:59";
    QTest::newRow("fraction cut off") << 3600.7 << "11:00:00";
    QTest::newRow("59.9 is 59") << 59.9 << "10:00:59";
    QTest::newRow("next day shows time only") << 86400.0 << "10:00:00";
    QTest::newRow("one second before") << -1.0 << "09:59:59";
    QTest::newRow("negative fraction toward zero") << -0.5 << "10:00:00";
    QTest::newRow("-1.9 is -1") << -1.9 << "09:59:59";
    QTest::newRow("afternoon") << 5.0 * 3600 + 61 << "15:01:01";
    // Zoomed far out the axis asks for values beyond 32 bits.
    QTest::newRow("beyond int held") << 1e12 << QDateTime(QDate(2024, 3, 1), QTime(10, 0))
                                                    .addSecs(std::numeric_limits<int>::max())
                                                    .toString("hh:mm:ss");
}

void TestTimeScaleDrawR::label()
{
    QFETCH(double, value);
    QFETCH(QString, text);

    const TimeScaleDrawR draw(QDateTime(QDate(2024, 3, 1), QTime(10, 0)));
    QCOMPARE(draw.label(value).text(), text);
}

void TestTimeScaleDrawR::ticksNeverRepeatAClockTime_data()
{
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::newRow("first second of a run") << 0.0 << 0.0;
    QTest::newRow("two seconds") << 0.0 << 2.0;
    QTest::newRow("three seconds") << 0.0 << 3.0;
    QTest::newRow("an hour") << 0.0 << 3600.0;
    QTest::newRow("clock set back") << -2.0 << 1.0;
}

// The axis follows the data; a few seconds of data must not produce half
// second ticks that print the same clock time twice.
void TestTimeScaleDrawR::ticksNeverRepeatAClockTime()
{
    QFETCH(double, from);
    QFETCH(double, to);

    const SecondsScaleEngine engine;
    double x1 = from;
    double x2 = to;
    double step = 0.0;
    engine.autoScale(8, x1, x2, step);
    QVERIFY(step >= 1.0);
    const QwtScaleDiv div = engine.divideScale(x1, x2, 8, 5, step);
    const QList<double> ticks = div.ticks(QwtScaleDiv::MajorTick);
    QVERIFY(!ticks.isEmpty());
    const TimeScaleDrawR draw(QDateTime(QDate(2024, 3, 1), QTime(10, 0)));
    QStringList labels;
    for (double t : ticks)
        labels << draw.label(t).text();
    QCOMPARE(labels.removeDuplicates(), 0);
    QVERIFY(div.lowerBound() <= from && div.upperBound() >= to);
}

QTEST_MAIN(TestTimeScaleDrawR)
#include "tst_timescaledrawr.moc"
