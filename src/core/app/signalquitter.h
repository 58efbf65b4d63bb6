#pragma once

#include <QObject>

class QSocketNotifier;

/// Ends the event loop on SIGTERM and SIGINT the same way the window's exit
/// command does, so pending work (the record store's queue) is finished or
/// saved instead of being cut off. The signal handler only writes a byte into
/// a socket pair; the rest runs in the event loop. On Windows the console's
/// Ctrl+C (SIGINT) and Ctrl+Break, closing the console, logging off and
/// shutting down (SIGTERM) do the same. One instance at a time.
class SignalQuitter : public QObject
{
    Q_OBJECT

public:
    explicit SignalQuitter(QObject *parent = nullptr);
    ~SignalQuitter() override;

    /// Whether the handlers are installed.
    bool isActive() const { return m_active; }

signals:
    /// A signal arrived; QCoreApplication::quit() follows.
    void signalReceived(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
    bool m_active = false;
};
