#include "widgets/export/tableexport.h"

#include "export/readingcsvwriter.h"
#include "export/tabletextwriter.h"
#include "export/tableworkbookwriter.h"

#include "fulldisk.h"
#include "modaldriver.h"
#include "tablemodels.h"
#include "testreading.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QToolBar>
#include <QUrl>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(TextWriteResult)
Q_DECLARE_METATYPE(ExportBoxStyle)

// The text, CSV and workbook writers, then the export commands as a user
// meets them: the file dialog, the file, and the message boxes. Workbooks are
// read back by an independent reader (openpyxl, through check_workbook.py).
class TstTableExport : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened.append(url); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // A home of our own, so the documents folder the workbook dialog starts in exists.
        qputenv("HOME", m_dir.path().toUtf8());
        QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)));
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
    }
    void init()
    {
        m_opened.clear();
        // Each export starts where a first one would.
        QSettings().remove(QStringLiteral("export/folder"));
    }

    void textBytes_data()
    {
        QTest::addColumn<QByteArray>("locale");
        QTest::addColumn<QByteArray>("used");
        // A Chinese locale keeps its own encoding; one that cannot hold the texts
        // gets UTF-8 rather than question marks.
        QTest::newRow("GBK") << QByteArray("GBK") << QByteArray("GBK");
        QTest::newRow("Latin-1") << QByteArray("ISO-8859-1") << QByteArray("UTF-8");
    }

    void textBytes()
    {
        QFETCH(QByteArray, locale);
        QFETCH(QByteArray, used);
        auto model = makeTable(historyHeaders(), historyRows());
        const QString path = m_dir.filePath("bytes.txt");
        QTextCodec *before = QTextCodec::codecForLocale();
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(locale));
        QByteArray usedCodec;
        const TextWriteResult result = writeTableText(*model, path, nullptr, &usedCodec);
        QTextCodec::setCodecForLocale(before);
        QCOMPARE(result, TextWriteResult::Written);
        QCOMPARE(usedCodec, used);
        QCOMPARE(readAll(path), QTextCodec::codecForName(used)->fromUnicode(
                                    QStringLiteral("序号\t时间\t数据\t单位\t功能\n"
                                                   "1\t2024-05-01 10:00:01\t1.234\tV\t直流电压\n"
                                                   "2\t2024-05-01 10:00:02\t012\tΩ\t电阻\n"
                                                   "3\t2024-05-01 10:00:03\t\tmA\t交流电流\n")));
    }

    void textFallbackAfterFirstChunk()
    {
        // Plain ASCII for megabytes, then one Chinese cell: the file written so
        // far must be started over in UTF-8, not continued in another encoding.
        QList<QStringList> rows;
        for (int i = 0; i < 60000; ++i)
            rows.append({"10:00:00", QString::number(i), "DC"});
        rows.append({"10:00:01", "1", QStringLiteral("电阻")});
        auto model = makeTable({"T", "D", "F"}, rows);

        const QString path = m_dir.filePath("late.txt");
        QByteArray used;
        QCOMPARE(writeTableText(*model, path, QTextCodec::codecForName("ISO-8859-1"), &used),
                 TextWriteResult::Written);
        QCOMPARE(used, QByteArray("UTF-8"));
        const QByteArray bytes = readAll(path);
        QVERIFY(bytes.endsWith("60000\t10:00:00\t59999\tDC\n60001\t10:00:01\t1\t电阻\n"));
        QCOMPARE(bytes.count('\n'), 60002);
    }

    // A disk that fills part way through: the export fails and keeps the file it
    // was to replace, untouched, with nothing left beside it.
    void failedTextKeepsTheEarlierFile()
    {
        QList<QStringList> rows;
        for (int i = 0; i < 20000; ++i)
            rows.append({"10:00:00", QString::number(i), QStringLiteral("直流电压")});
        auto model = makeTable(mainHeaders(), rows);
        const QString path = m_dir.filePath("earlier.txt");
        QFile earlier(path);
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("kept\n") == 5);
        earlier.close();
        const QStringList before = QDir(m_dir.path()).entryList(QDir::Files);

        FullDisk full(64 * 1024);
        QVERIFY(full.isSet());
        const TextWriteResult result = writeTableText(*model, path, QTextCodec::codecForName("UTF-8"));
        QVERIFY(full.lift());
        QCOMPARE(result, TextWriteResult::WriteFailed);
        QCOMPARE(readAll(path), QByteArray("kept\n"));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), before);
    }

    void csvFields()
    {
        QCOMPARE(csvField("直流电压"), QStringLiteral("直流电压"));
        QCOMPARE(csvField("a,b"), QStringLiteral("\"a,b\""));
        QCOMPARE(csvField("say \"OL\""), QStringLiteral("\"say \"\"OL\"\"\""));
        QCOMPARE(csvField("two\nlines"), QStringLiteral("\"two\nlines\""));
        // West of Greenwich the offset is negative, with minutes.
        const QDateTime t(QDate(2024, 5, 1), QTime(10, 0, 0, 7), Qt::OffsetFromUTC, -(3 * 3600 + 1800));
        QCOMPARE(csvTime(t), QStringLiteral("2024-05-01T10:00:00.007-03:30"));
    }

    void workbookLayout_data()
    {
        QTest::addColumn<bool>("history");
        QTest::addColumn<QVector<int>>("pixels");
        QTest::addColumn<QVariantList>("widths");
        // Merged title | title cell | row heights: title, table, first row past
        // it | header cells | data cells | title borders | table borders.
        QTest::addColumn<QString>("look");
        const QString header = "bold=True fill=solid/FFBFBFBF align=center/center";
        const QString grid = "thin/FF000000";
        const QString title = " | size=18.0 wrap=True align=center/center";
        QTest::newRow("main window, empty")
            << false << QVector<int>{5, 150, 125} << QVariantList{0, 25, 20}
            << "A1:C1" + title + " | 30.0 20.0 None | " + header + " |  | None/None | " + grid;
        QTest::newRow("history window")
            << true << QVector<int>{100, 100, 100, 100} << QVariantList{16, 16, 16, 16}
            << "A1:D1" + title + " | 30.0 20.0 None | " + header + " | bold=False | None/None | " + grid;
    }

    void workbookLayout()
    {
        QFETCH(bool, history);
        QFETCH(QVector<int>, pixels);
        QFETCH(QVariantList, widths);
        QFETCH(QString, look);
        const QStringList headers = history ? historyHeaders() : mainHeaders();
        const QList<QStringList> rows = history ? historyRows() : QList<QStringList>();
        auto model = makeTable(headers, rows);
        const QString path = m_dir.filePath("layout.xlsx");
        QString error;
        QVERIFY2(writeTableWorkbook(*model, QStringLiteral("数据记录"), pixels, path, &error),
                 qPrintable(error));

        const QJsonArray sheets = inspectWorkbook(path);
        QCOMPARE(sheets.size(), 1);
        QCOMPARE(sheets.at(0)["widths"].toArray().toVariantList(), widths);
        // Title, header, then the rows, every value as text ("012" included).
        const QJsonArray values = sheets.at(0)["values"].toArray();
        QCOMPARE(values.at(0).toArray().at(0).toString(), QStringLiteral("数据记录"));
        QCOMPARE(values.at(1).toArray(), QJsonArray::fromStringList(headers));
        QCOMPARE(workbookRows(sheets), rows);
        QCOMPARE(sheets.at(0)["look"].toString(), look);
        // Printed: the columns fit the page's width, title and header head every page.
        QCOMPARE(sheets.at(0)["print"].toString(), QStringLiteral("fit=True/1/0 titles=$1:$2"));
        QCOMPARE(sheets.at(0)["name"].toString(),
                 QStringLiteral("Sheet1 A1:%1%2").arg(QChar('A' + headers.size() - 1)).arg(rows.size() + 2));
    }

    void workbookSplitOverSheets()
    {
        // Five rows per worksheet: title, header and three data rows each.
        // Texts that need escaping or keep outer blanks, and control
        // characters, which are stored as "_xHHHH_" (read back so).
        const QStringList texts = {"<&>", " a", "a\t", "a\nb", QStringLiteral("😀中"), "x\ry", "\x01"};
        QList<QStringList> rows;
        for (int i = 1; i <= 7; ++i)
            rows.append({QStringLiteral("10:00:0%1").arg(i), QString::number(i), texts.at(i - 1), i == 7 ? "" : "DCV"});
        auto model = makeTable(historyHeaders(), rows);
        const QString path = m_dir.filePath("split.xlsx");
        QVERIFY(
            writeTableWorkbook(*model, QStringLiteral("数据记录"), {100, 150, 60, 100}, path, nullptr, 5));

        const QJsonArray sheets = inspectWorkbook(path);
        QCOMPARE(sheets.size(), 3);
        for (int i = 0; i < sheets.size(); ++i) {
            const QJsonArray values = sheets.at(i)["values"].toArray();
            QCOMPARE(values.size(), i < 2 ? 5 : 3);
            QCOMPARE(values.at(1).toArray().at(2).toString(), QStringLiteral("单位"));
            QCOMPARE(sheets.at(i)["name"].toString(), QStringLiteral("Sheet%1 A1:D%2").arg(i + 1).arg(i < 2 ? 5 : 3));
        }
        // The whole table, in order, across the worksheets.
        rows[5][2] = "x_x000D_y";
        rows[6][2] = "_x0001_";
        QCOMPARE(workbookRows(sheets), rows);
    }

    void workbookFailures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("earlier");
        QTest::newRow("folder missing") << m_dir.filePath("gone/x.xlsx") << false;
        QTest::newRow("disk full (/dev/full)") << "/dev/full" << false;
        // A cell longer than a worksheet cell holds fails part way through.
        QTest::newRow("failure over an earlier export") << m_dir.filePath("earlier.xlsx") << true;
    }

    void workbookFailures()
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
        if (earlier)
            QCOMPARE(readAll(path), QByteArray("kept"));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), before); // nothing left beside it
    }

    void text_data()
    {
        QTest::addColumn<ExportBoxStyle>("style");
        QTest::addColumn<QString>("path"); // empty: the dialog is cancelled
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("buttons");

        const auto main = ExportBoxStyle::MainWindow;
        const QString missing = m_dir.filePath("gone/x.txt");
        QTest::newRow("main window") << main << m_dir.filePath(QStringLiteral("表格.txt")) << "提示"
                                     << "文本文档保存成功！" << QStringList{"确定"};
        QTest::newRow("history window") << ExportBoxStyle::HistoryWindow << m_dir.filePath("h.txt") << "提示"
                                        << "文本文档保存成功！" << QStringList{"Apply"};
        QTest::newRow("cancelled") << main << QString() << QString() << QString() << QStringList();
        QTest::newRow("folder missing") << main << missing << "Read File"
                                        << "Cannot open file:\n" + missing << QStringList{"OK"};
        // Three rows stay in the file's buffer: the failure shows only at the flush.
        QTest::newRow("disk full") << main << "/dev/full"
                                   << "提示"
                                   << "文本文档保存失败！\n/dev/full" << QStringList{"确定"};
    }

    void text()
    {
        QFETCH(ExportBoxStyle, style);
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
        if (text.contains(QStringLiteral("成功")))
            QCOMPARE(readAll(path).count('\n'), 4); // the whole table: header and three rows
    }

    void workbook_data()
    {
        QTest::addColumn<ExportBoxStyle>("style");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("buttons");
        QTest::newRow("main window, open it")
            << ExportBoxStyle::MainWindow << QStringLiteral("记录") << "是" << QStringList{"是", "否"};
        QTest::newRow("history window, do not") << ExportBoxStyle::HistoryWindow << "h"
                                                << "&No" << QStringList{"&Yes", "&No"};
        QTest::newRow("folder missing") << ExportBoxStyle::MainWindow << "gone/x.xlsx"
                                        << "确定" << QStringList{"确定"};
    }

    void workbook()
    {
        QFETCH(ExportBoxStyle, style);
        QFETCH(QString, chosen);
        QFETCH(QString, answer);
        QFETCH(QStringList, buttons);
        auto model = makeTable(historyHeaders(), historyRows());
        QTableView view;
        view.setModel(model.get());
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
        QCOMPARE(m_opened,
                 answer == buttons.first() ? QList<QUrl>{QUrl::fromLocalFile(written)} : QList<QUrl>());
    }

    // "是" with no program for workbooks says so and where the file is. The
    // next save dialog opens where the last export went; once that folder and
    // the documents folder are gone, in the home folder, with no folder's name
    // offered as the file's.
    void afterAnExport()
    {
        auto model = makeTable(historyHeaders(), historyRows());
        QTableView view;
        view.setModel(model.get());
        const QString folder = m_dir.filePath(QStringLiteral("exports"));
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/a.xlsx");
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        {
            ModalDriver driver;
            driver.chooseFile(path);
            driver.answerBox(QStringLiteral("是"));
            driver.answerBox(QStringLiteral("确定"));
            exportTableToExcel(model.get(), QStringLiteral("数据记录"), tableColumnWidths(&view), &view,
                               ExportBoxStyle::MainWindow);
            QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
            QVERIFY(driver.done());
            QCOMPARE(driver.unexpected, 0);
            QCOMPARE(driver.boxes.size(), 2);
            QCOMPARE(driver.boxes.at(1).text,
                     QStringLiteral("没有可打开此文件的程序，文件已保存在：\n") + path);
        }

        const auto dialogOpensIn = [&](bool workbook, QString *name = nullptr) {
            ModalDriver d;
            d.add([name](QWidget *w) {
                auto *edit = w->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
                if (!edit)
                    return ModalDriver::Handled::NotMine;
                if (name)
                    *name = edit->text();
                return ModalDriver::Handled::Done;
            });
            d.chooseFile(QString());
            if (workbook)
                exportTableToExcel(model.get(), QStringLiteral("数据记录"), tableColumnWidths(&view), &view,
                                   ExportBoxStyle::MainWindow);
            else
                exportTableToText(model.get(), &view, ExportBoxStyle::MainWindow);
            return d.fileDirectory;
        };
        QCOMPARE(dialogOpensIn(false), folder);
        QVERIFY(QDir(folder).removeRecursively());
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        QCOMPARE(dialogOpensIn(true), documents);
        QVERIFY(QDir(documents).removeRecursively());
        QString name = QStringLiteral("?");
        const QString opened = dialogOpensIn(true, &name);
        QVERIFY(QDir().mkpath(documents));
        QCOMPARE(opened, QDir::homePath());
        QCOMPARE(name, QString());
    }

    // The main window's CSV action: enabled with the text export, and
    // writing the readings its rows carry rather than their clock texts.
    void csvBesidesTheTextExport()
    {
        QToolBar bar;
        QAction *txt = bar.addAction(QStringLiteral("导出TXT"));
        txt->setEnabled(false);

        QStandardItemModel model(0, 3);
        TkDataDas reading;
        setDcVoltReading(reading, QStringLiteral("1.234"),
                         QDateTime(QDate(2024, 5, 1), QTime(10, 0, 0, 250), Qt::OffsetFromUTC, 8 * 3600));
        for (int i = 0; i < 2; ++i) {
            model.appendRow({new QStandardItem("10:00:0" + QString::number(i)), new QStandardItem("x"),
                             new QStandardItem("DCV")});
            setReadingRoles(model, model.index(i, 1), reading);
            model.setData(model.index(i, 0), QStringLiteral("bench, 3"), ReadingSourceRole);
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
        QCOMPARE(readAll(m_dir.filePath("live.csv")),
                 QByteArray("time,value,overload,unit,function,range,source\r\n"
                            "2024-05-01T10:00:00.250+08:00,1.234,,V,DCV,1,\"bench, 3\"\r\n"
                            "2024-05-02T10:00:00.250+08:00,,- .OL ,V,DCV,1,\"bench, 3\"\r\n"));
    }

private:
    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QTemporaryDir m_dir;
    QList<QUrl> m_opened;
};

QTEST_MAIN(TstTableExport)
#include "tst_tableexport.moc"
