#include "frameextractor.h"

#include "framedecoder.h"

namespace {

constexpr char kLineFeed = '\n';
// A frame is the line feed and the 13 bytes before it.
constexpr int kFrameBody = kFrameSize - 1;

// True when a frame ends at index p of `data`: a line feed with a
// well-formed frame of 14 bytes ending there.
bool frameEndsAt(const char *data, int p)
{
    return p >= kFrameBody && data[p] == kLineFeed && hasFrameShape(data + p - kFrameBody);
}

// Index of the newest frame end in `rx`, or -1.
int newestFrameEnd(const QByteArray &rx)
{
    const char *data = rx.constData();
    for (int p = rx.lastIndexOf(kLineFeed); p >= kFrameBody; p = rx.lastIndexOf(kLineFeed, p - 1)) {
        if (frameEndsAt(data, p))
            return p;
    }
    return -1;
}

} // namespace

FrameCut takeNewestFrame(QByteArray &rx, QByteArray &frame, int *end)
{
    if (rx.size() < kFrameSize)
        return FrameCut::None;
    const int p = newestFrameEnd(rx);
    if (p < 0) {
        rx.remove(0, rx.size() - kFrameBody);
        return FrameCut::Dropped;
    }
    frame = rx.mid(p - kFrameBody, kFrameSize);
    rx.remove(0, p + 1);
    if (end)
        *end = p;
    return FrameCut::Frame;
}

FrameCut takeAllFrames(QByteArray &rx, QVector<QByteArray> &frames, QVector<int> *ends)
{
    if (rx.size() < kFrameSize)
        return FrameCut::None;
    const int newest = newestFrameEnd(rx);
    if (newest < 0) {
        rx.remove(0, rx.size() - kFrameBody);
        return FrameCut::Dropped;
    }
    const char *data = rx.constData();
    int consumed = 0; // bytes before this index belong to a frame already taken
    for (int p = rx.indexOf(kLineFeed, kFrameBody); p >= 0 && p <= newest; p = rx.indexOf(kLineFeed, p + 1)) {
        if (p - kFrameBody >= consumed && frameEndsAt(data, p)) {
            frames.append(rx.mid(p - kFrameBody, kFrameSize));
            if (ends)
                ends->append(p);
            consumed = p + 1;
        }
    }
    rx.remove(0, newest + 1);
    return FrameCut::Frame;
}

bool boundRxBuffer(QByteArray &rx, int limit)
{
    if (rx.size() <= limit)
        return false;
    // What is kept is always the buffer's own end, so no window across a
    // gap can pass for a frame. That is the newest frame and what followed
    // it, or, where that alone is over the limit, the 13 bytes a frame still
    // to come can start with.
    const int p = newestFrameEnd(rx);
    const int frameStart = p - kFrameBody;
    const int from = p >= 0 && rx.size() - frameStart <= limit ? frameStart
                                                               : qMax(rx.size() - kFrameBody, p + 1);
    rx.remove(0, from);
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
    const char *data = m_buffer.constData();
    for (;;) {
        const int lf = m_buffer.indexOf(kLineFeed, m_scanned);
        if (lf < 0) {
            m_scanned = m_buffer.size();
            // Only the newest 13 bytes can still become part of a frame.
            if (m_scanned - m_pos > kFrameBody)
                m_pos = m_scanned - kFrameBody;
            return false;
        }
        if (lf - m_pos < kFrameBody) {
            m_scanned = lf + 1;
            continue;
        }
        if (!frameEndsAt(data, lf)) {
            // Byte 7 is the first that can hold a line feed's value, so the
            // frame it would belong to ends at most 6 bytes later.
            if (!m_finished && m_buffer.size() <= lf + kFrameSize - 8) {
                m_pos = qMax(m_pos, lf - kFrameBody); // nothing older can be used
                m_scanned = qMax(m_scanned, m_pos);
                return false;
            }
            if (lineFeedInsideFrame(lf)) {
                m_scanned = lf + 1;
                continue;
            }
        }
        frame = m_buffer.mid(lf - kFrameBody, kFrameSize);
        m_pos = m_scanned = lf + 1;
        return true;
    }
}

bool FrameSplitter::lineFeedInsideFrame(int lf) const
{
    const int last = qMin(m_buffer.size() - 1, lf + kFrameSize - 8);
    for (int q = lf + 1; q <= last; ++q) {
        if (frameEndsAt(m_buffer.constData(), q))
            return true;
    }
    return false;
}

void FrameSplitter::finish()
{
    m_finished = true;
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
