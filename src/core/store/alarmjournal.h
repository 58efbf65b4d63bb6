#pragma once

#include "core/meter/alarmrule.h"
#include "core/store/journalfile.h"

#include <QMutex>
#include <QString>
#include <QVector>

#include <memory>

namespace FileSync {
class AppendFile;
}

/// An alarm event waiting for the server, with its number in the journal.
struct JournaledAlarm
{
    qint64 seq = 0;
    AlarmEvent event;
};
using JournaledAlarms = QVector<JournaledAlarm>;

/// What the alarm journals of earlier runs hold that the server has not
/// confirmed.
struct AlarmBacklog
{
    JournaledAlarms events; ///< in the order they happened, numbered 1..n
    /// Transaction whose COMMIT was sent but never confirmed, 0 if none; it
    /// wrote the events numbered 1..uncertainLastSeq.
    qint64 uncertainXid = 0;
    qint64 uncertainLastSeq = 0;
    /// Where that transaction went (StoreWorker::serverIdentity()); empty in
    /// files of earlier versions.
    QString uncertainServer;
    int damagedLines = 0; ///< lines that were no event; left out
};

/// The alarm events' counterpart of RecordJournal: an append-only file in the
/// journal folder that keeps every raise and clear from the moment it happens
/// until the server has committed it, so events outlive an outage, a server
/// that has no table for them yet, and the program's end; and, with the note
/// of the transaction about to commit, are written exactly once.
///
/// Alarms are rare, so the file is simple: each event is written as it comes
/// and flushed before a commit and at the end. One program owns a file
/// (a lock beside it that dies with the program); the first takes the shared
/// one, a second copy one of its own, and the files of ended programs are
/// taken over at the next start.
///
/// Thread-safe.
class AlarmJournal
{
public:
    AlarmJournal();
    /// close()
    ~AlarmJournal();

    /// Takes a file in `dir` (which RecordJournal::open() has made) and reads
    /// it, with the files of programs that have ended, into `backlog`.
    bool open(const QString &dir, AlarmBacklog *backlog, QString *error);
    /// Replaces the file's contents with `events` and the unconfirmed
    /// transaction, removes the files taken over and starts writing.
    bool start(const JournaledAlarms &events, qint64 uncertainXid, qint64 uncertainLastSeq,
               const QString &uncertainServer, QString *error);

    /// Writes an event numbered above all before it (not yet flushed).
    void append(const JournaledAlarm &event);
    /// Notes that transaction `xid`, which wrote the events `firstSeq`..`lastSeq`,
    /// is about to commit on `server` (StoreWorker::serverIdentity()), and
    /// flushes the file. False when that failed: the transaction must not commit.
    bool beginCommit(qint64 xid, qint64 firstSeq, qint64 lastSeq, const QString &server);
    /// Every event up to `lastSeq` is settled (committed, or let go);
    /// `everything`: none waits after it, so the file is cut back.
    void settled(qint64 lastSeq, bool everything);

    /// Whether the events appended are kept in the file (false after a write failed).
    bool isSafe() const;

    /// Flushes, releases the file and its lock; the file is removed when
    /// nothing in it waits. Safe to call more than once.
    void close();

    /// The file in use (empty before open()).
    QString filePath() const { return m_path; }

private:
    bool writeLocked(const QByteArray &bytes);

    QString m_path;
    qint64 m_lock = -1;
    QVector<JournalFile::Taken> m_adopted;

    mutable QMutex m_mutex;
    std::unique_ptr<FileSync::AppendFile> m_file; // guarded by m_mutex
    bool m_failed = false;                        // guarded by m_mutex
    bool m_empty = true;                          // guarded by m_mutex: nothing waits in the file
};
