#pragma once

#include "core/store/dbsettings.h"

#include <QDateTime>
#include <QObject>
#include <QString>

class RecordWriter;
class TkDataDas;
struct MeterReading;

/// The record store: readings become rows of the table `invoice`. (The
/// history window reads them back through loadHistoryRange().)
///
/// Inserts never wait for the server. insertRecord() copies the reading into
/// a queue that a writer thread with its own connection empties, oldest
/// first; while the server is away the readings wait and the writer
/// reconnects every few seconds. Every handed-over reading is also kept in a
/// journal file until the server has committed it (see RecordJournal), so
/// neither a crash nor a power failure loses it: the next openDatabase()
/// writes what the journal holds first. At the end (shutdown(), or
/// destruction) the queue gets a few seconds to be written.
///
/// Rows the server refuses for good are kept in a quarantine file beside the
/// journal and counted in statusText(); retryRejected() hands them back.
class database : public QObject
{
    Q_OBJECT

public:
    /// How long shutdown() waits by default for pending readings.
    static constexpr int kDefaultGraceMs = 3000;

    /// Takes the settings of DbSettings::fromEnvironment(). Opens nothing.
    explicit database(QObject *parent = nullptr);
    /// Calls shutdown() with the default grace time.
    ~database() override;

    /// Starts the writer, which connects in the background, creating the
    /// database and the table when they are missing; readings left in the
    /// journals of earlier runs go first. Returns at once: 1 when the
    /// writer runs, -1 when the QPSQL driver is not available or the
    /// settings are unusable (the reason is in statusText() and on stderr).
    int openDatabase();

    /// Hands a copy of `reading` to the writer and returns at once: 1 when
    /// queued, -1 for a null reading or after shutdown().
    int insertRecord(TkDataDas *reading);

    /// The meter name stored with each reading from now on where the table
    /// has a `source` column (by default TK52K_SOURCE or the host name; a
    /// front end adds its port, or takes the user's --source).
    void setSource(const QString &source) { m_source = source; }
    QString source() const { return m_source; }

    /// Whether the writer's last contact with the server succeeded.
    bool isConnected() const;
    /// Readings handed over but not yet known to be committed.
    int pendingCount() const;
    /// Of those, the ones held in memory; past a bound the rest wait only in
    /// the journal on the disk.
    int inMemoryCount() const;
    /// Whether every reading handed over is committed or safe on the disk.
    /// A reading becomes safe at most RecordJournal::kSyncIntervalMs after
    /// insertRecord(), plus the time the disk takes.
    bool isDurable() const;

    /// Gives pending readings up to `graceMs` to be written, then stops the
    /// writer; what is left stays in the journal for the next run. Later
    /// inserts are refused. Blocks; safe to call more than once.
    void shutdown(int graceMs = kDefaultGraceMs);

    /// Status-bar text for a state: "数据库已连接" or
    /// "数据库未连接（待写入 N 条）".
    static QString stateText(bool connected, int pending);

    /// stateText() of the present state, followed, where something needs the
    /// user's attention, by what: unusable settings, a failed CREATE, readings
    /// the server refused (count and reason), readings not safe on the disk.
    QString statusText() const;

    /// Readings in the quarantine file.
    int rejectedCount() const;

public slots:
    /// insertRecord() for a reading as the session gives it.
    int submit(const MeterReading &reading);
    /// Queues the readings the server refused once more (after the cause has
    /// been mended on the server) and returns how many. For a menu action.
    int retryRejected();

signals:
    /// The connection state, the number of pending readings or something
    /// else in statusText() changed.
    void stateChanged(bool connected, int pending);

private:
    void openJournal();
    void refreshState();

    DbSettings m_settings;
    RecordWriter *m_writer = nullptr;
    bool m_started = false;
    bool m_closed = false;
    bool m_lastConnected = false;
    int m_lastPending = 0;
    QString m_lastStatus;
    QString m_source;
};
