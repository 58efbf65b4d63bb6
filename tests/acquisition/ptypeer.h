#pragma once

#include <QByteArray>
#include <QString>

/// The meter's end of a pseudo-terminal: the program opens path(), the test
/// writes what the meter would send, and close() makes the device vanish.
class PtyPeer
{
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString path() const { return m_path; }
    /// Writes all of `bytes`; false when the pty refused them.
    bool write(const QByteArray &bytes);
    void close();

private:
    int m_master = -1;
    QString m_path;
};
