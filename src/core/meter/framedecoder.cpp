#include "framedecoder.h"

#include "meterreading.h"

#include <QDateTime>
#include <QStringList>

#include <array>

namespace {

enum Function {
    DCV = 0,
    ACV = 1,
    DCA = 2,
    ACA = 3,
    OHM = 4,
    DIODE = 5,
    BEEP = 6,
    CAP = 7,
    FREQ = 8,
    DUTY = 9,
    TEMP = 10,
    HFE = 11
};

constexpr int kSubRanges = 7;

// Byte 7
constexpr quint8 kAuto = 0x20;
constexpr quint8 kDc = 0x10;
constexpr quint8 kAc = 0x08;
constexpr quint8 kRel = 0x04;
constexpr quint8 kHold = 0x02;
constexpr quint8 kBarOn = 0x01;
// Byte 8
constexpr quint8 kMax = 0x20;
constexpr quint8 kMin = 0x10;
constexpr quint8 kApo = 0x08;
constexpr quint8 kBat = 0x04;
constexpr quint8 kNano = 0x02;
// Byte 9
constexpr quint8 kMicro = 0x80;
constexpr quint8 kMilli = 0x40;
constexpr quint8 kKilo = 0x20;
constexpr quint8 kMega = 0x10;
constexpr quint8 kBeep = 0x08;
constexpr quint8 kDiode = 0x04;
constexpr quint8 kPercent = 0x02;
// Byte 10
constexpr quint8 kVolt = 0x80;
constexpr quint8 kAmpere = 0x40;
constexpr quint8 kOhm = 0x20;
constexpr quint8 kHfe = 0x10;
constexpr quint8 kHertz = 0x08;
constexpr quint8 kFarad = 0x04;
constexpr quint8 kCelsius = 0x02;
constexpr quint8 kFahrenheit = 0x01;
// Byte 11
constexpr quint8 kBarMinus = 0x80;
constexpr quint8 kBarLevelMask = 0x7f;

const char *const kFunctionTexts[kFunctionCount] = {
    "DCV", "ACV", "DCA", "ACA", "OHM", "DIODE", "BEEP", "CAP", "FREQ", "DUTY", "TEMP", "hFE"};

// Range index by function (rows) and sub-range (columns); pairs the meter
// never sends are 0.
constexpr int kRangeTable[kFunctionCount][kSubRanges] = {
    {0, 1, 2, 3, 4, 0, 0},        // DCV
    {5, 6, 7, 8, 0, 0, 0},        // ACV
    {9, 10, 11, 12, 13, 14, 0},   // DCA
    {15, 16, 17, 18, 19, 20, 0},  // ACA
    {21, 22, 23, 24, 25, 26, 0},  // OHM
    {27, 0, 0, 0, 0, 0, 0},       // DIODE
    {28, 0, 0, 0, 0, 0, 0},       // BEEP
    {29, 30, 31, 32, 33, 0, 0},   // CAP
    {34, 35, 36, 37, 38, 39, 40}, // FREQ
    {41, 0, 0, 0, 0, 0, 0},       // DUTY
    {42, 43, 0, 0, 0, 0, 0},      // TEMP
    {44, 0, 0, 0, 0, 0, 0},       // hFE
};

struct RangeInfo
{
    const char16_t *unit;
    int overloadCount;
};

// The alternating-current 3-decimal ampere range (19) really overloads at
// 800, a tenth of its direct-current twin. An overload count is only what an
// overload frame stands for, not the most a range can show: the meter shows
// counts up to 9999 in every range.
const RangeInfo kRanges[kRangeCount] = {
    {u"mV", 8000},      {u"V", 8000},       {u"V", 8000},       {u"V", 8000},       {u"V", 1200},  // 0-4
    {u"V", 8000},       {u"V", 8000},       {u"V", 8000},       {u"V", 8000},                      // 5-8
    {u"uA", 8000},      {u"uA", 8000},      {u"mA", 8000},      {u"mA", 8000},      {u"A", 8000},  // 9-13
    {u"A", 1200},                                                                                  // 14
    {u"uA", 8000},      {u"uA", 8000},      {u"mA", 8000},      {u"mA", 8000},      {u"A", 800},   // 15-19
    {u"A", 1200},                                                                                  // 20
    {u"\u03A9", 8000},  {u"k\u03A9", 8000}, {u"k\u03A9", 8000}, {u"k\u03A9", 8000},                // 21-24
    {u"M\u03A9", 8000}, {u"M\u03A9", 8000},                                                        // 25-26
    {u"V", 4000},                                                                                  // 27
    {u"\u03A9", 6000},                                                                             // 28
    {u"nF", 6000},      {u"nF", 6000},      {u"uF", 6000},      {u"uF", 6000},      {u"uF", 4000}, // 29-33
    {u"Hz", 2000},      {u"Hz", 2000},      {u"Hz", 2000},      {u"kHz", 2000},                    // 34-37
    {u"kHz", 2000},     {u"MHz", 2000},     {u"MHz", 3000},                                        // 38-40
    {u"%", 1200},                                                                                  // 41
    {u"\u2103", 1500},  {u"\u2109", 3000},                                                         // 42-43
    {u" ", 3000},                                                                                  // 44
};

// Sub-range chosen by the number of decimals 0..3; decimals a rule does not
// name leave the sub-range at 0.
using ByDecimals = std::array<int, 4>;

int subRangeFor(const ByDecimals &table, int decimals)
{
    return table[static_cast<size_t>(decimals)];
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

struct Selection
{
    int function = DCV;
    int subRange = 0;
};

// The first rule that matches wins, in this order; contradictory bits never
// fail, whatever no rule sets stays DCV / sub-range 0.
Selection selectFunction(quint8 b7, quint8 b8, quint8 b9, quint8 b10, int d)
{
    Selection s;
    if (b10 & kVolt) {
        if (b7 & kDc) {
            s.function = DCV;
            s.subRange = (b9 & kMilli) ? 0 : subRangeFor({4, 3, 2, 1}, d);
        } else if (b7 & kAc) {
            s.function = ACV;
            s.subRange = subRangeFor({3, 2, 1, 0}, d);
        } else if (b9 & kDiode) {
            s.function = DIODE;
        }
    } else if (b10 & kAmpere) {
        // Neither DC nor AC leaves the function at DCV: such a frame is
        // looked up on the DCV row.
        if (b7 & kDc)
            s.function = DCA;
        else if (b7 & kAc)
            s.function = ACA;
        if (b9 & kMicro)
            s.subRange = subRangeFor({1, 0, 0, 0}, d);
        else if (b9 & kMilli)
            s.subRange = subRangeFor({0, 3, 2, 0}, d);
        else
            s.subRange = subRangeFor({0, 0, 5, 4}, d);
    } else if (b10 & kOhm) {
        if (b9 & kBeep) {
            s.function = BEEP;
        } else {
            s.function = OHM;
            if (b9 & kKilo)
                s.subRange = subRangeFor({0, 3, 2, 1}, d);
            else if (b9 & kMega)
                s.subRange = subRangeFor({0, 0, 5, 4}, d);
        }
    } else if (b10 & kHertz) {
        s.function = FREQ;
        if (b9 & kKilo)
            s.subRange = subRangeFor({0, 0, 4, 3}, d);
        else if (b9 & kMega)
            s.subRange = subRangeFor({0, 0, 6, 5}, d);
        else
            s.subRange = subRangeFor({0, 2, 1, 0}, d);
    } else if (b9 & kPercent) {
        s.function = DUTY;
    } else if (b10 & kFarad) {
        s.function = CAP;
        if (b8 & kNano)
            s.subRange = subRangeFor({0, 1, 0, 0}, d);
        else if (b9 & kMicro)
            s.subRange = subRangeFor({0, 4, 3, 2}, d);
    } else if (b10 & kCelsius) {
        s.function = TEMP;
    } else if (b10 & kFahrenheit) {
        s.function = TEMP;
        s.subRange = 1;
    } else if (b10 & kHfe) {
        s.function = HFE;
    }
    return s;
}

int decimalsFromCode(char code)
{
    switch (code) {
    case '1':
        return 3;
    case '2':
        return 2;
    case '4':
        return 1;
    default:
        return 0;
    }
}

// Built once: every reading then shares the table's text instead of
// allocating its own.
const QString *functionTexts()
{
    static const auto texts = [] {
        std::array<QString, kFunctionCount> t;
        for (int i = 0; i < kFunctionCount; ++i)
            t[size_t(i)] = QString::fromLatin1(kFunctionTexts[i]);
        return t;
    }();
    return texts.data();
}

const QString *unitTexts()
{
    static const auto texts = [] {
        std::array<QString, kRangeCount> t;
        for (int i = 0; i < kRangeCount; ++i)
            t[size_t(i)] = QString::fromUtf16(kRanges[i].unit);
        return t;
    }();
    return texts.data();
}

} // namespace

QString meterFunctionText(int funcIndex)
{
    if (funcIndex < 0 || funcIndex >= kFunctionCount)
        return QString();
    return functionTexts()[funcIndex];
}

int meterRangeIndex(int funcIndex, int subRange)
{
    if (funcIndex < 0 || funcIndex >= kFunctionCount || subRange < 0 || subRange >= kSubRanges)
        return 0;
    return kRangeTable[funcIndex][subRange];
}

int meterRangeFunction(int rangeIndex)
{
    if (rangeIndex < 0 || rangeIndex >= kRangeCount)
        return -1;
    for (int f = 0; f < kFunctionCount; ++f) {
        for (int s = 0; s < kSubRanges; ++s) {
            // Range 0 is also the cell of every pair the meter never sends.
            if (kRangeTable[f][s] == rangeIndex && (rangeIndex != 0 || (f == DCV && s == 0)))
                return f;
        }
    }
    return -1;
}

QStringList meterFunctionUnits(int funcIndex)
{
    QStringList units;
    if (funcIndex < 0 || funcIndex >= kFunctionCount)
        return units;
    for (int sub = 0; sub < kSubRanges; ++sub) {
        // Range 0 is a real range (DCV in mV) only as DCV's first sub-range;
        // elsewhere it marks a pair the meter never sends.
        const int range = kRangeTable[funcIndex][sub];
        if ((range != 0 || (funcIndex == DCV && sub == 0)) && !units.contains(unitTexts()[range]))
            units << unitTexts()[range];
    }
    return units;
}

QString meterRangeUnit(int rangeIndex)
{
    if (rangeIndex < 0 || rangeIndex >= kRangeCount)
        return QString();
    return unitTexts()[rangeIndex];
}

int meterOverloadCount(int rangeIndex)
{
    if (rangeIndex < 0 || rangeIndex >= kRangeCount)
        return 0;
    return kRanges[rangeIndex].overloadCount;
}

namespace {
bool isOverloadPattern(const char *b)
{
    return b[1] == '?' && b[2] == '0' && b[3] == ':' && b[4] == '?';
}
} // namespace

bool hasFrameShape(const char *b)
{
    // Anything else than four digits is line noise; decoding it would record
    // a made-up value. The meter ends every frame with CR LF, so a line feed
    // without its carriage return closes no frame of the meter's.
    return b[5] == ' ' && b[12] == '\r' &&
           (isOverloadPattern(b) || (isDigit(b[1]) && isDigit(b[2]) && isDigit(b[3]) && isDigit(b[4])));
}

DecodedFrame decodeMeterFrame(const QByteArray &frame)
{
    DecodedFrame out;
    if (frame.size() < kFrameSize)
        return out;
    const char *b = frame.constData();
    if (!hasFrameShape(b))
        return out;
    const bool overload = isOverloadPattern(b);

    const auto b7 = static_cast<quint8>(b[7]);
    const auto b8 = static_cast<quint8>(b[8]);
    const auto b9 = static_cast<quint8>(b[9]);
    const auto b10 = static_cast<quint8>(b[10]);
    const auto b11 = static_cast<quint8>(b[11]);

    out.valid = true;
    out.decimals = decimalsFromCode(b[6]);

    out.panel.autoRange = b7 & kAuto;
    out.panel.rel = b7 & kRel;
    out.panel.hold = b7 & kHold;
    out.panel.barOn = b7 & kBarOn;
    out.panel.barNegative = b11 & kBarMinus;
    out.panel.barLevel = b11 & kBarLevelMask;
    out.panel.max = b8 & kMax;
    out.panel.min = b8 & kMin;
    out.panel.apo = b8 & kApo;
    out.panel.bat = b8 & kBat;

    const Selection sel = selectFunction(b7, b8, b9, b10, out.decimals);
    out.funcIndex = sel.function;
    out.subRange = sel.subRange;
    out.rangeIndex = meterRangeIndex(sel.function, sel.subRange);
    out.funcStr = meterFunctionText(out.funcIndex);
    out.unitStr = meterRangeUnit(out.rangeIndex);

    int count;
    if (overload) {
        count = meterOverloadCount(out.rangeIndex);
        // The meter shows a temperature overload with one decimal, so the
        // count stands for ten times the displayed figure.
        if (out.funcIndex == TEMP && out.decimals == 1)
            count *= 10;
        out.overload = true;
    } else {
        count = ((b[1] - '0') * 10 + (b[2] - '0')) * 10 + (b[3] - '0');
        count = count * 10 + (b[4] - '0');
    }

    // The sign flips the integer count, so "-0000" is 0, not -0.0: its text
    // carries no minus while `negative` still lights the panel's sign.
    if (b[0] == '-') {
        out.negative = true;
        count = -count;
    }

    static const double kDivisors[4] = {1.0, 10.0, 100.0, 1000.0};
    out.value = count / kDivisors[out.decimals];
    out.valueStr = QString::number(out.value, 'f', out.decimals);
    return out;
}

void fillReading(const DecodedFrame &frame, const QDateTime &time, MeterReading &reading)
{
    reading.funcIndex = frame.funcIndex;
    reading.funcStr = frame.funcStr;
    reading.subRange = frame.subRange;
    reading.rangeIndex = frame.rangeIndex;
    reading.value = frame.value;
    reading.valueStr = frame.valueStr;
    reading.unitStr = frame.unitStr;
    reading.decimals = frame.decimals;
    reading.overload = frame.overload;
    reading.negative = frame.negative;
    reading.time = time;
}

QString overloadText(int decimals)
{
    switch (decimals) {
    case 1:
        return QStringLiteral(" OL. ");
    case 2:
        return QStringLiteral(" O.L ");
    case 3:
        return QStringLiteral(" .OL ");
    default:
        return QStringLiteral(" OL ");
    }
}

QString signedOverloadText(bool negative, int decimals)
{
    return (negative ? QLatin1Char('-') : QLatin1Char('+')) + overloadText(decimals);
}

QString recordedValueText(const MeterReading &reading)
{
    if (reading.overload)
        return signedOverloadText(reading.negative, reading.decimals);
    return reading.valueStr;
}
