#include "export/tableworkbookwriter.h"
#include "widgets/export/tableexport.h"

#include "modaldriver.h"
#include "tablemodels.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPrinterInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
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

    // An installed program keeps its working file in the user's data folder;
    // one in a portable folder keeps it beside itself, as one in its build
    // tree does (above).
    void workingFileFolder_data()
    {
        QTest::addColumn<QString>("marker"); // made in the folder above the program's
        QTest::addColumn<bool>("beside");
        QTest::newRow("installed") << QString() << false;
        QTest::newRow("portable folder") << QStringLiteral("bin/portable.txt") << true;
    }

    void workingFileFolder()
    {
        QFETCH(QString, marker);
        QFETCH(bool, beside);
        QStandardPaths::setTestModeEnabled(true);
        QTemporaryDir root;
        const QString bin = root.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkdir(bin) &&
                (marker.isEmpty() || QFile(root.filePath(marker)).open(QIODevice::WriteOnly)));
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QCOMPARE(printWorkingFile(bin), (beside ? bin : data) + QStringLiteral("/111.xlsx"));
    }
};

QTEST_MAIN(TstPrintNoPrinter)
#include "tst_printnoprinter.moc"
