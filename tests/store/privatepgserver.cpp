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
    if (fd < 0)
        return 0;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
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
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    if (::geteuid() == 0) {
        const passwd *pw = ::getpwnam("postgres");
        if (!pw || ::chown(QFile::encodeName(m_dir.path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
            *error = QStringLiteral("cannot hand the temporary folder to the user postgres");
            return false;
        }
    }
    m_port = freeTcpPort();
    if (m_port == 0) {
        *error = QStringLiteral("no free port");
        return false;
    }
    if (!run(kBinDir + QStringLiteral("initdb"),
             {QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-U"),
              QStringLiteral("postgres"), QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"),
              QStringLiteral("UTF8"), QStringLiteral("--no-locale"), QStringLiteral("--no-sync")},
             error))
        return false;
    return start(error);
}

bool PrivatePgServer::start(QString *error)
{
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                                .arg(m_port)
                                .arg(m_dir.path());
    if (!pgCtl({QStringLiteral("-o"), options, QStringLiteral("-l"), m_dir.filePath(QStringLiteral("log")),
                QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("start")},
               error))
        return false;
    m_running = true;
    return true;
}

bool PrivatePgServer::stop(bool immediate, QString *error)
{
    m_running = false;
    return pgCtl({QStringLiteral("-m"), immediate ? QStringLiteral("immediate") : QStringLiteral("fast"),
                  QStringLiteral("stop")},
                 error);
}

bool PrivatePgServer::pgCtl(const QStringList &args, QString *error)
{
    return run(
        kBinDir + QStringLiteral("pg_ctl"),
        QStringList{QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-w")} +
            args,
        error);
}

bool PrivatePgServer::run(const QString &program, const QStringList &args, QString *error)
{
    QProcess p;
    p.setWorkingDirectory(m_dir.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    if (::geteuid() == 0)
        p.start(QStringLiteral("runuser"),
                QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), program} +
                    args);
    else
        p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (error)
            *error = QStringLiteral("%1 failed: %2")
                         .arg(QFileInfo(program).fileName(), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}
