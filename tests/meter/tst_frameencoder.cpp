#include "meter/frameencoder.h"

#include <QtTest>

#include <cmath>

class TestFrameEncoder : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void everyRangeDecodesBack_data();
    void everyRangeDecodesBack();
    void panelBitsDecodeBack_data();
    void panelBitsDecodeBack();
    void digitsAreClampedToFour();
    void rangeOutsideTheTableGivesNothing();
};

void TestFrameEncoder::workedExample()
{
    FrameContent c;
    c.rangeIndex = 2;
    c.count = 500;
    c.panel.autoRange = true;
    QCOMPARE(encodeMeterFrame(c).toHex(' '), QByteArray("2b 30 35 30 30 20 32 30 00 00 80 00 0d 0a"));
}

void TestFrameEncoder::everyRangeDecodesBack_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("negative");
    QTest::addColumn<bool>("overload");
    for (int r = 0; r < kRangeCount; ++r) {
        // A count the range can show, a different one per range so that a
        // digit shifted or dropped shows up.
        const int count = (1234 + 97 * r) % (meterOverloadCount(r) - 1) + 1;
        QTest::addRow("range %d", r) << r << count << (r % 2 == 1) << false;
        QTest::addRow("range %d overload", r) << r << 0 << (r % 3 == 0) << true;
    }
}

void TestFrameEncoder::everyRangeDecodesBack()
{
    QFETCH(int, range);
    QFETCH(int, count);
    QFETCH(bool, negative);
    QFETCH(bool, overload);

    FrameContent c;
    c.rangeIndex = range;
    c.count = count;
    c.negative = negative;
    c.overload = overload;
    const QByteArray frame = encodeMeterFrame(c);
    QCOMPARE(frame.size(), kFrameSize);
    QCOMPARE(frame.at(13), '\n');
    // No line feed inside the frame for these contents: the receiver would
    // cut there.
    QCOMPARE(frame.indexOf('\n'), 13);

    const DecodedFrame d = decodeMeterFrame(frame);
    QVERIFY(d.valid);
    QCOMPARE(d.rangeIndex, range);
    QCOMPARE(d.decimals, rangeDecimals(range));
    QCOMPARE(d.overload, overload);
    QCOMPARE(d.negative, negative);
    QCOMPARE(d.unitStr, meterRangeUnit(range));
    if (!overload) {
        const double expected = (negative ? -count : count) / std::pow(10.0, d.decimals);
        QCOMPARE(d.value, expected);
    }
}

void TestFrameEncoder::panelBitsDecodeBack_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<PanelBits>("panel");
    PanelBits none;
    QTest::newRow("nothing lit") << 0 << none;
    PanelBits all;
    all.autoRange = all.rel = all.hold = all.barOn = all.barNegative = true;
    all.max = all.min = all.apo = all.bat = true;
    all.barLevel = 127;
    // Capacitance uses the nano bit in the same byte as MAX…BAT, frequency
    // the kilo bit beside the function bits.
    QTest::newRow("everything lit, nF") << 29 << all;
    QTest::newRow("everything lit, kHz") << 37 << all;
    PanelBits some;
    some.hold = some.barOn = some.bat = true;
    some.barLevel = 33;
    QTest::newRow("hold, bar 33, battery") << 12 << some;
}

Q_DECLARE_METATYPE(PanelBits)

void TestFrameEncoder::panelBitsDecodeBack()
{
    QFETCH(int, range);
    QFETCH(PanelBits, panel);
    FrameContent c;
    c.rangeIndex = range;
    c.count = 42;
    c.panel = panel;
    const DecodedFrame d = decodeMeterFrame(encodeMeterFrame(c));
    QVERIFY(d.valid);
    QCOMPARE(d.rangeIndex, range);
    QCOMPARE(d.panel.autoRange, panel.autoRange);
    QCOMPARE(d.panel.rel, panel.rel);
    QCOMPARE(d.panel.hold, panel.hold);
    QCOMPARE(d.panel.barOn, panel.barOn);
    QCOMPARE(d.panel.barNegative, panel.barNegative);
    QCOMPARE(d.panel.barLevel, panel.barLevel);
    QCOMPARE(d.panel.max, panel.max);
    QCOMPARE(d.panel.min, panel.min);
    QCOMPARE(d.panel.apo, panel.apo);
    QCOMPARE(d.panel.bat, panel.bat);
}

void TestFrameEncoder::digitsAreClampedToFour()
{
    FrameContent c;
    c.rangeIndex = 4;
    c.count = 123456;
    QCOMPARE(encodeMeterFrame(c).mid(1, 4), QByteArray("9999"));
    c.count = -7;
    QCOMPARE(encodeMeterFrame(c).mid(0, 5), QByteArray("+0007"));
}

void TestFrameEncoder::rangeOutsideTheTableGivesNothing()
{
    FrameContent c;
    c.rangeIndex = kRangeCount;
    QVERIFY(encodeMeterFrame(c).isEmpty());
    c.rangeIndex = -1;
    QVERIFY(encodeMeterFrame(c).isEmpty());
    QCOMPARE(rangeDecimals(-1), -1);
}

QTEST_GUILESS_MAIN(TestFrameEncoder)
#include "tst_frameencoder.moc"
