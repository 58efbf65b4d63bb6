#pragma once

#include "ui_tk52k_comm.h"

#include "core/meter/serialport.h"

#include <QByteArray>
#include <QDateTime>
#include <QMainWindow>
#include <QPointer>

#include <memory>

struct MeterReading;
class FrontPanel;
class LivePlot;
class MeterSession;
class RunMonitor;
class QLabel;
class database;
class RecordStore;
class LiveReadingModel;
class PasswordStore;
class TkDataDas;

/// The main window: front panel, reading table, live plot, and the receiver
/// of every menu and tool-bar command. The meter itself is the session's; the
/// window shows what the session reports.
class TK52K_Comm : public QMainWindow
{
    Q_OBJECT

public:
    /// Records into a `database` on the configured server.
    explicit TK52K_Comm(QWidget *parent = nullptr);
    /// Records into `store`, which the window takes over (a test's own
    /// store where the server is not the point).
    explicit TK52K_Comm(RecordStore *store, QWidget *parent = nullptr);
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
    /// otherwise every `seconds` seconds).
    void setSamplingMode(bool automatic, uint seconds);

    /// Whether runs outlive a silent or unplugged meter (the 设置 menu's
    /// checkable action, remembered; --resume sets it for one program run).
    void setResuming(bool on);

    /// Whether the live curve, table and statistics go on across the range
    /// changes of one function, the curve in the function's base unit (the
    /// 设置 menu's checkable action, remembered; off by default: a new range
    /// starts them anew on the range's own scale). The trace on screen
    /// changes unit at once; the session stores as before.
    void setContinuousTrace(bool on);
    bool isContinuousTrace() const { return m_continuousTrace; }

    MeterSession *session() const { return m_session; }
    FrontPanel *frontPanel() const { return m_panel; }
    LivePlot *livePlot() const { return m_plot.get(); }
    RunMonitor *runMonitor() const { return m_monitor; }
    RecordStore *store() const { return m_store; }

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
    void doCommSettingBtnEnter(SerialPortInfo info);
    /// Bytes from the meter: the link annunciator lights.
    void readyReadSlot();
    void doTimeSettingBtnEnter(bool autoflag, uint interval);
    void doHisSettingBtnEnter(QDateTime startTime, QDateTime stopTime);
    /// The line fell silent or went away: the run is over.
    void doOverTimerSlot();
    /// The port dialog's choice as typed or picked; arrives just before
    /// doCommSettingBtnEnter and names the port when no SerialPortInfo can.
    void doCommPortNameEnter(const QString &portName);
    /// 文件 → 本次采集的历史记录: a history window on the latest run's time
    /// (up to now while it goes on) and meter, since the table holds only
    /// the present range.
    void doMenuRunHistory();

protected:
    /// The clock label's tick, at the sampling period while a run can take
    /// readings (at each new second when sampling is faster).
    void timerEvent(QTimerEvent *event) override;

private:
    void armClock();
    /// The keys of the commands (start F5, stop Shift+F5, history Ctrl+H,
    /// exports Ctrl+T, Ctrl+E, Ctrl+Shift+C, print, manual and quit the
    /// platform's keys).
    void setupKeys(QAction *csvAction);
    void setupResume();
    void setupTrace();
    /// What a resuming run is waiting for, in the status bar.
    void showWaiting();
    /// Whether the trace goes on from `previous` into `next` of another range.
    bool goesOnAcross(const MeterReading &previous, const MeterReading &next) const;
    /// The factor that takes a reading's value into the trace's unit.
    double traceScale(const MeterReading &reading) const;
    void showReading(const MeterReading &reading, bool newRange);
    void showRunStarted();
    void showRunEnded();
    void setRunActions(bool running);
    void showPortWarning();

    int sampleTimerId = 0;
    Ui::TK52KCommClass ui;
    SerialPortInfo portInfo;
    MeterSession *m_session = nullptr;
    FrontPanel *m_panel = nullptr; ///< ui.frontPanel
    std::unique_ptr<LivePlot> m_plot;
    RunMonitor *m_monitor = nullptr;
    std::unique_ptr<PasswordStore> m_passwords; ///< where the database password is kept
    QString pendingPortName; ///< name from the dialog, taken by doCommSettingBtnEnter
    QDateTime historyStart;
    QDateTime historyStop;
    LiveReadingModel *model = nullptr;
    QPointer<QWidget> aboutForm;
    QPointer<QWidget> hisSettingForm;
    QPointer<QWidget> commSettingForm;
    QPointer<QWidget> hisViewForm;
    QPointer<QWidget> timeSettingForm;
    TkDataDas *currentReading = nullptr;
    QLabel *timeLabel = nullptr;
    QLabel *statusLabel = nullptr;
    database *db = nullptr;         ///< the store, when it is one on a server
    RecordStore *m_store = nullptr; ///< the store readings and alarms go to
    QLabel *dbStateLabel = nullptr;
    QAction *resumeAction = nullptr;
    QAction *m_traceAction = nullptr;
    bool m_continuousTrace = false;
    QDateTime m_runStart;        ///< of the latest run; null before the first
    QDateTime m_runStop;         ///< null while it goes on
    bool m_runGotBytes = false;  ///< whether the meter sent anything in it
};
