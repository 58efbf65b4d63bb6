#include "meter/frameextractor.h"

#include <QtTest>

Q_DECLARE_METATYPE(FrameCut)

namespace {

// A 14-byte frame whose bytes 0..12 are `tag` repeated, ending in a line feed.
QByteArray frameOf(char tag)
{
    return QByteArray(13, tag) + '\n';
}

} // namespace

class TestFrameExtractor : public QObject
{
    Q_OBJECT

private slots:
    void newestFrame_data();
    void newestFrame();
    void halfFrameWaitsForItsLineFeed();
    void frameBufferKeptWithoutCut();
    void bound_data();
    void bound();
    void boundKeepsWhatTheTickWouldTake_data();
    void boundKeepsWhatTheTickWouldTake();
    void splitter_data();
    void splitter();
    void splitterChunkSizeDoesNotMatter();
    void splitterMemoryStaysBounded();
};

void TestFrameExtractor::newestFrame_data()
{
    QTest::addColumn<QByteArray>("rx");
    QTest::addColumn<FrameCut>("cut");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("rest");

    const QByteArray third = frameOf('c').left(7);
    QTest::newRow("two frames and half a third")
        << frameOf('a') + frameOf('b') + third << FrameCut::Frame << frameOf('b') << third;
    QTest::newRow("13 bytes then line feed")
        << frameOf('a') << FrameCut::Frame << frameOf('a') << QByteArray();
    QTest::newRow("13 bytes without line feed")
        << QByteArray(13, 'a') << FrameCut::None << QByteArray() << QByteArray(13, 'a');
    QTest::newRow("line feed at index 0 is not a frame end")
        << QByteArray("\n") + QByteArray(13, 'a') << FrameCut::None << QByteArray()
        << QByteArray("\n") + QByteArray(13, 'a');
    QTest::newRow("leading line feed before a whole frame")
        << QByteArray("\n") + frameOf('a') << FrameCut::Frame << frameOf('a') << QByteArray();
    QTest::newRow("no line feed at all")
        << QByteArray(40, 'x') << FrameCut::None << QByteArray() << QByteArray(40, 'x');
    QTest::newRow("line feed below 13 drops the tail of a lost frame")
        << QByteArray("tail\n") + QByteArray(10, 'n') << FrameCut::Dropped << QByteArray()
        << QByteArray(10, 'n');
    QTest::newRow("line feed at 12 is still too early")
        << QByteArray(12, 't') + '\n' + QByteArray(5, 'n') << FrameCut::Dropped << QByteArray()
        << QByteArray(5, 'n');
    QTest::newRow("newest line feed wins even inside a frame")
        << frameOf('a') + QByteArray(3, 'b') + '\n' + QByteArray(2, 'c') << FrameCut::Frame
        << frameOf('a').right(10) + QByteArray(3, 'b') + '\n' << QByteArray(2, 'c');
    QTest::newRow("fewer than 14 bytes is left for a later tick")
        << QByteArray("abc\n") << FrameCut::None << QByteArray() << QByteArray("abc\n");
}

void TestFrameExtractor::newestFrame()
{
    QFETCH(QByteArray, rx);
    QFETCH(FrameCut, cut);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, rest);

    const QByteArray previous("previous frame");
    QByteArray taken = previous;
    QCOMPARE(takeNewestFrame(rx, taken), cut);
    QCOMPARE(taken, cut == FrameCut::Frame ? frame : previous);
    QCOMPARE(rx, rest);
}

void TestFrameExtractor::halfFrameWaitsForItsLineFeed()
{
    QByteArray rx(13, 'a');
    QByteArray frame;
    QCOMPARE(takeNewestFrame(rx, frame), FrameCut::None);
    rx.append('\n');
    QCOMPARE(takeNewestFrame(rx, frame), FrameCut::Frame);
    QCOMPARE(frame, frameOf('a'));
    QVERIFY(rx.isEmpty());
}

void TestFrameExtractor::frameBufferKeptWithoutCut()
{
    // A tick without a new line feed must not touch the frame taken before.
    QByteArray rx = frameOf('a') + QByteArray(20, 'b');
    QByteArray frame;
    QCOMPARE(takeNewestFrame(rx, frame), FrameCut::Frame);
    QCOMPARE(rx, QByteArray(20, 'b'));
    QCOMPARE(takeNewestFrame(rx, frame), FrameCut::None);
    QCOMPARE(frame, frameOf('a'));
    QCOMPARE(rx, QByteArray(20, 'b'));
}

void TestFrameExtractor::bound_data()
{
    QTest::addColumn<QByteArray>("rx");
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("trimmed");
    QTest::addColumn<QByteArray>("kept");

    QByteArray noise;
    for (int i = 0; i < 5000; ++i)
        noise.append(char('A' + i % 26));
    QTest::newRow("within the limit") << noise.left(kMaxRxBuffer) << kMaxRxBuffer << false
                                      << noise.left(kMaxRxBuffer);
    QTest::newRow("no line feed keeps the newest 13 bytes")
        << noise << kMaxRxBuffer << true << noise.right(13);
    QTest::newRow("frame then endless noise")
        << frameOf('f') + noise << kMaxRxBuffer << true << frameOf('f') + noise.right(13);
    QTest::newRow("many frames, short tail")
        << frameOf('a').repeated(400) + frameOf('z') + "xy" << kMaxRxBuffer << true
        << frameOf('z') + "xy";
    QTest::newRow("early line feed then noise")
        << QByteArray("ab\n") + noise << kMaxRxBuffer << true << noise.right(13);
    QTest::newRow("small custom limit") << frameOf('a') + frameOf('b') << 20 << true << frameOf('b');
}

void TestFrameExtractor::bound()
{
    QFETCH(QByteArray, rx);
    QFETCH(int, limit);
    QFETCH(bool, trimmed);
    QFETCH(QByteArray, kept);

    QCOMPARE(boundRxBuffer(rx, limit), trimmed);
    QCOMPARE(rx, kept);
}

void TestFrameExtractor::boundKeepsWhatTheTickWouldTake_data()
{
    QTest::addColumn<QByteArray>("rx");
    QTest::addColumn<QByteArray>("later");

    QByteArray noise;
    for (int i = 0; i < 4200; ++i)
        noise.append(char('0' + i % 10));
    QTest::newRow("noise, then a line feed") << noise << QByteArray("\n");
    QTest::newRow("frames, noise, a line feed") << frameOf('a') + frameOf('b') + noise
                                                << QByteArray("\n");
    QTest::newRow("frames only") << frameOf('q').repeated(300) << frameOf('r');
    QTest::newRow("frames, half frame") << frameOf('q').repeated(300) + "abcdefg"
                                        << QByteArray("hijklm\n");
}

void TestFrameExtractor::boundKeepsWhatTheTickWouldTake()
{
    QFETCH(QByteArray, rx);
    QFETCH(QByteArray, later);

    QByteArray bounded = rx;
    QVERIFY(boundRxBuffer(bounded));
    QVERIFY(bounded.size() <= 27);

    QByteArray a, b;
    QCOMPARE(takeNewestFrame(bounded, b), takeNewestFrame(rx, a));
    QCOMPARE(b, a);
    rx += later;
    bounded += later;
    QCOMPARE(takeNewestFrame(bounded, b), takeNewestFrame(rx, a));
    QCOMPARE(b, a);
}

void TestFrameExtractor::splitter_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<int>("pending");

    QTest::newRow("empty") << QByteArray() << QList<QByteArray>{} << 0;
    QTest::newRow("every frame in order")
        << frameOf('a') + frameOf('b') + frameOf('c')
        << QList<QByteArray>{frameOf('a'), frameOf('b'), frameOf('c')} << 0;
    QTest::newRow("incomplete last frame stays pending")
        << frameOf('a') + "abcdefg" << QList<QByteArray>{frameOf('a')} << 7;
    QTest::newRow("leading partial frame is skipped")
        << QByteArray("xyz\n") + frameOf('a') << QList<QByteArray>{frameOf('a')} << 0;
    QTest::newRow("leading line feed is skipped")
        << QByteArray("\n") + frameOf('a') << QList<QByteArray>{frameOf('a')} << 0;
    QTest::newRow("line feed at offset 12 closes nothing")
        << QByteArray(12, 's') + '\n' + frameOf('b') << QList<QByteArray>{frameOf('b')} << 0;
    QTest::newRow("long run before a line feed gives its last 14 bytes")
        << QByteArray(30, 'x') + QByteArray(13, 'y') + '\n'
        << QList<QByteArray>{frameOf('y')} << 0;
    QTest::newRow("early line feed inside a frame resynchronises")
        << frameOf('a') + QByteArray("ab\ncdefghijklmnop\n") + frameOf('c')
        << QList<QByteArray>{frameOf('a'), QByteArray("cdefghijklmnop\n").right(14),
                             frameOf('c')}
        << 0;
}

void TestFrameExtractor::splitter()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(int, pending);

    FrameSplitter splitter;
    splitter.feed(stream);
    QList<QByteArray> got;
    QByteArray frame;
    while (splitter.next(frame))
        got.append(frame);
    QCOMPARE(got, frames);
    QCOMPARE(splitter.pendingBytes(), pending);
}

void TestFrameExtractor::splitterChunkSizeDoesNotMatter()
{
    QByteArray stream;
    for (int i = 0; i < 200; ++i) {
        stream += frameOf(char('a' + i % 26));
        if (i % 7 == 0)
            stream += "junk\n";
        if (i % 11 == 0)
            stream += QByteArray(20 + i % 5, 'n');
    }
    FrameSplitter whole;
    whole.feed(stream);
    QList<QByteArray> expected;
    QByteArray frame;
    while (whole.next(frame))
        expected.append(frame);
    QVERIFY(expected.size() >= 200);

    for (int chunk : {1, 3, 13, 14, 15, 64}) {
        FrameSplitter pieces;
        QList<QByteArray> got;
        for (int at = 0; at < stream.size(); at += chunk) {
            pieces.feed(stream.mid(at, chunk));
            while (pieces.next(frame))
                got.append(frame);
        }
        QCOMPARE(got, expected);
    }
}

void TestFrameExtractor::splitterMemoryStaysBounded()
{
    FrameSplitter splitter;
    const QByteArray block(64 * 1024, 'x');
    QByteArray frame;
    for (int i = 0; i < 64; ++i) {
        splitter.feed(block);
        QVERIFY(!splitter.next(frame));
        QVERIFY(splitter.pendingBytes() <= 13);
    }
    splitter.feed("\n");
    QVERIFY(splitter.next(frame));
    QCOMPARE(frame, QByteArray(13, 'x') + '\n');
}

QTEST_APPLESS_MAIN(TestFrameExtractor)
#include "tst_frameextractor.moc"
