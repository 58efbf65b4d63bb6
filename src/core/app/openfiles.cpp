#include "openfiles.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace OpenFiles {

bool exhausted()
{
#ifdef Q_OS_UNIX
    // The cheapest open there is tells whether one more would succeed.
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == EMFILE || errno == ENFILE;
#else
    return false;
#endif
}

QString named(const QString &reason)
{
    if (reason.contains(QLatin1String("too many open files"), Qt::CaseInsensitive) || !exhausted())
        return reason;
    QString text = QStringLiteral("too many open files");
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        text +=
            QStringLiteral(" (all %1 descriptors of this process in use)").arg(qulonglong(limit.rlim_cur));
#endif
    return reason.isEmpty() ? text : reason + QStringLiteral("; ") + text;
}

} // namespace OpenFiles
