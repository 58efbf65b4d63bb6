#pragma once

#include "core/store/dbsettings.h"
#include "core/store/recordstore.h"

#include <QString>

class QThread;
class StoreWorker;
class TkDataDas;
struct MeterReading;

/// The record store on a PostgreSQL server: readings become rows of the
/// table `invoice`, alarm events rows of `alarm_event`, and the history and
/// the exports read them back, all through one worker with one connection
/// on a thread of its own (StoreWorker), so the window never waits for the
/// server.
///
/// Every handed-over reading is also kept in a journal file until the server
/// has committed it (see RecordJournal), so neither a crash nor a power
/// failure loses it: the next openDatabase() writes what the journal holds
/// first. Rows the server refuses for good are kept in a quarantine file
/// beside the journal and counted in the state; retryRejected() hands them
/// back.
class database : public RecordStore
{
    Q_OBJECT

public:
    /// How long shutdown() waits by default for pending readings.
    static constexpr int kDefaultGraceMs = 3000;

    /// Takes the settings of DbSettings::fromEnvironment() and keeps its
    /// journal in RecordJournal::directory(). Opens nothing.
    explicit database(QObject *parent = nullptr);
    /// A store on `settings` with its journal in `journalDir` (empty: the
    /// usual folder). Opens nothing.
    database(const DbSettings &settings, const QString &journalDir, QObject *parent = nullptr);
    /// Calls shutdown() with the default grace time.
    ~database() override;

    /// Starts the worker, which connects in the background, creating the
    /// database and the table when they are missing; readings left in the
    /// journals of earlier runs go first. Returns at once: 1 when the
    /// worker runs, -1 when the QPSQL driver is not available or the
    /// settings are unusable (the reason is in the state and on stderr).
    int openDatabase();
    /// Starts the worker for reads only (a tool): no journal, no readings
    /// from earlier runs. 1 or -1 as openDatabase().
    int openForReading();

    /// Hands a copy of `reading` to the worker and returns at once: 1 when
    /// queued, -1 for a null reading or after shutdown().
    int insertRecord(TkDataDas *reading);

    // RecordStore
    void recordAlarm(const AlarmEvent &event) override;
    void setSource(const QString &source) override { m_source = source; }
    QString source() const override { return m_source; }
    StoreState state() const override;
    void read(const std::shared_ptr<StoreRead> &read) override;
    void watchTable(bool on) override;

    /// Waits on the store's own thread: no event loop need run meanwhile.
    bool readNow(const std::shared_ptr<StoreRead> &read, int timeoutMs = -1) override;

    /// Whether the worker's last contact with the server succeeded.
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
    /// Readings in the quarantine file.
    int rejectedCount() const;

    /// What became of the readings at the end.
    struct Ending
    {
        int written = 0;   ///< committed during the grace time
        int inJournal = 0; ///< waiting, kept in the journal for the next start
        int notKept = 0;   ///< waiting, but on no disk: lost with the program
    };
    /// Gives pending readings and alarm events up to `graceMs` to be
    /// written, then stops the worker; what is left stays in the journal for
    /// the next run. Later inserts are refused. Blocks; safe to call more
    /// than once (later calls return the first one's ending).
    Ending shutdown(int graceMs = kDefaultGraceMs);

    /// The settings the store uses.
    const DbSettings &settings() const { return m_settings; }
    /// Goes on with `settings` (another server, login or meter name): the
    /// connection is made anew, readings waiting go to the new server, and
    /// readings handed over from now on carry the new meter name.
    void setSettings(const DbSettings &settings);

    /// "数据库已连接" or "数据库未连接（待写入 N 条）".
    static QString stateText(bool connected, int pending);

public slots:
    int submit(const MeterReading &reading) override;
    int retryRejected() override;

private:
    bool start(bool withJournal);
    bool stateObserved() const; // any thread
    void refreshState();

    DbSettings m_settings;
    QString m_journalDir;
    QThread *m_thread = nullptr;
    StoreWorker *m_worker = nullptr;
    bool m_started = false;
    bool m_writing = false;
    bool m_closed = false;
    int m_watchers = 0;
    Ending m_ending;
    StoreState m_lastState;
    QString m_source;
};
