#include "signalquitter.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_fds[2] = {-1, -1};

void onSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    // Nothing else is async-signal-safe here; a full socket only drops the
    // repeat of a signal that is already on its way.
    [[maybe_unused]] const ssize_t n = ::write(g_fds[0], &byte, 1);
}

const int kSignals[] = {SIGTERM, SIGINT};
} // namespace

SignalQuitter::SignalQuitter(QObject *parent) : QObject(parent)
{
    if (g_fds[0] != -1 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, g_fds) != 0)
        return;
    m_notifier = new QSocketNotifier(g_fds[1], QSocketNotifier::Read, this);
    m_active = true;
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalQuitter::readSignal);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals)
        sigaction(s, &action, nullptr);
}

SignalQuitter::~SignalQuitter()
{
    if (!m_notifier)
        return;
    for (int s : kSignals)
        std::signal(s, SIG_DFL);
    delete m_notifier;
    m_notifier = nullptr;
    ::close(g_fds[0]);
    ::close(g_fds[1]);
    g_fds[0] = g_fds[1] = -1;
}

void SignalQuitter::readSignal()
{
    unsigned char byte = 0;
    if (::read(g_fds[1], &byte, 1) != 1)
        return;
    // A second signal during the orderly exit ends the program at once.
    for (int s : kSignals)
        std::signal(s, SIG_DFL);
    emit signalReceived(byte);
    QCoreApplication::quit();
}

#elif defined(Q_OS_WIN)
#include <QMetaObject>

#include <csignal>

#include <qt_windows.h>

// The console calls the handler on a thread of its own. Ctrl+C and
// Ctrl+Break ask the event loop to end; closing the console window, logging
// off and shutting down end the process as soon as the handler returns, so
// the handler waits (the system allows about five seconds) until the
// orderly exit has come through.
namespace {
SignalQuitter *g_quitter = nullptr;
HANDLE g_finished = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int number = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    SignalQuitter *quitter = g_quitter;
    QMetaObject::invokeMethod(
        quitter, [quitter, number] { emit quitter->signalReceived(number); }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        WaitForSingleObject(g_finished, 4500);
    return TRUE;
}
} // namespace

SignalQuitter::SignalQuitter(QObject *parent) : QObject(parent)
{
    if (g_quitter)
        return;
    g_quitter = this;
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_active = SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

SignalQuitter::~SignalQuitter()
{
    if (g_quitter != this)
        return;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    SetEvent(g_finished);
    g_quitter = nullptr;
}

void SignalQuitter::readSignal() {}

#else

SignalQuitter::SignalQuitter(QObject *parent) : QObject(parent) {}

SignalQuitter::~SignalQuitter() = default;

void SignalQuitter::readSignal() {}

#endif
