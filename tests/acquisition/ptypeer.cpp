#include "ptypeer.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0)
        return;
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        close();
        return;
    }
    m_path = QString::fromLocal8Bit(ptsname(m_master));
}

PtyPeer::~PtyPeer()
{
    close();
}

bool PtyPeer::write(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_master, data, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

void PtyPeer::close()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}
