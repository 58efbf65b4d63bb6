// libFuzzer target: the decoder and both frame cutters must never crash,
// read out of bounds or break their contracts, whatever bytes the line brings.

#include "core/meter/framedecoder.h"
#include "core/meter/frameextractor.h"

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

// The shape a frame must have to be taken: four digits or the overload
// pattern after the sign, a blank, and the carriage return.
bool shaped(const QByteArray &w)
{
    const bool digits = isDigit(w[1]) && isDigit(w[2]) && isDigit(w[3]) && isDigit(w[4]);
    return w[5] == ' ' && w[12] == '\r' && (digits || w.mid(1, 4) == "?0:?");
}

void checkDecoder(const QByteArray &bytes)
{
    const DecodedFrame d = decodeMeterFrame(bytes);
    if (bytes.size() < kFrameSize) {
        require(!d.valid, "short frame decoded");
        return;
    }
    const bool overload = bytes.mid(1, 4) == "?0:?";
    // The shape is the whole rule: no status bits, decimals or count make a
    // well-shaped frame invalid.
    require(d.valid == shaped(bytes), "validity rule");
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
        if (s[i] != '\n' || i - start < kFrameSize - 1)
            continue;
        const QByteArray window = s.mid(i - (kFrameSize - 1), kFrameSize);
        bool insideLaterFrame = false;
        for (int q = i + 1; !shaped(window) && q <= i + 6 && q < s.size(); ++q)
            insideLaterFrame = insideLaterFrame || (s[q] == '\n' && shaped(s.mid(q - (kFrameSize - 1), kFrameSize)));
        if (insideLaterFrame)
            continue;
        frames.append(window);
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
        require(splitter.pendingBytes() <= kFrameSize + 6, "splitter keeps only what a frame can use");
    }
    splitter.finish();
    while (splitter.next(frame))
        frames.append(frame);
    require(frames == referenceSplit(bytes), "splitter agrees with the plain cut");
}

void checkTick(const QByteArray &bytes, int limit)
{
    QByteArray rx = bytes;
    QByteArray frame = "untouched";
    const FrameCut cut = takeNewestFrame(rx, frame);
    int p = -1;
    for (int i = bytes.size() - 1; i >= kFrameSize - 1 && p < 0; --i) {
        if (bytes[i] == '\n' && shaped(bytes.mid(i - (kFrameSize - 1), kFrameSize)))
            p = i;
    }
    if (bytes.size() < kFrameSize) {
        require(cut == FrameCut::None && rx == bytes && frame == "untouched", "short buffer left alone");
    } else if (p >= 0) {
        require(cut == FrameCut::Frame && frame == bytes.mid(p - 13, kFrameSize), "newest valid frame");
        require(rx == bytes.mid(p + 1), "bytes through the frame removed");
    } else {
        require(cut == FrameCut::Dropped && frame == "untouched", "no frame, nothing taken");
        require(rx == bytes.right(kFrameSize - 1), "only what a frame can use is kept");
    }

    QByteArray bounded = bytes;
    const bool trimmed = boundRxBuffer(bounded, limit);
    require(trimmed == (bytes.size() > limit), "bound applies past the limit only");
    if (!trimmed)
        return;
    require(bounded.size() <= limit && bytes.endsWith(bounded), "bound keeps an end within the limit");
    QByteArray a = bytes, b = bounded, fa, fb;
    const FrameCut ca = takeNewestFrame(a, fa);
    const FrameCut cb = takeNewestFrame(b, fb);
    // The newest frame survives unless more than the limit followed it.
    const bool frameKept = ca == FrameCut::Frame && a.size() + kFrameSize <= limit;
    require(frameKept ? (cb == FrameCut::Frame && fb == fa) : cb != FrameCut::Frame, "bound keeps the newest frame");
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
