#include "toolrun.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

// The offline decoder, and the virtual meter's walk read back through it.
class TestDecodeTool : public QObject
{
    Q_OBJECT

private slots:
    void decodeTool()
    {
        // 5.00 V; 12.34 kΩ with bar minus, length 5, MAX and BAT; line noise;
        // "-0000" hFE.
        const QByteArray dcv = QByteArray::fromHex("2B 30 35 30 30 20 32 30 00 00 80 00 0D 0A");
        const QByteArray kOhm = QByteArray::fromHex("2B 31 32 33 34 20 32 01 24 20 20 85 0D 0A");
        const QByteArray noise = QByteArray::fromHex("2B 31 32 41 34 20 32 10 00 00 80 00 0D 0A");
        const QByteArray minusZero = QByteArray::fromHex("2D 30 30 30 30 20 30 00 00 00 10 00 0D 0A");
        // The capture starts inside a frame and ends with half of one.
        const QByteArray capture = "30 00 0D\n" + dcv + kOhm + noise + minusZero + dcv.left(7);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("capture.bin"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(capture) == capture.size());
        f.close();

        const ToolRun whole = decode({file});
        QCOMPARE(whole.status, 0);
        const QList<QByteArray> lines = whole.lines();
        QCOMPARE(lines.size(), 4);
        QVERIFY(object(lines[0]).value("auto").toBool() && object(lines[0]).value("value").toDouble() == 5.0);
        QCOMPARE(
            lines[1],
            QByteArray(
                "{\"valid\": true, \"funcIndex\": 4, \"funcStr\": \"OHM\", \"subRange\": 2, "
                "\"rangeIndex\": 23, \"value\": 12.34, \"valueStr\": \"12.34\", \"unitStr\": \"kΩ\", "
                "\"decimals\": 2, \"overload\": false, \"negative\": false, \"auto\": false, \"rel\": false, "
                "\"hold\": false, \"barOn\": true, \"barNegative\": true, \"barLevel\": 5, \"max\": true, "
                "\"min\": false, \"apo\": false, \"bat\": true, \"raw\": \"") +
                kOhm.toHex() + "\"}");
        QCOMPARE(lines[2], "{\"valid\": false, \"raw\": \"" + noise.toHex() + "\"}");
        QVERIFY(lines[3].contains("\"valueStr\": \"0\"") && !lines[3].contains("\"value\": -"));

        // Fixed blocks take a bar byte that is a line feed, but stay shifted by
        // a stray byte that the line-feed cut resynchronises after.
        QByteArray barIsLineFeed = dcv;
        barIsLineFeed[11] = '\n';
        const QList<QByteArray> fixed = decode({"--fixed"}, dcv + barIsLineFeed + kOhm).lines();
        QCOMPARE(fixed.size(), 3);
        QCOMPARE(object(fixed[1]).value("barLevel").toInt(), 10);
        const QByteArray shifted = "x" + dcv + kOhm;
        QCOMPARE(decode({"-"}, shifted).lines(), lines.mid(0, 2));
        QCOMPARE(decode({"--fixed"}, shifted).lines().value(0),
                 "{\"valid\": false, \"raw\": \"" + shifted.left(14).toHex() + "\"}");

        // Exit codes: 0 help, 1 unreadable input, 2 usage; errors go to stderr only.
        const QList<QPair<QStringList, int>> commandLines = {{{"--help"}, 0},
                                                             {{dir.filePath("absent.bin")}, 1},
                                                             {{dir.path()}, 1},
                                                             {{"--fast"}, 2},
                                                             {{file, file}, 2}};
        for (const auto &c : commandLines) {
            const ToolRun r = decode(c.first);
            QCOMPARE(r.status, c.second);
            QCOMPARE(r.out.isEmpty(), c.second != 0);
            QCOMPARE(r.err.isEmpty(), c.second == 0);
        }
    }

    void simulatorWalk_data()
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

    void simulatorWalk()
    {
#ifdef Q_OS_WIN
        QSKIP("the virtual meter is built for Linux only");
#endif
        QFETCH(QStringList, args);
        QFETCH(int, dwell);
        QTemporaryDir dir;
        const QString capture = dir.filePath(QStringLiteral("walk.bin"));
        const QString frames = QString::number(3 * dwell + dwell / 2);
        QCOMPARE(
            runTool("tk52k-sim", args + QStringList{"--output", capture, "--count", frames, "--seed", "11"})
                .status,
            0);
        const ToolRun walk = decode({capture});
        QCOMPARE(walk.status, 0);
        QVector<int> ranges, lengths;
        QVector<QSet<QString>> valuesPerRange;
        for (const QByteArray &line : walk.lines()) {
            const QJsonObject frame = object(line);
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
            QVERIFY2(valuesPerRange[i].size() >= dwell / 3,
                     qPrintable(
                         QStringLiteral("range %1: %2 values").arg(ranges[i]).arg(valuesPerRange[i].size())));
    }

private:
    static ToolRun decode(const QStringList &args, const QByteArray &input = {})
    {
        return runTool(QStringLiteral("tk52k-decode"), args, input);
    }
    static QJsonObject object(const QByteArray &line) { return QJsonDocument::fromJson(line).object(); }
};

QTEST_GUILESS_MAIN(TestDecodeTool)
#include "tst_decodetool.moc"
