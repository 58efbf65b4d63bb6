#include "metricsserver.h"

#include <httplib.h>

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace {
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
    // stop() does nothing before the server's loop has begun, and the loop
    // would then never end.
    while (!m_done && !m_server->is_running())
        std::this_thread::yield();
    m_server->stop();
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
    auto server = std::make_unique<httplib::Server>();
    // One scrape at a time is what a Prometheus server sends; a second
    // worker serves a person's curl meanwhile. (The default pool has eight.)
    server->new_task_queue = [] { return new httplib::ThreadPool(2); };
    // A scraper that keeps its connection would make the worker poll the
    // socket until the keep-alive timeout; one request per connection costs a
    // handshake every scrape instead.
    server->set_keep_alive_max_count(1);
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
    if (!server->bind_to_port(host.toStdString(), port)) {
        *error = QStringLiteral("cannot listen on %1 port %2 (in use, or not an address of this computer)")
                     .arg(host)
                     .arg(port);
        return false;
    }
    m_server = std::move(server);
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        m_done = true;
    });
    return true;
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
