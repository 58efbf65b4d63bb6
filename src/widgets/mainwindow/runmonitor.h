#pragma once

#include "core/meter/runstatistics.h"

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
/// statistics since the last range change, and the alarm band of the
/// quantity on the panel (red digits, a status-bar note, the bell, and each
/// raise and clear kept in the database).
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

    /// One reading as the panel shows it; a new range starts new statistics.
    void showReading(const MeterReading &reading, bool newRange);

    /// Opens the alarm band dialog of the quantity on the panel (one at a
    /// time); does nothing before the first reading.
    void openAlarmDialog();
    /// Adds the command that opens it at the end of `settingsMenu`, after a
    /// separator; it is enabled from the first reading on.
    void addAlarmAction(QMenu *settingsMenu);
    /// Whether there is a quantity whose band the dialog can set.
    bool hasQuantity() const;

    const RunStatistics &statistics() const { return m_stats; }
    StatsBox *statsBox() const { return m_box; }
    AlarmWatch *alarms() const { return m_alarms; }
    /// The open alarm band dialog, if any.
    AlarmSettingForm *alarmDialog() const;

signals:
    /// The first reading arrived: hasQuantity() became true.
    void quantityKnown();

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
    QElapsedTimer m_sinceShown; ///< since the box last showed the figures
    QPointer<AlarmSettingForm> m_dialog;
};
