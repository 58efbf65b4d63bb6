#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray frame(const char *hex)
{
    const QByteArray f = QByteArray::fromHex(hex);
    Q_ASSERT(f.size() == 14);
    return f;
}

// + 0500, 2 decimals, AUTO|DC, V: 5.00 V
const QByteArray kDcv = frame("2B 30 35 30 30 20 32 30 00 00 80 00 0D 0A");
// + 1234, 2 decimals, kilo, ohm, bar on with minus and length 5, MAX and BAT
const QByteArray kKiloOhm = frame("2B 31 32 33 34 20 32 01 24 20 20 85 0D 0A");
// - overload, 3 decimals, AC, A: range 19
const QByteArray kAcaOverload = frame("2D 3F 30 3A 3F 20 31 08 00 00 40 00 0D 0A");
// - 0000, 0 decimals, hFE
const QByteArray kMinusZero = frame("2D 30 30 30 30 20 30 00 00 00 10 00 0D 0A");
// a letter among the digits: line noise
const QByteArray kNoise = frame("2B 31 32 41 34 20 32 10 00 00 80 00 0D 0A");

const QStringList kKeys = {"valid", "funcIndex", "funcStr", "subRange", "rangeIndex", "value",
                           "valueStr", "unitStr", "decimals", "overload", "negative", "auto",
                           "rel", "hold", "barOn", "barNegative", "barLevel", "max", "min", "apo",
                           "bat"};

struct Run
{
    int exitCode = -1;
    QList<QByteArray> lines;
    QByteArray err;
};

} // namespace

class TestDecodeTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesEveryFrameOfAFile();
    void keysInOrder();
    void readsStandardInput();
    void fixedBlocks();
    void commandLine_data();
    void commandLine();

private:
    Run run(const QStringList &args, const QByteArray &input = QByteArray());
    QJsonObject object(const QByteArray &line);

    QString m_tool;
    QTemporaryDir m_dir;
    QString m_capture;
};

void TestDecodeTool::initTestCase()
{
    m_tool = QDir(qEnvironmentVariable("TK52K_BIN_DIR")).filePath(QStringLiteral("tk52k-decode"));
    QVERIFY2(QFileInfo(m_tool).isExecutable(), qPrintable(m_tool));
    QVERIFY(m_dir.isValid());
    m_capture = m_dir.filePath(QStringLiteral("capture.bin"));
    QFile f(m_capture);
    QVERIFY(f.open(QIODevice::WriteOnly));
    // The capture starts inside a frame and ends with half of one.
    f.write("30 00 0D\n" + kDcv + kKiloOhm + kNoise + kAcaOverload + kMinusZero + kDcv.left(7));
}

Run TestDecodeTool::run(const QStringList &args, const QByteArray &input)
{
    QProcess p;
    p.start(m_tool, args);
    if (!p.waitForStarted(30000))
        return {};
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000))
        return {};
    Run r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.lines = p.readAllStandardOutput().split('\n');
    if (!r.lines.isEmpty() && r.lines.last().isEmpty())
        r.lines.removeLast();
    r.err = p.readAllStandardError();
    return r;
}

QJsonObject TestDecodeTool::object(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qWarning("not a JSON object: %s", line.constData());
    return doc.object();
}

void TestDecodeTool::decodesEveryFrameOfAFile()
{
    const Run r = run({m_capture});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.lines.size(), 5);

    const QJsonObject dcv = object(r.lines[0]);
    QCOMPARE(dcv.value("valid").toBool(), true);
    QCOMPARE(dcv.value("funcStr").toString(), QStringLiteral("DCV"));
    QCOMPARE(dcv.value("rangeIndex").toInt(), 2);
    QVERIFY(dcv.value("value").isDouble());
    QCOMPARE(dcv.value("value").toDouble(), 5.0);
    QCOMPARE(dcv.value("valueStr").toString(), QStringLiteral("5.00"));
    QCOMPARE(dcv.value("auto").toBool(), true);
    QCOMPARE(dcv.value("barOn").toBool(), false);
    QCOMPARE(dcv.value("raw").toString(), QString::fromLatin1(kDcv.toHex()));

    const QJsonObject ohm = object(r.lines[1]);
    QCOMPARE(ohm.value("funcIndex").toInt(), 4);
    QCOMPARE(ohm.value("subRange").toInt(), 2);
    QCOMPARE(ohm.value("rangeIndex").toInt(), 23);
    QCOMPARE(ohm.value("unitStr").toString(), QStringLiteral("kΩ"));
    QCOMPARE(ohm.value("value").toDouble(), 12.34);
    QCOMPARE(ohm.value("decimals").toInt(), 2);
    QCOMPARE(ohm.value("barOn").toBool(), true);
    QCOMPARE(ohm.value("barNegative").toBool(), true);
    QCOMPARE(ohm.value("barLevel").toInt(), 5);
    QCOMPARE(ohm.value("max").toBool(), true);
    QCOMPARE(ohm.value("bat").toBool(), true);
    QCOMPARE(ohm.value("min").toBool(), false);
    QCOMPARE(ohm.value("apo").toBool(), false);

    const QJsonObject noise = object(r.lines[2]);
    QCOMPARE(noise.value("valid").toBool(true), false);
    QCOMPARE(noise.keys(), QStringList({"raw", "valid"}));

    const QJsonObject aca = object(r.lines[3]);
    QCOMPARE(aca.value("rangeIndex").toInt(), 19);
    QCOMPARE(aca.value("overload").toBool(), true);
    QCOMPARE(aca.value("negative").toBool(), true);
    QCOMPARE(aca.value("value").toDouble(), -0.8);
    QCOMPARE(aca.value("valueStr").toString(), QStringLiteral("-0.800"));

    const QJsonObject zero = object(r.lines[4]);
    QCOMPARE(zero.value("unitStr").toString(), QStringLiteral(" "));
    QCOMPARE(zero.value("negative").toBool(), true);
    QCOMPARE(zero.value("valueStr").toString(), QStringLiteral("0"));
    QVERIFY(!r.lines[4].contains("\"value\": -"));
}

void TestDecodeTool::keysInOrder()
{
    const Run r = run({m_capture});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(!r.lines.isEmpty());
    static const QRegularExpression key(QStringLiteral("\"(\\w+)\":"));
    QStringList keys;
    auto it = key.globalMatch(QString::fromUtf8(r.lines[0]));
    while (it.hasNext())
        keys << it.next().captured(1);
    QCOMPARE(keys.mid(0, kKeys.size()), kKeys);
    QCOMPARE(keys.mid(kKeys.size()), QStringList{"raw"});
}

void TestDecodeTool::readsStandardInput()
{
    QFile f(m_capture);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    const Run fromFile = run({m_capture});
    const Run fromStdin = run({}, bytes);
    const Run fromDash = run({"-"}, bytes);
    QCOMPARE(fromStdin.exitCode, 0);
    QCOMPARE(fromDash.exitCode, 0);
    QCOMPARE(fromStdin.lines, fromFile.lines);
    QCOMPARE(fromDash.lines, fromFile.lines);
}

void TestDecodeTool::fixedBlocks()
{
    // Aligned blocks decode like the line-feed cut, including a frame whose
    // bar-graph byte happens to be a line feed.
    QByteArray barIsLineFeed = kDcv;
    barIsLineFeed[11] = '\n';
    const QByteArray aligned = kDcv + barIsLineFeed + kKiloOhm;
    const Run fixed = run({"--fixed"}, aligned);
    QCOMPARE(fixed.exitCode, 0);
    QCOMPARE(fixed.lines.size(), 3);
    QCOMPARE(object(fixed.lines[1]).value("barLevel").toInt(), 10);
    QCOMPARE(object(fixed.lines[2]).value("rangeIndex").toInt(), 23);

    // One stray byte in front: the line-feed cut resynchronises, fixed
    // blocks stay shifted.
    const QByteArray shifted = "x" + kDcv + kKiloOhm;
    const Run cut = run({}, shifted);
    QCOMPARE(cut.lines.size(), 2);
    QCOMPARE(object(cut.lines[0]).value("valid").toBool(), true);
    const Run blocks = run({"--fixed"}, shifted);
    QCOMPARE(blocks.exitCode, 0);
    QCOMPARE(blocks.lines.size(), 2);
    QCOMPARE(object(blocks.lines[0]).value("valid").toBool(true), false);
    QCOMPARE(object(blocks.lines[0]).value("raw").toString(),
             QString::fromLatin1(shifted.left(14).toHex()));
}

void TestDecodeTool::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("stdoutEmpty");
    QTest::addColumn<bool>("stderrEmpty");

    QTest::newRow("help") << QStringList{"--help"} << 0 << false << true;
    QTest::newRow("missing file") << QStringList{m_dir.filePath("absent.bin")} << 1 << true << false;
    QTest::newRow("directory") << QStringList{m_dir.path()} << 1 << true << false;
    QTest::newRow("unknown option") << QStringList{"--fast"} << 2 << true << false;
    QTest::newRow("two files") << QStringList{m_capture, m_capture} << 2 << true << false;
}

void TestDecodeTool::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(bool, stdoutEmpty);
    QFETCH(bool, stderrEmpty);

    const Run r = run(args);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.lines.isEmpty(), stdoutEmpty);
    QCOMPARE(r.err.isEmpty(), stderrEmpty);
}

QTEST_GUILESS_MAIN(TestDecodeTool)
#include "tst_decodetool.moc"
