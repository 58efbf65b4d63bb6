#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

/// Tells the service manager how the logger is (sd_notify(3)): READY once it
/// logs, a STATUS line, STOPPING when it ends, and, while the unit asks for
/// them (WatchdogSec=), WATCHDOG pings from the event loop, so a logger whose
/// loop hangs is killed and started again. Where systemd did not start the
/// program (no NOTIFY_SOCKET) every call does nothing.
class SystemdNotify : public QObject
{
    Q_OBJECT

public:
    explicit SystemdNotify(QObject *parent = nullptr);

    /// The run has begun; `status` is shown by `systemctl status`.
    void ready(const QString &status);
    void status(const QString &status);
    void stopping(const QString &status);

    /// Time between two watchdog pings; 0 when the unit asks for none.
    int watchdogPeriodMs() const;

private:
    void send(const QByteArray &state);

    QTimer m_watchdog;
};
