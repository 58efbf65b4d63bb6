#include "frameextractor.h"

#include "framedecoder.h"

namespace {

constexpr char kLineFeed = '\n';
// A frame is the line feed and the 13 bytes before it.
constexpr int kFrameBody = kFrameSize - 1;

// Index of the newest line feed, never index 0; -1 when there is none.
int newestLineFeed(const QByteArray &rx)
{
    const int p = rx.lastIndexOf(kLineFeed);
    return p >= 1 ? p : -1;
}

} // namespace

FrameCut takeNewestFrame(QByteArray &rx, QByteArray &frame)
{
    if (rx.size() < kFrameSize)
        return FrameCut::None;
    const int p = newestLineFeed(rx);
    if (p < 0)
        return FrameCut::None;
    if (p < kFrameBody) {
        rx.remove(0, p + 1);
        return FrameCut::Dropped;
    }
    frame = rx.mid(p - kFrameBody, kFrameSize);
    rx.remove(0, p + 1);
    return FrameCut::Frame;
}

bool boundRxBuffer(QByteArray &rx, int limit)
{
    if (rx.size() <= limit)
        return false;
    const int p = newestLineFeed(rx);
    // Bytes after the newest line feed matter only as the first 13 bytes of
    // a frame whose line feed is still to come.
    const int tailStart = p < 0 ? 0 : p + 1;
    const int tailKept = qMin(rx.size() - tailStart, kFrameBody);
    QByteArray kept;
    if (p >= kFrameBody)
        kept = rx.mid(p - kFrameBody, kFrameSize);
    kept += rx.right(tailKept);
    rx = kept;
    return true;
}

void FrameSplitter::feed(const QByteArray &bytes)
{
    feed(bytes.constData(), bytes.size());
}

void FrameSplitter::feed(const char *data, int size)
{
    compact();
    m_buffer.append(data, size);
}

bool FrameSplitter::next(QByteArray &frame)
{
    for (;;) {
        const int lf = m_buffer.indexOf(kLineFeed, m_scanned);
        if (lf < 0) {
            m_scanned = m_buffer.size();
            // Only the newest 13 bytes can still become part of a frame.
            if (m_scanned - m_pos > kFrameBody)
                m_pos = m_scanned - kFrameBody;
            return false;
        }
        const int offset = lf - m_pos;
        m_pos = lf + 1;
        m_scanned = m_pos;
        if (offset >= kFrameBody) {
            frame = m_buffer.mid(lf - kFrameBody, kFrameSize);
            return true;
        }
    }
}

int FrameSplitter::pendingBytes() const
{
    return m_buffer.size() - m_pos;
}

void FrameSplitter::compact()
{
    if (m_pos == 0)
        return;
    m_buffer.remove(0, m_pos);
    m_scanned -= m_pos;
    m_pos = 0;
}
