#pragma once

#include <QByteArray>

/// Receive buffers larger than this are trimmed by boundRxBuffer(). At 2400
/// baud it is about 17 seconds of line traffic.
constexpr int kMaxRxBuffer = 4096;

/// Outcome of one cut of the receive buffer.
enum class FrameCut {
    None,    ///< no line feed past index 0: nothing removed, no frame
    Dropped, ///< a line feed below index 13: bytes through it removed, no frame
    Frame    ///< the 14 bytes ending at the newest line feed were taken
};

/// Cuts the newest complete frame out of the receive buffer, the way each
/// sampling tick does.
///
/// Searches `rx` backwards from its last byte for the last line feed; index 0
/// is never examined. With that line feed at index p:
/// - p >= 13: `frame` becomes bytes p-13..p, bytes 0..p are removed from `rx`
///   (older complete frames are discarded unread), returns FrameCut::Frame;
/// - 1 <= p < 13: bytes 0..p are removed, `frame` is left alone, returns
///   FrameCut::Dropped (the bytes before the line feed are the tail of a frame
///   whose start was never received);
/// - no line feed: nothing changes, returns FrameCut::None.
/// The tick calls it only once at least 14 bytes are buffered; with fewer
/// bytes it returns FrameCut::None and changes nothing, so callers may call it
/// unconditionally.
FrameCut takeNewestFrame(QByteArray &rx, QByteArray &frame);

/// Keeps a receive buffer from growing without bound on a line that never
/// sends a line feed (or while ticks are far apart).
///
/// Does nothing while `rx` holds at most `limit` bytes. Otherwise drops every
/// byte that no later takeNewestFrame() could use: it keeps the newest
/// complete frame (if any) and at most the last 13 bytes after the newest line
/// feed, so at most 27 bytes remain. The next takeNewestFrame() returns the
/// same frame it would have returned on the untrimmed buffer, and frames
/// completed by later bytes are the same too. Returns true when it trimmed.
bool boundRxBuffer(QByteArray &rx, int limit = kMaxRxBuffer);

/// Cuts a byte stream into every frame it holds, in order, for offline
/// decoding of captures.
///
/// A line feed at offset 13 or more of the bytes not yet consumed closes a
/// frame made of the 14 bytes ending there; a line feed at a smaller offset
/// closes nothing. Either way the bytes through the line feed are consumed.
/// Memory stays bounded whatever is fed: unconsumed bytes without a line feed
/// are kept only as far as a later frame could need them (13 bytes).
class FrameSplitter
{
public:
    /// Appends received bytes; call next() until it returns false afterwards.
    void feed(const QByteArray &bytes);
    /// Same as feed() for a raw block.
    void feed(const char *data, int size);

    /// Takes the next complete frame into `frame`; false when the bytes fed
    /// so far hold no further frame.
    bool next(QByteArray &frame);

    /// Number of fed bytes that are not yet consumed (an incomplete frame).
    int pendingBytes() const;

private:
    void compact();

    QByteArray m_buffer;
    int m_pos = 0;
    int m_scanned = 0; ///< m_buffer[m_pos..m_scanned) holds no line feed
};
