#pragma once

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

/// The meter's end of a pseudo-terminal: the program opens path(), the test
/// writes what the meter would send, and close() makes the device vanish.
class PtyPeer
{
public:
    PtyPeer() : m_master(posix_openpt(O_RDWR | O_NOCTTY))
    {
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0)
            m_path = QString::fromLocal8Bit(ptsname(m_master));
        else
            close();
    }
    ~PtyPeer() { close(); }
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString path() const { return m_path; }
    /// Writes all of `bytes`; false when the pty refused them.
    bool write(QByteArray bytes)
    {
        while (!bytes.isEmpty()) {
            const ssize_t n = ::write(m_master, bytes.constData(), static_cast<size_t>(bytes.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            bytes.remove(0, int(n));
        }
        return true;
    }
    void close()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    QString m_path;
};
