// libFuzzer target: the decoder and both frame cutters must never crash,
// read out of bounds or break their contracts, whatever bytes the line brings.

#include "meter/framedecoder.h"
#include "meter/frameextractor.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

void checkDecoder(const QByteArray &bytes)
{
    const DecodedFrame d = decodeMeterFrame(bytes);
    if (bytes.size() < kFrameSize) {
        require(!d.valid, "short frame decoded");
        return;
    }
    const bool digits = isDigit(bytes[1]) && isDigit(bytes[2]) && isDigit(bytes[3]) && isDigit(bytes[4]);
    const bool overload = bytes.mid(1, 4) == "?0:?";
    require(d.valid == (bytes[5] == ' ' && (digits || overload)), "validity rule");
    if (!d.valid) {
        require(d.valueStr.isEmpty() && !d.panel.autoRange && d.panel.barLevel == 0, "invalid frame leaks fields");
        return;
    }
    require(d.funcIndex >= 0 && d.funcIndex < kFunctionCount, "function index");
    require(d.rangeIndex >= 0 && d.rangeIndex < kRangeCount, "range index");
    require(d.rangeIndex == meterRangeIndex(d.funcIndex, d.subRange), "range from table");
    require(d.funcStr == meterFunctionText(d.funcIndex), "function text");
    require(d.unitStr == meterRangeUnit(d.rangeIndex), "unit text");
    require(d.decimals >= 0 && d.decimals <= 3, "decimals");
    require(d.overload == overload, "overload flag");
    require(d.negative == (bytes[0] == '-'), "sign");
    require(d.panel.barLevel >= 0 && d.panel.barLevel <= 127, "bar level");
    bool ok = false;
    require(d.valueStr.toDouble(&ok) == d.value && ok, "value text reads back as the value");
    require(!d.valueStr.startsWith(QLatin1String("-")) || d.value < 0, "minus only on negatives");
    const int dot = d.valueStr.indexOf(QLatin1Char('.'));
    require(d.decimals == 0 ? dot < 0 : dot == d.valueStr.size() - 1 - d.decimals, "decimal places");
}

// The stream cut written the plain way, to compare the splitter with.
QList<QByteArray> referenceSplit(const QByteArray &s)
{
    QList<QByteArray> frames;
    int start = 0;
    for (int i = 0; i < s.size(); ++i) {
        if (s[i] != '\n')
            continue;
        if (i - start >= kFrameSize - 1)
            frames.append(s.mid(i - (kFrameSize - 1), kFrameSize));
        start = i + 1;
    }
    return frames;
}

void checkSplitter(const QByteArray &bytes, int chunk)
{
    FrameSplitter splitter;
    QList<QByteArray> frames;
    QByteArray frame;
    for (int at = 0; at < bytes.size(); at += chunk) {
        splitter.feed(bytes.mid(at, chunk));
        while (splitter.next(frame))
            frames.append(frame);
        require(splitter.pendingBytes() <= kFrameSize - 1, "splitter keeps only what a frame can use");
    }
    require(frames == referenceSplit(bytes), "splitter agrees with the plain cut");
}

void checkTick(const QByteArray &bytes, int limit)
{
    QByteArray rx = bytes;
    QByteArray frame = "untouched";
    const FrameCut cut = takeNewestFrame(rx, frame);
    const int p = bytes.lastIndexOf('\n');
    if (bytes.size() < kFrameSize || p < 1) {
        require(cut == FrameCut::None && rx == bytes && frame == "untouched", "no cut leaves all alone");
    } else {
        require(rx == bytes.mid(p + 1), "bytes through the newest line feed removed");
        if (p >= kFrameSize - 1)
            require(cut == FrameCut::Frame && frame == bytes.mid(p - 13, kFrameSize), "newest frame");
        else
            require(cut == FrameCut::Dropped && frame == "untouched", "early line feed drops");
    }

    QByteArray bounded = bytes;
    const bool trimmed = boundRxBuffer(bounded, limit);
    require(trimmed == (bytes.size() > limit), "bound applies past the limit only");
    if (!trimmed)
        return;
    require(bounded.size() <= 2 * kFrameSize - 1, "bounded size");
    QByteArray a = bytes, b = bounded, fa, fb;
    const FrameCut ca = takeNewestFrame(a, fa);
    const FrameCut cb = takeNewestFrame(b, fb);
    require(fa == fb, "bound keeps the newest frame");
    require((ca == FrameCut::Frame) == (cb == FrameCut::Frame), "bound keeps the tick's outcome");
    require(a.right(kFrameSize - 1) == b.right(kFrameSize - 1), "bound keeps the tail");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    checkDecoder(bytes);
    if (size >= kFrameSize)
        checkDecoder(bytes.left(kFrameSize));
    const int knob = size > 0 ? static_cast<unsigned char>(bytes[0]) : 0;
    checkSplitter(bytes, 1 + knob % 32);
    checkTick(bytes, 14 + knob % 40);
    return 0;
}
