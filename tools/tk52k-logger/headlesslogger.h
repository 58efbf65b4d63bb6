#pragma once

#include "core/meter/alarmrule.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class AlarmWatch;
class MeterSession;
class MetricsServer;
class SystemdNotify;
class database;
struct MeterReading;
struct StoreState;

/// What the logger is asked to do, from its command line.
struct LoggerOptions
{
    QString port;
    bool automatic = true;
    uint seconds = 1;
    QString source; ///< empty: TK52K_SOURCE, else the host name and the port
    bool quiet = false;
    AlarmLimits alarm;
    QString metricsHost; ///< empty: no metrics
    int metricsPort = 0;
};

/// The logger's exit statuses; --help lists them.
enum LoggerExit {
    ExitClean = 0,      ///< stopped by a signal, every reading committed or in the journal
    ExitNotDurable = 1, ///< stopped, but readings could not be put safely on the disk
    ExitUsage = 2,      ///< bad arguments
    ExitPort = 3,       ///< the port could not be opened at the start
    ExitDatabase = 4,   ///< unusable database settings or no PostgreSQL driver
};

/// Where the readings of a run went, counted so that the sum shows whether
/// any went astray: every reading taken this run, and every one an earlier
/// run left in the journal, is written, waiting, quarantined or (the first of
/// each range, by the range rule) not stored.
struct LoggerTally
{
    qint64 taken = 0;
    qint64 fromJournal = 0;
    qint64 written = 0;
    qint64 waiting = 0;
    qint64 quarantined = 0;
    qint64 notStored = 0;

    /// "taken 52 = written 50 + waiting 0 + quarantined 0 + not stored 2";
    /// "taken 52 + 10 from the journal = ..." after an earlier run's leftovers.
    QString text() const;
};

/// A run without a window: a resuming meter session whose readings go to the
/// record store. It says on stderr (see LoggerLog) what it logs and where,
/// when the meter, its port or the server goes and comes back, alarm raises
/// and clears, readings that are not safe, and every minute where the
/// readings went; it tells systemd the same (SystemdNotify) and, when asked,
/// serves them to Prometheus (MetricsServer).
class HeadlessLogger : public QObject
{
    Q_OBJECT

public:
    static constexpr int kStatusPeriodMs = 60 * 1000;
    /// How often the store's state is looked at (announcements, metrics).
    static constexpr int kWatchPeriodMs = 2000;

    explicit HeadlessLogger(const LoggerOptions &options, QObject *parent = nullptr);
    ~HeadlessLogger() override;

    /// Opens the store and the port and starts the run; on failure the
    /// reason is on stderr and the exit status is returned, else ExitClean.
    int start();
    /// Ends the run and gives waiting readings the store's grace time; what
    /// is left stays in the journal. Returns the exit status.
    int finish();

    LoggerTally tally() const;
    LoggerTally tally(const StoreState &state) const;
    /// The minute's line: the tally, the meter's link, the server.
    QString statusLine() const;

    /// "HOST:PORT", the port without a leading /dev/.
    static QString defaultSource(const QString &host, const QString &port);

private:
    enum class ServerState { Unknown, Up, Down };

    void onReading(const MeterReading &reading, bool newRange);
    void onLink(bool up);
    void watch();
    void updateMetrics(const StoreState &state);
    QString linkText() const;

    LoggerOptions m_options;
    MeterSession *m_session = nullptr;
    database *m_db = nullptr;
    SystemdNotify *m_notify = nullptr;
    std::unique_ptr<MetricsServer> m_metrics;
    AlarmWatch *m_alarm = nullptr;
    QString m_serverName; // "dmmdatad on 127.0.0.1:5432"
    QTimer m_statusTimer;
    QTimer m_watchTimer;
    qint64 m_startMs = 0;
    qint64 m_taken = 0;
    qint64 m_notStored = 0;
    bool m_linkWasUp = false;
    bool m_finishing = false;
    ServerState m_server = ServerState::Unknown;
    QDateTime m_serverDownSince;
    QStringList m_outageReasons; // those logged since the server was last up
    bool m_journalSafe = true;
    // What the journals of earlier runs held at the start, and the readings
    // quarantined before it: neither was taken by this run.
    qint64 m_fromJournal = 0;
    int m_quarantinedAtOpen = 0;
};
