#include "loggerlog.h"

#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace {
std::atomic<bool> g_journal{false};

// The store and Qt speak through qWarning() and its kin. The store names the
// program family at the start of its lines; the logger names itself instead.
void qtMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // Qt's SQL classes warn of what the store meets anyway and says in a
    // line of its own, with the reason (a statement on a connection that
    // broke, prepared statements that cannot be freed with it): they go to
    // the journal as details, and not to a terminal at all.
    if (LoggerLog::isQtSqlDetail(message)) {
        if (g_journal)
            LoggerLog::write(LoggerLog::Priority::Debug, message);
        return;
    }
    LoggerLog::Priority priority = LoggerLog::Priority::Warning;
    switch (type) {
    case QtDebugMsg:
        priority = LoggerLog::Priority::Debug;
        break;
    case QtInfoMsg:
        priority = LoggerLog::Priority::Info;
        break;
    case QtWarningMsg:
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        priority = LoggerLog::Priority::Error;
        break;
    }
    const QString storePrefix = QStringLiteral("tk52k: ");
    LoggerLog::write(priority, message.startsWith(storePrefix) ? message.mid(storePrefix.size()) : message);
}
} // namespace

void LoggerLog::install()
{
    g_journal = isJournalStream(qgetenv("JOURNAL_STREAM"), STDERR_FILENO);
    qInstallMessageHandler(qtMessage);
}

bool LoggerLog::isQtSqlDetail(const QString &message)
{
    static const QStringList prefixes{QStringLiteral("QSqlQuery::"), QStringLiteral("QSqlDatabase"),
                                      QStringLiteral("QPSQL"), QStringLiteral("Unable to free statement")};
    for (const QString &prefix : prefixes) {
        if (message.startsWith(prefix))
            return true;
    }
    return false;
}

bool LoggerLog::isJournalStream(const QByteArray &journalStream, int fd)
{
    const int colon = journalStream.indexOf(':');
    if (colon <= 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = journalStream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = journalStream.mid(colon + 1).toULongLong(&inodeOk);
    struct stat st
    {
    };
    return deviceOk && inodeOk && ::fstat(fd, &st) == 0 && qulonglong(st.st_dev) == device &&
           qulonglong(st.st_ino) == inode;
}

QByteArray LoggerLog::format(Priority priority, const QString &text, bool journal)
{
    QByteArray line;
    if (journal) {
        line = '<' + QByteArray::number(int(priority)) + '>';
    } else {
        line = "tk52k-logger: ";
        if (priority == Priority::Error)
            line += "error: ";
        else if (priority == Priority::Warning)
            line += "warning: ";
    }
    QByteArray body = text.toUtf8();
    body.replace('\n', ' ');
    line += body;
    line += '\n';
    return line;
}

void LoggerLog::write(Priority priority, const QString &text)
{
    const QByteArray line = format(priority, text, g_journal);
    const char *p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nobody reads stderr any more: nothing to be done about it
        p += n;
        left -= n;
    }
}
