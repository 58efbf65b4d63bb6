#pragma once

#include <QByteArray>
#include <QString>

/// The few file operations the journal's promises rest on, in one place:
/// appends that reach the disk when sync() says so, a cut back to a length,
/// locks the system drops when the program ends however it ends, and a
/// folder whose new names survive a power failure. Files are made readable
/// by their owner only: they hold the readings of the user's meters.
///
/// POSIX: write(2), fdatasync(2), ftruncate(2), flock(2) and fsync(2) on the
/// folder. Windows: WriteFile, FlushFileBuffers, SetEndOfFile and LockFileEx
/// (the folder needs no flush there).
namespace FileSync {

/// An open file that is only ever appended to, or cut back.
class AppendFile
{
public:
    AppendFile() = default;
    virtual ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    /// Opens `path` for appending; `create` makes it (owner read and write
    /// only) when missing. False with `error` set.
    virtual bool open(const QString &path, bool create, QString *error);
    bool isOpen() const { return m_handle >= 0; }
    /// Appends every byte; false (with errorText()) when the disk took
    /// fewer, e.g. because it is full.
    virtual bool append(const QByteArray &bytes);
    /// Returns once what was appended is on the disk.
    virtual bool sync();
    /// Cuts the file back to `size` bytes. Works on a full disk too: it
    /// frees space.
    virtual bool truncate(qint64 size);
    virtual void close();
    /// The system's reason for the last failure.
    QString errorText() const { return m_error; }

protected:
    void setError();

    qint64 m_handle = -1; // a file descriptor, or a HANDLE on Windows
    QString m_error;
};

/// Takes an exclusive lock on `path` (made when missing) that the system
/// releases when the program ends. -1 when another process, or another lock
/// of this one, holds it.
qint64 tryLock(const QString &path);
/// Releases a lock from tryLock(); -1 is ignored.
void unlock(qint64 lock);

/// Makes sure a rename or a new file in `dir` is on the disk.
void syncFolder(const QString &dir);

/// Makes `dir` (and its parents) when missing, letting only its owner in.
/// An existing folder is taken as it is when it is this user's and nobody
/// else may write in it; otherwise false with `error` saying why (the
/// folder is never changed).
bool makePrivateFolder(const QString &dir, QString *error);

/// Replaces the contents of `path` atomically with `bytes` (written beside
/// it, flushed, renamed over it, the folder flushed). The file is readable
/// by its owner only.
bool replaceFile(const QString &path, const QByteArray &bytes, QString *error);

/// Appends `bytes` to `path` (made when missing) in one write and flushes
/// it; copies of the program beside each other never interleave their lines.
bool appendAndSync(const QString &path, const QByteArray &bytes, QString *error);

} // namespace FileSync
