#include "widgets/export/tableexport.h"
#include "export/tablepagelayout.h"

#include "modaldriver.h"
#include "tablemodels.h"

#include <QDir>
#include <QPrinterInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

namespace {

// Where cups-pdf puts the jobs of the user running the test: the "Out" line
// of its configuration, ${HOME} being that user's home from the password file.
QString cupsPdfFolder()
{
    QFile conf(QStringLiteral("/etc/cups/cups-pdf.conf"));
    static const QRegularExpression line(QStringLiteral("^\\s*Out\\s+(\\S.*?)\\s*$"),
                                         QRegularExpression::MultilineOption);
    QString out = QStringLiteral("${HOME}/PDF");
    const QString text = QString::fromUtf8(conf.open(QIODevice::ReadOnly) ? conf.readAll() : QByteArray());
    for (auto it = line.globalMatch(text); it.hasNext();)
        out = it.next().captured(1);
    const passwd *pw = getpwuid(getuid());
    const QString home = pw ? QString::fromLocal8Bit(pw->pw_dir) : QDir::homePath();
    const QString user = pw ? QString::fromLocal8Bit(pw->pw_name) : QString();
    return out.replace(QStringLiteral("${HOME}"), home).replace(QStringLiteral("${USER}"), user);
}

QStringList pdfs(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.pdf")}, QDir::Files);
}

} // namespace

// Real prints on the PDF queue that scripts/provision-cups.sh makes the
// default printer; the pages come back as text through pdftotext.
class TstTablePrint : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QPrinterInfo::defaultPrinterName() == QLatin1String("PDF"),
                 "the PDF queue must be the default printer (scripts/provision-cups.sh)");
        m_outDir = cupsPdfFolder();
        QDir().mkpath(m_outDir);
    }

    void pageLayout_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<double>("pageHeight");
        QTest::addColumn<QString>("pages"); // first row + row count of each page
        // Title 20 and rows 10 high: the header row takes one row's place.
        QTest::newRow("empty table") << 0 << 100.0 << "0+0";
        // Both kinds of page end exactly full here: no row too many or too few, no empty page after.
        QTest::newRow("later pages hold nine") << 25 << 100.0 << "0+7 7+9 16+9";
        QTest::newRow("page too small still moves on") << 2 << 15.0 << "0+1 1+1";
    }

    void pageLayout()
    {
        QFETCH(int, rows);
        QFETCH(double, pageHeight);
        QStringList got;
        const QVector<TablePage> pages = layoutTablePages(rows, pageHeight, 20.0, 10.0);
        for (const TablePage &p : pages) {
            QCOMPARE(p.withTitle, got.isEmpty());
            got << QStringLiteral("%1+%2").arg(p.firstRow).arg(p.rowCount);
        }
        QTEST(got.join(' '), "pages");
    }

    // A time column wider than the paper: the table is narrowed to fit, every
    // column still on the page.
    void historyOverSeveralPages()
    {
        QList<QStringList> rows;
        for (int i = 1; i <= 120; ++i)
            rows.append({QStringLiteral("2024-05-01 10:%1:00").arg(i % 60, 2, 10, QLatin1Char('0')),
                         QStringLiteral("%1.000").arg(i), "V", QStringLiteral("直流电压")});
        auto history = makeTable(historyHeaders(), rows);
        QWidget window;
        ModalDriver driver;
        driver.answerBox(QStringLiteral("&Yes"));
        const QStringList before = pdfs(m_outDir);
        QVERIFY(printTable(history.get(), QStringLiteral("数据记录"), {600, 100, 100, 100}, &window,
                           ExportBoxStyle::HistoryWindow));
        QCOMPARE(driver.unexpected, 0);
        QCOMPARE(driver.boxes.size(), 1);
        const SeenBox box = driver.boxes.first();
        QCOMPARE(box.title + box.text, QStringLiteral("完成文件打印成功！"));
        QCOMPARE(box.buttons, QStringList{"&Yes"});

        // The job goes through the print server and a converter: give it time.
        QString added;
        QString text;
        for (int i = 0; i < 1200 && text.isEmpty(); ++i) {
            QTest::qWait(100);
            if (added.isEmpty()) {
                for (const QString &name : pdfs(m_outDir))
                    if (!before.contains(name))
                        added = QDir(m_outDir).filePath(name);
            } else {
                QProcess pdftotext;
                pdftotext.start(QStringLiteral("pdftotext"),
                                {QStringLiteral("-layout"), added, QStringLiteral("-")});
                if (pdftotext.waitForFinished(60000) && pdftotext.exitCode() == 0)
                    text = QString::fromUtf8(pdftotext.readAllStandardOutput());
            }
        }
        if (!added.isEmpty())
            QFile::remove(added);
        QVERIFY2(!text.isEmpty(), "no printed page arrived");
        const QStringList pages = text.split('\f', Qt::SkipEmptyParts);
        QVERIFY2(pages.size() >= 3, qPrintable(QString::number(pages.size())));
        QCOMPARE(text.count(QStringLiteral("数据记录")), 1); // the title heads the first page only
        // The header and the page's number on every page. The CJK font draws 页
        // with the glyph it shares with the radical ⻚, and the text layer may name either.
        for (int p = 0; p < pages.size(); ++p) {
            QVERIFY(pages.at(p).contains(QRegularExpression(QStringLiteral("时间\\s+数据\\s+单位\\s+功能"))));
            const QString number = QStringLiteral("第 %1 [页⻚]，共 %2 [页⻚]").arg(p + 1).arg(pages.size());
            QVERIFY2(pages.at(p).contains(QRegularExpression(number)), qPrintable(number));
        }
        // Every row on paper, the long time stamps whole.
        for (int i : {1, 57, 120})
            QVERIFY2(text.contains(
                         QRegularExpression(QStringLiteral("2024-05-01 10:%1:00\\s+%2.000\\s+V\\s+直流电压")
                                                .arg(i % 60, 2, 10, QLatin1Char('0'))
                                                .arg(i))),
                     qPrintable(QString::number(i)));
    }

    // A print of hundreds of pages asks first; "no" prints nothing.
    void longPrintAsksFirst()
    {
        QList<QStringList> rows;
        for (int i = 0; i < 5000; ++i)
            rows.append({"10:00:00", QString::number(i), "DCV"});
        auto model = makeTable(mainHeaders(), rows);
        QWidget window;
        ModalDriver driver;
        driver.answerBox(QStringLiteral("&No"));
        QVERIFY(!printTable(model.get(), QStringLiteral("数据记录"), {100, 150, 100}, &window,
                            ExportBoxStyle::MainWindow));
        QCOMPARE(driver.unexpected, 0);
        QCOMPARE(driver.boxes.size(), 1);
        QVERIFY(driver.boxes.first().text.contains(QRegularExpression("\\d{3} 页")));
    }

private:
    QString m_outDir;
};

QTEST_MAIN(TstTablePrint)
#include "tst_tableprint.moc"
