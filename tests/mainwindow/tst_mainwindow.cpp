#include "memorystore.h"
#include "modaldriver.h"
#include "scratchdatabase.h"
#include "toolrun.h"

#include "widgets/dialogs/alarmsettingform.h"
#include "widgets/dialogs/commsettingform.h"
#include "widgets/history/hissettingform.h"
#include "widgets/history/hisviewform.h"
#include "models/historytablemodel.h"
#include "widgets/panel/frontpanel.h"
#include "widgets/plot/liveplot.h"
#include "widgets/mainwindow/runmonitor.h"
#include "widgets/mainwindow/tk52k_comm.h"
#include "core/meter/frameencoder.h"
#include "core/meter/memoryline.h"
#include "core/meter/metersession.h"
#include "core/meter/tkdatadas.h"
#include "core/store/database.h"
#include "widgets/dialogs/dbsettingform.h"
#include "widgets/dialogs/keyringpasswordstore.h"
#include "widgets/panel/statsbox.h"
#include "widgets/resources/resources.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QSettings>
#include <QTableView>
#include <QToolBar>
#include <QtTest>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_draw.h>
#include <qwt_text.h>

#include <memory>

namespace {

const QString kConnected = QStringLiteral("已连接");
const QString kNotConnected = QStringLiteral("未连接");
constexpr int kWait = 15000;

QByteArray frame(int range, int count, bool negative = false, bool overload = false,
                 const PanelBits &panel = {})
{
    return encodeMeterFrame(FrameContent{range, -1, count, negative, overload, panel});
}

/// The main window offscreen, with a line in memory standing in for the meter.
struct Rig
{
    /// A store in memory unless the scene is about the server's rows.
    explicit Rig(RecordStore *store = new MemoryStore) : w(store) {}

    TK52K_Comm w;
    MemoryLine line;

    template <class T = QWidget> T *ui(const char *name) { return w.findChild<T *>(QLatin1String(name)); }
    QAction *act(const char *name) { return ui<QAction>(name); }
    QString status() { return ui<QLabel>("statusLabel")->text(); }
    QAbstractItemModel *model() { return ui<QTableView>("tableView")->model(); }
    int rows() { return model()->rowCount(); }
    QString cell(int row, int column) { return model()->index(row, column).data().toString(); }
    QStringList values()
    {
        QStringList v;
        for (int row = 0; row < rows(); ++row)
            v << cell(row, 1);
        return v;
    }
    bool start() { return w.session()->start(&line) && status() == kConnected; }
    /// Bytes arrive and a tick passes; true when the table then shows `expectedRows` rows
    /// (rows of a burst show together, a fraction of a second later).
    bool send(const QByteArray &bytes, int expectedRows = -1)
    {
        line.feed(bytes);
        w.session()->sample();
        return expectedRows < 0 || QTest::qWaitFor([&] { return rows() == expectedRows; }, kWait);
    }
    /// Whether a part of the front panel shows (the window itself is never shown).
    bool lit(QWidget *part) { return part->isVisibleTo(ui("groupBox")); }
    bool lit(const char *name) { return lit(ui(name)); }
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initTk52kResources();
        installFontSubstitutions();
        // Readings, spool and settings stay out of the user's own.
        QVERIFY(m_dir.isValid());
        qputenv("TK52K_SPOOL_DIR", m_dir.path().toLocal8Bit());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
        QCoreApplication::setOrganizationName(QStringLiteral("tk52k-test"));
        m_db = std::make_unique<ScratchDatabase>(QStringLiteral("mainwindow"));
        QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
        qRegisterMetaType<QSerialPort::SerialPortError>();
    }

    void stateTable_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("exportsEnabled");
        QTest::addColumn<QString>("status");
        QTest::newRow("after construction") << QStringList{} << false << false << kNotConnected;
        QTest::newRow("running") << QStringList{"start", "reading"} << true << false << kConnected;
        QTest::newRow("stopped") << QStringList{"start", "reading", "stop"} << false << true << kNotConnected;
        // Nothing to export or print: the commands stay off.
        QTest::newRow("stopped, nothing read") << QStringList{"start", "stop"} << false << false << kNotConnected;
        QTest::newRow("line silent") << QStringList{"start", "reading", "silence"} << false << true << kNotConnected;
        QTest::newRow("no meter on the port")
            << QStringList{"start", "silence"} << false << false << QStringLiteral("未连接：仪表没有发送任何数据");
        QTest::newRow("device vanished") << QStringList{"start", "vanish"} << false << false << kNotConnected;
        QTest::newRow("port chosen while running") << QStringList{"start", "choose"} << true << false << kConnected;
    }

    void stateTable()
    {
        QFETCH(QStringList, steps);
        QFETCH(bool, running);
        QFETCH(bool, exportsEnabled);
        QFETCH(QString, status);
        Rig rig;
        for (const QString &step : steps) {
            if (step == "start")
                QVERIFY(rig.start());
            else if (step == "reading")
                QVERIFY(rig.send(frame(1, 1000), 1));
            else if (step == "stop")
                rig.act("actionStop")->trigger();
            else if (step == "choose")
                rig.w.choosePort(QStringLiteral("/dev/tk52k-other"));
            else if (step == "vanish")
                rig.line.close();
            if (step == "silence" || step == "vanish")
                QTRY_VERIFY_WITH_TIMEOUT(!rig.w.session()->isRunning(), kWait);
        }
        QCOMPARE(rig.act("actionStart")->isEnabled(), !running);
        QCOMPARE(rig.act("actionStop")->isEnabled(), running);
        for (const char *exporter : {"actionTxt", "actionExcel", "actionPrint"})
            QVERIFY2(rig.act(exporter)->isEnabled() == exportsEnabled, exporter);
        QCOMPARE(rig.status(), status);
        QCOMPARE(rig.w.session()->isRunning(), running);
        // Once a run has ended, the watchdog has nothing left to watch.
        QCOMPARE(rig.ui<QTimer>("linkTimer")->isActive(), running);
    }

    // 文件 → 本次采集的历史记录 opens the history of the latest run: its time
    // and its meter, every range it went through (the table holds the last).
    void historyOfTheRun()
    {
        QVERIFY2(m_db->exec(QStringLiteral("TRUNCATE invoice")), qPrintable(m_db->error()));
        Rig rig(new database);
        QAction *runHistory = rig.act("actionRunHistory");
        QVERIFY(!runHistory->isEnabled());
        QVERIFY(rig.start());
        QVERIFY(rig.send(frame(2, 100) + frame(2, 200), 2));
        QVERIFY(rig.send(frame(13, 457), 1));
        QVERIFY(rig.send(frame(13, 458), 2));
        rig.act("actionStop")->trigger();
        // The first reading of each range is shown, not stored.
        QTRY_COMPARE_WITH_TIMEOUT(m_db->column(QStringLiteral("SELECT count(*) FROM invoice")), QStringLiteral("2"),
                                  kWait);
        const QString source = m_db->column(QStringLiteral("SELECT DISTINCT source FROM invoice"));
        runHistory->trigger();
        const QList<HisViewForm *> views = visibleWindows<HisViewForm>();
        QCOMPARE(views.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!views.first()->isLoading(), kWait);
        QCOMPARE(views.first()->historyModel()->rowCount(), 2);
        QCOMPARE(views.first()->findChild<QComboBox *>(QStringLiteral("sourceComboBox"))->currentData().toString(),
                 source);
        views.first()->close();
    }

    // A range change restarts the table with its first reading, which is shown
    // but not stored; a new run starts from an empty table, and past 50,000 rows
    // the table is emptied. A start that fails says why and leaves the last run's
    // table to be exported.
    void readingTable()
    {
        QVERIFY2(m_db->exec(QStringLiteral("TRUNCATE invoice")), qPrintable(m_db->error()));
        Rig rig(new database);
        QVERIFY(rig.start());
        QVERIFY(rig.send(frame(2, 100) + frame(2, 200), 2));
        // The meter switches to 8 A and overloads.
        QVERIFY(rig.send(frame(13, 0, true, true), 1));
        QVERIFY(rig.send(frame(13, 457), 2));
        QCOMPARE(rig.values(), (QStringList{"- .OL  A", "0.457 A"}));
        QVERIFY(QTime::fromString(rig.cell(1, 0), QStringLiteral("hh:mm:ss")).isValid() &&
                rig.cell(1, 2) == "DCA");
        rig.act("actionStop")->trigger();
        QVERIFY(rig.start());
        QCOMPARE(rig.rows(), 0);
        QVERIFY(rig.send(frame(13, 458), 1));
        // The window keeps only the reading it shows, whatever passed through.
        QCOMPARE(rig.w.findChildren<TkDataDas *>().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(
            m_db->column(QStringLiteral("SELECT datavaluestr FROM invoice ORDER BY id")),
            QStringLiteral("2.00,0.457,0.458"), kWait);

        // Row 50000 stays; row 50001 does not: the table is emptied at once.
        QVERIFY(rig.model()->insertRows(1, 49998));
        QVERIFY(rig.send(frame(13, 150), 50000));
        QVERIFY(rig.send(frame(13, 200), 0));
        QVERIFY(rig.send(frame(13, 300), 1));

        rig.act("actionStop")->trigger();
        rig.w.choosePort(QStringLiteral("/dev/tk52k-no-such-port"));
        ModalDriver driver;
        driver.answerBox(QStringLiteral("确 定"));
        rig.act("actionStart")->trigger();
        QCOMPARE(driver.boxes.size(), 1);
        QCOMPARE(driver.boxes[0].text,
                 QStringLiteral("请设置串口！\n/dev/tk52k-no-such-port: No such file or directory"));
        QCOMPARE(rig.values(), QStringList{"0.300 A"});
        QVERIFY(rig.act("actionStart")->isEnabled() && rig.act("actionTxt")->isEnabled());
    }

    // A cancelled port dialog sends nothing; a typed device path is taken and
    // remembered, so the next program run starts on it. The meter then vanishes:
    // the run ends, and the port's complaint is heard once or twice, not in a
    // loop that outlives the run.
    void virtualMeterThroughThePortDialog()
    {
        // Kilo-ohms, split across writes and with noise between frames, the way
        // a real line delivers them.
        QProcess meter;
        const auto startMeter = [&meter] {
            meter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            meter.start(qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/tk52k-sim"),
                        {"--range", "23", "--rate", "10", "--split", "--noise", "0.2", "--seed", "7"});
            return meter.waitForStarted() && QTest::qWaitFor([&] { return meter.canReadLine(); }, kWait);
        };
        QVERIFY(startMeter());
        const QString path = QString::fromLocal8Bit(meter.readLine()).trimmed();
        Rig rig;
        rig.w.show();
        for (const char *button : {"pushButton_2", "pushButton"}) {
            rig.act("actionSettingComm")->trigger();
            CommSettingForm *form = visibleWindows<CommSettingForm>().value(0);
            QVERIFY(form);
            QSignalSpy names(form, &CommSettingForm::signalsPortNameEnter);
            auto *combo = form->findChild<QComboBox *>(QStringLiteral("comboBox"));
            combo->lineEdit()->clear();
            QTest::keyClicks(combo->lineEdit(), path);
            QTest::mouseClick(form->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
            QVERIFY(visibleWindows<CommSettingForm>().isEmpty());
            QCOMPARE(names.count(), qstrcmp(button, "pushButton") ? 0 : 1);
        }
        rig.act("actionStart")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(rig.rows() >= 8, 30000);
        for (int row = 0; row < rig.rows(); ++row) {
            QCOMPARE(rig.cell(row, 2), QStringLiteral("OHM"));
            QVERIFY2(rig.cell(row, 1).endsWith(QStringLiteral(" kΩ")), qPrintable(rig.cell(row, 1)));
        }
        rig.act("actionStop")->trigger();

        Rig next;
        QCOMPARE(next.w.session()->portName(), path);
        next.act("actionSettingComm")->trigger();
        CommSettingForm *again = visibleWindows<CommSettingForm>().value(0);
        QCOMPARE(again->findChild<QComboBox *>(QStringLiteral("comboBox"))->currentText(), path);
        again->close();
        next.act("actionStart")->trigger();
        QCOMPARE(next.status(), kConnected);
        QSignalSpy errors(next.ui<QSerialPort>("serialPort"), &QSerialPort::errorOccurred);
        meter.terminate();
        QVERIFY(meter.waitForFinished(kWait));
        QTRY_COMPARE_WITH_TIMEOUT(next.status(), kNotConnected, kWait);
        QVERIFY(!next.ui<QSerialPort>("serialPort")->isOpen() && next.act("actionStart")->isEnabled());
        QTest::qWait(300);
        QVERIFY2(errors.count() <= 5, qPrintable(QString::number(errors.count())));

        // A resuming run in the same window says that its port went away, not
        // that the meter is silent.
        QVERIFY(startMeter());
        next.w.choosePort(QString::fromLocal8Bit(meter.readLine()).trimmed());
        next.w.setResuming(true);
        next.act("actionStart")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(next.rows() > 0, kWait);
        meter.terminate();
        QVERIFY(meter.waitForFinished(kWait));
        QTRY_COMPARE_WITH_TIMEOUT(next.status(), QStringLiteral("串口已断开，正在重连"), kWait);
        next.w.setResuming(false);
    }

    // With 跨量程连续显示 on, an autoranging signal stays one trace: the table
    // and the figures go on into the volt range and the curve is in volts; the
    // extremes follow the figures, in volts. Switching the option mid-run puts
    // the curve in the range's unit and back; another function starts anew.
    void traceGoesOnAcrossRanges()
    {
        Rig rig;
        rig.act("actionContinuousTrace")->trigger();
        // Shown: a reading is then drawn onto the canvas as it comes.
        rig.w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.w));
        QVERIFY(rig.start());
        QVERIFY(rig.send(frame(0, 5000) + frame(0, 5500), 2));
        QwtPlotCurve *curve = rig.w.livePlot()->curve();
        auto *plot = rig.ui<QwtPlot>("qwtPlot");
        for (const double y : {550.0, 0.55}) {
            rig.act("actionContinuousTrace")->trigger();
            QVERIFY(qFuzzyCompare(curve->sample(1).y(), y));
        }
        QCOMPARE(plot->axisScaleDraw(QwtPlot::yLeft)->label(-0.4).text(), QStringLiteral("-400 mV"));
        plot->canvas()->repaint();
        QVERIFY(rig.send(frame(1, 612), 3));
        QCOMPARE(rig.values(), (QStringList{"500.0 mV", "550.0 mV", "0.612 V"}));
        QCOMPARE(curve->dataSize(), size_t(3));
        QCOMPARE(curve->sample(2).y(), 0.612);
        QCOMPARE(plot->axisScaleDiv(QwtPlot::yLeft).upperBound(), 8.0); // the volt range's, drawn
        QCOMPARE(plot->axisScaleDraw(QwtPlot::yLeft)->label(-4).text(), QStringLiteral("-4 V"));
        StatsBox *box = rig.w.runMonitor()->statsBox();
        QTRY_COMPARE(box->figureText(QStringLiteral("count")), QStringLiteral("3"));
        QCOMPARE(box->figureText(QStringLiteral("mean")), QStringLiteral("0.55400 V"));
        QCOMPARE(rig.ui<QLineEdit>("maxLineEdit")->text(), QStringLiteral("0.6120V"));
        QCOMPARE(rig.ui<QLineEdit>("minLineEdit")->text(), QStringLiteral("0.5000V"));

        QVERIFY(rig.send(frame(23, 1000), 1));
        QVERIFY(TK52K_Comm().findChild<QAction *>(QStringLiteral("actionContinuousTrace"))->isChecked());
        rig.act("actionContinuousTrace")->trigger();
    }

    // With 断线后继续采集 on, a silent meter greys the digits and says since when;
    // the run goes on when it sends again, and the choice is remembered.
    void resumingRunWaitsForTheMeter()
    {
        Rig rig;
        rig.act("actionResume")->trigger();
        auto *digits = rig.ui<QLabel>("label_8");
        const QString ownStyle = digits->styleSheet();
        QVERIFY(rig.start());
        const QString before = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
        QVERIFY(rig.send(frame(2, 100) + frame(2, 200), 2));
        const QString after = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.status().startsWith(QStringLiteral("仪表无数据（")), kWait);
        // Since the last bytes, not since the watchdog noticed.
        const QString shown = rig.status().mid(6, 8);
        QVERIFY2(rig.status().endsWith(QStringLiteral(" 起）")) && shown >= before && shown <= after,
                 qPrintable(rig.status()));
        QVERIFY(!rig.lit("CommLabel") && digits->styleSheet() != ownStyle);
        QVERIFY(rig.w.session()->isRunning() && rig.act("actionStop")->isEnabled());

        QVERIFY(rig.send(frame(2, 300), 3));
        QCOMPARE(rig.status(), kConnected);
        QVERIFY(rig.lit("CommLabel"));
        QCOMPARE(digits->styleSheet(), ownStyle);

        QVERIFY(TK52K_Comm().session()->isResuming());
        rig.act("actionResume")->trigger();
        QVERIFY(!TK52K_Comm().session()->isResuming());
    }

    void barGraph_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<int>("level");
        QTest::addColumn<bool>("minus");
        QTest::addColumn<int>("cells");
        QTest::addColumn<bool>("plus");
        QTest::newRow("0 lights the first cell, with the minus sign") << true << 0 << true << 1 << false;
        QTest::newRow("59") << true << 59 << true << 60 << false;
        QTest::newRow("60 lights all without plus") << true << 60 << false << 61 << false;
        QTest::newRow("61 adds the plus") << true << 61 << false << 61 << true;
        QTest::newRow("off ignores the bar byte") << false << 70 << true << 0 << false;
    }

    void barGraph()
    {
        QFETCH(bool, on);
        QFETCH(int, level);
        QFETCH(bool, minus);
        QFETCH(int, cells);
        QFETCH(bool, plus);
        Rig rig;
        QVERIFY(rig.start());
        // A longer bar with the other sign first: the new frame must clear it.
        QVERIFY(rig.send(frame(2, 500, false, false, PanelBits{false, false, false, true, !minus, 90})));
        QVERIFY(rig.send(frame(2, 500, false, false, PanelBits{false, false, false, on, minus, level})));
        for (int i = 0; i < 61; ++i) {
            QCOMPARE(rig.lit(rig.w.frontPanel()->barCells()[i]), i < cells);
            QCOMPARE(rig.lit(rig.w.frontPanel()->barTicks()[i]), on);
        }
        QCOMPARE(rig.lit("pushButton_63") && rig.lit("pushButton_64"), plus);
        QCOMPARE(rig.lit("pushButton_62"), on && minus);
        QCOMPARE(rig.lit("label_4"), on);
    }

    // Each annunciator follows its own bit. The digits show the magnitude and the
    // minus sign stands apart; the extremes carry the sign in their text. (A
    // frame the decoder would refuse is never cut out of the line: the
    // session's tests hold that noise gives no reading.)
    void annunciatorsDigitsAndExtremes()
    {
        Rig rig;
        QVERIFY(rig.start());
        const char *const names[] = {"AutoLabel", "RelLabel", "HoldLabel", "MaxLabel",
                                     "MinLabel",  "ApoLabel", "BatLabel",  "NegPushButton"};
        for (int a = 0; a < 8; ++a) {
            PanelBits p;
            bool *flags[] = {&p.autoRange, &p.rel, &p.hold, &p.max, &p.min, &p.apo, &p.bat};
            if (a < 7)
                *flags[a] = true;
            QVERIFY(rig.send(frame(2, 100 * (a + 1), a == 7, false, p)));
            for (int b = 0; b < 8; ++b)
                QVERIFY2(rig.lit(names[b]) == (a == b), names[b]);
        }
        QCOMPARE(rig.ui<QLabel>("label_8")->text(), QStringLiteral("8.00"));
        QCOMPARE(rig.ui<QLineEdit>("maxLineEdit")->text() + rig.ui<QLineEdit>("minLineEdit")->text(),
                 "7.00V-8.00V");
        QVERIFY(rig.ui<QLabel>("FuncLabel")->text() == "DCV" && rig.ui<QLabel>("UnitLabel")->text() == "V");
    }

    // The big digits are painted from glyph images the panel keeps: what a
    // plain label draws for the text (edge pixels a few levels apart at most),
    // in every colour.
    void digitsLookAsTheLabelDrawsThem()
    {
        Rig rig;
        auto *digits = rig.ui<QLabel>("label_8");
        for (const QString text : {"8.000", "338.3", "0.123", "1888", " OL. ", " .OL "}) {
            for (const bool alarm : {false, true, false}) {
                rig.w.frontPanel()->showAlarm(alarm);
                digits->setText(text);
                const QImage shown = digits->grab().toImage();
                QLabel plain(text);
                plain.setFont(digits->font());
                plain.setAlignment(digits->alignment());
                plain.setStyleSheet(digits->styleSheet() + QStringLiteral("background-color: rgb(0, 0, 0);"));
                plain.resize(digits->size());
                const QImage expected = plain.grab().toImage();
                QCOMPARE(expected.size(), shown.size());
                int worst = 0;
                for (int y = 0; y < shown.height(); ++y)
                    for (int x = 0; x < shown.width(); ++x)
                        for (const int shift : {0, 8, 16})
                            worst = std::max(worst, std::abs(int(shown.pixel(x, y) >> shift & 0xff) -
                                                             int(expected.pixel(x, y) >> shift & 0xff)));
                QVERIFY2(worst <= 8, qPrintable(QStringLiteral("%1 %2 %3").arg(text).arg(alarm).arg(worst)));
            }
        }
    }

    // Three decimals: a count of 2500 reads 2.5. The band is set through the
    // dialog, the first time before any reading (the dialog names the
    // quantity), then on the quantity the panel shows; its events reach the
    // database.
    void alarmAndStatisticsFollowTheReadings()
    {
        Rig rig(new database);
        QVERIFY(rig.start());
        auto *alarmAction = rig.act("actionSettingAlarm");
        auto *digits = rig.ui<QLabel>("label_8");
        auto *note = rig.ui<QLabel>("alarmLabel");
        const QString unit = QStringLiteral("V");

        // High limit 2, cleared only below 1.9 (a blank hysteresis, taken as 0, first).
        for (const char *hysteresis : {"", "0.1"}) {
            alarmAction->trigger();
            AlarmSettingForm *form = rig.w.runMonitor()->alarmDialog();
            QVERIFY(form);
            auto *units = form->findChild<QComboBox *>(QStringLiteral("unitComboBox"));
            if (!*hysteresis) {
                QCOMPARE(form->function(), QStringLiteral("DCV"));
                units->setCurrentIndex(units->findText(unit));
            }
            QCOMPARE(form->unit(), unit);
            form->findChild<QCheckBox *>(QStringLiteral("lowCheckBox"))->setChecked(false);
            form->findChild<QCheckBox *>(QStringLiteral("highCheckBox"))->setChecked(true);
            form->findChild<QLineEdit *>(QStringLiteral("highLineEdit"))->setText(QStringLiteral("2"));
            form->findChild<QLineEdit *>(QStringLiteral("hysteresisLineEdit"))
                ->setText(QString::fromLatin1(hysteresis));
            form->findChild<QPushButton *>(QStringLiteral("pushButton"))->click();
            QTRY_VERIFY(!rig.w.runMonitor()->alarmDialog());
            if (!*hysteresis)
                QVERIFY(rig.send(frame(1, 1000)));
        }

        const QString green = digits->styleSheet();
        QVERIFY(rig.send(frame(1, 1500)));
        QCOMPARE(digits->styleSheet(), green);
        QVERIFY(rig.send(frame(1, 2500)));
        QVERIFY2(digits->styleSheet().contains(QLatin1String("255, 0, 0")), qPrintable(digits->styleSheet()));
        QVERIFY2(note->isVisibleTo(&rig.w) &&
                     note->text().contains(QStringLiteral("高于上限 2 %1").arg(unit)),
                 qPrintable(note->text()));
        QVERIFY(rig.send(frame(1, 1950) + frame(1, 2600) + frame(1, 1800)));
        QCOMPARE(digits->styleSheet(), green);
        QVERIFY(!note->isVisibleTo(&rig.w));
        QVERIFY(rig.send(frame(1, 0, false, true)));

        // The run's figures since the range began, overload apart.
        StatsBox *box = rig.w.runMonitor()->statsBox();
        QTRY_COMPARE(box->figureText(QStringLiteral("count")), QStringLiteral("6"));
        QCOMPARE(box->figureText(QStringLiteral("overloads")), QStringLiteral("1"));
        // In the readings' resolution: their decimals, two more for the mean.
        QCOMPARE(box->figureText(QStringLiteral("mean")), QStringLiteral("1.89167 %1").arg(unit));
        QVERIFY(box->figureText(QStringLiteral("max")).startsWith(QStringLiteral("2.600 %1 (").arg(unit)));

        // A raise and a clear reach the table; the overload after the clear
        // raised again (it lies beyond every high limit).
        QTRY_COMPARE_WITH_TIMEOUT(
            m_db->column(QStringLiteral(
                "SELECT concat_ws(' ', raised::int, limit_kind, value) FROM alarm_event ORDER BY id")),
            QStringLiteral("1 high 2.5,0 high 1.8,1 high Infinity"), kWait);

        // A new range starts new figures.
        QVERIFY(rig.send(frame(2, 1000)));
        QCOMPARE(box->figureText(QStringLiteral("count")), QStringLiteral("1"));

        // A stop ends the alarm's display; its events stay.
        QVERIFY(note->isVisibleTo(&rig.w));
        rig.w.doToolStop();
        QTRY_COMPARE(rig.status(), kNotConnected);
        QCOMPARE(digits->styleSheet(), green);
        QVERIFY(!note->isVisibleTo(&rig.w));
        QCOMPARE(m_db->column(QStringLiteral("SELECT count(*) FROM alarm_event")), QStringLiteral("3"));
    }

    // 文件 → "重新写入被拒绝的读数" is there only while the server has refused
    // something, and hands it back once the cause is mended. The status bar
    // follows the store.
    void refusedReadingsAreWrittenWhenAsked()
    {
        QVERIFY2(m_db->exec(QStringLiteral("TRUNCATE invoice")), qPrintable(m_db->error()));
        QVERIFY2(m_db->exec(QStringLiteral(
                     "ALTER TABLE invoice ADD CONSTRAINT no_25 CHECK (datavaluestr NOT LIKE '2.5%')")),
                 qPrintable(m_db->error()));
        Rig rig(new database);
        QVERIFY(rig.start());
        auto *retry = rig.act("actionRetryRejected");
        QVERIFY(!retry->isEnabled());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refused the reading .*no_25")));
        QVERIFY(rig.send(frame(1, 1000) + frame(1, 2500) + frame(1, 1500)));
        QTRY_VERIFY_WITH_TIMEOUT(retry->isEnabled(), kWait);
        auto *store = rig.ui<QLabel>("dbStateLabel");
        QTRY_VERIFY_WITH_TIMEOUT(
            store->text().startsWith(QStringLiteral("数据库已连接；1 条读数被服务器拒绝：")), kWait);

        QVERIFY2(m_db->exec(QStringLiteral("ALTER TABLE invoice DROP CONSTRAINT no_25")),
                 qPrintable(m_db->error()));
        retry->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(m_db->column(QStringLiteral("SELECT count(*) FROM invoice")),
                                  QStringLiteral("2"), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!retry->isEnabled(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(store->text(), QStringLiteral("数据库已连接"), kWait);
    }

    // Every command has its key, and the exports sit after the print on the
    // tool bar. F5 on a port that cannot open says why (as F1 without a
    // manual does), the exports ask for a file.
    void keyboard_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("effect");
        QTest::newRow("start") << "F5" << "box";
        QTest::newRow("stop") << "Shift+F5" << "stopped";
        QTest::newRow("history") << "Ctrl+H" << "history";
        for (const char *keys : {"Ctrl+T", "Ctrl+E", "Ctrl+Shift+C"})
            QTest::newRow(keys) << keys << "file";
        QTest::newRow("manual") << "F1" << "box";
        QTest::newRow("quit") << "Ctrl+Q" << "closed";
    }

    void keyboard()
    {
        QFETCH(QString, keys);
        QFETCH(QString, effect);
        Rig rig;
        rig.w.choosePort(QStringLiteral("/dev/tk52k-no-such-port"));
        rig.w.show();
        QApplication::setActiveWindow(&rig.w);
        QVERIFY(QTest::qWaitForWindowActive(&rig.w));
        QStringList order;
        for (QAction *a : rig.ui<QToolBar>("mainToolBar")->actions().mid(0, 7))
            order << a->objectName();
        QCOMPARE(order.join(' '), QStringLiteral("actionStart actionStop  actionTxt actionExcel actionPrint actionCsv"));
        if (effect == "stopped" || effect == "file")
            QVERIFY(rig.start());
        if (effect == "file") {
            QVERIFY(rig.send(frame(1, 1000), 1));
            rig.act("actionStop")->trigger();
        }
        ModalDriver driver;
        if (effect == "file")
            driver.chooseFile(QString());
        if (effect == "box")
            driver.answerBox(QString());
        QTest::keySequence(&rig.w, QKeySequence(keys));
        QTRY_VERIFY(driver.done());
        QCOMPARE(driver.unexpected, 0);
        QCOMPARE(rig.w.session()->isRunning(), false);
        QCOMPARE(rig.w.isVisible(), effect != "closed");
        if (effect == "history") {
            QCOMPARE(visibleWindows<HisSettingForm>().size(), 1);
            visibleWindows<HisSettingForm>().first()->close();
        }
    }

    // The first run opens at four fifths of the screen, truncated, and centred.
    // A server that cannot be reached or a login it refuses: the status bar
    // says why in short, its tooltip gives the server's own words. Settings
    // mended through 设置 → 数据库设置 take effect at once.
    void serverReasonInTheStatusBar_data()
    {
        QTest::addColumn<QByteArray>("port");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("words");
        QTest::newRow("server down") << QByteArray("9") << "服务器未运行"
                                     << "refused";
        QTest::newRow("wrong password") << QByteArray() << "密码错误"
                                        << "password authentication failed";
    }
    void serverReasonInTheStatusBar()
    {
        QFETCH(QByteArray, port);
        QFETCH(QString, reason);
        QFETCH(QString, words);
        // A second login of the shared server, given the wrong password.
        const QString role = m_db->name() + QStringLiteral("_desk");
        QVERIFY2(m_db->exec(QStringLiteral(
                                "DROP ROLE IF EXISTS %1; CREATE ROLE %1 SUPERUSER LOGIN PASSWORD 'desk-pw'")
                                .arg(role)),
                 qPrintable(m_db->error()));
        // The dialog's fields, not variables, give the login here.
        QList<QPair<const char *, QByteArray>> variables;
        for (const char *v : {"TK52K_DB_USER", "TK52K_DB_PASSWORD", "TK52K_SOURCE"}) {
            variables.append({v, qgetenv(v)});
            qunsetenv(v);
        }
        auto back = qScopeGuard([&] {
            for (const auto &v : variables)
                if (!v.second.isEmpty())
                    qputenv(v.first, v.second);
            m_db->exec(QStringLiteral("DROP OWNED BY %1; DROP ROLE IF EXISTS %1").arg(role));
        });
        DbSettings settings = DbSettings::fromEnvironment();
        settings.userName = role;
        settings.password = QStringLiteral("not-the-one");
        if (!port.isEmpty())
            settings.port = port.toInt();
        {
            Rig rig(new database(settings, QString()));
            QLabel *label = rig.ui<QLabel>("dbStateLabel");
            QTRY_VERIFY_WITH_TIMEOUT(label->toolTip().contains(words), kWait);
            QCOMPARE(label->text(), QStringLiteral("数据库未连接：%1（待写入 0 条）").arg(reason));
            if (!port.isEmpty())
                return;

            rig.act("actionSettingDatabase")->trigger();
            auto *form = rig.w.findChild<DbSettingForm *>();
            QVERIFY(form);
            form->findChild<QLineEdit *>(QStringLiteral("userLineEdit"))->setText(role);
            form->findChild<QLineEdit *>(QStringLiteral("passwordLineEdit"))
                ->setText(QStringLiteral("desk-pw"));
            form->findChild<QLineEdit *>(QStringLiteral("sourceLineEdit"))->setText(QStringLiteral("desk-7"));
            form->accept();
            QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("数据库已连接"), kWait);
            QVERIFY(label->toolTip().isEmpty());
            QCOMPARE(rig.w.store()->source(), QStringLiteral("desk-7"));
        }
        // Kept for the next start, the password apart from the settings.
        KeyringPasswordStore passwords;
        const DbSettings next = savedDbSettings(&passwords);
        QCOMPARE(next.userName, role);
        QCOMPARE(next.password, QStringLiteral("desk-pw"));
        QCOMPARE(next.source, QStringLiteral("desk-7"));
        QVERIFY(!QSettings().allKeys().join(' ').contains(QStringLiteral("password")));
        QSettings().remove(QStringLiteral("database"));
    }

    void clockAdvancesWithoutARun()
    {
        Rig rig;
        auto *clock = rig.ui<QLabel>("timeLabel");
        const QString first = clock->text();
        QTRY_VERIFY_WITH_TIMEOUT(clock->text() != first, kWait);
        const int off =
            qAbs(QTime::fromString(clock->text(), QStringLiteral("hh:mm:ss")).secsTo(QTime::currentTime()));
        QVERIFY2(off <= 2 || off >= 86398, qPrintable(clock->text()));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected");
        for (const char *interval : {"0", "3601", "1.5"})
            QTest::newRow(interval) << QStringList{"--interval", interval} << "--interval";
        QTest::newRow("unknown language") << QStringList{"--lang", "fr"} << "--lang";
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        const ToolRun r = runTool(QStringLiteral("tk52k"), args);
        QCOMPARE(r.status, 2);
        QVERIFY2((r.out + r.err).contains(expected.toUtf8()), (r.out + r.err).constData());
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<ScratchDatabase> m_db;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
