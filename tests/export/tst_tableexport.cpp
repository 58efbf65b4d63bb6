#include "export/tableexport.h"

#include "modaldriver.h"
#include "tablemodels.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextCodec>
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
    void init();
    void text_data();
    void text();
    void textCancelled();
    void textFailures_data();
    void textFailures();
    void workbook_data();
    void workbook();
    void workbookFailure();
    void columnWidthsFromView();

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

void TstTableExport::init()
{
    m_opened.clear();
    // Every case starts from new names, so no overwrite question comes between.
    for (const QString &name : QDir(m_dir.path()).entryList(QDir::Files))
        QFile::remove(m_dir.filePath(name));
}

void TstTableExport::text_data()
{
    QTest::addColumn<Style>("style");
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<int>("fields");
    QTest::newRow("main window") << Style::MainWindow << QStringList{"确定"} << 4;
    QTest::newRow("history window") << Style::HistoryWindow << QStringList{"Apply"} << 5;
}

void TstTableExport::text()
{
    QFETCH(Style, style);
    QFETCH(QStringList, buttons);
    QFETCH(int, fields);
    auto model = style == Style::MainWindow ? makeTable(mainHeaders(), mainRows())
                                            : makeTable(historyHeaders(), historyRows());
    QWidget window;
    const QString path = m_dir.filePath(QStringLiteral("表格.txt"));

    ModalDriver driver;
    driver.chooseFile(path);
    driver.answerBox(buttons.first());
    exportTableToText(model.get(), &window, style);

    QVERIFY(driver.done());
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.fileCaption, QStringLiteral("保存"));
    QCOMPARE(driver.fileFilters, QStringList{QStringLiteral("文本文档(*.txt)")});
    QCOMPARE(driver.boxes.size(), 1);
    const SeenBox box = driver.boxes.first();
    QCOMPARE(box.title, QStringLiteral("提示"));
    QCOMPARE(box.text, QStringLiteral("文本文档保存成功！"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, buttons);
    if (style == Style::HistoryWindow)
        QCOMPARE(box.standard, QMessageBox::StandardButtons(QMessageBox::Apply));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    QString content = QTextCodec::codecForLocale()->toUnicode(bytes);
    if (!content.contains(QStringLiteral("序号")))
        content = QString::fromUtf8(bytes);
    const QStringList lines = content.split('\n');
    QCOMPARE(lines.size(), 5); // header, three rows, nothing after the last line end
    QCOMPARE(lines.at(0).split('\t').size(), fields);
    QCOMPARE(lines.at(3).split('\t').first(), QStringLiteral("3"));
    QCOMPARE(lines.at(4), QString());
}

void TstTableExport::textCancelled()
{
    auto model = makeTable(mainHeaders(), mainRows());
    QWidget window;
    ModalDriver driver;
    driver.chooseFile(QString());
    exportTableToText(model.get(), &window, Style::MainWindow);
    QVERIFY(driver.done());
    QCOMPARE(driver.unexpected, 0);
    QVERIFY(driver.boxes.isEmpty());
}

void TstTableExport::textFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    const QString missing = m_dir.filePath("gone/x.txt");
    QTest::newRow("folder missing") << missing << "Read File" << "Cannot open file:\n" + missing;
    QTest::newRow("disk full") << "/dev/full" << "提示" << "文本文档保存失败！\n/dev/full";
}

void TstTableExport::textFailures()
{
    QFETCH(QString, path);
    QFETCH(QString, title);
    QFETCH(QString, text);
    auto model = makeTable(mainHeaders(), mainRows());
    QWidget window;
    ModalDriver driver;
    driver.chooseFile(path);
    driver.answerBox(QString());
    exportTableToText(model.get(), &window, Style::MainWindow);

    QVERIFY(driver.done());
    QCOMPARE(driver.unexpected, 0);
    const SeenBox box = driver.boxes.last();
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, QMessageBox::Warning);
    for (const SeenBox &b : driver.boxes)
        QVERIFY(!b.text.contains(QStringLiteral("成功")));
}

void TstTableExport::workbook_data()
{
    QTest::addColumn<Style>("style");
    QTest::addColumn<QString>("yes");
    QTest::addColumn<QString>("no");
    QTest::addColumn<bool>("answerYes");
    QTest::newRow("main window, yes") << Style::MainWindow << "是" << "否" << true;
    QTest::newRow("main window, no") << Style::MainWindow << "是" << "否" << false;
    QTest::newRow("history window, yes") << Style::HistoryWindow << "&Yes" << "&No" << true;
    QTest::newRow("history window, no") << Style::HistoryWindow << "&Yes" << "&No" << false;
}

void TstTableExport::workbook()
{
    QFETCH(Style, style);
    QFETCH(QString, yes);
    QFETCH(QString, no);
    QFETCH(bool, answerYes);
    auto model = makeTable(historyHeaders(), historyRows());
    QTableView view;
    view.setModel(model.get());
    const QString chosen = m_dir.filePath(QStringLiteral("记录"));
    const QString written = chosen + ".xlsx";
    QFile::remove(written);

    ModalDriver driver;
    driver.chooseFile(chosen);
    driver.answerBox(answerYes ? yes : no);
    exportTableToExcel(model.get(), QStringLiteral("数据记录"), tableColumnWidths(&view), &view,
                       style);

    QVERIFY(driver.done());
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.fileCaption, QStringLiteral("保存"));
    QCOMPARE(driver.fileFilters, QStringList{QStringLiteral("Excel 文件(*.xls *.xlsx)")});
    QCOMPARE(driver.fileDirectory,
             QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    QVERIFY(QFileInfo(written).size() > 0);

    const SeenBox box = driver.boxes.first();
    QCOMPARE(box.title, QStringLiteral("完成"));
    QCOMPARE(box.text, QStringLiteral("文件已经导出，是否现在打开？"));
    QCOMPARE(box.icon, QMessageBox::Question);
    QCOMPARE(box.buttons, (QStringList{yes, no}));
    if (answerYes)
        QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(written)});
    else
        QVERIFY(m_opened.isEmpty());
}

void TstTableExport::workbookFailure()
{
    // A workbook that could not be saved is reported, and nothing offers to
    // open the file that is not there.
    auto model = makeTable(mainHeaders(), mainRows());
    QWidget window;
    const QString path = m_dir.filePath("gone/x.xlsx");
    ModalDriver driver;
    driver.chooseFile(path);
    driver.answerBox(QStringLiteral("确定"));
    exportTableToExcel(model.get(), "t", {100, 150, 100}, &window, Style::MainWindow);

    QVERIFY(driver.done());
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes.first().title, QStringLiteral("错误"));
    QVERIFY(driver.boxes.first().text.contains(path));
    QCOMPARE(driver.boxes.first().buttons, QStringList{"确定"});
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(m_opened.isEmpty());
}

void TstTableExport::columnWidthsFromView()
{
    auto model = makeTable(mainHeaders(), mainRows());
    QTableView view;
    view.setModel(model.get());
    view.setColumnWidth(0, 100);
    view.setColumnWidth(1, 150);
    view.setColumnWidth(2, 60);
    const QVector<int> widths = tableColumnWidths(&view);
    QCOMPARE(widths.size(), 3);
    QCOMPARE(widths.at(0), 100);
    QCOMPARE(widths.at(1), 150);
    QCOMPARE(widths.at(2), 60);
}

QTEST_MAIN(TstTableExport)
#include "tst_tableexport.moc"
