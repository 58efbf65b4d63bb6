#include "tk52k_comm.h"

#include "dialogs/aboutform.h"
#include "dialogs/commsettingform.h"
#include "dialogs/timesettingform.h"
#include "export/readingcsvwriter.h"
#include "export/tableexport.h"
#include "help/manual.h"
#include "meter/extremes.h"
#include "meter/framedecoder.h"
#include "meter/frameextractor.h"
#include "meter/tkdatadas.h"
#include "plot/decimatingcurve.h"
#include "plot/plotseriesdata.h"
#include "plot/rangescale.h"
#include "plot/trendplot.h"
#include "store/database.h"
#include "store/maxdatabase.h"

#include <QDateTime>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTimer>
#include <QTimerEvent>

namespace {
const char *const kClockFormat = "hh:mm:ss";
constexpr int kAutoPeriodMs = 60;
constexpr int kLinkTimeoutMs = 1000;
constexpr int kMaxTableRows = 50000;
} // namespace

TK52K_Comm::TK52K_Comm(QWidget *parent)
    : QMainWindow(parent)
{
    ui.setupUi(this);
    initPanel();

    running = false;
    autoflag = true;
    interval = 1;
    ui.maxLineEdit->clear();
    ui.minLineEdit->clear();

    ui.actionStart->setEnabled(true);
    ui.actionStop->setEnabled(false);
    ui.actionTxt->setEnabled(false);
    ui.actionExcel->setEnabled(false);
    ui.actionPrint->setEnabled(false);

    // The model outlives no one but the window; parenting it keeps it from
    // leaking when the window goes.
    model = new QStandardItemModel(this);
    model->setHorizontalHeaderLabels({tr("时间"), tr("数据"), tr("功能")});
    ui.tableView->setModel(model);
    ui.tableView->setColumnWidth(0, 100);
    ui.tableView->setColumnWidth(1, 150);
    ui.tableView->setColumnWidth(2, 100);
    ui.tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui.tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);

    const QDateTime now = QDateTime::currentDateTime();
    frameBuffer = QByteArray(14, '\0');

    linkTimer = new QTimer(this);
    linkTimer->setObjectName(QStringLiteral("linkTimer"));
    // A reading that was never decoded: the first real one is a range change.
    currentReading = new TkDataDas(this);
    extremes = new maxdatabase(this);

    setupPlot(now);

    // The port is a member by value; parenting it makes it findable as a
    // child of the window (tests, diagnostics). It goes before the window's
    // base part does, which detaches it cleanly.
    serialPort.setObjectName(QStringLiteral("serialPort"));
    serialPort.setParent(this);
    connect(&serialPort, &QSerialPort::errorOccurred, this, &TK52K_Comm::doSerialErrorSlot);

    timeLabel = new QLabel(now.toString(QLatin1String(kClockFormat)), this);
    timeLabel->setObjectName(QStringLiteral("timeLabel"));
    statusBar()->addPermanentWidget(timeLabel);
    statusLabel = new QLabel(tr("未连接"), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusBar()->addWidget(statusLabel);

    // The store connects on a thread of its own; the window never waits for it.
    db = new database(sqlDb, this);
    dbStateLabel = new QLabel(database::stateText(false, 0), this);
    dbStateLabel->setObjectName(QStringLiteral("dbStateLabel"));
    statusBar()->addWidget(dbStateLabel);
    connect(db, &database::stateChanged, dbStateLabel,
            [this](bool connected, int pending) { dbStateLabel->setText(database::stateText(connected, pending)); });
    db->openDatabase(sqlDb);

    connect(linkTimer, &QTimer::timeout, this, &TK52K_Comm::doOverTimerSlot);
    connect(ui.actionExit, &QAction::triggered, this, &TK52K_Comm::doMenuExit);
    connect(ui.actionAbout, &QAction::triggered, this, &TK52K_Comm::doMenuAbout);
    connect(ui.actionManual, &QAction::triggered, this, &TK52K_Comm::doMenuManual);
    connect(ui.actionHisQuest, &QAction::triggered, this, &TK52K_Comm::doMenuHis);
    connect(ui.actionSettingComm, &QAction::triggered, this, &TK52K_Comm::doMenuComm);
    connect(ui.actionSettingTime, &QAction::triggered, this, &TK52K_Comm::doMenuTime);
    connect(ui.actionStart, &QAction::triggered, this, &TK52K_Comm::doToolStart);
    connect(ui.actionStop, &QAction::triggered, this, &TK52K_Comm::doToolStop);
    connect(ui.actionTxt, &QAction::triggered, this, &TK52K_Comm::doToolTxt);
    connect(ui.actionExcel, &QAction::triggered, this, &TK52K_Comm::doToolExcel);
    connect(ui.actionPrint, &QAction::triggered, this, &TK52K_Comm::doToolPrint);
    addCsvExportAction(ui.actionTxt, model, this);

    armSampleTimer();
}

TK52K_Comm::~TK52K_Comm() = default;

void TK52K_Comm::armSampleTimer()
{
    if (sampleTimerId != 0)
        killTimer(sampleTimerId);
    const int period = autoflag ? kAutoPeriodMs : static_cast<int>(interval * 1000);
    sampleTimerId = startTimer(period, Qt::CoarseTimer);
}

void TK52K_Comm::timerEvent(QTimerEvent *)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString clock = now.toString(QLatin1String(kClockFormat));
    timeLabel->setText(clock);

    if (!running || rxBuffer.size() < kFrameSize)
        return;
    // Only a frame cut out at this tick is decoded: bytes without a line feed
    // must not record the previous frame again under a new time.
    if (takeNewestFrame(rxBuffer, frameBuffer) != FrameCut::Frame)
        return;
    TkDataDas *reading = decodeFrame(frameBuffer);
    if (!reading)
        return;

    const bool rangeChanged = reading->rangeIndex != currentReading->rangeIndex;
    delete currentReading;
    currentReading = reading;

    if (!rangeChanged) {
        updatePanel(false);
        appendReadingRow(clock);
        storeReading();
        appendPlotPoint(now);
        if (model->rowCount() > kMaxTableRows) {
            model->removeRows(0, model->rowCount());
            clearPlotPoints();
        }
        replot();
    } else {
        // A new range starts a new table and a new curve; its first reading
        // is shown but not stored.
        updatePanel(true);
        model->removeRows(0, model->rowCount());
        restartPlot(now);
        appendReadingRow(clock);
    }
    ui.tableView->scrollToBottom();
}

void TK52K_Comm::appendReadingRow(const QString &clock)
{
    QList<QStandardItem *> row{new QStandardItem(clock),
                               new QStandardItem(recordedValueText(*currentReading) + QLatin1Char(' ')
                                                 + currentReading->unitStr),
                               new QStandardItem(currentReading->funcStr)};
    for (QStandardItem *item : row)
        item->setTextAlignment(Qt::AlignCenter);
    model->appendRow(row);
    setReadingRoles(*model, row.first()->index(), *currentReading);
}

TkDataDas *TK52K_Comm::decodeFrame(QByteArray frame)
{
    const DecodedFrame decoded = decodeMeterFrame(frame);
    if (!decoded.valid)
        return nullptr;
    applyFramePanel(decoded);
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
    // A closed box is of no further use; a new one is made for every request.
    about->setAttribute(Qt::WA_DeleteOnClose);
    aboutForm = about;
    about->setFixedSize(297, 158);
    about->setWindowFlags(Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    about->setWindowModality(Qt::ApplicationModal);
    about->show();
}

void TK52K_Comm::doMenuManual()
{
    openManual(manualPath(), this);
}

// The store queues the reading and returns at once; its result is not
// needed here.
void TK52K_Comm::storeReading()
{
    db->insertRecord(currentReading);
}

void TK52K_Comm::setSamplingMode(bool automatic, uint seconds)
{
    autoflag = automatic;
    interval = seconds;
    armSampleTimer();
}

void TK52K_Comm::doMenuComm()
{
    auto *form = new CommSettingForm();
    commSettingForm = form;
    // Each request builds a fresh dialog with a fresh port list; the closed
    // one is of no further use.
    form->setAttribute(Qt::WA_DeleteOnClose);
    if (!chosenPortName.isEmpty())
        form->setCurrentPortName(chosenPortName);
    form->setFixedSize(243, 135);
    form->setWindowFlags(Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    form->setWindowModality(Qt::ApplicationModal);
    form->show();
    connect(form, &CommSettingForm::signalsPortNameEnter, this, &TK52K_Comm::doCommPortNameEnter);
    connect(form, &CommSettingForm::signalsBtnEnter, this, &TK52K_Comm::doCommSettingBtnEnter);
}

void TK52K_Comm::doCommPortNameEnter(const QString &portName)
{
    pendingPortName = portName;
}

void TK52K_Comm::doCommSettingBtnEnter(QSerialPortInfo info)
{
    portInfo = info;
    // A pseudo-terminal or a typed path has no QSerialPortInfo; then the name
    // the dialog sent just before is the port.
    if (!info.isNull()) {
        chosenPortName = info.portName();
        serialPort.setPort(info);
    } else {
        chosenPortName = pendingPortName;
        serialPort.setPortName(chosenPortName);
    }
    pendingPortName.clear();
    if (commSettingForm)
        commSettingForm->close();
    // A run in progress goes on with the port it opened and must stay
    // stoppable; the new port is used from the next start.
    if (!running) {
        ui.actionStart->setEnabled(true);
        ui.actionStop->setEnabled(false);
    }
}

void TK52K_Comm::choosePort(const QString &name)
{
    doCommPortNameEnter(name);
    doCommSettingBtnEnter(QSerialPortInfo(name));
}

void TK52K_Comm::showPortWarning()
{
    QMessageBox box(QMessageBox::Warning, tr("警告"), tr("请设置串口！"), QMessageBox::Ok);
    box.button(QMessageBox::Ok)->setText(tr("确 定"));
    box.exec();
}

void TK52K_Comm::doToolStart()
{
    // Without a port that opens, the previous run's table stays as it is.
    if (serialPort.portName().isEmpty() || !serialPort.open(QIODevice::ReadWrite)) {
        showPortWarning();
        return;
    }
    model->removeRows(0, model->rowCount());

    // The results are not checked: a port that refuses a setting stays open
    // with what it accepted.
    serialPort.setBaudRate(QSerialPort::Baud2400, QSerialPort::AllDirections);
    serialPort.setParity(QSerialPort::NoParity);
    serialPort.setDataBits(QSerialPort::Data8);
    serialPort.setStopBits(QSerialPort::OneStop);
    serialPort.setFlowControl(QSerialPort::NoFlowControl);
    serialPort.clearError();
    serialPort.clear(QSerialPort::AllDirections);
    // Opto-isolated meter cables draw their power from DTR, with RTS low. A
    // pseudo-terminal refuses both, which does no harm.
    serialPort.setDataTerminalReady(true);
    serialPort.setRequestToSend(false);
    rxBuffer.clear();

    armSampleTimer();
    running = true;
    linkTimer->start(kLinkTimeoutMs);
    statusLabel->setText(tr("已连接"));
    ui.actionStart->setEnabled(false);
    ui.actionStop->setEnabled(true);
    ui.actionTxt->setEnabled(false);
    ui.actionExcel->setEnabled(false);
    ui.actionPrint->setEnabled(false);

    clearPlotPoints();
    replot();
    connect(&serialPort, &QSerialPort::readyRead, this, &TK52K_Comm::readyReadSlot, Qt::UniqueConnection);
}

void TK52K_Comm::doToolStop()
{
    if (sampleTimerId != 0) {
        killTimer(sampleTimerId);
        // Forget the id: killing it again later would hit a dead timer.
        sampleTimerId = 0;
    }
    linkTimer->stop();
    running = false;
    statusLabel->setText(tr("未连接"));
    ui.actionStart->setEnabled(true);
    ui.actionStop->setEnabled(false);
    ui.actionTxt->setEnabled(true);
    ui.actionExcel->setEnabled(true);
    ui.actionPrint->setEnabled(true);
    serialPort.close();
}

void TK52K_Comm::readyReadSlot()
{
    rxBuffer.append(serialPort.readAll());
    boundRxBuffer(rxBuffer);
    showLinkIndicator(true);
    linkTimer->start(kLinkTimeoutMs);
}

void TK52K_Comm::doOverTimerSlot()
{
    endRun();
}

void TK52K_Comm::doSerialErrorSlot(QSerialPort::SerialPortError error)
{
    // The device went away (a cable pulled, the far end of a pty closed).
    // The port reports this again and again until it is closed, so the run
    // ends now rather than when the watchdog notices the silence.
    if (running && (error == QSerialPort::ReadError || error == QSerialPort::ResourceError))
        endRun();
}

// The meter fell silent or vanished: the run ends, the port is closed and
// the exports become available. The watchdog's work is done with it.
void TK52K_Comm::endRun()
{
    running = false;
    showLinkIndicator(false);
    ui.actionStart->setEnabled(true);
    ui.actionStop->setEnabled(false);
    ui.actionTxt->setEnabled(true);
    ui.actionExcel->setEnabled(true);
    ui.actionPrint->setEnabled(true);
    statusLabel->setText(tr("未连接"));
    serialPort.close();
    linkTimer->stop();
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
    printTable(model, tr("数据记录"), tableColumnWidths(ui.tableView), this,
               ExportBoxStyle::MainWindow);
}

void TK52K_Comm::setupPlot(const QDateTime &now)
{
    curve = setUpTrendPlot(ui.qwtPlot, now);
    // Tens of thousands of points a run: the curve reads the point vectors
    // in place.
    curveData = new PlotSeriesData(&xData, &yData);
    curve->setData(curveData);
    ui.qwtPlot->setAxisScale(QwtPlot::yLeft, 0, 800, 100);
}

void TK52K_Comm::giveCurveData()
{
    curveData->showSource();
    curve->itemChanged();
}

void TK52K_Comm::appendPlotPoint(const QDateTime &now)
{
    xData.append(double(plotBase.secsTo(now)));
    yData.append(currentReading->value);
    giveCurveData();
}

void TK52K_Comm::restartPlot(const QDateTime &now)
{
    clearPlotPoints();
    plotBase = now;
    setTrendPlotBase(ui.qwtPlot, plotBase);
    // A decoded reading always has a range 0-44; anything else keeps the
    // current scale rather than reading outside the table.
    if (const std::optional<RangeScale> scale = rangeScale(currentReading->rangeIndex))
        ui.qwtPlot->setAxisScale(QwtPlot::yLeft, scale->lower, scale->upper, scale->step);
    xData.append(0.0);
    yData.append(currentReading->value);
    giveCurveData();
    replot();
}

void TK52K_Comm::clearPlotPoints()
{
    // The curve takes the points over, so it shows them until it is given
    // new ones; the vectors are empty either way.
    curveData->hold(std::move(xData), std::move(yData));
    xData.clear();
    yData.clear();
}

void TK52K_Comm::replot()
{
    ui.qwtPlot->replot();
}

void TK52K_Comm::initPanel()
{
    // The designer numbered the segments pushButton, pushButton_2 … _61 from
    // the left, and the ticks _125 … _184 plus _186.
    auto cell = [this](const QString &name) {
        auto *button = ui.groupBox->findChild<QPushButton *>(name, Qt::FindDirectChildrenOnly);
        Q_ASSERT_X(button, "initPanel", qPrintable(name));
        return button;
    };
    for (int i = 0; i < 61; ++i)
        barCells[i] = cell(i == 0 ? QStringLiteral("pushButton") : QStringLiteral("pushButton_%1").arg(i + 1));
    for (int i = 0; i < 60; ++i)
        barTicks[i] = cell(QStringLiteral("pushButton_%1").arg(125 + i));
    barTicks[60] = ui.pushButton_186;

    // Before the first frame the panel shows every segment, like the meter
    // does for a moment when it is switched on.
    showBarGraph(true);
    for (QPushButton *c : barCells)
        c->show();
}

void TK52K_Comm::showBarGraph(bool on)
{
    for (QPushButton *c : barCells)
        c->hide();
    for (QPushButton *t : barTicks)
        t->setVisible(on);
    for (QLabel *n : {ui.label, ui.label_2, ui.label_3, ui.label_4, ui.label_5, ui.label_6, ui.label_7})
        n->setVisible(on);
    ui.pushButton_62->hide();
    ui.pushButton_63->hide();
    ui.pushButton_64->hide();
}

void TK52K_Comm::setBarLevel(int level)
{
    const int last = level < 61 ? level : 60;
    for (int i = 0; i <= last; ++i)
        barCells[i]->show();
    if (level >= 61) {
        ui.pushButton_63->show();
        ui.pushButton_64->show();
    }
}

void TK52K_Comm::applyFramePanel(const DecodedFrame &f)
{
    const PanelBits &p = f.panel;
    ui.AutoLabel->setVisible(p.autoRange);
    ui.RelLabel->setVisible(p.rel);
    ui.HoldLabel->setVisible(p.hold);
    if (p.barOn) {
        showBarGraph(true);
        ui.pushButton_62->setVisible(p.barNegative);
        setBarLevel(p.barLevel);
    } else {
        showBarGraph(false);
    }
    ui.MaxLabel->setVisible(p.max);
    ui.MinLabel->setVisible(p.min);
    ui.ApoLabel->setVisible(p.apo);
    ui.BatLabel->setVisible(p.bat);
    ui.NegPushButton->setVisible(f.negative);
}

void TK52K_Comm::updatePanel(bool rangeChanged)
{
    const TkDataDas &r = *currentReading;
    ui.label_8->setText(panelValueText(r));
    updateExtremes(*extremes, r, rangeChanged);
    ui.maxLineEdit->setText(maxFieldText(*extremes));
    ui.minLineEdit->setText(minFieldText(*extremes));
    ui.FuncLabel->setText(r.funcStr);
    ui.UnitLabel->setText(r.unitStr);
    if (!rangeChanged)
        ui.NegPushButton->setVisible(r.negative);
}

void TK52K_Comm::showLinkIndicator(bool on)
{
    ui.CommLabel->setVisible(on);
}

void TK52K_Comm::doMenuTime()
{
    auto *form = new TimeSettingForm(autoflag, interval);
    timeSettingForm = form;
    form->setFixedSize(355, 235);
    form->setWindowFlags(Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    form->setWindowModality(Qt::ApplicationModal);
    form->show();
    connect(form, &TimeSettingForm::signalsBtnEnter, this, &TK52K_Comm::doTimeSettingBtnEnter);
}

void TK52K_Comm::doTimeSettingBtnEnter(bool autoflag, uint interval)
{
    this->autoflag = autoflag;
    this->interval = interval;
    armSampleTimer();
    if (timeSettingForm)
        timeSettingForm->close();
}
