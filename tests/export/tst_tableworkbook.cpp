#include "export/tableworkbookreader.h"
#include "export/tableworkbookwriter.h"

#include "tablemodels.h"

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
    void initTestCase();
    void layout_data();
    void layout();
    void splitOverSheets();
    void fileName_data();
    void fileName();
    void failures_data();
    void failures();
    void readBack();

private:
    QJsonArray inspect(const QString &path)
    {
        QProcess py;
        py.start(QStringLiteral("/usr/bin/python3"),
                 {qEnvironmentVariable("TK52K_SOURCE_DIR") + "/tests/export/check_workbook.py",
                  path});
        if (!py.waitForFinished(60000) || py.exitCode() != 0) {
            qWarning() << py.readAllStandardError();
            return {};
        }
        return QJsonDocument::fromJson(py.readAllStandardOutput()).object()["sheets"].toArray();
    }
    QTemporaryDir m_dir;
};

void TstTableWorkbook::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFileInfo::exists(qEnvironmentVariable("TK52K_SOURCE_DIR")
                               + "/tests/export/check_workbook.py"),
             "TK52K_SOURCE_DIR must point at the sources");
}

void TstTableWorkbook::layout_data()
{
    QTest::addColumn<QStringList>("headers");
    QTest::addColumn<QList<QStringList>>("rows");
    QTest::addColumn<QVector<int>>("pixels");
    QTest::addColumn<QString>("merged");
    QTest::addColumn<QVariantList>("widths");

    QTest::newRow("main window") << mainHeaders() << mainRows() << QVector<int>{100, 150, 100}
                                 << "A1:C1" << QVariantList{16, 25, 16};
    QTest::newRow("history window") << historyHeaders() << historyRows()
                                    << QVector<int>{100, 100, 100, 100} << "A1:D1"
                                    << QVariantList{16, 16, 16, 16};
    QTest::newRow("empty main table") << mainHeaders() << QList<QStringList>()
                                      << QVector<int>{100, 150, 100} << "A1:C1"
                                      << QVariantList{16, 25, 16};
    QTest::newRow("widths truncated, narrow column hidden")
        << mainHeaders() << mainRows() << QVector<int>{5, 71, 125} << "A1:C1"
        << QVariantList{0, 11, 20};
}

void TstTableWorkbook::layout()
{
    QFETCH(QStringList, headers);
    QFETCH(QList<QStringList>, rows);
    QFETCH(QVector<int>, pixels);
    QFETCH(QString, merged);
    QFETCH(QVariantList, widths);

    auto model = makeTable(headers, rows);
    const QString path = m_dir.filePath("layout.xlsx");
    QString error;
    QVERIFY2(writeTableWorkbook(*model, QStringLiteral("数据记录"), pixels, path, &error),
             qPrintable(error));

    const QJsonArray sheets = inspect(path);
    QCOMPARE(sheets.size(), 1);
    const QJsonObject s = sheets.at(0).toObject();
    const int columns = headers.size();
    const int lastRow = rows.size() + 2;

    QCOMPARE(s["merged"].toArray(), QJsonArray{merged});
    QCOMPARE(s["maxCol"].toInt(), columns);
    QCOMPARE(s["maxRow"].toInt(), lastRow);
    QCOMPARE(s["widths"].toArray().toVariantList(), widths);
    if (pixels.first() < 6)
        QVERIFY(s["hidden"].toArray().at(0).toBool() || s["widths"].toArray().at(0).toInt() == 0);

    // Row 1 is 30 high, rows 2 to R+2 are 20, the row after keeps the default.
    const QJsonArray heights = s["heights"].toArray();
    QCOMPARE(heights.size(), lastRow + 1);
    QCOMPARE(heights.at(0).toDouble(), 30.0);
    for (int r = 1; r < lastRow; ++r)
        QCOMPARE(heights.at(r).toDouble(), 20.0);
    QVERIFY(heights.at(lastRow).isNull() || heights.at(lastRow).toDouble() != 20.0);

    // Every value is text, numbers included.
    const QJsonArray values = s["values"].toArray();
    QCOMPARE(values.at(0).toArray().at(0).toString(), QStringLiteral("数据记录"));
    for (int c = 0; c < columns; ++c)
        QCOMPARE(values.at(1).toArray().at(c).toString(), headers.at(c));
    for (int r = 0; r < rows.size(); ++r)
        for (int c = 0; c < columns; ++c) {
            const QJsonValue v = values.at(r + 2).toArray().at(c);
            // openpyxl reads an empty string cell as no value at all.
            QCOMPARE(v.isNull() ? QString() : v.toString(), rows.at(r).at(c));
        }
    QVERIFY(!s["types"].toArray().contains("int"));
    QVERIFY(!s["types"].toArray().contains("float"));

    const QJsonObject title = s["titleFormat"].toObject();
    QCOMPARE(title["size"].toDouble(), 18.0);
    QVERIFY(title["wrap"].toBool());
    QCOMPARE(title["h"].toString(), QStringLiteral("center"));
    QCOMPARE(title["v"].toString(), QStringLiteral("center"));

    for (const QJsonValue &h : s["headerFormat"].toArray()) {
        const QJsonObject f = h.toObject();
        QVERIFY(f["bold"].toBool());
        QCOMPARE(f["pattern"].toString(), QStringLiteral("solid"));
        QCOMPARE(f["fill"].toString(), QStringLiteral("FFBFBFBF"));
        QCOMPARE(f["h"].toString(), QStringLiteral("center"));
        QCOMPARE(f["v"].toString(), QStringLiteral("center"));
    }
    QVERIFY(!s["dataBold"].toBool());

    // Thin black lines around every header and data cell, none on the title.
    const QJsonArray borders = s["borders"].toArray();
    for (int r = 0; r < lastRow; ++r)
        for (int c = 0; c < columns; ++c) {
            const QString b = borders.at(r).toArray().at(c).toString();
            if (r == 0)
                QCOMPARE(b, QStringLiteral("None/None"));
            else
                QCOMPARE(b, QStringLiteral("thin/FF000000"));
        }
}

void TstTableWorkbook::splitOverSheets()
{
    // Five rows per worksheet: title, header and three data rows each.
    QList<QStringList> rows;
    for (int i = 1; i <= 7; ++i)
        rows.append({QStringLiteral("10:00:0%1").arg(i), QString::number(i), "V", "DCV"});
    auto model = makeTable(historyHeaders(), rows);
    const QString path = m_dir.filePath("split.xlsx");
    QVERIFY(writeTableWorkbook(*model, QStringLiteral("数据记录"), {100, 100, 100, 100}, path,
                               nullptr, 5));

    const QJsonArray sheets = inspect(path);
    QCOMPARE(sheets.size(), 3);
    const QVector<int> perSheet{3, 3, 1};
    int next = 1;
    for (int i = 0; i < sheets.size(); ++i) {
        const QJsonObject s = sheets.at(i).toObject();
        QCOMPARE(s["maxRow"].toInt(), perSheet.at(i) + 2);
        QCOMPARE(s["merged"].toArray(), QJsonArray{"A1:D1"});
        const QJsonArray values = s["values"].toArray();
        QCOMPARE(values.at(0).toArray().at(0).toString(), QStringLiteral("数据记录"));
        QCOMPARE(values.at(1).toArray().at(2).toString(), QStringLiteral("单位"));
        for (int r = 0; r < perSheet.at(i); ++r)
            QCOMPARE(values.at(r + 2).toArray().at(1).toString(), QString::number(next++));
        QCOMPARE(s["borders"].toArray().last().toArray().at(3).toString(),
                 QStringLiteral("thin/FF000000"));
    }
    QCOMPARE(next, 8);
}

void TstTableWorkbook::fileName_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("written");
    QTest::newRow("no suffix") << "/tmp/report" << "/tmp/report.xlsx";
    QTest::newRow("dot in a folder only") << "/tmp/a.b/report" << "/tmp/a.b/report.xlsx";
    QTest::newRow(".xlsx kept") << "/tmp/report.xlsx" << "/tmp/report.xlsx";
    QTest::newRow(".xls kept") << "/tmp/report.xls" << "/tmp/report.xls";
}

void TstTableWorkbook::fileName()
{
    QFETCH(QString, chosen);
    QFETCH(QString, written);
    QCOMPARE(workbookFileName(chosen), written);
}

void TstTableWorkbook::failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("folder missing") << m_dir.filePath("gone/x.xlsx");
    QTest::newRow("disk full (/dev/full)") << "/dev/full";
}

void TstTableWorkbook::failures()
{
    QFETCH(QString, path);
    auto model = makeTable(mainHeaders(), mainRows());
    QString error;
    QVERIFY(!writeTableWorkbook(*model, "t", {100, 150, 100}, path, &error));
    QVERIFY(!error.isEmpty());
    if (path == QLatin1String("/dev/full")) {
        struct stat st = {};
        QVERIFY(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));
    } else {
        QVERIFY(!QFileInfo::exists(path));
    }
}

void TstTableWorkbook::readBack()
{
    // The print reads the working workbook back; it must see the table that
    // was written, across worksheets.
    QList<QStringList> rows = historyRows();
    for (int i = 0; i < 5; ++i)
        rows.append({"2024-05-02 00:00:0" + QString::number(i), "<&>", QStringLiteral("Ω"), ""});
    auto model = makeTable(historyHeaders(), rows);
    const QString path = m_dir.filePath("back.xlsx");
    QVERIFY(writeTableWorkbook(*model, QStringLiteral("数据记录"), {100, 150, 60, 100}, path,
                               nullptr, 6));

    WorkbookTable table;
    QString error;
    QVERIFY2(readTableWorkbook(path, &table, &error), qPrintable(error));
    QCOMPARE(table.title, QStringLiteral("数据记录"));
    QCOMPARE(table.headers, historyHeaders());
    QCOMPARE(table.rows.size(), rows.size());
    for (int r = 0; r < rows.size(); ++r)
        QCOMPARE(table.rows.at(r), rows.at(r));
    QCOMPARE(table.columnWidths.size(), 4);
    QVERIFY(qAbs(table.columnWidths.at(1) - 25.71) < 0.01);

    QVERIFY(!readTableWorkbook(m_dir.filePath("none.xlsx"), &table, &error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(TstTableWorkbook)
#include "tst_tableworkbook.moc"
