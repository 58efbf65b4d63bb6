#pragma once

#include "core/meter/runstatistics.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

class RecordStore;
class AlarmSettingForm;
class AlarmWatch;
class FrontPanel;
class QBoxLayout;
class QLabel;
class QMenu;
class QStatusBar;
class QTimer;
class StatsBox;
struct MeterReading;

/// What the main window shows about a run besides the reading itself: the
/// statistics since the last range change (or since the trace began, when
/// it goes on across ranges), and the alarm band of the quantity on the
/// panel (red digits, a status-bar note, the bell, and each raise and clear
/// kept in the database).
class RunMonitor : public QObject
{
    Q_OBJECT

public:
    /// The statistics box goes at the end of `statsLayout`, the alarm note
    /// into `statusBar`; alarm events are kept by `store`.
    RunMonitor(FrontPanel &panel, QStatusBar *statusBar, QBoxLayout *statsLayout, RecordStore *store,
               QObject *parent = nullptr);
    ~RunMonitor() override;

    /// The statistics box shows the figures at most once in this many ms
    /// (the figures of a new range at once); figures left waiting show at
    /// most twice that after the last showing.
    static constexpr int kStatisticsIntervalMs = 250;

    /// One reading as the panel shows it; `restart` starts new statistics
    /// (a new range, unless the trace goes on across it). The figures are
    /// kept in the base unit of the readings (V for mV and V) and shown in
    /// the unit and resolution of the newest reading.
    void showReading(const MeterReading &reading, bool restart);

    /// The run ended: the alarm's red digits and note go (its events are
    /// kept). The next run's first reading shows the band's state anew.
    void endRun();

    /// The highest and lowest reading of the figures, in their base unit
    /// and the finest resolution they came in, as the extremes' fields show
    /// values ("0.6120V"); empty while the figures hold no value.
    QString maxFieldText() const;
    QString minFieldText() const;

    /// Opens the alarm band dialog (one at a time), on the quantity on the
    /// panel when there is one.
    void openAlarmDialog();
    /// Adds the command that opens it at the end of `settingsMenu`, after a
    /// separator.
    void addAlarmAction(QMenu *settingsMenu);

    const RunStatistics &statistics() const { return m_stats; }
    StatsBox *statsBox() const { return m_box; }
    AlarmWatch *alarms() const { return m_alarms; }
    /// The open alarm band dialog, if any.
    AlarmSettingForm *alarmDialog() const;

private:
    void showAlarmState();
    void showStatistics();

    FrontPanel &m_panel;
    RunStatistics m_stats;
    StatsBox *m_box;
    AlarmWatch *m_alarms;
    RecordStore *m_store;
    QLabel *m_alarmLabel;
    QTimer *m_boxTimer;
    QString m_unit;
    double m_factor = 1.0; ///< of m_unit in the base unit the figures are kept in
    int m_decimals = -1;
    QString m_baseUnit;
    int m_baseDecimals = -1; ///< the finest of the figures' readings, in the base unit
    bool m_alarmShown = true; ///< false from the end of a run to the next reading
    QDateTime m_firstTime;    ///< of the first reading in the figures
    QDateTime m_lastTime;
    QElapsedTimer m_sinceShown; ///< since the box last showed the figures
    QPointer<AlarmSettingForm> m_dialog;
};
