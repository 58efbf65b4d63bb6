#pragma once

#include <QByteArray>
#include <QString>

/// The logger's lines on stderr, one per event.
///
/// Where stderr is the systemd journal (JOURNAL_STREAM names stderr's device
/// and inode, see systemd.exec(5)) each line starts with its syslog priority
/// as sd-daemon(3) spells it ("<3>" errors, "<4>" warnings, "<6>" the rest),
/// so `journalctl -p warning` shows what needs attention; the journal adds the
/// program's name itself. Anywhere else (a terminal, a file, a pipe) a line
/// starts with the program's name and, for warnings and errors, says so in
/// words: a person reads those, and "<4>" means nothing to them.
class LoggerLog
{
public:
    enum class Priority { Error = 3, Warning = 4, Info = 6, Debug = 7 };

    /// Picks the form of the lines from the environment and routes Qt's
    /// messages (the store's warnings among them) through write(). Call once,
    /// before other threads start.
    static void install();

    /// One line in one write(2), so the lines of several threads never mix.
    /// Line breaks inside `text` become spaces. Any thread.
    static void write(Priority priority, const QString &text);

    static void error(const QString &text) { write(Priority::Error, text); }
    static void warning(const QString &text) { write(Priority::Warning, text); }
    static void info(const QString &text) { write(Priority::Info, text); }

    /// The line write() puts out, with its line feed.
    static QByteArray format(Priority priority, const QString &text, bool journal);

    /// Whether `message` is one of Qt's SQL classes' own warnings (a statement
    /// on a closed connection, a prepared statement that cannot be freed),
    /// which restate a fault the store reports in a line of its own.
    static bool isQtSqlDetail(const QString &message);

    /// Whether `fd` is the stream `journalStream` ("DEVICE:INODE") names.
    static bool isJournalStream(const QByteArray &journalStream, int fd);
};
