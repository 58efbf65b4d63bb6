#include "passwordstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#ifdef Q_OS_WIN
#include "core/store/filesync.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

QString systemError(const QString &what, const QString &path)
{
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

// The object the file holds; an absent file holds none.
bool load(const QString &path, QJsonObject *out, QString *error)
{
    *out = QJsonObject();
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        *error = systemError(QStringLiteral("cannot look at"), path);
        return false;
    }
    // Left readable by others (copied, unpacked): no longer.
    if ((st.st_mode & 077) != 0 && ::chmod(native.constData(), S_IRUSR | S_IWUSR) != 0) {
        *error = systemError(QStringLiteral("cannot make private"), path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parse);
    if (!doc.isObject()) {
        *error = QStringLiteral("%1 is not a password file: %2").arg(path, parse.errorString());
        return false;
    }
    *out = doc.object();
    return true;
}

} // namespace

PasswordFile::PasswordFile(const QString &path) : m_path(path) {}

QString PasswordFile::defaultPath()
{
    return QFileInfo(QSettings().fileName()).absolutePath() + QStringLiteral("/db-passwords.json");
}

bool PasswordFile::read(const QString &key, QString *password, QString *error)
{
    password->clear();
    QJsonObject all;
    if (!load(m_path, &all, error))
        return false;
    *password = all.value(key).toString();
    return true;
}

bool PasswordFile::write(const QString &key, const QString &password, QString *error)
{
    QJsonObject all;
    if (!load(m_path, &all, error))
        return false;
    if (password.isEmpty())
        all.remove(key);
    else
        all.insert(key, password);

    const QString dir = QFileInfo(m_path).absolutePath();
#ifdef Q_OS_WIN
    // The user's profile lets nobody else in.
    if (!QDir().mkpath(dir)) {
        *error = systemError(QStringLiteral("cannot make"), dir);
        return false;
    }
    return FileSync::replaceFile(m_path, QJsonDocument(all).toJson(), error);
#else
    if (!QDir().exists(dir) && ::mkdir(QFile::encodeName(dir).constData(), S_IRWXU) != 0 &&
        !QDir().mkpath(dir)) {
        *error = systemError(QStringLiteral("cannot make"), dir);
        return false;
    }
    const QByteArray data = QJsonDocument(all).toJson();
    const QByteArray target = QFile::encodeName(m_path);
    const QByteArray temporary = target + ".tmp";
    ::unlink(temporary.constData());
    // Made with the owner's rights alone, whatever the umask says.
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        *error = systemError(QStringLiteral("cannot write"), QFile::decodeName(temporary));
        return false;
    }
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    for (qint64 done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += n > 0 ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok)
        *error = systemError(QStringLiteral("cannot write"), QFile::decodeName(temporary));
    ::close(fd);
    if (ok && ::rename(temporary.constData(), target.constData()) != 0) {
        *error = systemError(QStringLiteral("cannot replace"), m_path);
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.constData());
    return ok;
#endif
}
