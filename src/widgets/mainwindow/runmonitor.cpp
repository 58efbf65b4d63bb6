#include "runmonitor.h"

#include "widgets/dialogs/alarmsettingform.h"
#include "widgets/dialogs/tooldialog.h"
#include "widgets/panel/frontpanel.h"
#include "core/meter/alarmwatch.h"
#include "core/meter/meterreading.h"
#include "widgets/panel/statsbox.h"
#include "core/store/recordstore.h"

#include <QApplication>
#include <QBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTimer>

RunMonitor::RunMonitor(FrontPanel &panel, QStatusBar *statusBar, QBoxLayout *statsLayout, RecordStore *store,
                       QObject *parent)
    : QObject(parent), m_panel(panel), m_box(new StatsBox), m_alarms(new AlarmWatch(this)), m_store(store),
      m_alarmLabel(new QLabel(statusBar)),
      m_boxTimer(new QTimer(this))
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

void RunMonitor::showReading(const MeterReading &r, bool newRange)
{
    const bool first = !hasQuantity();
    if (newRange)
        m_stats.reset();
    if (r.overload)
        m_stats.addOverload();
    else
        m_stats.add(r.value, r.time);
    m_unit = r.unitStr;
    if (newRange || !m_sinceShown.isValid() || m_sinceShown.elapsed() >= kStatisticsIntervalMs)
        showStatistics();
    else if (!m_boxTimer->isActive())
        m_boxTimer->start(int(2 * kStatisticsIntervalMs - m_sinceShown.elapsed()));
    m_alarms->feed(r);
    if (first)
        emit quantityKnown();
}

void RunMonitor::showStatistics()
{
    m_box->setStatistics(m_stats, m_unit);
    m_sinceShown.start();
    m_boxTimer->stop();
}

bool RunMonitor::hasQuantity() const
{
    return !m_alarms->function().isEmpty();
}

void RunMonitor::openAlarmDialog()
{
    if (!hasQuantity())
        return;
    if (m_dialog) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    const QString function = m_alarms->function();
    const QString unit = m_alarms->unit();
    auto *form = new AlarmSettingForm(function, unit);
    m_dialog = form;
    showToolDialog(form, form->size());
    connect(form, &AlarmSettingForm::signalsBtnEnter, this,
            [this, form, function, unit](const AlarmLimits &limits) {
                m_alarms->setLimits(function, unit, limits);
                form->close();
            });
}

void RunMonitor::addAlarmAction(QMenu *settingsMenu)
{
    settingsMenu->addSeparator();
    QAction *action = settingsMenu->addAction(tr("报警设置"), this, &RunMonitor::openAlarmDialog);
    action->setObjectName(QStringLiteral("actionSettingAlarm"));
    // The band belongs to a quantity: there is none before the first reading.
    action->setEnabled(hasQuantity());
    connect(this, &RunMonitor::quantityKnown, action, [action] { action->setEnabled(true); });
}

void RunMonitor::showAlarmState()
{
    const bool raised = m_alarms->isRaised();
    m_panel.showAlarm(raised);
    m_alarmLabel->setText(m_alarms->statusText());
    m_alarmLabel->setVisible(raised);
}

AlarmSettingForm *RunMonitor::alarmDialog() const
{
    return m_dialog;
}
