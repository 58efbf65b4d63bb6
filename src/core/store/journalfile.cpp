#include "journalfile.h"

#include "core/store/filesync.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace JournalFile {

void appendEscaped(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const auto special = [](char c) { return c == '\\' || c == '\t' || c == '\n' || c == '\r'; };
    if (std::none_of(utf8.cbegin(), utf8.cend(), special)) {
        out += utf8;
        return;
    }
    for (const char c : utf8) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
}

QByteArray escaped(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    appendEscaped(out, text);
    return out;
}

bool unescaped(const QByteArray &field, QString *text)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) != '\\') {
            out += field.at(i);
            continue;
        }
        if (++i == field.size())
            return false;
        switch (field.at(i)) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            return false;
        }
    }
    *text = QString::fromUtf8(out);
    return true;
}

bool positive(const QByteArray &field, qint64 *value)
{
    bool ok = false;
    *value = field.toLongLong(&ok);
    return ok && *value > 0;
}

QString lockPathOf(const QString &journalPath)
{
    return journalPath + QLatin1String(".lock");
}

qint64 takeFile(const QString &dir, const QString &stem, QString *path)
{
    const QDir folder(dir);
    *path = folder.filePath(stem + QLatin1String(".journal"));
    qint64 lock = FileSync::tryLock(lockPathOf(*path));
    // Another copy of the program runs and owns the shared file.
    for (int n = 0; lock < 0 && n < 100; ++n) {
        *path = folder.filePath(QStringLiteral("%1-%2-%3-%4.journal")
                                    .arg(stem)
                                    .arg(QCoreApplication::applicationPid())
                                    .arg(QDateTime::currentMSecsSinceEpoch())
                                    .arg(n));
        if (!QFile::exists(*path))
            lock = FileSync::tryLock(lockPathOf(*path));
    }
    return lock;
}

QByteArray takenLines(const QVector<Taken> &taken)
{
    QByteArray lines;
    for (const Taken &t : taken)
        lines += "A\t" + escaped(QFileInfo(t.path).fileName()) + '\n';
    return lines;
}

void release(QVector<Taken> *taken, bool remove)
{
    for (const Taken &t : qAsConst(*taken)) {
        if (remove) {
            QFile::remove(t.path);
            QFile::remove(lockPathOf(t.path));
        }
        FileSync::unlock(t.lock);
    }
    taken->clear();
}

} // namespace JournalFile
