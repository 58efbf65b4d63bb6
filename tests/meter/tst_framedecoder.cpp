#include "core/meter/framedecoder.h"
#include "core/meter/frameencoder.h"

#include <QLocale>
#include <QtTest>

#include <cmath>

namespace {

// Status bits as the meter documents them: bytes 7, 8, 9 and 10.
constexpr quint8 DC = 0x10, AC = 0x08, NANO = 0x02;
constexpr quint8 MICRO = 0x80, MILLI = 0x40, KILO = 0x20, MEGA = 0x10, BEEP = 0x08, DIODE = 0x04,
                 PERCENT = 0x02;
constexpr quint8 VOLT = 0x80, AMP = 0x40, OHM = 0x20, HFE = 0x10, HZ = 0x08, FARAD = 0x04, CELSIUS = 0x02,
                 FAHRENHEIT = 0x01;

QByteArray makeFrame(char sign, const char *digits, char code, quint8 b7, quint8 b8, quint8 b9, quint8 b10,
                     quint8 b11 = 0)
{
    return QByteArray(1, sign) + QByteArray(digits, 4) + ' ' + code + char(b7) + char(b8) + char(b9) +
           char(b10) + char(b11) + "\r\n";
}

// The decimal-point code that announces a number of decimals.
char codeFor(int decimals)
{
    return "0421"[decimals];
}

// What the meter sends in each range (status bits, decimals) and what the
// range means (function, unit, overload count), one row per range index.
struct RangeRow
{
    quint8 b7, b8, b9, b10;
    int decimals, func;
    const char *unit;
    int overloadCount;
};
const RangeRow kRows[kRangeCount] = {
    {DC, 0, MILLI, VOLT, 2, 0, "mV", 8000}, {DC, 0, 0, VOLT, 3, 0, "V", 8000},
    {DC, 0, 0, VOLT, 2, 0, "V", 8000},      {DC, 0, 0, VOLT, 1, 0, "V", 8000},
    {DC, 0, 0, VOLT, 0, 0, "V", 1200},      {AC, 0, 0, VOLT, 3, 1, "V", 8000},
    {AC, 0, 0, VOLT, 2, 1, "V", 8000},      {AC, 0, 0, VOLT, 1, 1, "V", 8000},
    {AC, 0, 0, VOLT, 0, 1, "V", 8000},      {DC, 0, MICRO, AMP, 1, 2, "uA", 8000},
    {DC, 0, MICRO, AMP, 0, 2, "uA", 8000},  {DC, 0, MILLI, AMP, 2, 2, "mA", 8000},
    {DC, 0, MILLI, AMP, 1, 2, "mA", 8000},  {DC, 0, 0, AMP, 3, 2, "A", 8000},
    {DC, 0, 0, AMP, 2, 2, "A", 1200},       {AC, 0, MICRO, AMP, 1, 3, "uA", 8000},
    {AC, 0, MICRO, AMP, 0, 3, "uA", 8000},  {AC, 0, MILLI, AMP, 2, 3, "mA", 8000},
    {AC, 0, MILLI, AMP, 1, 3, "mA", 8000},  {AC, 0, 0, AMP, 3, 3, "A", 800},
    {AC, 0, 0, AMP, 2, 3, "A", 1200},       {0, 0, 0, OHM, 1, 4, "Ω", 8000},
    {0, 0, KILO, OHM, 3, 4, "kΩ", 8000},    {0, 0, KILO, OHM, 2, 4, "kΩ", 8000},
    {0, 0, KILO, OHM, 1, 4, "kΩ", 8000},    {0, 0, MEGA, OHM, 3, 4, "MΩ", 8000},
    {0, 0, MEGA, OHM, 2, 4, "MΩ", 8000},    {0, 0, DIODE, VOLT, 3, 5, "V", 4000},
    {0, 0, BEEP, OHM, 1, 6, "Ω", 6000},     {0, NANO, 0, FARAD, 2, 7, "nF", 6000},
    {0, NANO, 0, FARAD, 1, 7, "nF", 6000},  {0, 0, MICRO, FARAD, 3, 7, "uF", 6000},
    {0, 0, MICRO, FARAD, 2, 7, "uF", 6000}, {0, 0, MICRO, FARAD, 1, 7, "uF", 4000},
    {0, 0, 0, HZ, 3, 8, "Hz", 2000},        {0, 0, 0, HZ, 2, 8, "Hz", 2000},
    {0, 0, 0, HZ, 1, 8, "Hz", 2000},        {0, 0, KILO, HZ, 3, 8, "kHz", 2000},
    {0, 0, KILO, HZ, 2, 8, "kHz", 2000},    {0, 0, MEGA, HZ, 3, 8, "MHz", 2000},
    {0, 0, MEGA, HZ, 2, 8, "MHz", 3000},    {0, 0, PERCENT, 0, 1, 9, "%", 1200},
    {0, 0, 0, CELSIUS, 0, 10, "℃", 1500},   {0, 0, 0, FAHRENHEIT, 0, 10, "℉", 3000},
    {0, 0, 0, HFE, 0, 11, " ", 3000},
};
const char *const kFunctions[] = {"DCV",  "ACV", "DCA",  "ACA",  "OHM",  "DIODE",
                                  "BEEP", "CAP", "FREQ", "DUTY", "TEMP", "hFE"};

// Every panel field, to compare what was sent with what was read.
QVector<int> panelFields(const PanelBits &p)
{
    return {p.autoRange, p.rel, p.hold, p.barOn, p.barNegative, p.barLevel, p.max, p.min, p.apo, p.bat};
}

} // namespace

class TestFrameDecoder : public QObject
{
    Q_OBJECT

private slots:
    // Value texts are the meter's, whatever the user's locale.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void everyRange_data()
    {
        QTest::addColumn<int>("range");
        QTest::addColumn<int>("subRange");
        for (int r = 0, sub = 0; r < kRangeCount; ++r) {
            sub = r > 0 && kRows[r - 1].func == kRows[r].func ? sub + 1 : 0;
            QTest::addRow("range %d", r) << r << sub;
        }
    }

    // The decoder's tables, then the encoder that the simulator and benchmarks
    // build their traffic with, both against the same rows. Every range shows
    // all four digits whatever its overload count (0.801 A to 7.999 A on the
    // 800 of AC amperes, 2.001 Hz to 9.999 Hz on the 2000 of frequency).
    void everyRange()
    {
        QFETCH(int, range);
        QFETCH(int, subRange);
        const RangeRow &row = kRows[range];
        const double scale = std::pow(10.0, row.decimals);

        // The fuzz target holds the fields to each other (value and its text,
        // range and its table row); here they meet the meter's own tables.
        const auto signature = [](const QString &func, int sub, int range, const QString &value,
                                  const QString &unit) {
            return QStringLiteral("%1 %2/%3 %4 %5").arg(func).arg(sub).arg(range).arg(value, unit);
        };
        const DecodedFrame d =
            decodeMeterFrame(makeFrame('+', "9999", codeFor(row.decimals), row.b7, row.b8, row.b9, row.b10));
        QVERIFY(d.valid && !d.overload);
        QCOMPARE(signature(d.funcStr, d.subRange, d.rangeIndex, d.valueStr, d.unitStr),
                 signature(kFunctions[row.func], subRange, range,
                           QString::number(9999 / scale, 'f', row.decimals), QString::fromUtf8(row.unit)));

        const DecodedFrame o =
            decodeMeterFrame(makeFrame('+', "?0:?", codeFor(row.decimals), row.b7, row.b8, row.b9, row.b10));
        QVERIFY(o.valid && o.overload && o.rangeIndex == range);
        QCOMPARE(o.valueStr, QString::number(row.overloadCount / scale, 'f', row.decimals));

        // A different count, sign and set of annunciators per range, so that a
        // shifted digit or a bit landing in the wrong byte shows.
        FrameContent c;
        c.rangeIndex = range;
        c.count = (1234 + 97 * range) % (row.overloadCount - 1) + 1;
        c.negative = range % 2;
        bool *flags[] = {&c.panel.autoRange, &c.panel.rel,         &c.panel.hold,
                         &c.panel.barOn,     &c.panel.barNegative, &c.panel.max,
                         &c.panel.min,       &c.panel.apo,         &c.panel.bat};
        for (int j = 0; j < 9; ++j)
            *flags[j] = (range + j) % 3 == 0 || range % 4 == 1;
        c.panel.barLevel = range % 4 == 1 ? 127 : 2 * range;
        c.panel.hold = c.panel.hold && !(row.b7 & AC); // AC with HOLD is a line feed in byte 7
        const QByteArray frame = encodeMeterFrame(c);
        QCOMPARE(frame.indexOf('\n'), 13); // a line feed inside would cut the frame short
        const DecodedFrame e = decodeMeterFrame(frame);
        QVERIFY(e.valid && !e.overload && e.rangeIndex == range && e.negative == c.negative);
        QCOMPARE(e.value, (c.negative ? -c.count : c.count) / std::pow(10.0, e.decimals));
        QCOMPARE(panelFields(e.panel), panelFields(c.panel));
    }

    // What a frame decodes to: "range valueStr", or "invalid".
    void frames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("expected");
        // Which range the status bits select when several are set.
        auto row = [](const char *name, quint8 b7, quint8 b8, quint8 b9, quint8 b10, int decimals,
                      int range) {
            QTest::newRow(name) << makeFrame('+', "0042", codeFor(decimals), b7, b8, b9, b10)
                                << QStringLiteral("%1 %2").arg(range).arg(42 / std::pow(10.0, decimals), 0,
                                                                          'f', decimals);
        };
        row("nothing set", 0, 0, 0, 0, 2, 0);
        row("V before A", DC, 0, 0, VOLT | AMP, 3, 1);
        row("DC before AC", DC | AC, 0, 0, VOLT, 0, 4);
        row("AC before diode", AC, 0, DIODE, VOLT, 3, 5);
        row("milli ignored on ACV", AC, 0, MILLI, VOLT, 2, 6);
        row("A without DC or AC uses the DCV row", 0, 0, MILLI, AMP, 1, 3);
        row("A without DC or AC, 3 decimals: the 0-decimal DCV range", 0, 0, 0, AMP, 3, 4);
        row("micro before milli", DC, 0, MICRO | MILLI, AMP, 1, 9);
        row("A before ohm", DC, 0, 0, AMP | OHM, 2, 14);
        row("beep before kilo", 0, 0, BEEP | KILO, OHM, 3, 28);
        row("kilo before mega", 0, 0, KILO | MEGA, OHM, 2, 23);
        row("ohm before Hz", 0, 0, 0, OHM | HZ, 2, 21);
        row("Hz kilo before mega", 0, 0, KILO | MEGA, HZ, 2, 38);
        row("Hz before percent", 0, 0, PERCENT, HZ, 2, 35);
        row("V before percent", DC, 0, PERCENT, VOLT, 1, 3);
        row("percent before F", 0, 0, PERCENT, FARAD, 2, 41);
        row("nano before micro", 0, NANO, MICRO, FARAD, 2, 29);
        row("F before Celsius", 0, NANO, 0, FARAD | CELSIUS, 1, 30);
        row("Celsius before Fahrenheit", 0, 0, 0, CELSIUS | FAHRENHEIT, 1, 42);
        row("Fahrenheit before hFE", 0, 0, 0, FAHRENHEIT | HFE, 1, 43);
        row("nano ignored outside F", DC, NANO, 0, VOLT, 2, 2);
        row("diode bit ignored outside V", 0, 0, DIODE, HFE, 0, 44);
        // Decimals no range of these bits shows: the function's first range
        // with the same unit bit takes them when it shows any decimals.
        row("kilo-ohm bits, no decimals: the ohm range", 0, 0, KILO, OHM, 0, 21);
        row("mega-ohm bits, one decimal: the ohm range", 0, 0, MEGA, OHM, 1, 21);
        row("farad bits alone, two decimals: the first nF range", 0, 0, 0, FARAD, 2, 29);

        // Values, signs and overloads.
        auto value = [](const char *name, char sign, const char *digits, char code, quint8 b7, quint8 b10,
                        int range, const char *text) {
            QTest::newRow(name) << makeFrame(sign, digits, code, b7, 0, 0, b10)
                                << QStringLiteral("%1 %2").arg(range).arg(text);
        };
        value("negative overload ACV", '-', "?0:?", '4', AC, VOLT, 7, "-800.0");
        value("TEMP overload 1 decimal is ten times", '+', "?0:?", '4', 0, CELSIUS, 42, "1500.0");
        value("TEMP overload 2 decimals is not multiplied", '+', "?0:?", '2', 0, CELSIUS, 42, "15.00");
        value("overload 1 decimal elsewhere is not multiplied", '+', "?0:?", '4', DC, VOLT, 3, "800.0");
        value("negative value", '-', "1234", '1', DC, VOLT, 1, "-1.234");
        value("full scale of the 1000 V range", '+', "1200", '0', DC, VOLT, 4, "1200");
        // Unknown decimal-point codes mean no decimals.
        for (char code : {'3', char(0xb1)})
            value(qPrintable(QStringLiteral("code 0x%1").arg(quint8(code), 2, 16)), '+', "1000", code, DC,
                  VOLT, 4, "1000");
    }

    void frames()
    {
        QFETCH(QByteArray, frame);
        const DecodedFrame d = decodeMeterFrame(frame);
        QTEST(d.valid ? QStringLiteral("%1 %2").arg(d.rangeIndex).arg(d.valueStr) : QStringLiteral("invalid"),
              "expected");
    }
};

QTEST_APPLESS_MAIN(TestFrameDecoder)
#include "tst_framedecoder.moc"
