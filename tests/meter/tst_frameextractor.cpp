#include "meter/frameextractor.h"

#include <QtTest>

Q_DECLARE_METATYPE(FrameCut)

namespace {

// A well-formed frame, told apart by `tag` in its sign byte.
QByteArray frameOf(char tag)
{
    return QByteArray(1, tag) + "1234 2" + QByteArray(5, '\0') + "\r\n";
}

// The same with a line feed's value in a status or bar-graph byte.
QByteArray frameWithLineFeedAt(int index, char tag = 'L')
{
    QByteArray f = frameOf(tag);
    f[index] = '\n';
    return f;
}

QByteArray noise(int n)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char('A' + i % 26));
    return b;
}

QList<QByteArray> drain(FrameSplitter &splitter)
{
    QList<QByteArray> got;
    QByteArray frame;
    while (splitter.next(frame))
        got.append(frame);
    return got;
}

} // namespace

class TestFrameExtractor : public QObject
{
    Q_OBJECT

private slots:
    void newestFrame_data();
    void newestFrame();
    void bound_data();
    void bound();
    void splitter_data();
    void splitter();
    void splitterMemoryStaysBounded();
};

void TestFrameExtractor::newestFrame_data()
{
    QTest::addColumn<QByteArray>("rx");
    QTest::addColumn<FrameCut>("cut");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("rest");

    const QByteArray a13(13, 'a'), none;
    const QByteArray third = frameOf('c').left(7);
    QTest::newRow("two frames and half a third")
        << frameOf('a') + frameOf('b') + third << FrameCut::Frame << frameOf('b') << third;
    QTest::newRow("13 bytes without line feed") << a13 << FrameCut::None << none << a13;
    QTest::newRow("line feed at index 0 is not a frame end")
        << '\n' + a13 << FrameCut::Dropped << none << a13;
    QTest::newRow("no line feed keeps what a frame could still use")
        << noise(40) << FrameCut::Dropped << none << noise(40).right(13);
    QTest::newRow("noise ending in a line feed is no frame; the one before is")
        << frameOf('a') + noise(13) + '\n' << FrameCut::Frame << frameOf('a') << noise(13) + '\n';
    QTest::newRow("a line feed in a later partial frame does not end one")
        << frameOf('a') + "bbb\ncc" << FrameCut::Frame << frameOf('a') << QByteArray("bbb\ncc");
    for (int at : {7, 8, 11}) {
        const QByteArray f = frameWithLineFeedAt(at);
        QTest::addRow("line feed value at byte %d, frame complete", at)
            << frameOf('a') + f << FrameCut::Frame << f << none;
        QTest::addRow("line feed value at byte %d, frame still arriving", at)
            << frameOf('a') + f.left(at + 1) << FrameCut::Frame << frameOf('a') << f.left(at + 1);
    }
}

void TestFrameExtractor::newestFrame()
{
    QFETCH(QByteArray, rx);
    QFETCH(FrameCut, cut);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, rest);

    // Without a cut the frame taken before stays.
    const QByteArray previous("previous frame");
    QByteArray taken = previous;
    QCOMPARE(takeNewestFrame(rx, taken), cut);
    QCOMPARE(taken, cut == FrameCut::Frame ? frame : previous);
    QCOMPARE(rx, rest);
}

void TestFrameExtractor::bound_data()
{
    QTest::addColumn<QByteArray>("rx");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QByteArray>("kept"); // empty: not trimmed
    QTest::addColumn<QByteArray>("later");

    const QByteArray n = noise(5000);
    QTest::newRow("within the limit") << n.left(kMaxRxBuffer) << kMaxRxBuffer << QByteArray() << QByteArray("\n");
    QTest::newRow("no line feed keeps the newest 13 bytes") << n << kMaxRxBuffer << n.right(13) << QByteArray("\n");
    QTest::newRow("frame then noise within the limit")
        << frameOf('e').repeated(300) + frameOf('f') + n.left(1000) << kMaxRxBuffer << frameOf('f') + n.left(1000)
        << QByteArray("\n");
    // More noise than the limit since the last frame: that frame is let go.
    QTest::newRow("frame buried under endless noise")
        << frameOf('f') + n << kMaxRxBuffer << n.right(13) << QByteArray("\n");
    QTest::newRow("many frames, short tail")
        << frameOf('a').repeated(400) + frameOf('z') + frameOf('w').left(2) << kMaxRxBuffer
        << frameOf('z') + frameOf('w').left(2) << frameOf('w').mid(2);
    QTest::newRow("frame with a line feed value in the tail")
        << frameOf('a').repeated(400) + frameWithLineFeedAt(11).left(12) << kMaxRxBuffer
        << frameOf('a') + frameWithLineFeedAt(11).left(12) << frameWithLineFeedAt(11).mid(12);
    QTest::newRow("early line feed then noise") << "ab\n" + n << kMaxRxBuffer << n.right(13) << QByteArray("\n");
    QTest::newRow("frames only") << frameOf('q').repeated(300) << kMaxRxBuffer << frameOf('q') << frameOf('r');
    QTest::newRow("small custom limit") << frameOf('a') + frameOf('b') << 20 << frameOf('b') << QByteArray();
}

// Trimming keeps exactly what the next ticks would take from the full buffer.
void TestFrameExtractor::bound()
{
    QFETCH(QByteArray, rx);
    QFETCH(int, limit);
    QFETCH(QByteArray, kept);
    QFETCH(QByteArray, later);

    QByteArray bounded = rx;
    QCOMPARE(boundRxBuffer(bounded, limit), !kept.isEmpty());
    QCOMPARE(bounded, kept.isEmpty() ? rx : kept);
    // An early line feed is dropped from the full buffer only: same frames.
    QByteArray a, b;
    takeNewestFrame(bounded, b);
    takeNewestFrame(rx, a);
    QCOMPARE(b, QTest::currentDataTag() == QByteArray("frame buried under endless noise") ? QByteArray() : a);
    rx += later;
    bounded += later;
    a.clear();
    b.clear();
    QCOMPARE(takeNewestFrame(bounded, b), takeNewestFrame(rx, a));
    QCOMPARE(b, a);
}

void TestFrameExtractor::splitter_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<int>("pending");

    const QByteArray a = frameOf('a'), b = frameOf('b'), c = frameOf('c');
    QTest::newRow("every frame in order") << a + b + c << QList<QByteArray>{a, b, c} << 0;
    QTest::newRow("incomplete last frame stays pending") << a + "abcdefg" << QList<QByteArray>{a} << 7;
    QTest::newRow("leading partial frame is skipped") << "xyz\n" + a << QList<QByteArray>{a} << 0;
    QTest::newRow("line feed at offset 12 closes nothing")
        << QByteArray(12, 's') + '\n' + b << QList<QByteArray>{b} << 0;
    QTest::newRow("early line feed inside a frame resynchronises")
        << a + "ab\ncdefghijklmnop\n" + c << QList<QByteArray>{a, QByteArray("defghijklmnop\n"), c} << 0;
    QTest::newRow("noise decided only after the next feed")
        << 'x' + noise(13) + '\n' + a << QList<QByteArray>{noise(13) + '\n', a} << 0;
    QTest::newRow("noise at the very end is still reported")
        << a + noise(13) + '\n' << QList<QByteArray>{a, noise(13) + '\n'} << 0;
    QList<QByteArray> withLineFeeds;
    QByteArray lineFeedStream = "9 2\n"; // the capture starts inside a frame
    for (int at : {7, 8, 9, 10, 11, 12}) {
        withLineFeeds << frameWithLineFeedAt(at, char('0' + at)) << frameOf('n');
        lineFeedStream += withLineFeeds[withLineFeeds.size() - 2] + withLineFeeds.last();
    }
    QTest::newRow("line feed values inside frames do not split them") << lineFeedStream << withLineFeeds << 0;
    QByteArray mixed;
    QList<QByteArray> frames;
    for (int i = 0; i < 200; ++i) {
        frames << frameOf(char('a' + i % 26));
        mixed += frames.last() + (i % 7 == 0 ? "junk\n" : "") + QByteArray(i % 11 ? 0 : 20 + i % 5, 'n');
    }
    QTest::newRow("frames among junk and noise") << mixed << frames << 0;
}

// However the stream is cut into pieces, the frames are the same.
void TestFrameExtractor::splitter()
{
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, frames);
    for (int chunk : {1, 3, 13, 14, 15, 64, qMax(1, stream.size())}) {
        FrameSplitter splitter;
        QList<QByteArray> got;
        for (int at = 0; at < stream.size(); at += chunk) {
            splitter.feed(stream.mid(at, chunk));
            got += drain(splitter);
        }
        splitter.finish();
        got += drain(splitter);
        QCOMPARE(got, frames);
        QTEST(splitter.pendingBytes(), "pending");
    }
}

void TestFrameExtractor::splitterMemoryStaysBounded()
{
    FrameSplitter endless;
    for (int i = 0; i < 64; ++i) {
        endless.feed(QByteArray(64 * 1024, 'x'));
        QVERIFY(drain(endless).isEmpty());
        QVERIFY(endless.pendingBytes() <= 13);
    }
    endless.feed(frameOf('e'));
    QCOMPARE(drain(endless), QList<QByteArray>{frameOf('e')});
}

QTEST_APPLESS_MAIN(TestFrameExtractor)
#include "tst_frameextractor.moc"
