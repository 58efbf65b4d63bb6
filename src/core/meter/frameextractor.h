#pragma once

#include <QByteArray>
#include <QVector>

/// Receive buffers larger than this are trimmed by boundRxBuffer(). At 2400
/// baud it is about 17 seconds of line traffic.
constexpr int kMaxRxBuffer = 4096;

/// Outcome of one cut of the receive buffer.
enum class FrameCut {
    None,    ///< fewer than 14 bytes: nothing removed, no frame
    Dropped, ///< no complete frame: bytes no frame can use any more removed
    Frame    ///< the newest complete frame was taken
};

// Where frames end. A line feed closes a frame only when the 14 bytes ending
// with it pass the decoder's validity test (a space at byte 5, digits or the
// overload pattern in bytes 1–4). The status and bar-graph bytes can hold the
// line feed's value themselves (AC with HOLD, a bar of length 10, APO on a
// nanofarad range), and a frame cut at such a byte would be noise that also
// takes the real frame before it along. A window ending at a line feed inside
// a frame always has that frame's own line feed among bytes 1–5, so it never
// passes the test.

/// Cuts the newest complete frame out of the receive buffer, the way each
/// sampling tick does.
///
/// Searches `rx` backwards for the last line feed at an index p >= 13 that
/// closes a frame (see above):
/// - found: `frame` becomes bytes p-13..p, bytes 0..p are removed from `rx`
///   (older frames are discarded unread), returns FrameCut::Frame;
/// - none, with 14 or more bytes buffered: every byte but the last 13 is
///   removed (no later frame can start before them), `frame` is left alone,
///   returns FrameCut::Dropped;
/// - fewer than 14 bytes: nothing changes, returns FrameCut::None.
/// `end`, when given, receives p (the index the frame's line feed had in
/// `rx` before the cut) for FrameCut::Frame.
FrameCut takeNewestFrame(QByteArray &rx, QByteArray &frame, int *end = nullptr);

/// Cuts every complete frame out of the receive buffer, oldest first, for a
/// tick that is to miss none of them.
///
/// Frame ends are found as by takeNewestFrame(), and frames never overlap.
/// When there is one, the frames are appended to `frames`, bytes 0 through
/// the newest frame end are removed and FrameCut::Frame is returned; the
/// other cases behave exactly as takeNewestFrame() does. `ends`, when given,
/// receives for each frame appended the index its line feed had in `rx`
/// before the cut.
FrameCut takeAllFrames(QByteArray &rx, QVector<QByteArray> &frames, QVector<int> *ends = nullptr);

/// Keeps a receive buffer from growing without bound while ticks are far
/// apart or on a line that never closes a frame.
///
/// Does nothing while `rx` holds at most `limit` bytes. Otherwise keeps only
/// the end of `rx` from its newest complete frame on, so the next
/// takeNewestFrame() returns the frame it would have returned on the
/// untrimmed buffer and later bytes complete the same frames; when even that
/// end is longer than `limit` (more than `limit` bytes of noise since the
/// last frame), only the last 13 bytes after that frame are kept. Returns
/// true when it trimmed.
bool boundRxBuffer(QByteArray &rx, int limit = kMaxRxBuffer);

/// Cuts a byte stream into every frame it holds, in order, for offline
/// decoding of captures; noise shows up as invalid frames.
///
/// A line feed at offset 13 or more of the bytes not yet consumed yields the
/// 14 bytes ending there and consumes the bytes through it, unless its 14
/// bytes fail the validity test and a frame that passes ends within the next
/// 6 bytes: then it is a status or bar-graph byte inside that frame and is
/// passed over (the splitter waits for those 6 bytes, or for finish()). A
/// line feed at a smaller offset closes nothing. Memory stays bounded
/// whatever is fed: bytes that no later frame can use are dropped.
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

    /// Marks the end of the input: next() no longer waits for bytes that
    /// will not come.
    void finish();

private:
    void compact();
    bool lineFeedInsideFrame(int lf) const;

    QByteArray m_buffer;
    bool m_finished = false;
    int m_pos = 0;
    int m_scanned = 0; ///< no frame ends in m_buffer[m_pos..m_scanned)
};
