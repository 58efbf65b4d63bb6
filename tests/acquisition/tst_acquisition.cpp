#include "modaldriver.h"
#include "ptypeer.h"
#include "scratchdatabase.h"

#include "dialogs/commsettingform.h"
#include "mainwindow/tk52k_comm.h"
#include "meter/frameencoder.h"
#include "meter/memoryline.h"
#include "meter/metersession.h"
#include "meter/tkdatadas.h"
#include "resources/resources.h"

#include <QAction>
#include <QLabel>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

Q_DECLARE_METATYPE(QSerialPortInfo)

namespace {

const QString kConnected = QStringLiteral("已连接");
const QString kNotConnected = QStringLiteral("未连接");
constexpr int kWait = 10000;

QByteArray frame(int range, int count, bool negative = false, bool overload = false)
{
    return encodeMeterFrame(FrameContent{range, -1, count, negative, overload, {}});
}

/// The main window with a line in memory, or a pseudo-terminal, standing in
/// for the meter.
struct Rig
{
    TK52K_Comm w;
    MemoryLine line;

    QAction *act(const char *name) { return w.findChild<QAction *>(QLatin1String(name)); }
    QString status() { return w.findChild<QLabel *>(QStringLiteral("statusLabel"))->text(); }
    QAbstractItemModel *model() { return w.findChild<QTableView *>(QStringLiteral("tableView"))->model(); }
    QSerialPort *port() { return w.findChild<QSerialPort *>(QStringLiteral("serialPort")); }
    int rows() { return model()->rowCount(); }
    QString cell(int row, int column) { return model()->index(row, column).data().toString(); }
    QStringList values()
    {
        QStringList v;
        for (int row = 0; row < rows(); ++row)
            v << cell(row, 1);
        return v;
    }
    /// A run on the in-memory line.
    bool start() { return w.session()->start(&line) && status() == kConnected; }
    /// A run on a device, started from the tool bar.
    bool start(const QString &device)
    {
        w.choosePort(device);
        act("actionStart")->trigger();
        return port()->isOpen() && status() == kConnected;
    }
    /// Bytes arrive and a tick passes; true when the table then shows `expectedRows` rows
    /// (rows of a burst show together, a fraction of a second later).
    bool send(const QByteArray &bytes, int expectedRows)
    {
        line.feed(bytes);
        w.session()->sample();
        return QTest::qWaitFor([&] { return rows() == expectedRows; }, kWait);
    }
};

/// The open port dialog, if any.
CommSettingForm *openPortDialog()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *f = qobject_cast<CommSettingForm *>(w); f && f->isVisible())
            return f;
    return nullptr;
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
    void rowTexts_data();
    void rowTexts();
    void rangeChangeRestartsTheTableAndIsNotStored();
    void tableIsEmptiedPast50000Rows();
    void virtualMeterEndToEndAndVanishing();
    void portDialog();
    void closingTheWindowEndsTheProgram();
    void resumingRunWaitsForTheMeter();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ScratchDatabase> m_db;
};

void TestAcquisition::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
    // Readings, spool and the remembered port stay out of the user's own.
    QVERIFY(m_dir.isValid());
    qputenv("TK52K_SPOOL_DIR", m_dir.path().toLocal8Bit());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("tk52k-test"));
    m_db = std::make_unique<ScratchDatabase>(QStringLiteral("acquisition"));
    QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
    QVERIFY(PtyPeer().isValid());
    QSettings().remove(CommSettingForm::settingsKey());
    qRegisterMetaType<QSerialPort::SerialPortError>();
    qRegisterMetaType<QSerialPortInfo>();
}

void TestAcquisition::stateTable_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("exportsEnabled");
    QTest::newRow("after construction") << QStringList{} << false << false;
    QTest::newRow("port chosen") << QStringList{"choose"} << false << false;
    QTest::newRow("running") << QStringList{"start"} << true << false;
    QTest::newRow("stopped") << QStringList{"start", "stop"} << false << true;
    QTest::newRow("line silent") << QStringList{"start", "silence"} << false << true;
    QTest::newRow("device vanished") << QStringList{"start", "vanish"} << false << true;
    QTest::newRow("port chosen while running") << QStringList{"start", "choose"} << true << false;
    QTest::newRow("port chosen after stop") << QStringList{"start", "stop", "choose"} << false << true;
    QTest::newRow("started again") << QStringList{"start", "stop", "start"} << true << false;
}

void TestAcquisition::stateTable()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, running);
    QFETCH(bool, exportsEnabled);
    Rig rig;
    for (const QString &step : steps) {
        if (step == "start")
            QVERIFY(rig.start());
        else if (step == "stop")
            rig.act("actionStop")->trigger();
        else if (step == "choose")
            rig.w.choosePort(QStringLiteral("/dev/tk52k-other"));
        else if (step == "vanish")
            rig.line.close();
        if (step == "silence" || step == "vanish")
            QTRY_COMPARE_WITH_TIMEOUT(rig.status(), kNotConnected, kWait);
    }
    QCOMPARE(rig.act("actionStart")->isEnabled(), !running);
    QCOMPARE(rig.act("actionStop")->isEnabled(), running);
    for (const char *exporter : {"actionTxt", "actionExcel", "actionPrint"})
        QVERIFY2(rig.act(exporter)->isEnabled() == exportsEnabled, exporter);
    QCOMPARE(rig.status(), running ? kConnected : kNotConnected);
    QCOMPARE(rig.w.session()->isRunning(), running);
    // Once a run has ended, the watchdog has nothing left to watch.
    QCOMPARE(rig.w.findChild<QTimer *>(QStringLiteral("linkTimer"))->isActive(), running);
}

void TestAcquisition::startWithoutUsablePort_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no port chosen") << QString() << QStringLiteral("未选择串口");
    QTest::newRow("device missing") << QStringLiteral("/dev/tk52k-no-such-port")
                                    << QStringLiteral("/dev/tk52k-no-such-port: No such file or directory");
    QTest::newRow("port in use") << QStringLiteral("busy") << QString();
}

void TestAcquisition::startWithoutUsablePort()
{
    QFETCH(QString, portName);
    QFETCH(QString, reason);
    // A previous run leaves a reading in the table.
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    rig.act("actionStop")->trigger();
    PtyPeer busyPty;
    QSerialPort holder(busyPty.path());
    if (portName == QLatin1String("busy")) {
        QVERIFY(holder.open(QIODevice::ReadWrite));
        portName = busyPty.path();
        reason = portName + ": ";
    }
    rig.w.choosePort(portName);
    ModalDriver driver;
    driver.answerBox(QStringLiteral("确 定"));
    rig.act("actionStart")->trigger();
    QCOMPARE(driver.boxes.size(), 1);
    QCOMPARE(driver.boxes[0].title, QStringLiteral("警告"));
    // The line the user knows, then which port and what the system said.
    const QStringList lines = driver.boxes[0].text.split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QStringLiteral("请设置串口！"));
    QVERIFY2(reason.endsWith(": ") ? lines[1].startsWith(reason) && lines[1].size() > reason.size() : lines[1] == reason,
             qPrintable(lines[1]));
    QCOMPARE(driver.boxes[0].icon, QMessageBox::Warning);
    // The previous run's table is still there to export.
    QCOMPARE(rig.values(), QStringList{"1.00 V"});
    QVERIFY(rig.act("actionStart")->isEnabled() && rig.act("actionTxt")->isEnabled());
    QCOMPARE(rig.status(), kNotConnected);
}

void TestAcquisition::rowTexts_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("function");
    QTest::newRow("negative millivolts") << frame(0, 1234, true) << "-123.4 mV" << "DCV";
    QTest::newRow("kilo-ohms") << frame(23, 4567) << "45.67 kΩ" << "OHM";
    QTest::newRow("negative overload, 3 decimals") << frame(13, 0, true, true) << "- .OL  A" << "DCA";
    QTest::newRow("transistor gain") << frame(44, 215) << "215  " << "hFE";
    QTest::newRow("temperature") << frame(42, 25) << "25 ℃" << "TEMP";
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
    }
}

void TestAcquisition::rangeChangeRestartsTheTableAndIsNotStored()
{
    QVERIFY2(m_db->exec(QStringLiteral("TRUNCATE invoice")), qPrintable(m_db->error()));
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    QVERIFY(rig.send(frame(2, 200), 2));
    // The meter switches to 80 V: the table restarts with that reading.
    QVERIFY(rig.send(frame(3, 456), 1));
    QCOMPARE(rig.values(), QStringList{"45.6 V"});
    QVERIFY(rig.send(frame(3, 457), 2));
    // A new run in the same range starts from an empty table.
    rig.act("actionStop")->trigger();
    QVERIFY(rig.start());
    QCOMPARE(rig.rows(), 0);
    QVERIFY(rig.send(frame(3, 458), 1));
    // The window keeps only the reading it shows, whatever passed through.
    QCOMPARE(rig.w.findChildren<TkDataDas *>().size(), 1);

    // The first reading of each range is shown but not stored.
    const auto stored = [this] {
        QStringList v;
        QSqlQuery q(m_db->connection());
        q.exec(QStringLiteral("SELECT datavaluestr FROM invoice ORDER BY id"));
        while (q.next())
            v << q.value(0).toString();
        return v;
    };
    QTRY_COMPARE_WITH_TIMEOUT(stored(), (QStringList{"2.00", "45.7", "45.8"}), kWait);
}

void TestAcquisition::tableIsEmptiedPast50000Rows()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.send(frame(2, 100), 1));
    QVERIFY(rig.model()->insertRows(1, 49998));
    // Row 50000 stays; row 50001 does not: the table is emptied at once.
    QVERIFY(rig.send(frame(2, 150), 50000));
    QVERIFY(rig.send(frame(2, 200), 0));
    QVERIFY(rig.send(frame(2, 300), 1));
    QCOMPARE(rig.cell(0, 1), QStringLiteral("3.00 V"));
}

void TestAcquisition::virtualMeterEndToEndAndVanishing()
{
    const QString sim = qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/tk52k-sim");
    QProcess meter;
    meter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Kilo-ohms, split across writes and with noise between frames, the way
    // a real line delivers them.
    meter.start(sim, {"--range", "23", "--rate", "10", "--split", "--noise", "0.2", "--seed", "7"});
    QVERIFY2(meter.waitForStarted(), qPrintable(sim));
    QTRY_VERIFY_WITH_TIMEOUT(meter.canReadLine(), kWait);
    Rig rig;
    rig.w.show();
    QVERIFY(rig.start(QString::fromLocal8Bit(meter.readLine()).trimmed()));
    QTRY_VERIFY_WITH_TIMEOUT(rig.rows() >= 8, 30000);
    for (int row = 0; row < rig.rows(); ++row) {
        QCOMPARE(rig.cell(row, 2), QStringLiteral("OHM"));
        QVERIFY2(rig.cell(row, 1).endsWith(QStringLiteral(" kΩ")), qPrintable(rig.cell(row, 1)));
    }

    // The device vanishes: the run ends, and the port's complaint is heard
    // once or twice, not in a loop that outlives the run.
    QSignalSpy errors(rig.port(), &QSerialPort::errorOccurred);
    meter.terminate();
    QVERIFY(meter.waitForFinished(kWait));
    QTRY_COMPARE_WITH_TIMEOUT(rig.status(), kNotConnected, kWait);
    QVERIFY(!rig.port()->isOpen() && rig.act("actionStart")->isEnabled());
    QTest::qWait(300);
    QVERIFY2(errors.count() <= 5, qPrintable(QString::number(errors.count())));
}

// A cancelled dialog sends nothing; a typed path is taken, reaches the next
// start and is remembered: the next program run starts on it as if chosen.
void TestAcquisition::portDialog()
{
    Rig rig;
    PtyPeer pty;
    for (const char *button : {"pushButton_2", "pushButton"}) {
        rig.act("actionSettingComm")->trigger();
        CommSettingForm *form = openPortDialog();
        QVERIFY(form);
        QSignalSpy names(form, &CommSettingForm::signalsPortNameEnter);
        QSignalSpy infos(form, &CommSettingForm::signalsBtnEnter);
        auto *combo = form->findChild<QComboBox *>(QStringLiteral("comboBox"));
        combo->lineEdit()->clear();
        QTest::keyClicks(combo->lineEdit(), pty.path());
        QTest::mouseClick(form->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
        QVERIFY(!openPortDialog());
        QCOMPARE(names.count() + infos.count(), qstrcmp(button, "pushButton") ? 0 : 2);
    }
    rig.act("actionStart")->trigger();
    QCOMPARE(rig.status(), kConnected);
    QVERIFY(pty.write(frame(2, 100)));
    QTRY_COMPARE_WITH_TIMEOUT(rig.rows(), 1, kWait);
    // The next dialog, and one of the next program run, show the port.
    rig.act("actionSettingComm")->trigger();
    QCOMPARE(openPortDialog()->findChild<QComboBox *>(QStringLiteral("comboBox"))->currentText(), pty.path());
    openPortDialog()->close();
    CommSettingForm later;
    QCOMPARE(later.findChild<QComboBox *>(QStringLiteral("comboBox"))->currentText(), pty.path());
    rig.act("actionStop")->trigger();
    TK52K_Comm restarted;
    QCOMPARE(restarted.session()->portName(), pty.path());
    restarted.doToolStart();
    QVERIFY(restarted.session()->isRunning());
}

// A history window left open must not keep a program without its main
// window running unseen.
void TestAcquisition::closingTheWindowEndsTheProgram()
{
    TK52K_Comm w;
    w.show();
    const QDateTime now = QDateTime::currentDateTime();
    w.doHisSettingBtnEnter(now.addSecs(-60), now);
    QWidget *history = nullptr;
    for (QWidget *t : QApplication::topLevelWidgets())
        if (t != &w && t->isVisible() && t->inherits("HisViewForm"))
            history = t;
    QVERIFY(history);
    // The application quits when no window that counts for quitting is left
    // visible (a test never runs its event loop, so it cannot quit itself).
    const auto windowsKeepingItAlive = [] {
        QStringList names;
        for (QWidget *t : QApplication::topLevelWidgets())
            if (t->isVisible() && t->testAttribute(Qt::WA_QuitOnClose))
                names << QString::fromLatin1(t->metaObject()->className());
        return names;
    };
    QCOMPARE(windowsKeepingItAlive(), QStringList{"TK52K_Comm"});
    w.close();
    QCOMPARE(windowsKeepingItAlive(), QStringList());
    history->close();
}

// With 断线后继续采集 on, a silent meter greys the digits and says since when;
// the run goes on when it sends again, and the choice is remembered.
void TestAcquisition::resumingRunWaitsForTheMeter()
{
    Rig rig;
    rig.act("actionResume")->trigger();
    auto *digits = rig.w.findChild<QLabel *>(QStringLiteral("label_8"));
    auto *link = rig.w.findChild<QLabel *>(QStringLiteral("CommLabel"));
    const QString ownStyle = digits->styleSheet();
    QVERIFY(rig.start());
    const QString before = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
    QVERIFY(rig.send(frame(2, 100) + frame(2, 200), 2));
    const QString after = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
    QVERIFY(!link->isHidden());
    // Since the last bytes, not since the watchdog noticed.
    QTRY_VERIFY_WITH_TIMEOUT(rig.status().startsWith(QStringLiteral("仪表无数据（")), kWait);
    const QString shown = rig.status().mid(6, 8);
    QVERIFY2(rig.status().endsWith(QStringLiteral(" 起）")) && shown >= before && shown <= after,
             qPrintable(rig.status()));
    QVERIFY(link->isHidden());
    QVERIFY(digits->styleSheet() != ownStyle);
    QVERIFY(rig.w.session()->isRunning() && rig.act("actionStop")->isEnabled());

    QVERIFY(rig.send(frame(2, 300), 3));
    QCOMPARE(rig.status(), kConnected);
    QVERIFY(!link->isHidden());
    QCOMPARE(digits->styleSheet(), ownStyle);

    TK52K_Comm next;
    QVERIFY(next.findChild<QAction *>(QStringLiteral("actionResume"))->isChecked());
    QVERIFY(next.session()->isResuming());
    rig.act("actionResume")->trigger();
    QVERIFY(!TK52K_Comm().session()->isResuming());
}

QTEST_MAIN(TestAcquisition)
#include "tst_acquisition.moc"
