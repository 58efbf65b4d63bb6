#include "widgets/export/tableexport.h"

#include "modaldriver.h"
#include "tablemodels.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPrinterInfo>
#include <QtTest>

// Run with CUPS_SERVER pointing nowhere: the machine has no printer at all.
class TstPrintNoPrinter : public QObject
{
    Q_OBJECT

private slots:
    void buildsTheFileAndShowsNothing()
    {
        QVERIFY(QPrinterInfo::defaultPrinterName().isEmpty());
        const QString working = QCoreApplication::applicationDirPath() + "/111.xlsx";
        QFile::remove(working);
        auto model = makeTable(mainHeaders(), mainRows());
        QWidget window;
        ModalDriver driver;
        QVERIFY(!printTable(model.get(), QStringLiteral("数据记录"), {100, 150, 100}, &window,
                            ExportBoxStyle::MainWindow));
        QTest::qWait(100);
        QCOMPARE(driver.unexpected, 0);
        QVERIFY(driver.boxes.isEmpty());
        QVERIFY(QFileInfo(working).size() > 0);
    }
};

QTEST_MAIN(TstPrintNoPrinter)
#include "tst_printnoprinter.moc"
