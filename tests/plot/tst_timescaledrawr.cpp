#include "plot/timescaledrawr.h"

#include <QtTest>
#include <qwt_text.h>

class TestTimeScaleDrawR : public QObject
{
    Q_OBJECT

private slots:
    void label_data();
    void label();
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

QTEST_MAIN(TestTimeScaleDrawR)
#include "tst_timescaledrawr.moc"
