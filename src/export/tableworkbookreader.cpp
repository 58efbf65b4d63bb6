#include "export/tableworkbookreader.h"

#include <QFile>
#include <QHash>
#include <QXmlStreamReader>
#include <QtEndian>

#include <zlib.h>

#include <functional>

namespace {

// Just enough of the zip container to read the parts of an xlsx file: the
// central directory, stored and deflated members, no zip64.
class ZipArchive
{
public:
    bool open(const QString &path)
    {
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::ReadOnly))
            return false;
        m_data = m_file.map(0, m_file.size());
        return m_data && readDirectory();
    }

    bool contains(const QString &name) const { return m_entries.contains(name); }

    /// Hands the member's bytes to `sink` in pieces; false when damaged.
    bool read(const QString &name, const std::function<void(const QByteArray &)> &sink) const
    {
        const auto it = m_entries.constFind(name);
        if (it == m_entries.constEnd())
            return false;
        const Entry &e = *it;
        if (e.localOffset + 30 > quint64(m_file.size()))
            return false;
        const uchar *local = m_data + e.localOffset;
        if (qFromLittleEndian<quint32>(local) != 0x04034b50)
            return false;
        const quint64 start = e.localOffset + 30 + qFromLittleEndian<quint16>(local + 26)
                              + qFromLittleEndian<quint16>(local + 28);
        if (start + e.packedSize > quint64(m_file.size()))
            return false;
        const uchar *packed = m_data + start;

        if (e.method == 0) {
            sink(QByteArray::fromRawData(reinterpret_cast<const char *>(packed), int(e.packedSize)));
            return true;
        }
        if (e.method != 8)
            return false;

        z_stream zs = {};
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
            return false;
        zs.next_in = const_cast<uchar *>(packed);
        zs.avail_in = uInt(e.packedSize);
        QByteArray out(1 << 18, Qt::Uninitialized);
        int rc = Z_OK;
        while (rc == Z_OK) {
            zs.next_out = reinterpret_cast<Bytef *>(out.data());
            zs.avail_out = uInt(out.size());
            rc = inflate(&zs, Z_NO_FLUSH);
            const int produced = out.size() - int(zs.avail_out);
            if (produced > 0)
                sink(QByteArray(out.constData(), produced));
            if (rc == Z_BUF_ERROR && zs.avail_in == 0)
                break;
        }
        inflateEnd(&zs);
        return rc == Z_STREAM_END;
    }

private:
    struct Entry {
        quint16 method = 0;
        quint64 packedSize = 0;
        quint64 localOffset = 0;
    };

    bool readDirectory()
    {
        const qint64 size = m_file.size();
        if (size < 22)
            return false;
        // The end record sits at the very end, behind a comment of at most 64 KiB.
        qint64 end = -1;
        for (qint64 p = size - 22; p >= 0 && p >= size - 22 - 65535; --p) {
            if (qFromLittleEndian<quint32>(m_data + p) == 0x06054b50) {
                end = p;
                break;
            }
        }
        if (end < 0)
            return false;
        const int count = qFromLittleEndian<quint16>(m_data + end + 10);
        qint64 p = qFromLittleEndian<quint32>(m_data + end + 16);
        for (int i = 0; i < count; ++i) {
            if (p + 46 > size || qFromLittleEndian<quint32>(m_data + p) != 0x02014b50)
                return false;
            Entry e;
            e.method = qFromLittleEndian<quint16>(m_data + p + 10);
            e.packedSize = qFromLittleEndian<quint32>(m_data + p + 20);
            e.localOffset = qFromLittleEndian<quint32>(m_data + p + 42);
            const int nameLen = qFromLittleEndian<quint16>(m_data + p + 28);
            const int extraLen = qFromLittleEndian<quint16>(m_data + p + 30);
            const int commentLen = qFromLittleEndian<quint16>(m_data + p + 32);
            if (p + 46 + nameLen > size)
                return false;
            m_entries.insert(
                QString::fromUtf8(reinterpret_cast<const char *>(m_data + p + 46), nameLen), e);
            p += 46 + nameLen + extraLen + commentLen;
        }
        return true;
    }

    QFile m_file;
    uchar *m_data = nullptr;
    QHash<QString, Entry> m_entries;
};

// "C12" -> column 2 (0-based), or -1.
int columnOf(QStringView ref)
{
    int col = 0;
    int i = 0;
    for (; i < ref.size() && ref.at(i).isLetter(); ++i)
        col = col * 26 + (ref.at(i).toUpper().unicode() - 'A' + 1);
    return i == 0 ? -1 : col - 1;
}

// Collects the text of an <si> or <is> element, runs included.
QString readStringItem(QXmlStreamReader &xml)
{
    QString text;
    const QStringView end = xml.name();
    const QString endName = end.toString();
    while (xml.readNext() != QXmlStreamReader::Invalid) {
        if (xml.isStartElement() && xml.name() == QLatin1String("t"))
            text += xml.readElementText();
        else if (xml.isEndElement() && xml.name() == endName)
            break;
    }
    return text;
}

bool readSharedStrings(const ZipArchive &zip, QStringList *strings)
{
    const QString name = QStringLiteral("xl/sharedStrings.xml");
    if (!zip.contains(name))
        return true;
    QByteArray all;
    if (!zip.read(name, [&](const QByteArray &b) { all += b; }))
        return false;
    QXmlStreamReader xml(all);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("si"))
            strings->append(readStringItem(xml));
    }
    return !xml.hasError();
}

// One worksheet, parsed as its bytes are inflated.
class SheetParser
{
public:
    SheetParser(const QStringList &shared, QVector<QVector<QString>> *rows, QVector<double> *widths)
        : m_shared(shared), m_rows(rows), m_widths(widths)
    {
    }

    void feed(const QByteArray &bytes)
    {
        m_xml.addData(bytes);
        parse();
    }

    bool finished() const { return !m_failed && m_xml.atEnd() && !m_xml.hasError(); }

private:
    void parse()
    {
        while (!m_failed) {
            const auto token = m_xml.readNext();
            if (token == QXmlStreamReader::Invalid) {
                if (m_xml.error() != QXmlStreamReader::PrematureEndOfDocumentError)
                    m_failed = true;
                return;
            }
            if (token == QXmlStreamReader::EndDocument)
                return;
            if (token == QXmlStreamReader::StartElement)
                start();
            else if (token == QXmlStreamReader::EndElement)
                finish();
            else if (token == QXmlStreamReader::Characters && m_inText)
                m_text += m_xml.text();
        }
    }

    void start()
    {
        const auto name = m_xml.name();
        const auto attrs = m_xml.attributes();
        if (name == QLatin1String("col") && m_widths) {
            const int first = attrs.value(QLatin1String("min")).toInt();
            const int last = attrs.value(QLatin1String("max")).toInt();
            const double width = attrs.value(QLatin1String("width")).toDouble();
            for (int c = first; c >= 1 && c <= last && c <= 16384; ++c) {
                if (m_widths->size() < c)
                    m_widths->resize(c);
                (*m_widths)[c - 1] = width;
            }
        } else if (name == QLatin1String("row")) {
            m_row = attrs.value(QLatin1String("r")).toInt() - 1;
        } else if (name == QLatin1String("c")) {
            m_col = columnOf(attrs.value(QLatin1String("r")));
            m_type = attrs.value(QLatin1String("t")).toString();
            m_text.clear();
        } else if (name == QLatin1String("v") || name == QLatin1String("t")) {
            m_inText = true;
        }
    }

    void finish()
    {
        const auto name = m_xml.name();
        if (name == QLatin1String("v") || name == QLatin1String("t")) {
            m_inText = false;
        } else if (name == QLatin1String("c")) {
            if (m_row < 0 || m_col < 0)
                return;
            QString value = m_text;
            if (m_type == QLatin1String("s")) {
                const int i = m_text.toInt();
                value = i >= 0 && i < m_shared.size() ? m_shared.at(i) : QString();
            }
            if (m_rows->size() <= m_row)
                m_rows->resize(m_row + 1);
            QVector<QString> &row = (*m_rows)[m_row];
            if (row.size() <= m_col)
                row.resize(m_col + 1);
            row[m_col] = value;
        }
    }

    const QStringList &m_shared;
    QVector<QVector<QString>> *m_rows;
    QVector<double> *m_widths;
    QXmlStreamReader m_xml;
    int m_row = -1;
    int m_col = -1;
    QString m_type;
    QString m_text;
    bool m_inText = false;
    bool m_failed = false;
};

QStringList padded(const QVector<QString> &cells, int columns)
{
    QStringList list;
    list.reserve(columns);
    for (int c = 0; c < columns; ++c)
        list.append(c < cells.size() ? cells.at(c) : QString());
    return list;
}

} // namespace

bool readTableWorkbook(const QString &path, WorkbookTable *table, QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    *table = WorkbookTable();

    ZipArchive zip;
    if (!zip.open(path))
        return fail(QStringLiteral("not a readable xlsx file: %1").arg(path));
    QStringList shared;
    if (!readSharedStrings(zip, &shared))
        return fail(QStringLiteral("damaged shared strings in %1").arg(path));

    for (int n = 1;; ++n) {
        const QString name = QStringLiteral("xl/worksheets/sheet%1.xml").arg(n);
        if (!zip.contains(name)) {
            if (n == 1)
                return fail(QStringLiteral("no worksheet in %1").arg(path));
            break;
        }
        QVector<QVector<QString>> rows;
        QVector<double> widths;
        SheetParser parser(shared, &rows, n == 1 ? &widths : nullptr);
        if (!zip.read(name, [&](const QByteArray &b) { parser.feed(b); }) || !parser.finished())
            return fail(QStringLiteral("damaged worksheet %1 in %2").arg(n).arg(path));

        if (n == 1) {
            int columns = widths.size();
            if (rows.size() > 1)
                columns = std::max(columns, int(rows.at(1).size()));
            table->columnWidths = widths;
            table->columnWidths.resize(columns);
            table->title = rows.isEmpty() || rows.at(0).isEmpty() ? QString() : rows.at(0).at(0);
            table->headers = padded(rows.size() > 1 ? rows.at(1) : QVector<QString>(), columns);
        }
        const int columns = table->headers.size();
        for (int r = 2; r < rows.size(); ++r)
            table->rows.append(padded(rows.at(r), columns));
    }
    return true;
}
