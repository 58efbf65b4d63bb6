#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

class QIODevice;

/// Writes a zip archive of deflated entries, one after the other, onto a
/// seekable device: each entry's sizes and checksum are filled into its
/// header when it ends. Sizes and offsets past 4 GiB are written in the
/// 64-bit form; every local header carries room for it, as the workbooks
/// written before did.
///
/// An entry may begin with a head that is only known at its end (a
/// worksheet's dimension comes before its rows): beginEntry() keeps
/// `headSize` bytes free, stored as they are, and endEntry() fills them.
///
/// Calls after a failure do nothing and return false; errorString() says
/// what failed first.
class ZipWriter
{
public:
    /// `level`: the deflate level, 1 (fastest) to 9.
    ZipWriter(QIODevice *out, int level);
    ~ZipWriter();
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    bool beginEntry(const QByteArray &name, int headSize = 0);
    bool write(const char *data, size_t size);
    /// `head`: exactly the `headSize` bytes beginEntry() kept.
    bool endEntry(const QByteArray &head = QByteArray());
    bool addEntry(const QByteArray &name, const QByteArray &data);
    /// Writes the central directory; the archive is complete when true.
    bool finish();

    bool ok() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

private:
    struct Entry {
        QByteArray name;
        uint64_t offset = 0;
        uint64_t compressed = 0;
        uint64_t size = 0;
        uint32_t crc = 0;
    };

    bool fail(const QString &why);
    bool put(const char *data, size_t size);
    bool deflateSome(int flush);

    QIODevice *m_out;
    struct Stream;
    Stream *m_z;
    std::vector<Entry> m_entries;
    Entry m_entry;     // the one being written
    int m_headSize = 0;
    uint64_t m_pos = 0; // bytes written so far
    uint64_t m_bodyCompressed = 0;
    uint64_t m_bodySize = 0;
    uint32_t m_bodyCrc = 0;
    bool m_open = false;
    std::vector<char> m_buffer;
    QString m_error;
};
