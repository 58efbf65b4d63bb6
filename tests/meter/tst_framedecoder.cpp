#include "meter/framedecoder.h"
#include "meter/tkdatadas.h"

#include <QDateTime>
#include <QLocale>
#include <QtTest>

namespace {

// Status bits as the meter documents them.
// byte 7
constexpr quint8 AUTO = 0x20, DC = 0x10, AC = 0x08, REL = 0x04, HOLD = 0x02, BAR = 0x01;
// byte 8
constexpr quint8 MAX = 0x20, MIN = 0x10, APO = 0x08, BAT = 0x04, NANO = 0x02;
// byte 9
constexpr quint8 MICRO = 0x80, MILLI = 0x40, KILO = 0x20, MEGA = 0x10, BEEP = 0x08, DIODE = 0x04,
                 PERCENT = 0x02;
// byte 10
constexpr quint8 VOLT = 0x80, AMP = 0x40, OHM = 0x20, HFE = 0x10, HZ = 0x08, FARAD = 0x04,
                 CELSIUS = 0x02, FAHRENHEIT = 0x01;

QByteArray makeFrame(char sign, const char *digits, char decimalCode, quint8 b7, quint8 b8,
                     quint8 b9, quint8 b10, quint8 b11 = 0)
{
    QByteArray f;
    f += sign;
    f += QByteArray(digits, 4);
    f += ' ';
    f += decimalCode;
    f += char(b7);
    f += char(b8);
    f += char(b9);
    f += char(b10);
    f += char(b11);
    f += char(0x0d);
    f += '\n';
    return f;
}

// The decimal-point code that announces a number of decimals.
char codeFor(int decimals)
{
    return "0421"[decimals];
}

const QString kOhm = QStringLiteral("Ω");

} // namespace

class TestFrameDecoder : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void everyRange_data();
    void everyRange();
    void selectionOrder_data();
    void selectionOrder();
    void decimalCode_data();
    void decimalCode();
    void values_data();
    void values();
    void invalid_data();
    void invalid();
    void panelBits_data();
    void panelBits();
    void valueTextIgnoresLocale();
    void fillReadingCopiesEverything();
    void overloadTexts_data();
    void overloadTexts();
    void recordedValueText_data();
    void recordedValueText();
    void tablesOutsideTheirSpan();
};

void TestFrameDecoder::workedExample()
{
    const QByteArray frame = QByteArray::fromHex("2B 30 35 30 30 20 32 30 00 00 80 00 0D 0A");
    QCOMPARE(frame.size(), 14);
    const DecodedFrame d = decodeMeterFrame(frame);
    QVERIFY(d.valid);
    QCOMPARE(d.funcIndex, 0);
    QCOMPARE(d.funcStr, QStringLiteral("DCV"));
    QCOMPARE(d.subRange, 2);
    QCOMPARE(d.rangeIndex, 2);
    QCOMPARE(d.unitStr, QStringLiteral("V"));
    QCOMPARE(d.decimals, 2);
    QCOMPARE(d.value, 5.0);
    QCOMPARE(d.valueStr, QStringLiteral("5.00"));
    QVERIFY(!d.overload);
    QVERIFY(!d.negative);
    QVERIFY(d.panel.autoRange);
    QVERIFY(!d.panel.barOn);
}

void TestFrameDecoder::everyRange_data()
{
    QTest::addColumn<quint8>("b7");
    QTest::addColumn<quint8>("b8");
    QTest::addColumn<quint8>("b9");
    QTest::addColumn<quint8>("b10");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<int>("func");
    QTest::addColumn<QString>("funcStr");
    QTest::addColumn<int>("subRange");
    QTest::addColumn<int>("range");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("overloadCount");

    auto row = [](int range, quint8 b7, quint8 b8, quint8 b9, quint8 b10, int decimals, int func,
                  const char *funcStr, int sub, const QString &unit, int overloadCount) {
        QTest::addRow("range %d", range) << b7 << b8 << b9 << b10 << decimals << func
                                         << QString::fromLatin1(funcStr) << sub << range << unit
                                         << overloadCount;
    };
    const quint8 n = 0;
    row(0, DC, n, MILLI, VOLT, 2, 0, "DCV", 0, "mV", 8000);
    row(1, DC, n, n, VOLT, 3, 0, "DCV", 1, "V", 8000);
    row(2, DC, n, n, VOLT, 2, 0, "DCV", 2, "V", 8000);
    row(3, DC, n, n, VOLT, 1, 0, "DCV", 3, "V", 8000);
    row(4, DC, n, n, VOLT, 0, 0, "DCV", 4, "V", 1200);
    row(5, AC, n, n, VOLT, 3, 1, "ACV", 0, "V", 8000);
    row(6, AC, n, n, VOLT, 2, 1, "ACV", 1, "V", 8000);
    row(7, AC, n, n, VOLT, 1, 1, "ACV", 2, "V", 8000);
    row(8, AC, n, n, VOLT, 0, 1, "ACV", 3, "V", 8000);
    row(9, DC, n, MICRO, AMP, 1, 2, "DCA", 0, "uA", 8000);
    row(10, DC, n, MICRO, AMP, 0, 2, "DCA", 1, "uA", 8000);
    row(11, DC, n, MILLI, AMP, 2, 2, "DCA", 2, "mA", 8000);
    row(12, DC, n, MILLI, AMP, 1, 2, "DCA", 3, "mA", 8000);
    row(13, DC, n, n, AMP, 3, 2, "DCA", 4, "A", 8000);
    row(14, DC, n, n, AMP, 2, 2, "DCA", 5, "A", 1200);
    row(15, AC, n, MICRO, AMP, 1, 3, "ACA", 0, "uA", 8000);
    row(16, AC, n, MICRO, AMP, 0, 3, "ACA", 1, "uA", 8000);
    row(17, AC, n, MILLI, AMP, 2, 3, "ACA", 2, "mA", 8000);
    row(18, AC, n, MILLI, AMP, 1, 3, "ACA", 3, "mA", 8000);
    row(19, AC, n, n, AMP, 3, 3, "ACA", 4, "A", 800);
    row(20, AC, n, n, AMP, 2, 3, "ACA", 5, "A", 1200);
    row(21, n, n, n, OHM, 1, 4, "OHM", 0, kOhm, 8000);
    row(22, n, n, KILO, OHM, 3, 4, "OHM", 1, "k" + kOhm, 8000);
    row(23, n, n, KILO, OHM, 2, 4, "OHM", 2, "k" + kOhm, 8000);
    row(24, n, n, KILO, OHM, 1, 4, "OHM", 3, "k" + kOhm, 8000);
    row(25, n, n, MEGA, OHM, 3, 4, "OHM", 4, "M" + kOhm, 8000);
    row(26, n, n, MEGA, OHM, 2, 4, "OHM", 5, "M" + kOhm, 8000);
    row(27, n, n, DIODE, VOLT, 3, 5, "DIODE", 0, "V", 4000);
    row(28, n, n, BEEP, OHM, 1, 6, "BEEP", 0, kOhm, 6000);
    row(29, n, NANO, n, FARAD, 2, 7, "CAP", 0, "nF", 6000);
    row(30, n, NANO, n, FARAD, 1, 7, "CAP", 1, "nF", 6000);
    row(31, n, n, MICRO, FARAD, 3, 7, "CAP", 2, "uF", 6000);
    row(32, n, n, MICRO, FARAD, 2, 7, "CAP", 3, "uF", 6000);
    row(33, n, n, MICRO, FARAD, 1, 7, "CAP", 4, "uF", 4000);
    row(34, n, n, n, HZ, 3, 8, "FREQ", 0, "Hz", 2000);
    row(35, n, n, n, HZ, 2, 8, "FREQ", 1, "Hz", 2000);
    row(36, n, n, n, HZ, 1, 8, "FREQ", 2, "Hz", 2000);
    row(37, n, n, KILO, HZ, 3, 8, "FREQ", 3, "kHz", 2000);
    row(38, n, n, KILO, HZ, 2, 8, "FREQ", 4, "kHz", 2000);
    row(39, n, n, MEGA, HZ, 3, 8, "FREQ", 5, "MHz", 2000);
    row(40, n, n, MEGA, HZ, 2, 8, "FREQ", 6, "MHz", 3000);
    row(41, n, n, PERCENT, n, 1, 9, "DUTY", 0, "%", 1200);
    row(42, n, n, n, CELSIUS, 0, 10, "TEMP", 0, QStringLiteral("℃"), 1500);
    row(43, n, n, n, FAHRENHEIT, 0, 10, "TEMP", 1, QStringLiteral("℉"), 3000);
    row(44, n, n, n, HFE, 0, 11, "hFE", 0, QStringLiteral(" "), 3000);
}

void TestFrameDecoder::everyRange()
{
    QFETCH(quint8, b7);
    QFETCH(quint8, b8);
    QFETCH(quint8, b9);
    QFETCH(quint8, b10);
    QFETCH(int, decimals);
    QFETCH(int, func);
    QFETCH(QString, funcStr);
    QFETCH(int, subRange);
    QFETCH(int, range);
    QFETCH(QString, unit);
    QFETCH(int, overloadCount);

    static const char *const digits1234[] = {"1234", "123.4", "12.34", "1.234"};
    const double scale[] = {1, 10, 100, 1000};

    const DecodedFrame d = decodeMeterFrame(makeFrame('+', "1234", codeFor(decimals), b7, b8, b9, b10));
    QVERIFY(d.valid);
    QCOMPARE(d.funcIndex, func);
    QCOMPARE(d.funcStr, funcStr);
    QCOMPARE(d.subRange, subRange);
    QCOMPARE(d.rangeIndex, range);
    QCOMPARE(d.unitStr, unit);
    QCOMPARE(d.decimals, decimals);
    QCOMPARE(d.valueStr, QString::fromLatin1(digits1234[decimals]));
    QCOMPARE(d.value, 1234 / scale[decimals]);
    QVERIFY(!d.overload);

    const DecodedFrame o = decodeMeterFrame(makeFrame('+', "?0:?", codeFor(decimals), b7, b8, b9, b10));
    QVERIFY(o.valid);
    QVERIFY(o.overload);
    QCOMPARE(o.rangeIndex, range);
    QCOMPARE(o.value, overloadCount / scale[decimals]);
    QCOMPARE(o.valueStr, QString::number(overloadCount / scale[decimals], 'f', decimals));
}

void TestFrameDecoder::selectionOrder_data()
{
    QTest::addColumn<quint8>("b7");
    QTest::addColumn<quint8>("b8");
    QTest::addColumn<quint8>("b9");
    QTest::addColumn<quint8>("b10");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<int>("func");
    QTest::addColumn<int>("subRange");
    QTest::addColumn<int>("range");
    QTest::addColumn<QString>("unit");

    const quint8 n = 0;
    QTest::newRow("nothing set") << n << n << n << n << 2 << 0 << 0 << 0 << QStringLiteral("mV");
    QTest::newRow("V alone stays DCV mV") << n << n << n << VOLT << 2 << 0 << 0 << 0 << QStringLiteral("mV");
    QTest::newRow("V before A") << DC << n << n << quint8(VOLT | AMP) << 3 << 0 << 1 << 1 << QStringLiteral("V");
    QTest::newRow("DC before AC") << quint8(DC | AC) << n << n << VOLT << 0 << 0 << 4 << 4 << QStringLiteral("V");
    QTest::newRow("AC before diode") << AC << n << DIODE << VOLT << 3 << 1 << 0 << 5 << QStringLiteral("V");
    QTest::newRow("milli beats decimals on DCV") << DC << n << MILLI << VOLT << 0 << 0 << 0 << 0 << QStringLiteral("mV");
    QTest::newRow("milli ignored on ACV") << AC << n << MILLI << VOLT << 2 << 1 << 1 << 6 << QStringLiteral("V");
    QTest::newRow("A without DC or AC uses the DCV row")
        << n << n << n << AMP << 3 << 0 << 4 << 4 << QStringLiteral("V");
    QTest::newRow("A without DC or AC, milli") << n << n << MILLI << AMP << 2 << 0 << 2 << 2 << QStringLiteral("V");
    QTest::newRow("micro before milli") << DC << n << quint8(MICRO | MILLI) << AMP << 2 << 2 << 0 << 9 << QStringLiteral("uA");
    QTest::newRow("micro, unnamed decimals") << AC << n << MICRO << AMP << 3 << 3 << 0 << 15 << QStringLiteral("uA");
    QTest::newRow("A before ohm") << DC << n << n << quint8(AMP | OHM) << 2 << 2 << 5 << 14 << QStringLiteral("A");
    QTest::newRow("A plain, 0 decimals") << DC << n << n << AMP << 0 << 2 << 0 << 9 << QStringLiteral("uA");
    QTest::newRow("beep before kilo") << n << n << quint8(BEEP | KILO) << OHM << 3 << 6 << 0 << 28 << kOhm;
    QTest::newRow("kilo before mega") << n << n << quint8(KILO | MEGA) << OHM << 2 << 4 << 2 << 23 << QStringLiteral("k") + kOhm;
    QTest::newRow("kilo, 0 decimals") << n << n << KILO << OHM << 0 << 4 << 0 << 21 << kOhm;
    QTest::newRow("mega, 1 decimal") << n << n << MEGA << OHM << 1 << 4 << 0 << 21 << kOhm;
    QTest::newRow("ohm before Hz") << n << n << n << quint8(OHM | HZ) << 2 << 4 << 0 << 21 << kOhm;
    QTest::newRow("Hz kilo before mega") << n << n << quint8(KILO | MEGA) << HZ << 2 << 8 << 4 << 38 << QStringLiteral("kHz");
    QTest::newRow("Hz mega, 1 decimal") << n << n << MEGA << HZ << 1 << 8 << 0 << 34 << QStringLiteral("Hz");
    QTest::newRow("Hz, 0 decimals") << n << n << n << HZ << 0 << 8 << 0 << 34 << QStringLiteral("Hz");
    QTest::newRow("Hz before percent") << n << n << PERCENT << HZ << 2 << 8 << 1 << 35 << QStringLiteral("Hz");
    QTest::newRow("V before percent") << DC << n << PERCENT << VOLT << 1 << 0 << 3 << 3 << QStringLiteral("V");
    QTest::newRow("percent before F") << n << n << PERCENT << FARAD << 2 << 9 << 0 << 41 << QStringLiteral("%");
    QTest::newRow("nano before micro") << n << NANO << MICRO << FARAD << 3 << 7 << 0 << 29 << QStringLiteral("nF");
    QTest::newRow("F micro, 0 decimals") << n << n << MICRO << FARAD << 0 << 7 << 0 << 29 << QStringLiteral("nF");
    QTest::newRow("F without prefix") << n << n << n << FARAD << 2 << 7 << 0 << 29 << QStringLiteral("nF");
    QTest::newRow("F before Celsius") << n << NANO << n << quint8(FARAD | CELSIUS) << 1 << 7 << 1 << 30 << QStringLiteral("nF");
    QTest::newRow("Celsius before Fahrenheit")
        << n << n << n << quint8(CELSIUS | FAHRENHEIT) << 1 << 10 << 0 << 42 << QStringLiteral("℃");
    QTest::newRow("Fahrenheit before hFE")
        << n << n << n << quint8(FAHRENHEIT | HFE) << 1 << 10 << 1 << 43 << QStringLiteral("℉");
    QTest::newRow("nano ignored outside F") << DC << NANO << n << VOLT << 2 << 0 << 2 << 2 << QStringLiteral("V");
    QTest::newRow("diode bit ignored outside V") << n << n << DIODE << HFE << 0 << 11 << 0 << 44 << QStringLiteral(" ");
}

void TestFrameDecoder::selectionOrder()
{
    QFETCH(quint8, b7);
    QFETCH(quint8, b8);
    QFETCH(quint8, b9);
    QFETCH(quint8, b10);
    QFETCH(int, decimals);
    QFETCH(int, func);
    QFETCH(int, subRange);
    QFETCH(int, range);
    QFETCH(QString, unit);

    const DecodedFrame d = decodeMeterFrame(makeFrame('+', "0042", codeFor(decimals), b7, b8, b9, b10));
    QVERIFY(d.valid);
    QCOMPARE(d.funcIndex, func);
    QCOMPARE(d.subRange, subRange);
    QCOMPARE(d.rangeIndex, range);
    QCOMPARE(d.unitStr, unit);
}

void TestFrameDecoder::decimalCode_data()
{
    QTest::addColumn<char>("code");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("valueStr");

    QTest::newRow("1") << '1' << 3 << QStringLiteral("1.234");
    QTest::newRow("2") << '2' << 2 << QStringLiteral("12.34");
    QTest::newRow("4") << '4' << 1 << QStringLiteral("123.4");
    QTest::newRow("0") << '0' << 0 << QStringLiteral("1234");
    QTest::newRow("3") << '3' << 0 << QStringLiteral("1234");
    QTest::newRow("8") << '8' << 0 << QStringLiteral("1234");
    QTest::newRow("NUL") << '\0' << 0 << QStringLiteral("1234");
    QTest::newRow("0x31 with high bit") << char(0xb1) << 0 << QStringLiteral("1234");
}

void TestFrameDecoder::decimalCode()
{
    QFETCH(char, code);
    QFETCH(int, decimals);
    QFETCH(QString, valueStr);

    const DecodedFrame d = decodeMeterFrame(makeFrame('+', "1234", code, AUTO | DC, 0, 0, VOLT));
    QVERIFY(d.valid);
    QCOMPARE(d.decimals, decimals);
    QCOMPARE(d.valueStr, valueStr);
}

void TestFrameDecoder::values_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("range");
    QTest::addColumn<bool>("overload");
    QTest::addColumn<bool>("negative");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("valueStr");

    const quint8 n = 0;
    QTest::newRow("negative overload ACV 1 decimal")
        << makeFrame('-', "?0:?", '4', AC, n, n, VOLT) << 7 << true << true << -800.0 << QStringLiteral("-800.0");
    QTest::newRow("TEMP overload 1 decimal is ten times")
        << makeFrame('+', "?0:?", '4', n, n, n, CELSIUS) << 42 << true << false << 1500.0 << QStringLiteral("1500.0");
    QTest::newRow("TEMP overload 0 decimals")
        << makeFrame('+', "?0:?", '0', n, n, n, CELSIUS) << 42 << true << false << 1500.0 << QStringLiteral("1500");
    QTest::newRow("Fahrenheit overload 1 decimal")
        << makeFrame('+', "?0:?", '4', n, n, n, FAHRENHEIT) << 43 << true << false << 3000.0 << QStringLiteral("3000.0");
    QTest::newRow("TEMP overload 2 decimals is not multiplied")
        << makeFrame('+', "?0:?", '2', n, n, n, CELSIUS) << 42 << true << false << 15.0 << QStringLiteral("15.00");
    QTest::newRow("overload 1 decimal elsewhere is not multiplied")
        << makeFrame('+', "?0:?", '4', DC, n, n, VOLT) << 3 << true << false << 800.0 << QStringLiteral("800.0");
    QTest::newRow("range 19 overloads at 800")
        << makeFrame('+', "?0:?", '1', AC, n, n, AMP) << 19 << true << false << 0.8 << QStringLiteral("0.800");
    QTest::newRow("range 13 overloads at 8000")
        << makeFrame('-', "?0:?", '1', DC, n, n, AMP) << 13 << true << true << -8.0 << QStringLiteral("-8.000");
    QTest::newRow("minus zero has no minus in its text")
        << makeFrame('-', "0000", '0', DC, n, n, VOLT) << 4 << false << true << 0.0 << QStringLiteral("0");
    QTest::newRow("minus zero with decimals")
        << makeFrame('-', "0000", '1', DC, n, n, VOLT) << 1 << false << true << 0.0 << QStringLiteral("0.000");
    QTest::newRow("negative value") << makeFrame('-', "1234", '1', DC, n, n, VOLT) << 1 << false
                                    << true << -1.234 << QStringLiteral("-1.234");
    QTest::newRow("leading zeros") << makeFrame('+', "0007", '2', DC, n, n, VOLT) << 2 << false
                                   << false << 0.07 << QStringLiteral("0.07");
    QTest::newRow("largest count") << makeFrame('+', "9999", '0', DC, n, n, VOLT) << 4 << false
                                   << false << 9999.0 << QStringLiteral("9999");
    QTest::newRow("space sign is positive") << makeFrame(' ', "0100", '4', DC, n, n, VOLT) << 3
                                            << false << false << 10.0 << QStringLiteral("10.0");
    QTest::newRow("any other sign byte is positive")
        << makeFrame(char(0xad), "0100", '4', DC, n, n, VOLT) << 3 << false << false << 10.0 << QStringLiteral("10.0");
    QTest::newRow("hFE zero") << makeFrame('+', "0000", '0', n, n, n, HFE) << 44 << false << false
                              << 0.0 << QStringLiteral("0");
}

void TestFrameDecoder::values()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, range);
    QFETCH(bool, overload);
    QFETCH(bool, negative);
    QFETCH(double, value);
    QFETCH(QString, valueStr);

    const DecodedFrame d = decodeMeterFrame(frame);
    QVERIFY(d.valid);
    QCOMPARE(d.rangeIndex, range);
    QCOMPARE(d.overload, overload);
    QCOMPARE(d.negative, negative);
    QCOMPARE(d.value, value);
    QCOMPARE(d.valueStr, valueStr);
}

void TestFrameDecoder::invalid_data()
{
    QTest::addColumn<QByteArray>("frame");

    const QByteArray good = makeFrame('+', "1234", '1', AUTO | DC | BAR, MAX | BAT, 0, VOLT, 0x85);
    QVERIFY(decodeMeterFrame(good).valid);
    auto with = [&good](int index, char byte) {
        QByteArray f = good;
        f[index] = byte;
        return f;
    };
    QTest::newRow("byte 5 a digit") << with(5, '0');
    QTest::newRow("byte 5 NUL") << with(5, '\0');
    QTest::newRow("byte 5 line feed") << with(5, '\n');
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("13 bytes") << good.left(13);
    QTest::newRow("letter among digits") << with(3, 'a');
    QTest::newRow("space among digits") << with(1, ' ');
    QTest::newRow("byte below 0") << with(4, '/');
    QTest::newRow("byte above 9") << with(2, ':');
    QTest::newRow("high byte among digits") << with(1, char(0xb0));
    QTest::newRow("overload pattern broken") << makeFrame('+', "?0:0", '1', DC, 0, 0, VOLT);
    QTest::newRow("overload pattern reversed") << makeFrame('+', "?:0?", '1', DC, 0, 0, VOLT);
    QTest::newRow("plus sign among digits") << makeFrame('+', "12+4", '1', DC, 0, 0, VOLT);
}

void TestFrameDecoder::invalid()
{
    QFETCH(QByteArray, frame);

    const DecodedFrame d = decodeMeterFrame(frame);
    QVERIFY(!d.valid);
    // Nothing of the frame may leak out, the panel bits least of all.
    QCOMPARE(d.panel.autoRange, false);
    QCOMPARE(d.panel.barOn, false);
    QCOMPARE(d.panel.barLevel, 0);
    QCOMPARE(d.panel.max, false);
    QCOMPARE(d.panel.bat, false);
    QCOMPARE(d.negative, false);
    QVERIFY(d.valueStr.isEmpty());
}

void TestFrameDecoder::panelBits_data()
{
    QTest::addColumn<quint8>("b7");
    QTest::addColumn<quint8>("b8");
    QTest::addColumn<quint8>("b11");
    QTest::addColumn<QString>("expected"); // on fields, in PanelBits order

    QTest::newRow("none, function bits set") << quint8(DC | AC) << NANO << quint8(0) << QStringLiteral("");
    QTest::newRow("AUTO") << AUTO << quint8(0) << quint8(0) << QStringLiteral("auto");
    QTest::newRow("REL") << REL << quint8(0) << quint8(0) << QStringLiteral("rel");
    QTest::newRow("HOLD") << HOLD << quint8(0) << quint8(0) << QStringLiteral("hold");
    QTest::newRow("bar on") << BAR << quint8(0) << quint8(0) << QStringLiteral("barOn");
    QTest::newRow("MAX") << quint8(0) << MAX << quint8(0) << QStringLiteral("max");
    QTest::newRow("MIN") << quint8(0) << MIN << quint8(0) << QStringLiteral("min");
    QTest::newRow("APO") << quint8(0) << APO << quint8(0) << QStringLiteral("apo");
    QTest::newRow("BAT") << quint8(0) << BAT << quint8(0) << QStringLiteral("bat");
    QTest::newRow("bar minus") << BAR << quint8(0) << quint8(0x80) << QStringLiteral("barOn barNegative");
    QTest::newRow("bar full") << BAR << quint8(0) << quint8(0x7f) << QStringLiteral("barOn level127");
    QTest::newRow("bar minus and length") << BAR << quint8(0) << quint8(0x85)
                                          << QStringLiteral("barOn barNegative level5");
    QTest::newRow("everything") << quint8(0x3f) << quint8(0x3e) << quint8(0xff)
                                << QStringLiteral("auto rel hold barOn barNegative level127 max min apo bat");
}

void TestFrameDecoder::panelBits()
{
    QFETCH(quint8, b7);
    QFETCH(quint8, b8);
    QFETCH(quint8, b11);
    QFETCH(QString, expected);

    const DecodedFrame d = decodeMeterFrame(makeFrame('+', "0001", '0', b7, b8, 0, VOLT, b11));
    QVERIFY(d.valid);
    const PanelBits &p = d.panel;
    QStringList on;
    if (p.autoRange) on << QStringLiteral("auto");
    if (p.rel) on << QStringLiteral("rel");
    if (p.hold) on << QStringLiteral("hold");
    if (p.barOn) on << QStringLiteral("barOn");
    if (p.barNegative) on << QStringLiteral("barNegative");
    if (p.barLevel) on << QStringLiteral("level%1").arg(p.barLevel);
    if (p.max) on << QStringLiteral("max");
    if (p.min) on << QStringLiteral("min");
    if (p.apo) on << QStringLiteral("apo");
    if (p.bat) on << QStringLiteral("bat");
    QCOMPARE(on.join(' '), expected);
}

void TestFrameDecoder::valueTextIgnoresLocale()
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const DecodedFrame d = decodeMeterFrame(makeFrame('-', "1234", '1', DC, 0, 0, VOLT));
    QLocale::setDefault(saved);
    QCOMPARE(d.valueStr, QStringLiteral("-1.234"));
}

void TestFrameDecoder::fillReadingCopiesEverything()
{
    const DecodedFrame d = decodeMeterFrame(makeFrame('-', "?0:?", '2', AC, 0, MILLI, AMP));
    QVERIFY(d.valid);
    const QDateTime when(QDate(2024, 3, 5), QTime(14, 7, 9));
    TkDataDas reading;
    fillReading(d, when, reading);
    QCOMPARE(reading.funcIndex, 3);
    QCOMPARE(reading.funcStr, QStringLiteral("ACA"));
    QCOMPARE(reading.subRange, 2);
    QCOMPARE(reading.rangeIndex, 17);
    QCOMPARE(reading.value, -80.0);
    QCOMPARE(reading.valueStr, QStringLiteral("-80.00"));
    QCOMPARE(reading.unitStr, QStringLiteral("mA"));
    QCOMPARE(reading.decimals, 2);
    QCOMPARE(reading.overload, true);
    QCOMPARE(reading.negative, true);
    QCOMPARE(reading.time, when);
}

void TestFrameDecoder::overloadTexts_data()
{
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("positive");
    QTest::addColumn<QString>("negative");

    QTest::newRow("0") << 0 << QStringLiteral(" OL ") << QStringLiteral("+ OL ") << QStringLiteral("- OL ");
    QTest::newRow("1") << 1 << QStringLiteral(" OL. ") << QStringLiteral("+ OL. ") << QStringLiteral("- OL. ");
    QTest::newRow("2") << 2 << QStringLiteral(" O.L ") << QStringLiteral("+ O.L ") << QStringLiteral("- O.L ");
    QTest::newRow("3") << 3 << QStringLiteral(" .OL ") << QStringLiteral("+ .OL ") << QStringLiteral("- .OL ");
    QTest::newRow("out of span") << 7 << QStringLiteral(" OL ") << QStringLiteral("+ OL ") << QStringLiteral("- OL ");
}

void TestFrameDecoder::overloadTexts()
{
    QFETCH(int, decimals);
    QFETCH(QString, plain);
    QFETCH(QString, positive);
    QFETCH(QString, negative);

    QCOMPARE(overloadText(decimals), plain);
    QCOMPARE(signedOverloadText(false, decimals), positive);
    QCOMPARE(signedOverloadText(true, decimals), negative);
}

void TestFrameDecoder::recordedValueText_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("text");

    QTest::newRow("number") << makeFrame('-', "0500", '2', DC, 0, 0, VOLT) << QStringLiteral("-5.00");
    QTest::newRow("minus zero") << makeFrame('-', "0000", '2', DC, 0, 0, VOLT) << QStringLiteral("0.00");
    QTest::newRow("positive overload") << makeFrame('+', "?0:?", '0', DC, 0, 0, VOLT) << QStringLiteral("+ OL ");
    QTest::newRow("negative overload") << makeFrame('-', "?0:?", '1', DC, 0, 0, VOLT) << QStringLiteral("- .OL ");
    QTest::newRow("overload 2 decimals") << makeFrame('+', "?0:?", '2', DC, 0, 0, VOLT) << QStringLiteral("+ O.L ");
}

void TestFrameDecoder::recordedValueText()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, text);

    const DecodedFrame d = decodeMeterFrame(frame);
    QVERIFY(d.valid);
    TkDataDas reading;
    fillReading(d, QDateTime::currentDateTime(), reading);
    QCOMPARE(::recordedValueText(reading), text);
}

void TestFrameDecoder::tablesOutsideTheirSpan()
{
    QCOMPARE(meterRangeIndex(5, 1), 0);   // DIODE has one range only
    QCOMPARE(meterRangeIndex(1, 4), 0);   // ACV has four
    QCOMPARE(meterRangeIndex(12, 0), 0);
    QCOMPARE(meterRangeIndex(8, 7), 0);
    QCOMPARE(meterRangeIndex(8, 6), 40);
    QCOMPARE(meterRangeUnit(-1), QString());
    QCOMPARE(meterRangeUnit(45), QString());
    QCOMPARE(meterFunctionText(12), QString());
    QCOMPARE(meterOverloadCount(45), 0);
}

QTEST_APPLESS_MAIN(TestFrameDecoder)
#include "tst_framedecoder.moc"
