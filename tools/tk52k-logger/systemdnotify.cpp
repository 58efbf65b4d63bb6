#include "systemdnotify.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
// No service manager listens on Windows, where the logger runs from a
// console or the Task Scheduler: every call does nothing, as without
// NOTIFY_SOCKET.
namespace {
int sd_watchdog_enabled(int, uint64_t *)
{
    return 0;
}
int sd_notify(int, const char *)
{
    return 0;
}
} // namespace
#else
#include <systemd/sd-daemon.h>
#endif

namespace {
// STATUS= takes one line.
QByteArray oneLine(const QString &text)
{
    QByteArray line = text.toUtf8();
    line.replace('\n', ' ');
    return line;
}
} // namespace

SystemdNotify::SystemdNotify(QObject *parent) : QObject(parent)
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Three pings a period: one late wake-up of a busy board is no hang.
        m_watchdog.setInterval(int(qBound<uint64_t>(1, usec / 3000, 3600 * 1000)));
        m_watchdog.setTimerType(Qt::CoarseTimer);
        connect(&m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
    }
}

void SystemdNotify::ready(const QString &status)
{
    send("READY=1\nSTATUS=" + oneLine(status));
    if (m_watchdog.interval() > 0)
        m_watchdog.start();
}

void SystemdNotify::status(const QString &status)
{
    send("STATUS=" + oneLine(status));
}

void SystemdNotify::stopping(const QString &status)
{
    m_watchdog.stop();
    send("STOPPING=1\nSTATUS=" + oneLine(status));
}

int SystemdNotify::watchdogPeriodMs() const
{
    return m_watchdog.interval();
}

void SystemdNotify::send(const QByteArray &state)
{
    // Without NOTIFY_SOCKET this returns at once.
    sd_notify(0, state.constData());
}
