#include "tk52k_comm.h"

#include "core/meter/baseunit.h"
#include "core/meter/extremes.h"
#include "core/meter/framedecoder.h"
#include "core/meter/metersession.h"
#include "core/meter/tkdatadas.h"
#include "core/meter/tracegap.h"
#include "core/store/database.h"
#include "export/readingcsvwriter.h"
#include "models/livereadingmodel.h"
#include "widgets/dialogs/aboutform.h"
#include "widgets/dialogs/commsettingform.h"
#include "widgets/dialogs/dbsettingform.h"
#include "widgets/dialogs/keyringpasswordstore.h"
#include "widgets/dialogs/timesettingform.h"
#include "widgets/dialogs/tooldialog.h"
#include "widgets/export/tableexport.h"
#include "widgets/help/manual.h"
#include "widgets/mainwindow/cachedtextdelegate.h"
#include "widgets/mainwindow/languagemenu.h"
#include "widgets/mainwindow/rownumberheader.h"
#include "widgets/mainwindow/runmonitor.h"
#include "widgets/mainwindow/storemenu.h"
#include "widgets/panel/frontpanel.h"
#include "widgets/plot/liveplot.h"

#include <QAction>
#include <QDateTime>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimerEvent>

namespace {
const char *const kClockFormat = "hh:mm:ss";
constexpr int kTableBatchMs = 250;

// The platform's keys for a command where it has them, else ours.
QList<QKeySequence> keysFor(QKeySequence::StandardKey standard, const QKeySequence &otherwise)
{
    QList<QKeySequence> keys = QKeySequence::keyBindings(standard);
    if (keys.isEmpty())
        keys << otherwise;
    return keys;
}

// A tool-bar button has no menu line beside it to show its key: its tool tip does.
void giveKeys(QAction *action, const QList<QKeySequence> &keys, bool onToolBar = true)
{
    action->setShortcuts(keys);
    if (onToolBar)
        action->setToolTip(QStringLiteral("%1 (%2)").arg(action->toolTip(),
                                                          keys.first().toString(QKeySequence::NativeText)));
}
} // namespace

namespace {
// The user's database settings with the environment over them.
DbSettings deskSettings()
{
    KeyringPasswordStore passwords;
    return savedDbSettings(&passwords);
}
} // namespace

TK52K_Comm::TK52K_Comm(QWidget *parent) : TK52K_Comm(new database(deskSettings(), QString()), parent) {}

TK52K_Comm::TK52K_Comm(RecordStore *store, QWidget *parent)
    : QMainWindow(parent), db(qobject_cast<database *>(store)), m_store(store)
{
    m_store->setParent(this);
    ui.setupUi(this);
    m_panel = ui.frontPanel;
    // No extremes before the first reading.
    ui.maxLineEdit->clear();
    ui.minLineEdit->clear();

    setRunActions(false);
    ui.actionTxt->setEnabled(false);
    ui.actionExcel->setEnabled(false);
    ui.actionPrint->setEnabled(false);

    // A full table of 50,000 readings takes about a megabyte.
    model = new LiveReadingModel(this);
    ui.tableView->setVerticalHeader(new RowNumberHeader(ui.tableView));
    ui.tableView->setItemDelegate(new CachedTextDelegate(ui.tableView));
    ui.tableView->setModel(model);
    ui.tableView->setColumnWidth(0, 100);
    ui.tableView->setColumnWidth(1, 150);
    ui.tableView->setColumnWidth(2, 100);
    ui.tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui.tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // A table that follows its newest row redraws every visible row for each
    // one added: the rows of a quarter second are added together, and the
    // view follows them.
    model->setBatchInterval(kTableBatchMs);
    connect(model, &QAbstractItemModel::rowsInserted, ui.tableView, &QTableView::scrollToBottom);

    const QDateTime now = QDateTime::currentDateTime();
    // A reading that was never decoded: the first real one is a range change.
    currentReading = new TkDataDas(this);
    m_plot = std::make_unique<LivePlot>(ui.qwtPlot, now);
    m_plot->addViewBar(ui.verticalLayout_3);

    m_session = new MeterSession(this);
    m_plot->setGapSeconds(traceGapSeconds(m_session->samplePeriodMs() / 1000.0));
    connect(m_session, &MeterSession::panelChanged, this,
            [this](const PanelBits &bits, bool negative) { m_panel->applyFrame(bits, negative); });
    connect(m_session, &MeterSession::readingTaken, this, &TK52K_Comm::showReading);
    connect(m_session, &MeterSession::linkChanged, this, [this](bool up) {
        if (up)
            readyReadSlot();
        else
            m_panel->showLink(false);
    });
    connect(m_session, &MeterSession::runStarted, this, &TK52K_Comm::showRunStarted);
    connect(m_session, &MeterSession::runEnded, this, [this](MeterSession::EndReason reason) {
        if (reason == MeterSession::EndReason::Stopped) {
            showRunEnded();
            return;
        }
        doOverTimerSlot();
        // A port with no meter behind it (or one switched off) sends nothing:
        // that, not a lost line, is why the run ended.
        if (reason == MeterSession::EndReason::Silence && !m_runGotBytes)
            statusLabel->setText(tr("未连接：仪表没有发送任何数据"));
    });

    timeLabel = new QLabel(now.toString(QLatin1String(kClockFormat)), this);
    timeLabel->setObjectName(QStringLiteral("timeLabel"));
    statusBar()->addPermanentWidget(timeLabel);
    statusLabel = new QLabel(tr("未连接"), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusBar()->addWidget(statusLabel);

    // The store connects on a thread of its own; the window never waits for it.
    dbStateLabel = addStoreStateLabel(statusBar(), m_store);
    if (db)
        db->openDatabase();
    model->setSource(m_store->source());
    dbStateLabel->setText(m_store->statusText());
    addRetryRejectedAction(ui.menu, ui.menu->actions().value(1), m_store);
    // Beside the history query: the latest run's whole history.
    auto *runHistory = new QAction(tr("本次采集的历史记录(&R)"), this);
    runHistory->setObjectName(QStringLiteral("actionRunHistory"));
    runHistory->setEnabled(false);
    ui.menu->insertAction(ui.menu->actions().value(1), runHistory);
    connect(runHistory, &QAction::triggered, this, &TK52K_Comm::doMenuRunHistory);

    m_monitor = new RunMonitor(*m_panel, statusBar(), ui.verticalLayout_3, m_store, this);
    // The store queues the reading and returns at once.
    connect(m_session, &MeterSession::readingToStore, m_store, &RecordStore::submit);

    connect(ui.actionExit, &QAction::triggered, this, &TK52K_Comm::doMenuExit);
    connect(ui.actionAbout, &QAction::triggered, this, &TK52K_Comm::doMenuAbout);
    connect(ui.actionManual, &QAction::triggered, this, &TK52K_Comm::doMenuManual);
    connect(ui.actionHisQuest, &QAction::triggered, this, &TK52K_Comm::doMenuHis);
    connect(ui.actionSettingComm, &QAction::triggered, this, &TK52K_Comm::doMenuComm);
    connect(ui.actionSettingTime, &QAction::triggered, this, &TK52K_Comm::doMenuTime);
    if (db) {
        m_passwords = std::make_unique<KeyringPasswordStore>();
        addDbSettingAction(ui.menu_2, ui.actionSettingComm, this, db, m_passwords.get(),
                           [this] { model->setSource(m_store->source()); });
    }
    connect(ui.actionStart, &QAction::triggered, this, &TK52K_Comm::doToolStart);
    connect(ui.actionStop, &QAction::triggered, this, &TK52K_Comm::doToolStop);
    connect(ui.actionTxt, &QAction::triggered, this, &TK52K_Comm::doToolTxt);
    connect(ui.actionExcel, &QAction::triggered, this, &TK52K_Comm::doToolExcel);
    connect(ui.actionPrint, &QAction::triggered, this, &TK52K_Comm::doToolPrint);
    m_monitor->addAlarmAction(ui.menu_2);
    addLanguageMenu(ui.menu_2, this);
    // Last among the exports: the first five buttons stay where users know them.
    QAction *csvAction = addCsvExportAction(ui.actionPrint, model, this);
    csvAction->setObjectName(QStringLiteral("actionCsv"));
    setupKeys(csvAction);
    setupResume();
    setupTrace();

    // The port chosen in an earlier session is the port until another is.
    const QString remembered = QSettings().value(CommSettingForm::settingsKey()).toString();
    if (!remembered.isEmpty())
        choosePort(remembered);

    armClock();
}

// The session goes with the window's children, after the panel and plot it
// reports to: nothing it says on its way out may reach them.
TK52K_Comm::~TK52K_Comm()
{
    disconnect(m_session, nullptr, this, nullptr);
}

void TK52K_Comm::setupKeys(QAction *csvAction)
{
    giveKeys(ui.actionStart, {QKeySequence(Qt::Key_F5)});
    giveKeys(ui.actionStop, {QKeySequence(Qt::SHIFT + Qt::Key_F5)});
    giveKeys(ui.actionTxt, {QKeySequence(Qt::CTRL + Qt::Key_T)});
    giveKeys(ui.actionExcel, {QKeySequence(Qt::CTRL + Qt::Key_E)});
    giveKeys(ui.actionPrint, keysFor(QKeySequence::Print, QKeySequence(Qt::CTRL + Qt::Key_P)));
    giveKeys(csvAction, {QKeySequence(Qt::CTRL + Qt::SHIFT + Qt::Key_C)});
    giveKeys(ui.actionHisQuest, {QKeySequence(Qt::CTRL + Qt::Key_H)});
    giveKeys(ui.actionManual, keysFor(QKeySequence::HelpContents, QKeySequence(Qt::Key_F1)), false);
    // Windows has no standard quit key; Ctrl+Q is what users try.
    giveKeys(ui.actionExit, keysFor(QKeySequence::Quit, QKeySequence(Qt::CTRL + Qt::Key_Q)), false);
}

void TK52K_Comm::armClock()
{
    if (sampleTimerId != 0)
        killTimer(sampleTimerId);
    const int period = m_session->samplePeriodMs();
    // The clock shows whole seconds: sampling faster than that, it ticks
    // once, just after each new second begins, rather than at every sample.
    if (period < 1000)
        sampleTimerId = startTimer(1001 - QTime::currentTime().msec(), Qt::PreciseTimer);
    else
        sampleTimerId = startTimer(period, Qt::CoarseTimer);
}

void TK52K_Comm::timerEvent(QTimerEvent *event)
{
    timeLabel->setText(QDateTime::currentDateTime().toString(QLatin1String(kClockFormat)));
    if (event->timerId() == sampleTimerId && m_session->samplePeriodMs() < 1000)
        armClock();
}

void TK52K_Comm::showReading(const MeterReading &reading, bool newRange)
{
    const bool restart = newRange && !goesOnAcross(*currentReading, reading);
    static_cast<MeterReading &>(*currentReading) = reading;
    m_monitor->showReading(reading, restart);
    m_panel->showReading(reading, newRange);
    // The extremes restart with the range; a trace that goes on across
    // ranges has them follow its figures, in the base unit. An overload
    // stays shown as the meter shows it.
    QString maxText = maxFieldText(m_session->extremes());
    QString minText = minFieldText(m_session->extremes());
    if (m_continuousTrace && m_monitor->statistics().count() > 0) {
        if (m_session->extremes().maxState == ExtremeNumber)
            maxText = m_monitor->maxFieldText();
        if (m_session->extremes().minState == ExtremeNumber)
            minText = m_monitor->minFieldText();
    }
    // Most readings leave the extremes as they were: their fields stay alone.
    for (const auto &[edit, text] : {std::pair{ui.maxLineEdit, maxText}, std::pair{ui.minLineEdit, minText}}) {
        if (edit->text() != text)
            edit->setText(text);
    }
    const double scale = traceScale(reading);
    if (!restart) {
        // A trace that goes on into a new range takes that range's scale.
        if (newRange)
            m_plot->setRangeScale(reading.rangeIndex, scale);
        // Past the table's cap the reading empties table and curve.
        const bool kept = model->append(reading);
        m_plot->append(reading.time, reading.value * scale, reading.overload);
        if (!kept)
            m_plot->clearPoints();
        // The new range's axis is drawn by a replot, not by a line onto the canvas.
        if (newRange)
            m_plot->replot();
        else
            m_plot->showNewPoints();
    } else {
        // A new range starts a new table and a new curve; its first reading
        // is shown but not stored.
        model->clear();
        m_plot->setValueUnit(m_continuousTrace ? baseUnitOf(reading.unitStr).unit : QString());
        m_plot->restart(reading.time, reading.rangeIndex, reading.value * scale, reading.overload, scale);
        model->append(reading);
    }
}

TkDataDas *TK52K_Comm::decodeFrame(QByteArray frame)
{
    const DecodedFrame decoded = decodeMeterFrame(frame);
    if (!decoded.valid)
        return nullptr;
    m_panel->applyFrame(decoded.panel, decoded.negative);
    auto *reading = new TkDataDas(this);
    fillReading(decoded, QDateTime::currentDateTime(), *reading);
    return reading;
}

void TK52K_Comm::doMenuExit()
{
    close();
}

void TK52K_Comm::doMenuAbout()
{
    auto *about = new AboutForm(nullptr);
    aboutForm = about;
    showToolDialog(about, QSize(297, 158));
}

void TK52K_Comm::doMenuManual()
{
    openManual(manualPath(), this);
}

void TK52K_Comm::setSamplingMode(bool automatic, uint seconds)
{
    m_session->setSamplingMode(automatic, seconds);
    m_plot->setGapSeconds(traceGapSeconds(m_session->samplePeriodMs() / 1000.0));
    armClock();
}

void TK52K_Comm::doMenuComm()
{
    auto *form = new CommSettingForm();
    commSettingForm = form;
    if (!m_session->portName().isEmpty())
        form->setCurrentPortName(m_session->portName());
    showToolDialog(form, QSize(243, 135));
    connect(form, &CommSettingForm::signalsPortNameEnter, this, &TK52K_Comm::doCommPortNameEnter);
    connect(form, &CommSettingForm::signalsBtnEnter, this, &TK52K_Comm::doCommSettingBtnEnter);
}

void TK52K_Comm::doCommPortNameEnter(const QString &portName)
{
    pendingPortName = portName;
}

void TK52K_Comm::doCommSettingBtnEnter(SerialPortInfo info)
{
    portInfo = info;
    // A pseudo-terminal or a typed path has no SerialPortInfo; then the name
    // the dialog sent just before is the port.
    m_session->setPortName(info.isNull() ? pendingPortName : info.portName());
    pendingPortName.clear();
    if (commSettingForm)
        commSettingForm->close();
    // A run in progress goes on with the port it opened and must stay
    // stoppable; the new port is used from the next start.
    if (!m_session->isRunning())
        setRunActions(false);
}

void TK52K_Comm::choosePort(const QString &name)
{
    doCommPortNameEnter(name);
    doCommSettingBtnEnter(SerialPortInfo(name));
}

void TK52K_Comm::showPortWarning()
{
    // The first line is the one the user knows; the second says which port
    // and what the system had against it.
    QMessageBox box(QMessageBox::Warning, tr("警告"),
                    tr("请设置串口！") + QLatin1Char('\n') + m_session->lastError(), QMessageBox::Ok);
    box.button(QMessageBox::Ok)->setText(tr("确 定"));
    box.exec();
}

void TK52K_Comm::setRunActions(bool running)
{
    ui.actionStart->setEnabled(!running);
    ui.actionStop->setEnabled(running);
}

void TK52K_Comm::doToolStart()
{
    // Without a port that opens, the previous run's table stays as it is.
    if (!m_session->start())
        showPortWarning();
}

void TK52K_Comm::showRunStarted()
{
    m_runStart = QDateTime::currentDateTime();
    m_runStop = QDateTime();
    m_runGotBytes = false;
    if (auto *runHistory = findChild<QAction *>(QStringLiteral("actionRunHistory")))
        runHistory->setEnabled(true);
    model->clear();
    armClock();
    statusLabel->setText(tr("已连接"));
    setRunActions(true);
    ui.actionTxt->setEnabled(false);
    ui.actionExcel->setEnabled(false);
    ui.actionPrint->setEnabled(false);
    m_plot->clearPoints();
    m_plot->replot();
}

void TK52K_Comm::doToolStop()
{
    if (sampleTimerId != 0) {
        killTimer(sampleTimerId);
        // Forget the id: killing it again later would hit a dead timer.
        sampleTimerId = 0;
    }
    m_session->stop();
}

void TK52K_Comm::readyReadSlot()
{
    m_runGotBytes = true;
    m_panel->showLink(true);
}

// The meter fell silent or vanished: the run ends, the port is closed and
// the exports become available.
void TK52K_Comm::doOverTimerSlot()
{
    m_session->stop();
    m_panel->showLink(false);
    showRunEnded();
}

void TK52K_Comm::showRunEnded()
{
    // An alarm is about readings; none come after a stop.
    m_monitor->endRun();
    // The exports read the table as it is shown.
    model->showPendingRows();
    statusLabel->setText(tr("未连接"));
    setRunActions(false);
    m_runStop = QDateTime::currentDateTime();
    // An empty table has nothing to export or print (a blank page said
    // "printed" before).
    const bool rows = model->rowCount() > 0;
    ui.actionTxt->setEnabled(rows);
    ui.actionExcel->setEnabled(rows);
    ui.actionPrint->setEnabled(rows);
}

// Exports and the print read the reading table as it stands; rows that
// arrive meanwhile wait for the next export.
void TK52K_Comm::doToolTxt()
{
    exportTableToText(model, this, ExportBoxStyle::MainWindow);
}

void TK52K_Comm::doToolExcel()
{
    exportTableToExcel(model, tr("数据记录"), tableColumnWidths(ui.tableView), ui.tableView,
                       ExportBoxStyle::MainWindow);
}

void TK52K_Comm::doToolPrint()
{
    printTable(model, tr("数据记录"), tableColumnWidths(ui.tableView), this, ExportBoxStyle::MainWindow);
}

void TK52K_Comm::doMenuTime()
{
    auto *form = new TimeSettingForm(m_session->isAutomatic(), m_session->interval());
    timeSettingForm = form;
    showToolDialog(form, QSize(355, 235));
    connect(form, &TimeSettingForm::signalsBtnEnter, this, &TK52K_Comm::doTimeSettingBtnEnter);
}

void TK52K_Comm::doTimeSettingBtnEnter(bool autoflag, uint interval)
{
    setSamplingMode(autoflag, interval);
    if (timeSettingForm)
        timeSettingForm->close();
}
