#pragma once

#include "core/store/filesync.h"
#include "core/store/journalfile.h"
#include "core/store/measurementrecord.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QStringList>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

class QThread;

/// A record waiting for the server, with its number in the journal.
struct JournaledRecord
{
    qint64 seq = 0;
    MeasurementRecord record;
};
using JournaledRecords = QVector<JournaledRecord>;

/// A record the server refused for good, with the server's reason.
struct RejectedRecord
{
    MeasurementRecord record;
    QString reason;
};

/// What the journals of earlier runs hold that the server has not confirmed.
struct JournalBacklog
{
    JournaledRecords records; ///< in the order they were handed over, numbered 1..n
    /// Transaction whose COMMIT was sent but never confirmed, 0 if none. It
    /// wrote the records numbered 1..uncertainLastSeq; the server tells
    /// whether it committed.
    qint64 uncertainXid = 0;
    qint64 uncertainLastSeq = 0;
    /// The server and database that transaction went to
    /// (StoreWorker::serverIdentity()); empty in journals of earlier
    /// versions, which named none.
    QString uncertainServer;
    /// Lines that were no reading this program could have made (a damaged
    /// or hand-edited journal); they were moved to damagedPath() instead.
    int damagedLines = 0;
};

/// An append-only file that keeps every reading from the moment it is handed
/// over until the server has committed it, so a crash, a kill or a power
/// failure loses nothing that was handed over more than kSyncIntervalMs
/// before.
///
/// Each record is one text line, written at once by a thread of the journal
/// (so it survives the program's death) and flushed to the disk at most
/// kSyncIntervalMs later (so it survives the computer's). Before a COMMIT is
/// sent, the transaction's id and the records it wrote are flushed to the disk
/// too; after the commit a marker says so. When everything written is
/// committed the file is cut back to its header.
///
/// One running program owns a journal file, guarded by a lock on a file beside
/// it that the system releases when the program ends, however it ends. The
/// shared journal goes to the first program; a second copy started beside it
/// gets a journal of its own. Journals whose program has ended are taken over
/// by the next program that starts.
///
/// Thread-safe: append() from any thread; beginCommit() and committed() from
/// the thread that writes to the server.
class RecordJournal
{
public:
    /// Longest time a handed-over record waits to be flushed to the disk.
    static constexpr int kSyncIntervalMs = 200;

    /// Makes the journal's file objects; a test may give one whose flushes
    /// it holds up.
    using FileFactory = std::function<std::unique_ptr<FileSync::AppendFile>()>;

    explicit RecordJournal(FileFactory files = FileFactory());
    /// close()
    ~RecordJournal();

    /// Folder of the journals: TK52K_SPOOL_DIR when set, otherwise the
    /// user's application data folder.
    static QString directory();

    /// Takes a journal in `dir` (created when missing, and closed to other
    /// users) and reads it, together with the journals of programs that have
    /// ended, into `backlog`. A torn last line (the program died while writing
    /// it) is ignored. A line that is no reading this program could have made
    /// (MeasurementRecord::implausibility()) or cannot be read at all is not
    /// replayed: it is appended to damagedPath() and counted. Writes nothing
    /// to the journal yet. False with `error` set when no journal can be taken.
    bool open(const QString &dir, JournalBacklog *backlog, QString *error);

    /// Replaces the journal's contents atomically with `records` (numbered in
    /// increasing order) and the unconfirmed transaction, if any, removes the
    /// journals read by open() from other programs and starts writing. Call
    /// once after open().
    bool start(const JournaledRecords &records, qint64 uncertainXid, qint64 uncertainLastSeq, QString *error,
               const QString &uncertainServer = QString());

    /// Adds a record numbered above all before it. It is written to the file
    /// at once, unless a flush is running; it never waits for one.
    void append(const JournaledRecord &record);

    /// Notes that transaction `xid`, which wrote the records numbered
    /// `firstSeq`..`lastSeq`, is about to commit on `server` (the identity
    /// of the server and database, so that a later start asks no other
    /// server about it). Returns once that and every
    /// appended record are on the disk: true. False when the file could not
    /// be written (see hasFailed()); the transaction must then not commit
    /// until discard() has been called. After discard() the file holds no
    /// records and this returns true at once.
    bool beginCommit(qint64 xid, qint64 firstSeq, qint64 lastSeq, const QString &server = QString());

    /// Notes that every record up to `lastSeq` is committed.
    void committed(qint64 lastSeq);

    /// Whether every appended record is on the disk or committed.
    bool isDurable() const;

    /// Writes and flushes every appended record now.
    void flush();

    /// A write or flush failed (a full disk): the file may lack records and
    /// the notes that settle commits. Records appended from then on are kept
    /// in memory for readBack(). Call discard() before the next commit.
    bool hasFailed() const;

    /// Cuts the file back to its header, so a next start finds no records
    /// in it that may since have been committed. Appended records are then
    /// not written until rewrite() succeeds: they live in memory only.
    void discard();

    /// Replaces the contents with `records`, every record not yet committed,
    /// in order, and the unconfirmed transaction (xid 0: none) that wrote the
    /// first of them up to `uncertainLastSeq`, and flushes them; true when
    /// that worked and the journal keeps records on the disk again. Call with
    /// appends held back.
    bool rewrite(const JournaledRecords &records, qint64 uncertainXid = 0, qint64 uncertainLastSeq = 0,
                 const QString &uncertainServer = QString());

    /// Whether appended records reach the disk (false after a failure, until
    /// rewrite() succeeds).
    bool isSafe() const;

    /// Called, on whichever thread met it, when a write or flush fails.
    void setFailureHandler(std::function<void()> handler) { m_onFailure = std::move(handler); }

    /// Up to `count` appended records numbered from `firstSeq` on, in order,
    /// read back from the file (or from memory where the file could not take
    /// them). Lets a writer keep only part of a long backlog in memory.
    JournaledRecords readBack(qint64 firstSeq, int count);

    /// File in `dir` that keeps the records the server refused.
    static QString quarantinePath(const QString &dir);
    /// Adds `rejected` to the quarantine file in `dir` and flushes it.
    static bool quarantine(const QString &dir, const QVector<RejectedRecord> &rejected, QString *error);
    /// What the quarantine file in `dir` holds, oldest first.
    static QVector<RejectedRecord> readQuarantine(const QString &dir);
    /// File in `dir` that keeps the journal lines that were not replayed.
    static QString damagedPath(const QString &dir);

    /// Writes and flushes what is left, releases the file and its lock. The
    /// file is removed when everything in it is committed, otherwise the next
    /// program takes it over. Safe to call more than once.
    void close();

    /// Size of the journal file, known without asking the disk.
    qint64 fileBytes() const;

    /// The journal file in use (empty before open()).
    QString filePath() const { return m_path; }

private:

    void flushLoop();
    void writePendingLocked();
    bool writeLocked(const QByteArray &bytes);
    bool syncLocked();
    bool cutLocked(bool warn = true); // back to the header alone
    void publishLocked();             // mirrors the state for the lock-free queries
    bool takeOwnFile(const QString &dir, QString *error);

    FileFactory m_files;
    std::function<void()> m_onFailure; // set before start()
    QString m_path;
    qint64 m_lock = -1;
    QVector<JournalFile::Taken> m_adopted; // journals of ended programs, read by open()

    // Lock order: m_fileMutex before m_pendingMutex.
    enum class State { Healthy, Failed, Discarded };

    mutable QMutex m_fileMutex;
    std::unique_ptr<FileSync::AppendFile> m_file; // guarded by m_fileMutex
    qint64 m_headerSize = 0;        // guarded by m_fileMutex
    State m_state = State::Healthy; // guarded by m_fileMutex
    JournaledRecords m_unwritten;   // guarded by m_fileMutex
    qint64 m_readOffset = 0;        // guarded by m_fileMutex: readBack() goes on from here
    // Written under m_fileMutex, read without it.
    std::atomic<bool> m_safe{true};
    std::atomic<bool> m_failed{false};
    std::atomic<qint64> m_fileBytes{0}; // -1: not known, ask the disk

    QMutex m_pendingMutex;
    QWaitCondition m_wake;
    JournaledRecords m_pending; // guarded by m_pendingMutex
    bool m_stopping = false;    // guarded by m_pendingMutex
    bool m_flusherIdle = false; // guarded by m_pendingMutex: waiting with no time set

    std::atomic<qint64> m_lastAppended{0}; // highest number handed to append()
    std::atomic<qint64> m_written{0};      // highest number in the file
    std::atomic<qint64> m_durable{0};      // all up to here flushed or committed
    std::atomic<qint64> m_committed{0};    // all up to here committed
    std::atomic<qint64> m_lastSyncMs{0};   // m_clock at the last flush
    QElapsedTimer m_clock;

    QThread *m_flusher = nullptr;
};
