#include "export/zipwriter.h"

#include <QIODevice>

#include <zlib.h>

#include <algorithm>

namespace {

constexpr uint32_t Max32 = 0xFFFFFFFFu;
constexpr int Zip64Extra = 20; // id, size, then the two 64-bit sizes
constexpr size_t BufferSize = 256 * 1024;

void le(QByteArray *b, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b->append(char((v >> (8 * i)) & 0xFF));
}

// A local header: the sizes both in 32 bits (all ones past 4 GiB) and in
// the 64-bit extra field that every entry carries.
QByteArray localHeader(const QByteArray &name, uint32_t crc, uint64_t compressed, uint64_t size)
{
    QByteArray h;
    le(&h, 0x04034b50, 4);
    le(&h, 45, 2);    // needed to extract: the 64-bit fields
    le(&h, 0, 2);     // flags
    le(&h, 8, 2);     // deflated
    le(&h, 0, 2);     // time 00:00
    le(&h, 0x21, 2);  // date 1980-01-01
    le(&h, crc, 4);
    const bool big = compressed >= Max32 || size >= Max32;
    le(&h, big ? Max32 : compressed, 4);
    le(&h, big ? Max32 : size, 4);
    le(&h, uint64_t(name.size()), 2);
    le(&h, Zip64Extra, 2);
    h.append(name);
    le(&h, 1, 2);
    le(&h, 16, 2);
    le(&h, size, 8);
    le(&h, compressed, 8);
    return h;
}

} // namespace

struct ZipWriter::Stream {
    z_stream z = {};
    bool ready = false;
};

ZipWriter::ZipWriter(QIODevice *out, int level)
    : m_out(out)
    , m_z(new Stream)
    , m_buffer(BufferSize)
{
    if (deflateInit2(&m_z->z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK)
        m_z->ready = true;
    else
        fail(QStringLiteral("cannot start the compression"));
}

ZipWriter::~ZipWriter()
{
    if (m_z->ready)
        deflateEnd(&m_z->z);
    delete m_z;
}

bool ZipWriter::fail(const QString &why)
{
    if (m_error.isEmpty())
        m_error = why.isEmpty() ? QStringLiteral("cannot write the file") : why;
    return false;
}

bool ZipWriter::put(const char *data, size_t size)
{
    if (!ok())
        return false;
    while (size > 0) {
        const qint64 n = m_out->write(data, qint64(size));
        if (n <= 0)
            return fail(m_out->errorString());
        data += n;
        size -= size_t(n);
        m_pos += uint64_t(n);
    }
    return true;
}

bool ZipWriter::beginEntry(const QByteArray &name, int headSize)
{
    if (!ok())
        return false;
    m_entry = Entry();
    m_entry.name = name;
    m_entry.offset = m_pos;
    m_headSize = headSize;
    m_bodyCompressed = m_bodySize = 0;
    m_bodyCrc = crc32(0, nullptr, 0);
    m_open = true;
    if (deflateReset(&m_z->z) != Z_OK)
        return fail(QStringLiteral("cannot start the compression"));
    // The header as it will be, its sizes filled in at the end; then the
    // room of the stored head block.
    QByteArray room = localHeader(name, 0, 0, 0);
    if (headSize > 0)
        room.append(5 + headSize, '\0');
    return put(room.constData(), size_t(room.size()));
}

bool ZipWriter::deflateSome(int flush)
{
    z_stream &z = m_z->z;
    for (;;) {
        z.next_out = reinterpret_cast<Bytef *>(m_buffer.data());
        z.avail_out = uInt(m_buffer.size());
        const int r = deflate(&z, flush);
        if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)
            return fail(QStringLiteral("compression failed"));
        const size_t made = m_buffer.size() - z.avail_out;
        m_bodyCompressed += made;
        if (!put(m_buffer.data(), made))
            return false;
        if (flush == Z_FINISH ? r == Z_STREAM_END : (z.avail_in == 0 && z.avail_out != 0))
            return true;
    }
}

bool ZipWriter::write(const char *data, size_t size)
{
    if (!ok() || !m_open)
        return false;
    m_bodyCrc = uint32_t(crc32(m_bodyCrc, reinterpret_cast<const Bytef *>(data), uInt(size)));
    m_bodySize += size;
    z_stream &z = m_z->z;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    z.avail_in = uInt(size);
    return deflateSome(Z_NO_FLUSH);
}

bool ZipWriter::endEntry(const QByteArray &head)
{
    if (!ok() || !m_open)
        return false;
    m_open = false;
    if (head.size() != m_headSize)
        return fail(QStringLiteral("an entry's head does not fit its room"));
    m_z->z.next_in = nullptr;
    m_z->z.avail_in = 0;
    if (!deflateSome(Z_FINISH))
        return false;

    // The head goes in one stored block, not the last, ahead of the
    // deflated body: a reader inflates both as one stream.
    QByteArray block;
    uint32_t crc = m_bodyCrc;
    if (m_headSize > 0) {
        block.append('\0');
        le(&block, uint64_t(m_headSize), 2);
        le(&block, uint64_t(~m_headSize & 0xFFFF), 2);
        block.append(head);
        const uint32_t headCrc =
            uint32_t(crc32(0, reinterpret_cast<const Bytef *>(head.constData()), uInt(head.size())));
        // The head's checksum carried over the body's length, in steps a
        // 32-bit z_off_t (Windows) holds.
        uLong carried = headCrc;
        for (uint64_t left = m_bodySize; left > 0;) {
            const uint64_t step = std::min<uint64_t>(left, 1u << 30);
            carried = crc32_combine(carried, 0, z_off_t(step));
            left -= step;
        }
        crc = uint32_t(carried ^ m_bodyCrc);
    }
    m_entry.crc = crc;
    m_entry.size = uint64_t(m_headSize) + m_bodySize;
    m_entry.compressed = uint64_t(block.size()) + m_bodyCompressed;

    const uint64_t end = m_pos;
    QByteArray header = localHeader(m_entry.name, crc, m_entry.compressed, m_entry.size);
    header.append(block);
    if (!m_out->seek(qint64(m_entry.offset)))
        return fail(m_out->errorString());
    m_pos = m_entry.offset;
    if (!put(header.constData(), size_t(header.size())))
        return false;
    if (!m_out->seek(qint64(end)))
        return fail(m_out->errorString());
    m_pos = end;
    m_entries.push_back(m_entry);
    return true;
}

bool ZipWriter::addEntry(const QByteArray &name, const QByteArray &data)
{
    return beginEntry(name) && write(data.constData(), size_t(data.size())) && endEntry();
}

bool ZipWriter::finish()
{
    if (!ok() || m_open)
        return fail(QString());
    const uint64_t start = m_pos;
    QByteArray dir;
    for (const Entry &e : m_entries) {
        // The 64-bit extra field holds, in this order, what its 32-bit
        // field cannot.
        QByteArray extra;
        if (e.size >= Max32)
            le(&extra, e.size, 8);
        if (e.compressed >= Max32)
            le(&extra, e.compressed, 8);
        if (e.offset >= Max32)
            le(&extra, e.offset, 8);
        le(&dir, 0x02014b50, 4);
        le(&dir, 45, 2); // made by: this version, the usual host
        le(&dir, extra.isEmpty() ? 20 : 45, 2);
        le(&dir, 0, 2);
        le(&dir, 8, 2);
        le(&dir, 0, 2);
        le(&dir, 0x21, 2);
        le(&dir, e.crc, 4);
        le(&dir, std::min<uint64_t>(e.compressed, Max32), 4);
        le(&dir, std::min<uint64_t>(e.size, Max32), 4);
        le(&dir, uint64_t(e.name.size()), 2);
        le(&dir, extra.isEmpty() ? 0 : uint64_t(4 + extra.size()), 2);
        le(&dir, 0, 2); // comment
        le(&dir, 0, 2); // disk
        le(&dir, 1, 2); // text
        le(&dir, 0, 4);
        le(&dir, std::min<uint64_t>(e.offset, Max32), 4);
        dir.append(e.name);
        if (!extra.isEmpty()) {
            le(&dir, 1, 2);
            le(&dir, uint64_t(extra.size()), 2);
            dir.append(extra);
        }
    }
    const uint64_t size = uint64_t(dir.size());
    const uint64_t count = m_entries.size();
    if (start >= Max32 || count >= 0xFFFF) {
        const uint64_t record = start + size;
        le(&dir, 0x06064b50, 4);
        le(&dir, 44, 8);
        le(&dir, 45, 2);
        le(&dir, 45, 2);
        le(&dir, 0, 4);
        le(&dir, 0, 4);
        le(&dir, count, 8);
        le(&dir, count, 8);
        le(&dir, size, 8);
        le(&dir, start, 8);
        le(&dir, 0x07064b50, 4);
        le(&dir, 0, 4);
        le(&dir, record, 8);
        le(&dir, 1, 4);
    }
    le(&dir, 0x06054b50, 4);
    le(&dir, 0, 2);
    le(&dir, 0, 2);
    le(&dir, std::min<uint64_t>(count, 0xFFFF), 2);
    le(&dir, std::min<uint64_t>(count, 0xFFFF), 2);
    le(&dir, std::min<uint64_t>(size, Max32), 4);
    le(&dir, std::min<uint64_t>(start, Max32), 4);
    le(&dir, 0, 2);
    return put(dir.constData(), size_t(dir.size()));
}
