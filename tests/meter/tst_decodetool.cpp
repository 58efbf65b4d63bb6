#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestDecodeTool : public QObject
{
    Q_OBJECT

private slots:
    void decodeTool();

private:
    // Runs the tool on `input` as its standard input; returns its output lines.
    QList<QByteArray> run(const QStringList &args, const QByteArray &input = QByteArray())
    {
        QProcess p;
        p.start(QDir(qEnvironmentVariable("TK52K_BIN_DIR")).filePath(QStringLiteral("tk52k-decode")), args);
        p.waitForStarted(30000);
        p.write(input);
        p.closeWriteChannel();
        const bool done = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
        m_exitCode = done ? p.exitCode() : -1;
        m_err = p.readAllStandardError();
        QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
        lines.removeAll(QByteArray());
        return lines;
    }
    static QJsonObject object(const QByteArray &line) { return QJsonDocument::fromJson(line).object(); }

    int m_exitCode = -1;
    QByteArray m_err;
};

void TestDecodeTool::decodeTool()
{
    // 5.00 V; 12.34 kΩ with bar minus, length 5, MAX and BAT; line noise;
    // a negative overload in range 19; "-0000" hFE.
    const QByteArray dcv = QByteArray::fromHex("2B 30 35 30 30 20 32 30 00 00 80 00 0D 0A");
    const QByteArray kOhm = QByteArray::fromHex("2B 31 32 33 34 20 32 01 24 20 20 85 0D 0A");
    const QByteArray noise = QByteArray::fromHex("2B 31 32 41 34 20 32 10 00 00 80 00 0D 0A");
    const QByteArray acaOverload = QByteArray::fromHex("2D 3F 30 3A 3F 20 31 08 00 00 40 00 0D 0A");
    const QByteArray minusZero = QByteArray::fromHex("2D 30 30 30 30 20 30 00 00 00 10 00 0D 0A");
    // The capture starts inside a frame and ends with half of one.
    const QByteArray capture = "30 00 0D\n" + dcv + kOhm + noise + acaOverload + minusZero + dcv.left(7);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("capture.bin"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(capture) == capture.size());
    f.close();

    const QList<QByteArray> lines = run({file});
    QCOMPARE(m_exitCode, 0);
    QCOMPARE(lines.size(), 5);
    QVERIFY(object(lines[0]).value("auto").toBool() && object(lines[0]).value("value").toDouble() == 5.0);
    QCOMPARE(
        lines[1],
        QByteArray(
            "{\"valid\": true, \"funcIndex\": 4, \"funcStr\": \"OHM\", \"subRange\": 2, \"rangeIndex\": 23, "
            "\"value\": 12.34, \"valueStr\": \"12.34\", \"unitStr\": \"kΩ\", \"decimals\": 2, "
            "\"overload\": false, \"negative\": false, \"auto\": false, \"rel\": false, \"hold\": false, "
            "\"barOn\": true, \"barNegative\": true, \"barLevel\": 5, \"max\": true, \"min\": false, "
            "\"apo\": false, \"bat\": true, \"raw\": \"") +
            kOhm.toHex() + "\"}");
    QCOMPARE(lines[2], "{\"valid\": false, \"raw\": \"" + noise.toHex() + "\"}");
    QCOMPARE(object(lines[3]).value("valueStr").toString(), QStringLiteral("-0.800"));
    QVERIFY(lines[4].contains("\"valueStr\": \"0\"") && !lines[4].contains("\"value\": -"));

    // Fixed blocks take a bar byte that is a line feed, but stay shifted by
    // a stray byte that the line-feed cut resynchronises after.
    QByteArray barIsLineFeed = dcv;
    barIsLineFeed[11] = '\n';
    const QList<QByteArray> fixed = run({"--fixed"}, dcv + barIsLineFeed + kOhm);
    QCOMPARE(fixed.size(), 3);
    QCOMPARE(object(fixed[1]).value("barLevel").toInt(), 10);
    const QByteArray shifted = "x" + dcv + kOhm;
    QCOMPARE(run({"-"}, shifted), lines.mid(0, 2));
    QCOMPARE(run({"--fixed"}, shifted).value(0),
             "{\"valid\": false, \"raw\": \"" + shifted.left(14).toHex() + "\"}");

    // Exit codes: 0 help, 1 unreadable input, 2 usage; errors go to stderr only.
    const QList<QPair<QStringList, int>> commandLines = {{{"--help"}, 0},
                                                         {{dir.filePath("absent.bin")}, 1},
                                                         {{dir.path()}, 1},
                                                         {{"--fast"}, 2},
                                                         {{file, file}, 2}};
    for (const auto &c : commandLines) {
        QCOMPARE(run(c.first).isEmpty(), c.second != 0);
        QCOMPARE(m_exitCode, c.second);
        QCOMPARE(m_err.isEmpty(), c.second == 0);
    }
}

QTEST_GUILESS_MAIN(TestDecodeTool)
#include "tst_decodetool.moc"
