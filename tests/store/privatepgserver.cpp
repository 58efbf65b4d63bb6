#include "privatepgserver.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString kBinDir = QStringLiteral("/usr/lib/postgresql/15/bin/");

int freeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}
} // namespace

PrivatePgServer::PrivatePgServer() : m_dir(QDir::tempPath() + QStringLiteral("/tk52k-pg-XXXXXX")) {}

PrivatePgServer::~PrivatePgServer()
{
    if (m_running)
        stop(true, nullptr);
}

bool PrivatePgServer::create(QString *error)
{
    // initdb refuses root: the cluster then belongs to the user postgres.
    const passwd *pw = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
    if (!m_dir.isValid() || (::geteuid() == 0 && (!pw || ::chown(QFile::encodeName(m_dir.path()).constData(),
                                                                 pw->pw_uid, pw->pw_gid) != 0))) {
        *error = QStringLiteral("no temporary folder for the server");
        return false;
    }
    m_port = freeTcpPort();
    return run(QStringLiteral("initdb"),
               QStringLiteral("-D %1 -U postgres -A trust -E UTF8 --no-locale --no-sync")
                   .arg(m_dir.filePath(QStringLiteral("data")))
                   .split(' '),
               error)
        && start(error);
}

bool PrivatePgServer::start(QString *error)
{
    const QString options =
        QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off").arg(m_port).arg(m_dir.path());
    m_running = run(QStringLiteral("pg_ctl"),
                    {"-D", m_dir.filePath(QStringLiteral("data")), "-w", "-o", options, "-l",
                     m_dir.filePath(QStringLiteral("log")), "-t", "60", "start"},
                    error);
    return m_running;
}

bool PrivatePgServer::stop(bool immediate, QString *error)
{
    m_running = false;
    return run(QStringLiteral("pg_ctl"),
               {"-D", m_dir.filePath(QStringLiteral("data")), "-w", "-m", immediate ? "immediate" : "fast", "stop"},
               error);
}

bool PrivatePgServer::run(const QString &tool, const QStringList &args, QString *error)
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (::geteuid() == 0)
        p.start(QStringLiteral("runuser"), QStringList{"-u", "postgres", "--", kBinDir + tool} + args);
    else
        p.start(kBinDir + tool, args);
    if (p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    if (error)
        *error = QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(p.readAll()));
    return false;
}
