#include "meter/frameextractor.h"

#include <QtTest>

// The stream cut of the offline decoder. The receive buffer's cuts (newest
// frame, bound) are held to their contracts by the fuzz target's oracle.

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
    void splitter_data();
    void splitter();
    void splitterMemoryStaysBounded();
};

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
