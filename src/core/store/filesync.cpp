#include "filesync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace FileSync {

AppendFile::~AppendFile()
{
    close();
}

#ifdef Q_OS_WIN

namespace {
HANDLE handleOf(qint64 h)
{
    return reinterpret_cast<HANDLE>(static_cast<quintptr>(h));
}

QString lastErrorText()
{
    return QString::fromLocal8Bit(qt_error_string(int(GetLastError())).toLocal8Bit());
}
} // namespace

void AppendFile::setError()
{
    m_error = lastErrorText();
}

bool AppendFile::open(const QString &path, bool create, QString *error)
{
    close();
    const HANDLE h = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                                 GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        setError();
        *error = m_error;
        return false;
    }
    m_handle = qint64(reinterpret_cast<quintptr>(h));
    return true;
}

bool AppendFile::append(const QByteArray &bytes)
{
    // Opened for writing too (a cut needs that), so each write goes to the end.
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(handleOf(m_handle), zero, nullptr, FILE_END)) {
        setError();
        return false;
    }
    qint64 done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!WriteFile(handleOf(m_handle), bytes.constData() + done, DWORD(bytes.size() - done), &n, nullptr) ||
            n == 0) {
            setError();
            return false;
        }
        done += n;
    }
    return true;
}

bool AppendFile::sync()
{
    if (FlushFileBuffers(handleOf(m_handle)))
        return true;
    setError();
    return false;
}

bool AppendFile::truncate(qint64 size)
{
    LARGE_INTEGER at;
    at.QuadPart = size;
    if (SetFilePointerEx(handleOf(m_handle), at, nullptr, FILE_BEGIN) && SetEndOfFile(handleOf(m_handle)))
        return true;
    setError();
    return false;
}

void AppendFile::close()
{
    if (m_handle >= 0)
        CloseHandle(handleOf(m_handle));
    m_handle = -1;
}

qint64 tryLock(const QString &path)
{
    const HANDLE h = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                                 GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    OVERLAPPED whole = {};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
        CloseHandle(h);
        return -1;
    }
    return qint64(reinterpret_cast<quintptr>(h));
}

void unlock(qint64 lock)
{
    if (lock >= 0)
        CloseHandle(handleOf(lock));
}

void syncFolder(const QString &)
{
    // NTFS keeps its own metadata journal; there is nothing to flush.
}

bool makePrivateFolder(const QString &dir, QString *error)
{
    // The user's profile folder is private already.
    if (QDir().mkpath(dir))
        return true;
    *error = QStringLiteral("cannot create the folder %1").arg(dir);
    return false;
}

#else

namespace {
QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}
} // namespace

void AppendFile::setError()
{
    m_error = errnoText(errno);
}

bool AppendFile::open(const QString &path, bool create, QString *error)
{
    close();
    // A link planted in the file's place is refused, not followed.
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0600);
    if (fd < 0) {
        setError();
        *error = m_error;
        return false;
    }
    m_handle = fd;
    return true;
}

bool AppendFile::append(const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(int(m_handle), bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A short write of zero bytes on a full disk sets no errno.
            m_error = errnoText(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += n;
    }
    return true;
}

bool AppendFile::sync()
{
    if (::fdatasync(int(m_handle)) == 0)
        return true;
    setError();
    return false;
}

bool AppendFile::truncate(qint64 size)
{
    if (::ftruncate(int(m_handle), off_t(size)) == 0)
        return true;
    setError();
    return false;
}

void AppendFile::close()
{
    if (m_handle >= 0)
        ::close(int(m_handle));
    m_handle = -1;
}

qint64 tryLock(const QString &path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void unlock(qint64 lock)
{
    if (lock >= 0)
        ::close(int(lock));
}

void syncFolder(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool makePrivateFolder(const QString &dir, QString *error)
{
    const QByteArray path = QFile::encodeName(dir);
    // A folder made here is closed from the start; its parents are the
    // user's (or the service's state folder).
    if (!QFileInfo::exists(dir) && (!QDir().mkpath(QFileInfo(dir).absolutePath()) ||
                                    (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST))) {
        *error = QStringLiteral("cannot create the folder %1: %2").arg(dir, errnoText(errno));
        return false;
    }
    // A folder that is someone else's, or where others may write, is refused
    // and left as it is: it may be shared on purpose, and a name planted in it
    // could send the journal's writes into a file of the planter's choice.
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(dir);
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *error = QStringLiteral("the folder %1 belongs to another user (uid %2, this one is %3); it is "
                                "left as it is")
                     .arg(dir)
                     .arg(st.st_uid)
                     .arg(::geteuid());
        return false;
    }
    // The group may write where it is the user's own (a user private group
    // under umask 002).
    if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != ::getegid())) {
        *error = QStringLiteral("others may write in the folder %1 (mode %2); it is left as it is, give the "
                                "journal a folder of its own")
                     .arg(dir)
                     .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
        return false;
    }
    return true;
}

#endif

#ifdef Q_OS_WIN

bool replaceFile(const QString &path, const QByteArray &bytes, QString *error)
{
    // Written beside it and flushed; the rename itself is on the disk when
    // MoveFileEx returns (QSaveFile's rename is not).
    const QString temporary = path + QStringLiteral(".new");
    AppendFile file;
    QFile::remove(temporary);
    if (!file.open(temporary, true, error))
        return false;
    if (!file.append(bytes) || !file.sync()) {
        *error = file.errorText();
        file.close();
        QFile::remove(temporary);
        return false;
    }
    file.close();
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(temporary).utf16()),
                     reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = lastErrorText();
        QFile::remove(temporary);
        return false;
    }
    return true;
}

#else

bool replaceFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    // The folder lets nobody else in meanwhile.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    syncFolder(QFileInfo(path).absolutePath());
    return true;
}

#endif

bool appendAndSync(const QString &path, const QByteArray &bytes, QString *error)
{
    AppendFile file;
    if (!file.open(path, true, error))
        return false;
    if (!file.append(bytes) || !file.sync()) {
        *error = file.errorText();
        return false;
    }
    return true;
}

} // namespace FileSync
