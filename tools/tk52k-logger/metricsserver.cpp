#include "metricsserver.h"

#ifdef TK52K_NO_METRICS_HTTP
// Built without an HTTP server (Windows): --metrics is refused at the start.
namespace httplib {
class Server
{
};
} // namespace httplib
#else
#include <httplib.h>
#endif

#include <QDateTime>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#ifndef TK52K_NO_METRICS_HTTP
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#endif

namespace {
// Connections a scraper and a person's curl need at once, with room for a
// few strays. Beyond them the server stops accepting: new ones wait in the
// system's listen queue and cost this process no descriptor, so a flood of
// connections cannot take the descriptors the database and the journal need.
constexpr size_t kWorkers = 4;
constexpr size_t kMaxConnections = 16;
// What a client may take: a request's next bytes within a second, the answer
// taken within two. A scrape's request comes in one piece.
constexpr time_t kReadTimeoutSeconds = 1;
constexpr time_t kWriteTimeoutSeconds = 2;
// A connection is handed to the server when its request has come, not when
// it is made; one that sends nothing is dropped by the system after this.
constexpr int kDeferAcceptSeconds = 5;
// The most a connection may take, however slowly its client trickles bytes
// that each come within the read timeout.
constexpr auto kConnectionDeadline = std::chrono::seconds(5);

#ifndef TK52K_NO_METRICS_HTTP
// Cuts the accepted connections of `port` that are older than the deadline.
// cpp-httplib does not say which descriptor a task serves, so they are found
// among this process's own: sockets bound to the port that do not listen.
// `firstSeen` remembers each one's socket by its inode from scan to scan.
void cutOverdueConnections(int port, std::map<ino_t, std::chrono::steady_clock::time_point> &firstSeen)
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return;
    const auto now = std::chrono::steady_clock::now();
    std::map<ino_t, std::chrono::steady_clock::time_point> seen;
    while (const dirent *entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        struct stat st;
        if (entry->d_name[0] == '.' || fd == ::dirfd(dir) || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        int listening = 0;
        socklen_t size = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening)
            continue;
        int local = -1;
        if (address.ss_family == AF_INET)
            local = ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
        else if (address.ss_family == AF_INET6)
            local = ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
        if (local != port)
            continue;
        const auto known = firstSeen.find(st.st_ino);
        const auto since = known == firstSeen.end() ? now : known->second;
        seen.emplace(st.st_ino, since);
        // The worker's next read ends, and it closes the connection.
        if (now - since > kConnectionDeadline)
            ::shutdown(fd, SHUT_RDWR);
    }
    ::closedir(dir);
    firstSeen.swap(seen);
}

// A pool of kWorkers threads whose queue holds at most kMaxConnections
// accepted connections: enqueue() waits (and the accepting thread with it)
// until one is done. cpp-httplib's own pool queues without a bound.
class BoundedPool : public httplib::TaskQueue
{
public:
    explicit BoundedPool(int port) : m_port(port)
    {
        for (size_t i = 0; i < kWorkers; ++i)
            m_threads.emplace_back([this] { work(); });
        m_threads.emplace_back([this] { watch(); });
    }

    void enqueue(std::function<void()> fn) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_roomOrDone.wait(lock, [this] { return m_inFlight < kMaxConnections; });
        ++m_inFlight;
        m_jobs.push_back(std::move(fn));
        m_jobOrDone.notify_one();
        m_busyOrDone.notify_one();
    }

    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_jobOrDone.notify_all();
        m_busyOrDone.notify_all();
        for (std::thread &t : m_threads)
            t.join();
    }

private:
    void work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_jobOrDone.wait(lock, [this] { return m_done || !m_jobs.empty(); });
                // What was accepted is served (and closed) before the end.
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                --m_inFlight;
            }
            m_roomOrDone.notify_one();
        }
    }

    // Looks at the connections once a second while there are any, and not
    // at all while there are none.
    void watch()
    {
        std::map<ino_t, std::chrono::steady_clock::time_point> firstSeen;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            if (m_inFlight == 0) {
                firstSeen.clear();
                m_busyOrDone.wait(lock, [this] { return m_done || m_inFlight > 0; });
                continue;
            }
            lock.unlock();
            cutOverdueConnections(m_port, firstSeen);
            lock.lock();
            m_busyOrDone.wait_for(lock, std::chrono::seconds(1), [this] { return m_done; });
        }
    }

    const int m_port;
    std::mutex m_mutex;
    std::condition_variable m_jobOrDone;
    std::condition_variable m_roomOrDone;
    std::condition_variable m_busyOrDone;
    std::deque<std::function<void()>> m_jobs;
    size_t m_inFlight = 0;
    bool m_done = false;
    std::vector<std::thread> m_threads;
};

// The listening socket's options. cpp-httplib's defaults add SO_REUSEPORT,
// which lets a second logger bind the same port and take half the scrapes;
// SO_REUSEADDR alone still allows a restart while old connections linger.
void listenerOptions(int sock)
{
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    int defer = kDeferAcceptSeconds;
    ::setsockopt(sock, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer);
}
#endif

// A label's value with the three characters the text format escapes.
QByteArray labelValue(const QString &text)
{
    QByteArray value = text.toUtf8();
    value.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return value;
}

QByteArray number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    return QByteArray::number(v, 'g', 15);
}

void metric(QByteArray &page, const char *name, const char *type, const char *help, const QByteArray &labels,
            const QByteArray &value)
{
    page += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' + name +
            labels + ' ' + value + '\n';
}

void metric(QByteArray &page, const char *name, const char *type, const char *help, qint64 value)
{
    metric(page, name, type, help, QByteArray(), QByteArray::number(value));
}
} // namespace

MetricsServer::MetricsServer() = default;

MetricsServer::~MetricsServer()
{
    if (!m_thread.joinable())
        return;
#ifndef TK52K_NO_METRICS_HTTP
    // stop() does nothing before the server's loop has begun, and the loop
    // would then never end.
    while (!m_done && !m_server->is_running())
        std::this_thread::yield();
    m_server->stop();
#endif
    m_thread.join();
}

bool MetricsServer::parseAddress(const QString &text, QString *host, int *port)
{
    QString address = QStringLiteral("127.0.0.1");
    QString portText = text.trimmed();
    if (portText.startsWith(QLatin1Char('['))) {
        const int close = portText.indexOf(QLatin1String("]:"));
        if (close < 2)
            return false;
        address = portText.mid(1, close - 1);
        portText = portText.mid(close + 2);
    } else if (portText.contains(QLatin1Char(':'))) {
        const int colon = portText.lastIndexOf(QLatin1Char(':'));
        address = portText.left(colon);
        portText = portText.mid(colon + 1);
        // An IPv6 address wants its brackets; an empty one is no address.
        if (address.isEmpty() || address.contains(QLatin1Char(':')))
            return false;
    }
    bool ok = false;
    const int n = portText.toInt(&ok);
    if (!ok || n < 1 || n > 65535)
        return false;
    *host = address;
    *port = n;
    return true;
}

bool MetricsServer::listen(const QString &host, int port, QString *error)
{
    if (m_thread.joinable())
        return true;
#ifdef TK52K_NO_METRICS_HTTP
    Q_UNUSED(host)
    Q_UNUSED(port)
    *error = QStringLiteral("this build has no metrics server");
    return false;
#else
    auto server = std::make_unique<httplib::Server>();
    server->new_task_queue = [port] { return new BoundedPool(port); };
    server->set_socket_options(listenerOptions);
    // A scraper that keeps its connection would make the worker poll the
    // socket until the keep-alive timeout; one request per connection costs a
    // handshake every scrape instead. The request is there when the
    // connection is accepted (TCP_DEFER_ACCEPT), so no wait for it is needed:
    // a connection that made it through empty is let go at once.
    server->set_keep_alive_max_count(1);
    server->set_keep_alive_timeout(0);
    server->set_read_timeout(kReadTimeoutSeconds);
    server->set_write_timeout(kWriteTimeoutSeconds);
    server->Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
        MetricsSnapshot snapshot;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            snapshot = m_snapshot;
        }
        const QByteArray page = render(snapshot, QDateTime::currentMSecsSinceEpoch());
        response.set_content(page.constData(), size_t(page.size()),
                             "text/plain; version=0.0.4; charset=utf-8");
    });
    errno = 0;
    if (!server->bind_to_port(host.toStdString(), port)) {
        const int why = errno;
        *error = QStringLiteral("cannot listen on %1 port %2").arg(host).arg(port);
        if (why == EADDRINUSE || why == EADDRNOTAVAIL || why == EACCES || why == EMFILE || why == ENFILE)
            *error += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(why)).toLower();
        else
            *error += QStringLiteral(" (in use, or not an address of this computer)");
        return false;
    }
    m_server = std::move(server);
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        m_done = true;
    });
    return true;
#endif
}

void MetricsServer::update(const MetricsSnapshot &snapshot)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 lastReadingMs = std::max(m_snapshot.lastReadingMs, snapshot.lastReadingMs);
    m_snapshot = snapshot;
    m_snapshot.lastReadingMs = lastReadingMs;
}

void MetricsServer::noteReading(qint64 ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_snapshot.lastReadingMs = std::max(m_snapshot.lastReadingMs, ms);
}

QByteArray MetricsServer::render(const MetricsSnapshot &s, qint64 nowMs)
{
    QByteArray page;
    page.reserve(2048);
    metric(page, "tk52k_logger_info", "gauge",
           "The meter this logger reads: its name in the table and its port.",
           "{source=\"" + labelValue(s.source) + "\",port=\"" + labelValue(s.port) + "\"}", "1");
    metric(page, "tk52k_readings_taken_total", "counter", "Readings decoded from the meter since the start.",
           s.taken);
    metric(page, "tk52k_readings_written_total", "counter",
           "Readings the server committed since the start (those of an earlier run's journal included).",
           s.written);
    metric(page, "tk52k_readings_quarantined_total", "counter",
           "Readings the server refused since the start, kept in rejected-readings.txt.", s.quarantined);
    metric(page, "tk52k_readings_not_stored_total", "counter",
           "First readings of a range: shown, never stored.", s.notStored);
    metric(page, "tk52k_readings_waiting", "gauge",
           "Readings waiting for the server, in memory and the journal.", s.waiting);
    metric(page, "tk52k_journal_bytes", "gauge", "Size of the journal file on the disk.", s.journalBytes);
    metric(page, "tk52k_link_up", "gauge",
           "1 while the meter sends, 0 while it is silent or its port is away.", s.linkUp);
    metric(page, "tk52k_database_up", "gauge", "1 while the server takes readings.", s.databaseUp);
    metric(page, "tk52k_alarm_active", "gauge", "1 while an alarm limit is crossed.", s.alarmActive);
    if (s.lastReadingMs > 0 && !s.function.isEmpty()) {
        // One series per function, whatever range the meter is in.
        metric(page, "tk52k_last_value", "gauge",
               "The newest reading in its function's base unit, whatever the range: V, A, ohm, F, Hz, %, "
               "degrees C or F, none for hFE (+Inf: overload).",
               "{function=\"" + labelValue(s.function) + "\",unit=\"" + labelValue(s.unit) + "\"}",
               number(s.value));
    }
    if (s.lastReadingMs > 0) {
        metric(page, "tk52k_last_reading_timestamp_seconds", "gauge",
               "When the newest reading came, in seconds since the epoch.", QByteArray(),
               QByteArray::number(s.lastReadingMs / 1000.0, 'f', 3));
    }
    const qint64 since = s.lastReadingMs > 0 ? s.lastReadingMs : s.startMs;
    metric(page, "tk52k_seconds_since_last_reading", "gauge",
           "Seconds since the newest reading, or since the start while none has come.", QByteArray(),
           number(qMax<qint64>(0, nowMs - since) / 1000.0));
    return page;
}
