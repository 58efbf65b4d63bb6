#include "runmonitor.h"

#include "core/history/historyrange.h"
#include "core/meter/alarmwatch.h"
#include "core/meter/baseunit.h"
#include "core/meter/meterreading.h"
#include "core/store/recordstore.h"
#include "widgets/dialogs/alarmsettingform.h"
#include "widgets/dialogs/tooldialog.h"
#include "widgets/panel/frontpanel.h"
#include "widgets/panel/statsbox.h"

#include <QApplication>
#include <QBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <cmath>

RunMonitor::RunMonitor(FrontPanel &panel, QStatusBar *statusBar, QBoxLayout *statsLayout, RecordStore *store,
                       QObject *parent)
    : QObject(parent), m_panel(panel), m_box(new StatsBox), m_alarms(new AlarmWatch(this)), m_store(store),
      m_alarmLabel(new QLabel(statusBar)), m_boxTimer(new QTimer(this))
{
    statsLayout->addWidget(m_box);
    m_alarmLabel->setObjectName(QStringLiteral("alarmLabel"));
    m_alarmLabel->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    m_alarmLabel->hide();
    statusBar->addWidget(m_alarmLabel);

    // The store writes on its own thread and queues while the server is away.
    connect(m_alarms, &AlarmWatch::eventOccurred, m_store, &RecordStore::recordAlarm);
    connect(m_alarms, &AlarmWatch::raised, this, [] { QApplication::beep(); });
    connect(m_alarms, &AlarmWatch::stateChanged, this, &RunMonitor::showAlarmState);

    // Every new figure makes the box measure its selectable texts and lay
    // itself out again, a good part of the window's work at the meter's 17
    // readings a second; nobody reads the figures faster than a few times a
    // second. The reading that ends the interval shows them (painted with
    // the rest of what it changes); the timer shows the last ones when
    // readings stop.
    m_boxTimer->setSingleShot(true);
    connect(m_boxTimer, &QTimer::timeout, this, &RunMonitor::showStatistics);
}

RunMonitor::~RunMonitor()
{
    if (m_dialog)
        m_dialog->close();
}

void RunMonitor::showReading(const MeterReading &r, bool restart)
{
    const BaseUnit base = baseUnitOf(r.unitStr);
    if (restart) {
        m_stats.reset();
        m_firstTime = r.time;
        m_baseDecimals = -1;
    }
    m_baseUnit = base.unit;
    if (r.decimals >= 0)
        m_baseDecimals =
            std::max(m_baseDecimals, std::max(0, r.decimals + int(std::lround(-std::log10(base.factor)))));
    if (r.overload)
        m_stats.addOverload();
    else
        m_stats.add(r.value * base.factor, r.time);
    m_unit = r.unitStr;
    m_factor = base.factor;
    m_decimals = r.decimals;
    m_lastTime = r.time;
    if (restart || !m_sinceShown.isValid() || m_sinceShown.elapsed() >= kStatisticsIntervalMs)
        showStatistics();
    else if (!m_boxTimer->isActive())
        m_boxTimer->start(int(2 * kStatisticsIntervalMs - m_sinceShown.elapsed()));
    m_alarms->feed(r);
    // A new run shows the band's state even where the watch has nothing new to say.
    if (!m_alarmShown) {
        m_alarmShown = true;
        showAlarmState();
    }
}

void RunMonitor::endRun()
{
    m_alarmShown = false;
    m_panel.showAlarm(false);
    m_alarmLabel->hide();
}

QString RunMonitor::maxFieldText() const
{
    if (m_stats.count() == 0)
        return QString();
    return QString::number(m_stats.max(), 'f', std::max(0, m_baseDecimals)) + m_baseUnit;
}

QString RunMonitor::minFieldText() const
{
    if (m_stats.count() == 0)
        return QString();
    return QString::number(m_stats.min(), 'f', std::max(0, m_baseDecimals)) + m_baseUnit;
}

void RunMonitor::showStatistics()
{
    StatsFormat format;
    format.unit = m_unit;
    format.decimals = m_decimals;
    format.scale = 1.0 / m_factor;
    format.withDate = spansSeveralDays(m_firstTime, m_lastTime);
    m_box->setStatistics(m_stats, format);
    m_sinceShown.start();
    m_boxTimer->stop();
}

void RunMonitor::openAlarmDialog()
{
    if (m_dialog) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    auto *form = new AlarmSettingForm(m_alarms->function(), m_alarms->unit());
    m_dialog = form;
    showToolDialog(form, form->size());
    connect(form, &AlarmSettingForm::signalsBtnEnter, this,
            [this, form](const QString &function, const QString &unit, const AlarmLimits &limits) {
                m_alarms->setLimits(function, unit, limits);
                form->close();
            });
}

void RunMonitor::addAlarmAction(QMenu *settingsMenu)
{
    settingsMenu->addSeparator();
    QAction *action = settingsMenu->addAction(tr("报警设置(&A)"), this, &RunMonitor::openAlarmDialog);
    action->setObjectName(QStringLiteral("actionSettingAlarm"));
}

void RunMonitor::showAlarmState()
{
    if (!m_alarmShown)
        return;
    const bool raised = m_alarms->isRaised();
    m_panel.showAlarm(raised);
    m_alarmLabel->setText(m_alarms->statusText());
    m_alarmLabel->setVisible(raised);
}

AlarmSettingForm *RunMonitor::alarmDialog() const
{
    return m_dialog;
}
