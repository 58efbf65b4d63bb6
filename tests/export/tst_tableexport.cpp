#include "export/tableexport.h"

#include "export/readingcsvwriter.h"
#include "meter/tkdatadas.h"

#include "modaldriver.h"
#include "tablemodels.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTableView>
#include <QToolBar>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

// The export commands as a user meets them: the file dialog, the file, and
// the message boxes of the main and the history window.
class TstTableExport : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened.append(url); }

private slots:
    void initTestCase();
    void init() { m_opened.clear(); }
    void text_data();
    void text();
    void workbook_data();
    void workbook();
    void csvBesidesTheTextExport();

private:
    QTemporaryDir m_dir;
    QList<QUrl> m_opened;
};

using Style = ExportBoxStyle;
Q_DECLARE_METATYPE(ExportBoxStyle)

void TstTableExport::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A home of our own, so the documents folder the workbook dialog starts in exists.
    qputenv("HOME", m_dir.path().toUtf8());
    QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)));
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
}

void TstTableExport::text_data()
{
    QTest::addColumn<Style>("style");
    QTest::addColumn<QString>("path"); // empty: the dialog is cancelled
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("buttons");

    const QString missing = m_dir.filePath("gone/x.txt");
    QTest::newRow("main window") << Style::MainWindow << m_dir.filePath(QStringLiteral("表格.txt")) << "提示"
                                 << "文本文档保存成功！" << QStringList{"确定"};
    QTest::newRow("history window") << Style::HistoryWindow << m_dir.filePath("h.txt") << "提示"
                                     << "文本文档保存成功！" << QStringList{"Apply"};
    QTest::newRow("cancelled") << Style::MainWindow << QString() << QString() << QString() << QStringList();
    QTest::newRow("folder missing") << Style::MainWindow << missing << "Read File"
                                    << "Cannot open file:\n" + missing << QStringList{"OK"};
    QTest::newRow("disk full") << Style::MainWindow << "/dev/full" << "提示" << "文本文档保存失败！\n/dev/full"
                               << QStringList{"确定"};
}

void TstTableExport::text()
{
    QFETCH(Style, style);
    QFETCH(QString, path);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(QStringList, buttons);
    auto model = makeTable(mainHeaders(), mainRows());
    QWidget window;
    ModalDriver driver;
    driver.chooseFile(path);
    if (!path.isEmpty())
        driver.answerBox(buttons.value(0));
    exportTableToText(model.get(), &window, style);

    QVERIFY(driver.done());
    QCOMPARE(driver.unexpected, 0);
    if (path.isEmpty()) {
        QVERIFY(driver.boxes.isEmpty());
        return;
    }
    QCOMPARE(driver.boxes.size(), 1);
    const SeenBox box = driver.boxes.first();
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, buttons);
    if (!text.contains(QStringLiteral("成功")))
        return;
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().count('\n'), 4); // the whole table: header and three rows
}

void TstTableExport::workbook_data()
{
    QTest::addColumn<Style>("style");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("main window, open it") << Style::MainWindow << QStringLiteral("记录") << "是" << QStringList{"是", "否"};
    QTest::newRow("history window, do not") << Style::HistoryWindow << "h" << "&No" << QStringList{"&Yes", "&No"};
    QTest::newRow("folder missing") << Style::MainWindow << "gone/x.xlsx" << "确定" << QStringList{"确定"};
}

void TstTableExport::workbook()
{
    QFETCH(Style, style);
    QFETCH(QString, chosen);
    QFETCH(QString, answer);
    QFETCH(QStringList, buttons);
    auto model = makeTable(historyHeaders(), historyRows());
    QTableView view;
    view.setModel(model.get());
    view.setColumnWidth(1, 150);
    const QString path = m_dir.filePath(chosen);
    const QString written = path.endsWith(".xlsx") ? path : path + ".xlsx";

    ModalDriver driver;
    driver.chooseFile(path);
    driver.answerBox(answer);
    exportTableToExcel(model.get(), QStringLiteral("数据记录"), tableColumnWidths(&view), &view, style);

    QVERIFY(driver.done());
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.fileDirectory, QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    QCOMPARE(driver.boxes.size(), 1);
    const SeenBox box = driver.boxes.first();
    QCOMPARE(box.buttons, buttons);
    if (buttons.size() == 1) {
        QCOMPARE(box.title, QStringLiteral("错误"));
        QVERIFY(box.text.contains(path));
        QVERIFY(!QFileInfo::exists(written));
        QVERIFY(m_opened.isEmpty());
        return;
    }
    QCOMPARE(box.title, QStringLiteral("完成"));
    QVERIFY(QFileInfo(written).size() > 0);
    QCOMPARE(m_opened, answer == buttons.first() ? QList<QUrl>{QUrl::fromLocalFile(written)} : QList<QUrl>());
}

// The main window's CSV action: enabled with the text export, and
// writing the readings its rows carry rather than their clock texts.
void TstTableExport::csvBesidesTheTextExport()
{
    QToolBar bar;
    QAction *txt = bar.addAction(QStringLiteral("导出TXT"));
    txt->setEnabled(false);

    QStandardItemModel model(0, 3);
    TkDataDas reading;
    reading.time = QDateTime(QDate(2024, 5, 1), QTime(10, 0, 0, 250), Qt::OffsetFromUTC, 8 * 3600);
    reading.valueStr = QStringLiteral("1.234");
    reading.unitStr = QStringLiteral("V");
    reading.funcStr = QStringLiteral("DCV");
    reading.rangeIndex = 1;
    reading.decimals = 3;
    for (int i = 0; i < 2; ++i) {
        model.appendRow({new QStandardItem("10:00:0" + QString::number(i)), new QStandardItem("x"),
                         new QStandardItem("DCV")});
        setReadingRoles(model, model.index(i, 1), reading);
        reading.time = reading.time.addDays(1); // the same clock time a day later
        reading.overload = reading.negative = true;
    }

    QAction *csv = addCsvExportAction(txt, &model, &bar);
    QVERIFY(!csv->isEnabled());
    txt->setEnabled(true);
    QVERIFY(csv->isEnabled());

    ModalDriver driver;
    driver.chooseFile(m_dir.filePath("live"));
    driver.answerBox(QStringLiteral("确定"));
    csv->trigger();
    QVERIFY(driver.done());
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.boxes.first().text, QStringLiteral("CSV 文件保存成功！"));
    QFile file(m_dir.filePath("live.csv"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("time,value,overload,unit,function,range\r\n"
                                        "2024-05-01T10:00:00.250+08:00,1.234,,V,DCV,1\r\n"
                                        "2024-05-02T10:00:00.250+08:00,,- .OL ,V,DCV,1\r\n"));
}

QTEST_MAIN(TstTableExport)
#include "tst_tableexport.moc"
