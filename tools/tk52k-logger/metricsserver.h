#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace httplib {
class Server;
}

/// What /metrics shows. The logger's main thread fills it in; the server's
/// threads only read copies.
struct MetricsSnapshot
{
    QString source;     ///< the meter's name in the table
    QString port;       ///< its serial port
    qint64 startMs = 0; ///< when the run began, ms since the epoch
    qint64 taken = 0;
    qint64 written = 0;
    qint64 quarantined = 0;
    qint64 notStored = 0; ///< first readings of a range: shown, never stored
    int waiting = 0;
    qint64 journalBytes = 0;
    bool linkUp = false;
    bool databaseUp = false;
    bool alarmActive = false;
    /// The newest reading, when there is one (lastReadingMs > 0), in its
    /// function's base unit whatever the range: V, A, Ω, F, Hz, %, ℃, ℉, or
    /// none (hFE).
    QString function;
    QString unit;
    double value = 0; ///< ±infinity for an overload
    qint64 lastReadingMs = 0;
};

/// The logger's health in Prometheus' text format on GET /metrics, served by
/// cpp-httplib on threads of its own from the newest snapshot handed to
/// update(). Nothing listens until listen() succeeds.
class MetricsServer
{
public:
    MetricsServer();
    /// Stops listening and waits for the server's threads.
    ~MetricsServer();

    /// Reads --metrics: "PORT" (loopback), "ADDRESS:PORT" or "[IPv6]:PORT".
    /// False for anything else, leaving the outputs alone.
    static bool parseAddress(const QString &text, QString *host, int *port);

    /// Binds `host`:`port` and starts serving; false with `error` set when
    /// the address cannot be had (in use, not this computer's).
    bool listen(const QString &host, int port, QString *error);
    bool isListening() const { return m_thread.joinable(); }

    /// The values the next scrape shows. Any thread.
    void update(const MetricsSnapshot &snapshot);
    /// The time of a reading, as it comes (ms since the epoch): the time of
    /// the newest reading is exact at every scrape, not as old as the last
    /// update(). Any thread.
    void noteReading(qint64 ms);

    /// The page for `snapshot` at `nowMs` (ms since the epoch).
    static QByteArray render(const MetricsSnapshot &snapshot, qint64 nowMs);

private:
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    std::atomic<bool> m_done{false};
    std::mutex m_mutex;
    MetricsSnapshot m_snapshot; // guarded by m_mutex
};
