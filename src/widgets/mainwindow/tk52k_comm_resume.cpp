// The main window's resuming runs: the 设置 menu's switch, and what the
// window shows while a run waits for a silent or unplugged meter.
#include "tk52k_comm.h"

#include "widgets/panel/frontpanel.h"
#include "core/meter/metersession.h"

#include <QAction>
#include <QLabel>
#include <QSettings>

namespace {
const char *const kResumeKey = "meter/resume";
} // namespace

void TK52K_Comm::setupResume()
{
    resumeAction = new QAction(tr("断线后继续采集(&K)"), this);
    resumeAction->setObjectName(QStringLiteral("actionResume"));
    resumeAction->setCheckable(true);
    ui.menu_2->addSeparator();
    ui.menu_2->addAction(resumeAction);
    // Only the user's own choice is remembered, not --resume's.
    connect(resumeAction, &QAction::triggered, this, [this](bool on) {
        QSettings().setValue(QLatin1String(kResumeKey), on);
        m_session->setResuming(on);
    });
    setResuming(QSettings().value(QLatin1String(kResumeKey), false).toBool());

    connect(m_session, &MeterSession::linkChanged, this, [this](bool up) {
        if (!m_session->isRunning())
            return;
        if (up) {
            m_panel->showStale(false);
            statusLabel->setText(tr("已连接"));
            return;
        }
        m_panel->showStale(true);
        showWaiting();
    });
    // A silent meter whose port then goes away, or a port that comes back
    // before the meter sends: the same wait, told anew.
    connect(m_session, &MeterSession::portError, this, [this] {
        if (m_session->isRunning() && !m_session->isLinkUp())
            showWaiting();
    });
    connect(m_session, &MeterSession::portReopened, this, [this] {
        if (m_session->isRunning() && !m_session->isLinkUp())
            showWaiting();
    });
    connect(m_session, &MeterSession::runEnded, this, [this] { m_panel->showStale(false); });
}

void TK52K_Comm::showWaiting()
{
    if (m_session->isWaitingForPort()) {
        statusLabel->setText(tr("串口已断开，正在重连"));
        return;
    }
    const QDateTime since = m_session->linkLostSince();
    const QString format = since.date() == QDate::currentDate() ? QStringLiteral("hh:mm:ss")
                                                                : QStringLiteral("yyyy-MM-dd hh:mm:ss");
    statusLabel->setText(tr("仪表无数据（%1 起）").arg(since.toString(format)));
}

void TK52K_Comm::setResuming(bool on)
{
    resumeAction->setChecked(on);
    m_session->setResuming(on);
}
