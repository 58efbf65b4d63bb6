#pragma once

#include "core/meter/alarmrule.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class AlarmWatch;
class MeterSession;
class database;
struct MeterReading;

/// What the logger is asked to do, from its command line.
struct LoggerOptions
{
    QString port;
    bool automatic = true;
    uint seconds = 1;
    QString source; ///< empty: TK52K_SOURCE, else the host name and the port
    bool quiet = false;
    AlarmLimits alarm;
};

/// The logger's exit statuses; --help lists them.
enum LoggerExit {
    ExitClean = 0,      ///< stopped by a signal, every reading committed or in the journal
    ExitNotDurable = 1, ///< stopped, but readings could not be put safely on the disk
    ExitUsage = 2,      ///< bad arguments
    ExitPort = 3,       ///< the port could not be opened at the start
    ExitDatabase = 4,   ///< unusable database settings or no PostgreSQL driver
};

/// A run without a window: a resuming meter session whose readings go to the
/// record store, a status line on stderr every minute, alarm events on stderr
/// and in `alarm_event`.
class HeadlessLogger : public QObject
{
    Q_OBJECT

public:
    static constexpr int kStatusPeriodMs = 60 * 1000;

    explicit HeadlessLogger(const LoggerOptions &options, QObject *parent = nullptr);
    ~HeadlessLogger() override;

    /// Opens the store and the port and starts the run; on failure the
    /// reason is on stderr and the exit status is returned, else ExitClean.
    int start();
    /// Ends the run and gives waiting readings the store's grace time; what
    /// is left stays in the journal. Returns the exit status.
    int finish();

    /// The minute's line: readings taken, written, waiting, the link.
    QString statusLine() const;

    /// "HOST:PORT", the port without a leading /dev/.
    static QString defaultSource(const QString &host, const QString &port);

private:
    void onReading(const MeterReading &reading);
    void onLink(bool up);

    LoggerOptions m_options;
    MeterSession *m_session = nullptr;
    database *m_db = nullptr;
    AlarmWatch *m_alarm;
    QTimer m_statusTimer;
    qint64 m_taken = 0;
    qint64 m_handedOver = 0;
    // Readings an earlier run left in the journal count as written once the
    // server takes them; rows the server refuses never count.
    int m_pendingAtOpen = 0;
    int m_rejectedAtOpen = 0;
};
