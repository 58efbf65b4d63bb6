#pragma once

#include "ui_tk52k_comm.h"

#include <QByteArray>
#include <QDateTime>
#include <QMainWindow>
#include <QPointer>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSqlDatabase>
#include <QVector>

#include <array>

struct DecodedFrame;
class QLabel;
class database;
class maxdatabase;
class QPushButton;
class QStandardItemModel;
class QTimer;
class QwtPlotCurve;
class PlotSeriesData;
class TkDataDas;

/// The main window: front panel, reading table, live plot, and the receiver
/// of every menu and tool-bar command.
class TK52K_Comm : public QMainWindow
{
    Q_OBJECT

public:
    explicit TK52K_Comm(QWidget *parent = nullptr);
    ~TK52K_Comm() override;

    /// Decodes one meter frame. An invalid frame returns nullptr and leaves
    /// the panel alone; a valid one switches the panel's annunciators, bar
    /// graph and minus sign and returns a new reading parented to the window,
    /// stamped with the current local time. The caller takes the reading over.
    TkDataDas *decodeFrame(QByteArray frame);

    /// Chooses the meter's port by a listed port name or a device path, as
    /// confirming the port dialog does (the command line's --port).
    void choosePort(const QString &name);

    /// Sets the sampling mode (automatic: every frame, about every 60 ms;
    /// otherwise every `seconds` seconds) and re-arms the sampling timer.
    void setSamplingMode(bool automatic, uint seconds);

public slots:
    void doMenuExit();
    void doMenuAbout();
    void doMenuManual();
    void doMenuHis();
    void doMenuComm();
    void doMenuTime();
    void doToolStart();
    void doToolStop();
    void doToolTxt();
    void doToolExcel();
    void doToolPrint();
    void doCommSettingBtnEnter(QSerialPortInfo info);
    void readyReadSlot();
    void doTimeSettingBtnEnter(bool autoflag, uint interval);
    void doHisSettingBtnEnter(QDateTime startTime, QDateTime stopTime);
    void doOverTimerSlot();
    /// The port dialog's choice as typed or picked; arrives just before
    /// doCommSettingBtnEnter and names the port when no QSerialPortInfo can.
    void doCommPortNameEnter(const QString &portName);

private slots:
    void doSerialErrorSlot(QSerialPort::SerialPortError error);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void armSampleTimer();

    // Live plot. The tick appends a point while the range continues and
    // restarts the curve when it changes.
    void setupPlot(const QDateTime &now);
    /// Appends (seconds from plotBase to now, currentReading->value) and
    /// gives the curve the points; the caller replots.
    void appendPlotPoint(const QDateTime &now);
    /// New origin at now, y scale of currentReading's range, the single
    /// point (0, value); replots.
    void restartPlot(const QDateTime &now);
    /// Empties xData and yData without giving them to the curve, which keeps
    /// showing its points until the next one arrives.
    void clearPlotPoints();
    void replot();
    void giveCurveData();

    friend class tst_LivePlot;
    friend class TickBench;

    // Front panel. The panel is a mimic of the meter's display built from
    // widgets that are shown for a lit segment and hidden for a dark one.
    void initPanel();
    /// on: ticks and scale numbers shown, every segment and sign hidden
    /// (ready for setBarLevel); off: the whole bar graph dark.
    void showBarGraph(bool on);
    /// Lights segments 0..level; a level above 60 lights all and the plus mark.
    void setBarLevel(int level);
    /// Annunciators, bar graph and minus sign from a valid frame.
    void applyFramePanel(const DecodedFrame &f);
    /// Digits, extremes, function and unit from currentReading, which the
    /// tick has just replaced; `rangeChanged` restarts the extremes.
    void updatePanel(bool rangeChanged);
    /// The link annunciator: lit while bytes arrive.
    void showLinkIndicator(bool on);

    friend class tst_Panel;
    friend class tst_TimeSetting;

    void endRun();
    void showPortWarning();
    void appendReadingRow(const QString &clock);
    /// Hands currentReading to the record store.
    void storeReading();

    int sampleTimerId = 0;
    Ui::TK52KCommClass ui;
    QSerialPortInfo portInfo;
    QSerialPort serialPort;
    QByteArray rxBuffer;
    QByteArray frameBuffer;
    bool autoflag = true;
    unsigned int interval = 1;
    bool running = false;
    QTimer *linkTimer = nullptr;
    QString chosenPortName;  ///< the port as chosen: a listed name or a device path
    QString pendingPortName; ///< name from the dialog, taken by doCommSettingBtnEnter
    QDateTime historyStart;
    QDateTime historyStop;
    QStandardItemModel *model = nullptr;
    std::array<QPushButton *, 61> barCells{};
    std::array<QPushButton *, 61> barTicks{};
    QPointer<QWidget> aboutForm;
    QPointer<QWidget> hisSettingForm;
    QPointer<QWidget> commSettingForm;
    QPointer<QWidget> hisViewForm;
    QPointer<QWidget> timeSettingForm;
    TkDataDas *currentReading = nullptr;
    maxdatabase *extremes = nullptr;
    QwtPlotCurve *curve = nullptr;
    PlotSeriesData *curveData = nullptr; // owned by curve
    QVector<double> xData;
    QVector<double> yData;
    QDateTime plotBase;
    QLabel *timeLabel = nullptr;
    QLabel *statusLabel = nullptr;
    database *db = nullptr;
    QLabel *dbStateLabel = nullptr;
};
