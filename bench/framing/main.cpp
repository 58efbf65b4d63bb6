// Prints how fast the receiver's cuts and the decoder run over a synthetic
// capture held in memory: bench_framing [MEGABYTES]

#include "core/meter/framedecoder.h"
#include "core/meter/frameextractor.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

QByteArray syntheticCapture(qint64 bytes)
{
    std::mt19937 rng(52);
    const quint8 functions[] = {0x80, 0x40, 0x20, 0x08, 0x04, 0x02, 0x10};
    QByteArray capture;
    capture.reserve(int(bytes + kFrameSize));
    while (capture.size() < bytes) {
        QByteArray f(kFrameSize, '\0');
        f[0] = rng() % 2 ? '-' : '+';
        if (rng() % 50 == 0) {
            f.replace(1, 4, "?0:?");
        } else {
            for (int i = 1; i <= 4; ++i)
                f[i] = char('0' + rng() % 10);
        }
        f[5] = ' ';
        f[6] = "0124"[rng() % 4];
        f[7] = char(0x30 | (rng() % 2 ? 0x08 : 0x00) | (rng() % 2));
        f[8] = char(rng() % 0x40);
        f[9] = char(rng() % 256 & ~0x0a);
        f[10] = char(functions[rng() % 7]);
        f[11] = char(rng() % 62);
        f[12] = '\r';
        f[13] = '\n';
        capture += f;
    }
    return capture;
}

void report(const char *what, qint64 bytes, qint64 frames, qint64 ns)
{
    const double s = ns / 1e9;
    std::printf("%-28s %8.1f MB/s %10.0f frames/s\n", what, bytes / 1e6 / s, frames / s);
}

} // namespace

int main(int argc, char *argv[])
{
    const qint64 megabytes = argc > 1 ? std::atoll(argv[1]) : 50;
    const QByteArray capture = syntheticCapture(megabytes * 1000 * 1000);
    std::printf("capture: %lld bytes, %lld frames\n", qint64(capture.size()),
                qint64(capture.size() / kFrameSize));

    QElapsedTimer timer;
    QByteArray frame;
    qint64 frames = 0;
    constexpr int kChunk = 1 << 20;

    timer.start();
    {
        FrameSplitter splitter;
        for (int at = 0; at < capture.size(); at += kChunk) {
            splitter.feed(capture.constData() + at, qMin(kChunk, capture.size() - at));
            while (splitter.next(frame))
                ++frames;
        }
    }
    report("FrameSplitter", capture.size(), frames, timer.nsecsElapsed());

    qint64 valid = 0;
    timer.start();
    for (int at = 0; at + kFrameSize <= capture.size(); at += kFrameSize)
        valid += decodeMeterFrame(QByteArray::fromRawData(capture.constData() + at, kFrameSize)).valid;
    report("decodeMeterFrame", capture.size(), capture.size() / kFrameSize, timer.nsecsElapsed());

    // The sampling tick on a buffer holding one second of line traffic.
    const QByteArray second = capture.left(240);
    qint64 frameTicks = 0;
    timer.start();
    for (int i = 0; i < 1000000; ++i) {
        QByteArray rx = second;
        frameTicks += takeNewestFrame(rx, frame) == FrameCut::Frame;
    }
    std::printf("%-28s %8.0f ticks/s\n", "takeNewestFrame (240 B)",
                1000000 / (timer.nsecsElapsed() / 1e9));

    std::printf("valid frames: %lld, ticks with a frame: %lld\n", valid, frameTicks);
    return 0;
}
