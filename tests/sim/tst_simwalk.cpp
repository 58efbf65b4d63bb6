#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

// The virtual meter's walk, read back through the offline decoder: how long
// it stays in a range and whether the value moves while it does.
class TestSimWalk : public QObject
{
    Q_OBJECT

private slots:
    void walk_data();
    void walk();
};

void TestSimWalk::walk_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("dwell"); // frames in each range
    // A newcomer's first screen: 90 s a range at the default 3 frames a
    // second, and at any other rate.
    QTest::newRow("default") << QStringList{} << 270;
    QTest::newRow("default at 1 frame a second") << QStringList{"--rate", "1"} << 90;
    QTest::newRow("quick") << QStringList{"--quick"} << 30;
    QTest::newRow("dwell given") << QStringList{"--quick", "--dwell", "45"} << 45;
}

void TestSimWalk::walk()
{
    QFETCH(QStringList, args);
    QFETCH(int, dwell);
    const QDir bin(qEnvironmentVariable("TK52K_BIN_DIR"));
    QTemporaryDir dir;
    const QString capture = dir.filePath(QStringLiteral("walk.bin"));
    const QString frames = QString::number(3 * dwell + dwell / 2);
    QProcess sim, decode;
    sim.start(bin.filePath("tk52k-sim"),
              args + QStringList{"--output", capture, "--count", frames, "--seed", "11"});
    QVERIFY(sim.waitForFinished(60000) && sim.exitCode() == 0);
    decode.start(bin.filePath("tk52k-decode"), {capture});
    QVERIFY(decode.waitForFinished(60000) && decode.exitCode() == 0);
    QVector<int> ranges, lengths;
    QVector<QSet<QString>> valuesPerRange;
    for (const QByteArray &line : decode.readAllStandardOutput().trimmed().split('\n')) {
        const QJsonObject frame = QJsonDocument::fromJson(line).object();
        const int range = frame.value(QStringLiteral("rangeIndex")).toInt(-1);
        if (ranges.isEmpty() || range != ranges.last()) {
            ranges << range;
            lengths << 0;
            valuesPerRange.append(QSet<QString>());
        }
        ++lengths.last();
        valuesPerRange.last().insert(frame.value(QStringLiteral("valueStr")).toString());
    }
    // Every range but the unfinished last one lasts exactly the dwell, and
    // the walk moves on to a range it has not shown.
    QVERIFY(!ranges.contains(-1));
    QCOMPARE(lengths, (QVector<int>{dwell, dwell, dwell, dwell / 2}));
    QCOMPARE(QSet<int>(ranges.begin(), ranges.end()).size(), 4);
    // The value moves within a range: a frozen or nearly frozen reading
    // draws no curve.
    for (int i = 0; i < 3; ++i)
        QVERIFY2(
            valuesPerRange[i].size() >= dwell / 3,
            qPrintable(QStringLiteral("range %1: %2 values").arg(ranges[i]).arg(valuesPerRange[i].size())));
}

QTEST_GUILESS_MAIN(TestSimWalk)
#include "tst_simwalk.moc"
