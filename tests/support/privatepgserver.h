#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <pwd.h>
#include <unistd.h>

// A PostgreSQL server of the test's own that it may stop and start, reached only
// through a socket in its own folder. As root it runs as the user postgres,
// since initdb refuses root.
class PrivatePgServer
{
public:
    ~PrivatePgServer()
    {
        if (m_running)
            stop(true, nullptr);
    }
    bool create(QString *error)
    {
        const passwd *pw = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
        if (!m_dir.isValid() || (::geteuid() == 0 && (!pw || ::chown(QFile::encodeName(m_dir.path()).constData(),
                                                                     pw->pw_uid, pw->pw_gid) != 0))) {
            *error = QStringLiteral("no temporary folder for the server");
            return false;
        }
        return run("initdb", {"-D", m_dir.filePath("data"), "-U", "postgres", "-A", "trust", "-E", "UTF8",
                              "--no-locale", "--no-sync"}, error)
            && start(error);
    }
    bool start(QString *error)
    {
        const QString options = QStringLiteral("-k %1 -c listen_addresses= -c fsync=off").arg(m_dir.path());
        m_running = run("pg_ctl", {"-D", m_dir.filePath("data"), "-w", "-o", options, "-l", m_dir.filePath("log"),
                                   "-t", "60", "start"}, error);
        return m_running;
    }
    /// `immediate` stops like a crash.
    bool stop(bool immediate, QString *error)
    {
        m_running = false;
        return run("pg_ctl", {"-D", m_dir.filePath("data"), "-w", "-m", immediate ? "immediate" : "fast", "stop"},
                   error);
    }
    QString socketDir() const { return m_dir.path(); }

private:
    bool run(const QString &tool, const QStringList &args, QString *error)
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (::geteuid() == 0)
            p.start(QStringLiteral("runuser"), QStringList{"-u", "postgres", "--", QStringLiteral("/usr/lib/postgresql/15/bin/") + tool} + args);
        else
            p.start(QStringLiteral("/usr/lib/postgresql/15/bin/") + tool, args);
        if (p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return true;
        if (error)
            *error = QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(p.readAll()));
        return false;
    }

    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/tk52k-pg-XXXXXX")};
    bool m_running = false;
};
