#include "core/meter/metersession.h"
#include "core/meter/serialport.h"
#include "core/store/filesync.h"
#include "export/tabletextwriter.h"

#include <QAbstractTableModel>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <qt_windows.h>

namespace {
// One header and one cell, which is all the writer needs to be shown.
class OneCell : public QAbstractTableModel
{
public:
    int rowCount(const QModelIndex & = {}) const override { return 1; }
    int columnCount(const QModelIndex & = {}) const override { return 1; }
    QVariant data(const QModelIndex &index, int role) const override
    {
        return index.isValid() && role == Qt::DisplayRole ? QStringLiteral("直流 1.234 V") : QVariant();
    }
    QVariant headerData(int, Qt::Orientation orientation, int role) const override
    {
        return orientation == Qt::Horizontal && role == Qt::DisplayRole ? QStringLiteral("电压") : QVariant();
    }
};
} // namespace

class TestWindows : public QObject
{
    Q_OBJECT

private slots:
    void portPaths_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
        // From COM10 on, CreateFile finds a port only by its device path.
        QTest::newRow("COM1") << "COM1"
                              << "\\\\.\\COM1";
        QTest::newRow("COM10") << "COM10"
                               << "\\\\.\\COM10";
        QTest::newRow("COM256") << "COM256"
                                << "\\\\.\\COM256";
        QTest::newRow("lower case") << "com5"
                                    << "\\\\.\\COM5";
        QTest::newRow("device path") << "\\\\.\\COM12"
                                     << "\\\\.\\COM12";
        QTest::newRow("COM0") << "COM0"
                              << "";
        QTest::newRow("COM257") << "COM257"
                                << "";
        QTest::newRow("leading zero") << "COM05"
                                      << "";
        QTest::newRow("a Linux device") << "/dev/ttyUSB0"
                                        << "";
        QTest::newRow("a file") << "C:\\meter.bin"
                                << "";
    }

    void portPaths()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QCOMPARE(WinSerialPort::devicePath(name), path);
    }

    void portListInNumberOrder()
    {
        const QStringList listed{"COM10", "COM2", "\\\\.\\COM1", "COM2", "LPT1"};
        QCOMPARE(WinSerialPortInfo::sortedPortNames(listed), (QStringList{"COM1", "COM2", "COM10"}));
    }

    // Two ports joined back to back (the test run maps them to a linked pair
    // of pseudo-terminals): what one sends, the other reads from the event
    // loop, and a port is had by one port object at a time.
    void linkedPorts()
    {
        const QStringList names = qEnvironmentVariable("TK52K_TEST_PORTS").split(QLatin1Char(','));
        if (names.size() != 2)
            QSKIP("TK52K_TEST_PORTS does not name two linked ports");
        SerialPort reader;
        SerialPort writer;
        reader.setPortName(names.at(0));
        writer.setPortName(names.at(1));
        QVERIFY2(reader.open(QIODevice::ReadWrite), qPrintable(reader.errorString()));
        QVERIFY2(writer.open(QIODevice::ReadWrite), qPrintable(writer.errorString()));
        QSignalSpy ready(&reader, &QIODevice::readyRead);
        const QByteArray sent = QByteArray("\x1b\x2b 1.234 V\r\n").repeated(20);
        QCOMPARE(writer.write(sent), qint64(sent.size()));
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += reader.readAll()).size() >= sent.size(), 5000);
        QCOMPARE(received, sent);
        QVERIFY(ready.count() >= 1);

        SerialPort second;
        second.setPortName(names.at(0));
        QVERIFY(!second.open(QIODevice::ReadWrite));
        QCOMPARE(second.error(), SerialPort::PermissionError);
        MeterSession session;
        session.setPortName(names.at(0));
        QVERIFY(!session.start());
        QVERIFY2(session.lastError().contains(QStringLiteral("串口正被其他程序使用")),
                 qPrintable(session.lastError()));

        reader.close();
        QVERIFY2(second.open(QIODevice::ReadWrite), qPrintable(second.errorString()));
    }

    // The ANSI code page cannot hold every text (Chinese on an English
    // Windows): the export must notice and write UTF-8 instead of question
    // marks. The folder and file names have Chinese and spaces.
    void textExportKeepsWhatTheCodePageCannotHold()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("导出 文件")));
        const QString path = dir.filePath(QStringLiteral("导出 文件/读数 一.txt"));
        const OneCell model;

        QByteArray used;
        QCOMPARE(writeTableText(model, path, nullptr, &used), TextWriteResult::Written);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        if (GetACP() == 936) {
            QCOMPARE(used, QByteArray("GBK"));
            QVERIFY(bytes.contains(QStringLiteral("电压").toLocal8Bit()));
        } else {
            QCOMPARE(used, QByteArray("UTF-8"));
            QVERIFY(bytes.contains(QStringLiteral("直流 1.234 V").toUtf8()));
        }
        QVERIFY(!bytes.contains('?'));
    }

    void replacedFileHasTheNewContents()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("日志 记录.state"));
        QString error;
        QVERIFY2(FileSync::replaceFile(path, "first\n", &error), qPrintable(error));
        QVERIFY2(FileSync::replaceFile(path, "second\n", &error), qPrintable(error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("second\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("日志 记录.state")});
    }

    void lockIsExclusive()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("锁 文件"));
        const qint64 first = FileSync::tryLock(path);
        QVERIFY(first >= 0);
        QCOMPARE(FileSync::tryLock(path), qint64(-1));
        FileSync::unlock(first);
        const qint64 again = FileSync::tryLock(path);
        QVERIFY(again >= 0);
        FileSync::unlock(again);
    }
};

QTEST_GUILESS_MAIN(TestWindows)
#include "tst_windows.moc"
