#include "frameencoder.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace {

// Status byte 7
constexpr quint8 kAuto = 0x20, kDc = 0x10, kAc = 0x08, kRel = 0x04, kHold = 0x02, kBarOn = 0x01;
// Status byte 8
constexpr quint8 kMax = 0x20, kMin = 0x10, kApo = 0x08, kBat = 0x04, kNano = 0x02;
// Status byte 9
constexpr quint8 kMicro = 0x80, kMilli = 0x40, kKilo = 0x20, kMega = 0x10, kBeep = 0x08,
                 kDiode = 0x04, kPercent = 0x02;
// Status byte 10
constexpr quint8 kVolt = 0x80, kAmp = 0x40, kOhm = 0x20, kHfe = 0x10, kHz = 0x08, kFarad = 0x04,
                 kCelsius = 0x02, kFahrenheit = 0x01;

struct RangeBits
{
    quint8 b7;
    quint8 b8;
    quint8 b9;
    quint8 b10;
    int decimals;
};

// One row per range index: the bits the meter sets in that range and the
// decimals it shows there.
constexpr std::array<RangeBits, kRangeCount> kRanges{{
    {kDc, 0, kMilli, kVolt, 1},          // 0  DCV mV
    {kDc, 0, 0, kVolt, 3},               // 1  DCV V
    {kDc, 0, 0, kVolt, 2},               // 2
    {kDc, 0, 0, kVolt, 1},               // 3
    {kDc, 0, 0, kVolt, 0},               // 4
    {kAc, 0, 0, kVolt, 3},               // 5  ACV V
    {kAc, 0, 0, kVolt, 2},               // 6
    {kAc, 0, 0, kVolt, 1},               // 7
    {kAc, 0, 0, kVolt, 0},               // 8
    {kDc, 0, kMicro, kAmp, 1},           // 9  DCA uA
    {kDc, 0, kMicro, kAmp, 0},           // 10
    {kDc, 0, kMilli, kAmp, 2},           // 11 DCA mA
    {kDc, 0, kMilli, kAmp, 1},           // 12
    {kDc, 0, 0, kAmp, 3},                // 13 DCA A
    {kDc, 0, 0, kAmp, 2},                // 14
    {kAc, 0, kMicro, kAmp, 1},           // 15 ACA uA
    {kAc, 0, kMicro, kAmp, 0},           // 16
    {kAc, 0, kMilli, kAmp, 2},           // 17 ACA mA
    {kAc, 0, kMilli, kAmp, 1},           // 18
    {kAc, 0, 0, kAmp, 3},                // 19 ACA A
    {kAc, 0, 0, kAmp, 2},                // 20
    {0, 0, 0, kOhm, 1},                  // 21 OHM Ω
    {0, 0, kKilo, kOhm, 3},              // 22 OHM kΩ
    {0, 0, kKilo, kOhm, 2},              // 23
    {0, 0, kKilo, kOhm, 1},              // 24
    {0, 0, kMega, kOhm, 3},              // 25 OHM MΩ
    {0, 0, kMega, kOhm, 2},              // 26
    {0, 0, kDiode, kVolt, 3},            // 27 DIODE
    {0, 0, kBeep, kOhm, 1},              // 28 BEEP
    {0, kNano, 0, kFarad, 2},            // 29 CAP nF
    {0, kNano, 0, kFarad, 1},            // 30
    {0, 0, kMicro, kFarad, 3},           // 31 CAP uF
    {0, 0, kMicro, kFarad, 2},           // 32
    {0, 0, kMicro, kFarad, 1},           // 33
    {0, 0, 0, kHz, 3},                   // 34 FREQ Hz
    {0, 0, 0, kHz, 2},                   // 35
    {0, 0, 0, kHz, 1},                   // 36
    {0, 0, kKilo, kHz, 3},               // 37 FREQ kHz
    {0, 0, kKilo, kHz, 2},               // 38
    {0, 0, kMega, kHz, 3},               // 39 FREQ MHz
    {0, 0, kMega, kHz, 2},               // 40
    {0, 0, kPercent, 0, 1},              // 41 DUTY
    {0, 0, 0, kCelsius, 0},              // 42 TEMP ℃
    {0, 0, 0, kFahrenheit, 0},           // 43 TEMP ℉
    {0, 0, 0, kHfe, 0},                  // 44 hFE
}};

char decimalCode(int decimals)
{
    switch (decimals) {
    case 3:
        return '1';
    case 2:
        return '2';
    case 1:
        return '4';
    default:
        return '0';
    }
}

} // namespace

int rangeDecimals(int rangeIndex)
{
    if (rangeIndex < 0 || rangeIndex >= static_cast<int>(kRanges.size()))
        return -1;
    return kRanges[static_cast<size_t>(rangeIndex)].decimals;
}

QByteArray encodeMeterFrame(const FrameContent &content)
{
    if (content.rangeIndex < 0 || content.rangeIndex >= static_cast<int>(kRanges.size()))
        return {};
    const RangeBits &bits = kRanges[static_cast<size_t>(content.rangeIndex)];
    const PanelBits &panel = content.panel;

    QByteArray frame(kFrameSize, '\0');
    frame[0] = content.negative ? '-' : '+';
    if (content.overload) {
        frame[1] = '?';
        frame[2] = '0';
        frame[3] = ':';
        frame[4] = '?';
    } else {
        int count = std::min(std::abs(content.count), 9999);
        for (int i = 4; i >= 1; --i) {
            frame[i] = static_cast<char>('0' + count % 10);
            count /= 10;
        }
    }
    frame[5] = ' ';
    frame[6] = decimalCode(content.decimals < 0 ? bits.decimals : content.decimals);

    quint8 b7 = bits.b7;
    if (panel.autoRange)
        b7 |= kAuto;
    if (panel.rel)
        b7 |= kRel;
    if (panel.hold)
        b7 |= kHold;
    if (panel.barOn)
        b7 |= kBarOn;
    quint8 b8 = bits.b8;
    if (panel.max)
        b8 |= kMax;
    if (panel.min)
        b8 |= kMin;
    if (panel.apo)
        b8 |= kApo;
    if (panel.bat)
        b8 |= kBat;
    frame[7] = static_cast<char>(b7);
    frame[8] = static_cast<char>(b8);
    frame[9] = static_cast<char>(bits.b9);
    frame[10] = static_cast<char>(bits.b10);
    const int level = std::clamp(panel.barLevel, 0, 127);
    frame[11] = static_cast<char>((panel.barNegative ? 0x80 : 0x00) | level);
    // Byte 12 is never read; the meter puts a carriage return there.
    frame[12] = '\r';
    frame[13] = '\n';
    return frame;
}
