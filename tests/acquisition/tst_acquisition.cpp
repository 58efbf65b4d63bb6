#include "ptypeer.h"

#include "mainwindow/tk52k_comm.h"
#include "meter/frameencoder.h"
#include "meter/tkdatadas.h"
#include "resources/resources.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const QString kConnected = QStringLiteral("已连接");
const QString kNotConnected = QStringLiteral("未连接");
constexpr int kWait = 10000;

QByteArray frame(int range, int count, bool negative = false, bool overload = false)
{
    FrameContent c;
    c.rangeIndex = range;
    c.count = count;
    c.negative = negative;
    c.overload = overload;
    return encodeMeterFrame(c);
}

/// The main window with a pseudo-terminal standing in for the meter.
struct Rig
{
    TK52K_Comm w;
    PtyPeer pty;

    QAction *act(const char *name) { return w.findChild<QAction *>(QLatin1String(name)); }
    QString status() { return w.findChild<QLabel *>(QStringLiteral("statusLabel"))->text(); }
    QAbstractItemModel *model() { return w.findChild<QTableView *>(QStringLiteral("tableView"))->model(); }
    QSerialPort *port() { return w.findChild<QSerialPort *>(QStringLiteral("serialPort")); }
    int rows() { return model()->rowCount(); }
    QString cell(int row, int column) { return model()->index(row, column).data().toString(); }
    QString lastValue() { return rows() ? cell(rows() - 1, 1) : QString(); }

    bool start()
    {
        w.choosePort(pty.path());
        act("actionStart")->trigger();
        return port()->isOpen() && status() == kConnected;
    }
    /// Sends a frame and waits for the row it makes.
    bool send(const QByteArray &bytes, int expectedRows)
    {
        if (!pty.write(bytes))
            return false;
        if (QTest::qWaitFor([&] { return rows() == expectedRows; }, kWait))
            return true;
        qWarning("expected %d rows, the table has %d", expectedRows, rows());
        return false;
    }
};

struct SeenBox
{
    bool shown = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    bool parentless = false;
};

/// Waits for the next application-modal message box, notes what it shows and
/// presses its button. Runs from the nested event loop of the box's exec().
std::shared_ptr<SeenBox> answerNextMessageBox(QObject *context)
{
    auto seen = std::make_shared<SeenBox>();
    auto *poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->parentless = box->parentWidget() == nullptr;
        for (QAbstractButton *b : box->buttons())
            seen->buttons << b->text();
        box->buttons().first()->click();
        poll->deleteLater();
    });
    poll->start(20);
    return seen;
}

} // namespace

class TestAcquisition : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stateTable_data();
    void stateTable();
    void startWithoutUsablePort_data();
    void startWithoutUsablePort();
    void choosingAPortDuringARunAppliesAtTheNextStart();
    void tickTakesOnlyTheNewestFrame();
    void bytesWithoutLineFeedRecordNothingAgain();
    void lineFeedBelowThirteenDropsTheBytes();
    void rowTexts_data();
    void rowTexts();
    void rangeChangeStartsANewTable();
    void tableIsEmptiedPast50000Rows();
    void replacedReadingsAreReleased();
    void deviceVanishingEndsTheRunWithoutSpinning();
    void virtualMeterEndToEnd();

private:
    QTemporaryDir m_spool;
};

void TestAcquisition::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
    // The window hands readings to the record store: keep them out of the
    // user's database and spool.
    QVERIFY(m_spool.isValid());
    qputenv("TK52K_SPOOL_DIR", m_spool.path().toLocal8Bit());
    qputenv("TK52K_DB_NAME", "tk52k_test_acquisition");
    QVERIFY(PtyPeer().isValid());
    qRegisterMetaType<QSerialPort::SerialPortError>();
}

void TestAcquisition::stateTable_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("startEnabled");
    QTest::addColumn<bool>("stopEnabled");
    QTest::addColumn<bool>("exportsEnabled");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("portOpen");

    QTest::newRow("after construction") << QStringList{} << true << false << false << kNotConnected << false;
    QTest::newRow("port chosen") << QStringList{"choose"} << true << false << false << kNotConnected << false;
    QTest::newRow("running") << QStringList{"start"} << false << true << false << kConnected << true;
    QTest::newRow("stopped") << QStringList{"start", "stop"} << true << false << true << kNotConnected << false;
    QTest::newRow("line silent") << QStringList{"start", "silence"} << true << false << true << kNotConnected << false;
    QTest::newRow("device vanished") << QStringList{"start", "vanish"} << true << false << true << kNotConnected
                                     << false;
    QTest::newRow("port chosen while running")
        << QStringList{"start", "choose"} << false << true << false << kConnected << true;
    QTest::newRow("port chosen after stop")
        << QStringList{"start", "stop", "choose"} << true << false << true << kNotConnected << false;
    QTest::newRow("started again") << QStringList{"start", "stop", "start"} << false << true << false << kConnected
                                   << true;
}

void TestAcquisition::stateTable()
{
    QFETCH(QStringList, steps);
    Rig rig;
    PtyPeer other;
    for (const QString &step : steps) {
        if (step == "start") {
            QVERIFY(rig.start());
        } else if (step == "stop") {
            rig.act("actionStop")->trigger();
        } else if (step == "choose") {
            rig.w.choosePort(other.path());
        } else if (step == "silence") {
            // Nothing is sent: the watchdog ends the run.
            QTRY_COMPARE_WITH_TIMEOUT(rig.status(), kNotConnected, kWait);
        } else if (step == "vanish") {
            rig.pty.close();
            QTRY_COMPARE_WITH_TIMEOUT(rig.status(), kNotConnected, kWait);
        }
    }
    QTEST(rig.act("actionStart")->isEnabled(), "startEnabled");
    QTEST(rig.act("actionStop")->isEnabled(), "stopEnabled");
    QTEST(rig.act("actionTxt")->isEnabled(), "exportsEnabled");
    QTEST(rig.act("actionExcel")->isEnabled(), "exportsEnabled");
    QTEST(rig.act("actionPrint")->isEnabled(), "exportsEnabled");
    QTEST(rig.status(), "status");
    QTEST(rig.port()->isOpen(), "portOpen");
    // Once a run has ended, the watchdog has nothing left to watch.
    auto *watchdog = rig.w.findChild<QTimer *>(QStringLiteral("linkTimer"));
    QVERIFY(watchdog);
    QCOMPARE(watchdog->isActive(), rig.port()->isOpen());
}

void TestAcquisition::startWithoutUsablePort_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<bool>("holdPortBusy");
    QTest::newRow("no port chosen") << QString() << false;
    QTest::newRow("device missing") << QStringLiteral("/dev/tk52k-no-such-port") << false;
    QTest::newRow("port in use") << QString() << true;
}

void TestAcquisition::startWithoutUsablePort()
{
    QFETCH(QString, portName);
    QFETCH(bool, holdPortBusy);

    // A previous run leaves readings in the table.
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    QVERIFY(rig.send(frame(2, 200), 2));
    rig.act("actionStop")->trigger();

    PtyPeer busyPty;
    QSerialPort holder(busyPty.path());
    if (holdPortBusy) {
        QVERIFY(holder.open(QIODevice::ReadWrite));
        portName = busyPty.path();
    }
    rig.w.choosePort(portName);
    const auto box = answerNextMessageBox(this);
    rig.act("actionStart")->trigger();

    QVERIFY(box->shown);
    QCOMPARE(box->title, QStringLiteral("警告"));
    QCOMPARE(box->text, QStringLiteral("请设置串口！"));
    QCOMPARE(box->icon, QMessageBox::Warning);
    QCOMPARE(box->buttons, QStringList{QStringLiteral("确 定")});
    QVERIFY(box->parentless);
    // The previous run's table is still there to export.
    QCOMPARE(rig.rows(), 2);
    QCOMPARE(rig.cell(1, 1), QStringLiteral("2.00 V"));
    QVERIFY(rig.act("actionStart")->isEnabled());
    QVERIFY(!rig.act("actionStop")->isEnabled());
    QVERIFY(rig.act("actionTxt")->isEnabled());
    QCOMPARE(rig.status(), kNotConnected);
}

void TestAcquisition::choosingAPortDuringARunAppliesAtTheNextStart()
{
    Rig rig;
    PtyPeer second;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    rig.w.choosePort(second.path());
    // The run goes on with the port it opened and can still be stopped.
    QVERIFY(rig.send(frame(2, 200), 2));
    QVERIFY(rig.act("actionStop")->isEnabled());
    QVERIFY(!rig.act("actionStart")->isEnabled());
    rig.act("actionStop")->trigger();

    rig.act("actionStart")->trigger();
    QCOMPARE(rig.status(), kConnected);
    QCOMPARE(rig.rows(), 0);
    // Only the newly chosen port feeds the new run.
    QVERIFY(rig.pty.write(frame(2, 300)));
    QVERIFY(second.write(frame(2, 400)));
    QTRY_COMPARE_WITH_TIMEOUT(rig.rows(), 1, kWait);
    QCOMPARE(rig.cell(0, 1), QStringLiteral("4.00 V"));
}

void TestAcquisition::tickTakesOnlyTheNewestFrame()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    // Two complete frames and half of a third arrive together: the tick
    // records the second one and keeps the half.
    const QByteArray third = frame(2, 400);
    QVERIFY(rig.send(frame(2, 200) + frame(2, 300) + third.left(7), 2));
    QCOMPARE(rig.lastValue(), QStringLiteral("3.00 V"));
    QVERIFY(rig.send(third.mid(7), 3));
    QCOMPARE(rig.lastValue(), QStringLiteral("4.00 V"));
}

void TestAcquisition::bytesWithoutLineFeedRecordNothingAgain()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    QVERIFY(rig.send(frame(2, 200), 2));
    // Twenty bytes with no line feed; several ticks pass over them.
    QVERIFY(rig.pty.write(QByteArray("0123456789abcdefghij")));
    QTest::qWait(500);
    QCOMPARE(rig.rows(), 2);
    QVERIFY(rig.send(frame(2, 300), 3));
    QCOMPARE(rig.cell(0, 1), QStringLiteral("1.00 V"));
    QCOMPARE(rig.cell(1, 1), QStringLiteral("2.00 V"));
    QCOMPARE(rig.cell(2, 1), QStringLiteral("3.00 V"));
}

void TestAcquisition::lineFeedBelowThirteenDropsTheBytes()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    QVERIFY(rig.send(frame(2, 200), 2));
    // The tail of a frame whose start was lost, then the start of the next.
    const QByteArray next = frame(2, 300);
    QVERIFY(rig.pty.write(frame(2, 999).right(6) + next.left(8)));
    QTest::qWait(500);
    QCOMPARE(rig.rows(), 2);
    QVERIFY(rig.send(next.mid(8), 3));
    QCOMPARE(rig.lastValue(), QStringLiteral("3.00 V"));
}

void TestAcquisition::rowTexts_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("function");

    QTest::newRow("volts, 2 decimals") << frame(2, 1234) << QStringLiteral("12.34 V") << QStringLiteral("DCV");
    QTest::newRow("negative millivolts") << frame(0, 1234, true) << QStringLiteral("-123.4 mV")
                                         << QStringLiteral("DCV");
    QTest::newRow("kilo-ohms") << frame(23, 4567) << QStringLiteral("45.67 kΩ") << QStringLiteral("OHM");
    QTest::newRow("overload, 2 decimals") << frame(6, 0, false, true) << QStringLiteral("+ O.L  V")
                                          << QStringLiteral("ACV");
    QTest::newRow("negative overload, 3 decimals")
        << frame(13, 0, true, true) << QStringLiteral("- .OL  A") << QStringLiteral("DCA");
    QTest::newRow("transistor gain") << frame(44, 215) << QStringLiteral("215  ") << QStringLiteral("hFE");
    QTest::newRow("temperature") << frame(42, 25) << QStringLiteral("25 ℃") << QStringLiteral("TEMP");
}

void TestAcquisition::rowTexts()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, data);
    QFETCH(QString, function);

    Rig rig;
    QVERIFY(rig.start());
    // The first reading (a range change) and the second (same range) are
    // written by different steps; both rows must read the same.
    QVERIFY(rig.send(bytes, 1));
    QVERIFY(rig.send(bytes, 2));
    for (int row = 0; row < 2; ++row) {
        QVERIFY(QTime::fromString(rig.cell(row, 0), QStringLiteral("hh:mm:ss")).isValid());
        QCOMPARE(rig.cell(row, 1), data);
        QCOMPARE(rig.cell(row, 2), function);
        for (int column = 0; column < 3; ++column)
            QCOMPARE(rig.model()->index(row, column).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
    }
}

void TestAcquisition::rangeChangeStartsANewTable()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    QVERIFY(rig.send(frame(2, 200), 2));
    QVERIFY(rig.send(frame(2, 300), 3));
    // The meter switches to 80 V: the table restarts with that reading.
    QVERIFY(rig.pty.write(frame(3, 456)));
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastValue(), QStringLiteral("45.6 V"), kWait);
    QCOMPARE(rig.rows(), 1);
    QVERIFY(rig.send(frame(3, 457), 2));

    // A stop and start in the same range keeps the range: the first reading
    // of the new run becomes row 0 of the emptied table.
    rig.act("actionStop")->trigger();
    QVERIFY(rig.start());
    QCOMPARE(rig.rows(), 0);
    QVERIFY(rig.send(frame(3, 458), 1));
    QCOMPARE(rig.lastValue(), QStringLiteral("45.8 V"));
}

void TestAcquisition::tableIsEmptiedPast50000Rows()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    QVERIFY(rig.model()->insertRows(1, 49999));
    QCOMPARE(rig.rows(), 50000);
    // Row 50001 does not stay: the table is emptied at once.
    QVERIFY(rig.send(frame(2, 200), 0));
    QVERIFY(rig.send(frame(2, 300), 1));
    QCOMPARE(rig.cell(0, 1), QStringLiteral("3.00 V"));
}

void TestAcquisition::replacedReadingsAreReleased()
{
    Rig rig;
    QVERIFY(rig.start());
    const int before = rig.w.findChildren<TkDataDas *>().size();
    QByteArray invalid = frame(2, 100);
    invalid[5] = 'x';
    for (int i = 0; i < 20; ++i) {
        QVERIFY(rig.pty.write(invalid));
        // Alternating ranges: every reading replaces the previous one and
        // restarts the table.
        const int range = i % 2 ? 2 : 3;
        const int count = 100 + i;
        QVERIFY(rig.pty.write(frame(range, count)));
        const QString shown = QString::number(count / (range == 2 ? 100.0 : 10.0), 'f', range == 2 ? 2 : 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.lastValue(), shown + QStringLiteral(" V"), kWait);
    }
    // The window keeps exactly one reading, whatever passed through.
    QCOMPARE(rig.w.findChildren<TkDataDas *>().size(), before);
}

void TestAcquisition::deviceVanishingEndsTheRunWithoutSpinning()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    QSignalSpy errors(rig.port(), &QSerialPort::errorOccurred);
    QSignalSpy arrivals(rig.port(), &QSerialPort::readyRead);
    QVERIFY(errors.isValid() && arrivals.isValid());

    rig.pty.close();
    QTRY_COMPARE_WITH_TIMEOUT(rig.status(), kNotConnected, kWait);
    QVERIFY(!rig.port()->isOpen());
    QVERIFY(rig.act("actionStart")->isEnabled());
    QVERIFY(!rig.act("actionStop")->isEnabled());
    // The port's complaint was heard once or twice, not in a loop until
    // the watchdog came round.
    QVERIFY2(errors.count() <= 5, qPrintable(QString::number(errors.count())));

    // Afterwards the program is idle and answers.
    errors.clear();
    arrivals.clear();
    bool answered = false;
    QTimer::singleShot(0, this, [&answered] { answered = true; });
    QTRY_VERIFY(answered);
    QTest::qWait(300);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(arrivals.count(), 0);
    QCOMPARE(rig.rows(), 1);
}

void TestAcquisition::virtualMeterEndToEnd()
{
    const QString sim = qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/tk52k-sim");
    QVERIFY2(QFileInfo(sim).isExecutable(), qPrintable(sim));
    QProcess meter;
    meter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Kilo-ohms, split across writes and with noise between frames, the way
    // a real line delivers them.
    meter.start(sim, {"--range", "23", "--rate", "10", "--split", "--noise", "0.2", "--seed", "7"});
    QVERIFY(meter.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(meter.canReadLine(), kWait);
    const QString device = QString::fromLocal8Bit(meter.readLine()).trimmed();
    QVERIFY2(device.startsWith("/dev/"), qPrintable(device));

    TK52K_Comm w;
    auto *model = w.findChild<QTableView *>(QStringLiteral("tableView"))->model();
    auto *status = w.findChild<QLabel *>(QStringLiteral("statusLabel"));
    auto *port = w.findChild<QSerialPort *>(QStringLiteral("serialPort"));
    w.show();
    w.choosePort(device);
    w.findChild<QAction *>(QStringLiteral("actionStart"))->trigger();
    QCOMPARE(status->text(), kConnected);
    QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() >= 8, 30000);
    for (int row = 0; row < model->rowCount(); ++row) {
        QCOMPARE(model->index(row, 2).data().toString(), QStringLiteral("OHM"));
        QVERIFY2(model->index(row, 1).data().toString().endsWith(QStringLiteral(" kΩ")),
                 qPrintable(model->index(row, 1).data().toString()));
    }

    QSignalSpy errors(port, &QSerialPort::errorOccurred);
    QVERIFY(errors.isValid());
    meter.terminate();
    QVERIFY(meter.waitForFinished(kWait));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), kNotConnected, kWait);
    QVERIFY(!port->isOpen());
    QVERIFY(w.findChild<QAction *>(QStringLiteral("actionStart"))->isEnabled());
    QVERIFY(w.findChild<QAction *>(QStringLiteral("actionTxt"))->isEnabled());
    QVERIFY2(errors.count() <= 5, qPrintable(QString::number(errors.count())));
    const int rows = model->rowCount();
    QTest::qWait(300);
    QCOMPARE(model->rowCount(), rows);
}

QTEST_MAIN(TestAcquisition)
#include "tst_acquisition.moc"
