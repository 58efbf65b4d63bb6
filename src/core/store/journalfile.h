#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

/// What the journals of readings and of alarm events share: their text
/// fields and how a program takes a journal file of its own.
namespace JournalFile {

/// Adds `text` to `out` in UTF-8, with backslash, tab, line feed and
/// carriage return escaped, so a field never ends a field or a line.
void appendEscaped(QByteArray &out, const QString &text);
QByteArray escaped(const QString &text);
/// The text of an escaped field; false for an escape no writer makes.
bool unescaped(const QByteArray &field, QString *text);
/// Whether `field` is a whole number above 0, which goes to `value`.
bool positive(const QByteArray &field, qint64 *value);

/// The lock file beside a journal; it is held while a program owns it.
QString lockPathOf(const QString &journalPath);
/// Takes "<stem>.journal" in `dir`, or where another running program owns
/// that one, a file "<stem>-<pid>-<ms>-<n>.journal" of its own. The lock
/// (FileSync::tryLock()) is returned and `path` set; -1 when none could be
/// had.
qint64 takeFile(const QString &dir, const QString &stem, QString *path);

/// The journal of an ended program, taken over, with its lock held.
struct Taken
{
    QString path;
    qint64 lock = -1;
};
/// The lines ("A", the file's name) that mark the files taken over as read,
/// for a start that dies before it has removed them.
QByteArray takenLines(const QVector<Taken> &taken);
/// Lets the files taken over go; with `remove` (their contents are in the
/// caller's journal now) their files and lock files go first.
void release(QVector<Taken> *taken, bool remove);

} // namespace JournalFile
