#include "export/tableworkbookwriter.h"

#include "tablemodels.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

// Workbooks are read back by an independent reader (openpyxl) through
// check_workbook.py, which reports what it finds as JSON.
class TstTableWorkbook : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void layout_data();
    void layout();
    void splitOverSheets();
    void failures_data();
    void failures();

private:
    QJsonArray inspect(const QString &path) { return inspectWorkbook(path); }
    QTemporaryDir m_dir;
};

void TstTableWorkbook::layout_data()
{
    QTest::addColumn<bool>("history");
    QTest::addColumn<bool>("empty");
    QTest::addColumn<QVector<int>>("pixels");
    QTest::addColumn<QVariantList>("widths");

    QTest::newRow("main window") << false << false << QVector<int>{5, 150, 125} << QVariantList{0, 25, 20};
    QTest::newRow("history window") << true << false << QVector<int>{100, 100, 100, 100}
                                    << QVariantList{16, 16, 16, 16};
    QTest::newRow("empty") << false << true << QVector<int>{100, 150, 100} << QVariantList{16, 25, 16};
}

void TstTableWorkbook::layout()
{
    QFETCH(bool, history);
    QFETCH(bool, empty);
    QFETCH(QVector<int>, pixels);
    QFETCH(QVariantList, widths);
    const QStringList headers = history ? historyHeaders() : mainHeaders();
    const QList<QStringList> rows = empty ? QList<QStringList>() : history ? historyRows() : mainRows();
    auto model = makeTable(headers, rows);
    const QString path = m_dir.filePath("layout.xlsx");
    QString error;
    QVERIFY2(writeTableWorkbook(*model, QStringLiteral("数据记录"), pixels, path, &error), qPrintable(error));

    const QJsonArray sheets = inspect(path);
    QCOMPARE(sheets.size(), 1);
    const QJsonObject s = sheets.at(0).toObject();
    const int columns = headers.size();
    const int lastRow = rows.size() + 2;
    QCOMPARE(s["merged"].toArray(), QJsonArray{history ? "A1:D1" : "A1:C1"});
    QCOMPARE(s["maxCol"].toInt(), columns);
    QCOMPARE(s["maxRow"].toInt(), lastRow);
    QCOMPARE(s["widths"].toArray().toVariantList(), widths);
    // Row 1 is 30 high, rows 2 to R+2 are 20, the row after keeps the default.
    const QJsonArray heights = s["heights"].toArray();
    QCOMPARE(heights.size(), lastRow + 1);
    for (int r = 0; r < lastRow; ++r)
        QCOMPARE(heights.at(r).toDouble(), r == 0 ? 30.0 : 20.0);
    QVERIFY(heights.at(lastRow).isNull() || heights.at(lastRow).toDouble() != 20.0);

    // Every value is text, numbers included.
    QList<QStringList> expected{{QStringLiteral("数据记录")}, headers};
    expected += rows;
    const QJsonArray values = s["values"].toArray();
    for (int r = 0; r < lastRow; ++r)
        for (int c = 0; c < expected.at(r).size(); ++c)
            QCOMPARE(values.at(r).toArray().at(c).toString(), expected.at(r).at(c));
    QVERIFY(!s["types"].toArray().contains("int") && !s["types"].toArray().contains("float"));

    // Every header cell: bold, solid grey, centred both ways; data cells not bold.
    QCOMPARE(s["headers"].toArray(), QJsonArray{R"([true, "FFBFBFBF", "solid", "center", "center"])"});
    QVERIFY(!s["dataBold"].toBool());

    // Thin black lines around every header and data cell, none on the title.
    const QJsonArray borders = s["borders"].toArray();
    for (int r = 0; r < lastRow; ++r)
        for (int c = 0; c < columns; ++c)
            QCOMPARE(borders.at(r).toArray().at(c).toString(), r == 0 ? "None/None" : "thin/FF000000");
}

void TstTableWorkbook::splitOverSheets()
{
    // Five rows per worksheet: title, header and three data rows each.
    QList<QStringList> rows;
    for (int i = 1; i <= 7; ++i)
        rows.append({QStringLiteral("10:00:0%1").arg(i), QString::number(i), "<&>", i == 7 ? "" : "DCV"});
    auto model = makeTable(historyHeaders(), rows);
    const QString path = m_dir.filePath("split.xlsx");
    QVERIFY(writeTableWorkbook(*model, QStringLiteral("数据记录"), {100, 150, 60, 100}, path, nullptr, 5));

    const QJsonArray sheets = inspect(path);
    QCOMPARE(sheets.size(), 3);
    for (int i = 0; i < sheets.size(); ++i) {
        const QJsonObject s = sheets.at(i).toObject();
        QCOMPARE(s["maxRow"].toInt(), i < 2 ? 5 : 3);
        QCOMPARE(s["values"].toArray().at(1).toArray().at(2).toString(), QStringLiteral("单位"));
    }
    // The whole table, in order, across the worksheets.
    QCOMPARE(workbookRows(sheets), rows);
}

void TstTableWorkbook::failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("earlier");
    QTest::newRow("folder missing") << m_dir.filePath("gone/x.xlsx") << false;
    QTest::newRow("disk full (/dev/full)") << "/dev/full" << false;
    // A cell longer than a worksheet cell holds fails part way through.
    QTest::newRow("failure over an earlier export") << m_dir.filePath("earlier.xlsx") << true;
}

void TstTableWorkbook::failures()
{
    QFETCH(QString, path);
    QFETCH(bool, earlier);
    QList<QStringList> rows = mainRows();
    if (earlier)
        rows.append({"10:00:04", QString(40000, QLatin1Char('9')), "DCV"});
    auto model = makeTable(mainHeaders(), rows);
    if (earlier) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("kept") == 4);
    }
    const QStringList before = QDir(m_dir.path()).entryList(QDir::Files);
    QString error;
    QVERIFY(!writeTableWorkbook(*model, "t", {100, 150, 100}, path, &error));
    QVERIFY(!error.isEmpty());
    struct stat st = {};
    if (path == QLatin1String("/dev/full"))
        QVERIFY(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));
    else
        QCOMPARE(QFileInfo::exists(path), earlier);
    if (earlier) {
        // The earlier file is kept as it was, and nothing is left beside it.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("kept"));
    }
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), before);
}

QTEST_GUILESS_MAIN(TstTableWorkbook)
#include "tst_tableworkbook.moc"
