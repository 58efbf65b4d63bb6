#include "export/tabletextwriter.h"

#include <QAbstractItemModel>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <memory>

namespace {

// Lines are gathered into chunks of about this many characters and encoded
// and written one chunk at a time: few system calls, little memory.
constexpr int ChunkChars = 1 << 20;

enum class Pass { Done, Unencodable, IoError };

Pass writeAll(const QAbstractItemModel &model, QFile &file, QTextCodec *codec)
{
    std::unique_ptr<QTextEncoder> encoder(codec->makeEncoder(QTextCodec::IgnoreHeader));
    const int columns = model.columnCount();
    const int rows = model.rowCount();

    QString chunk;
    chunk.reserve(ChunkChars + 4096);
    auto flush = [&]() {
        const QByteArray bytes = encoder->fromUnicode(chunk);
        chunk.clear();
        if (encoder->hasFailure())
            return Pass::Unencodable;
        if (file.write(bytes) != bytes.size())
            return Pass::IoError;
        return Pass::Done;
    };

    chunk += QStringLiteral("序号");
    for (int c = 0; c < columns; ++c) {
        chunk += QLatin1Char('\t');
        chunk += model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    }
    chunk += QLatin1Char('\n');

    for (int r = 0; r < rows; ++r) {
        chunk += QString::number(r + 1);
        for (int c = 0; c < columns; ++c) {
            chunk += QLatin1Char('\t');
            chunk += model.data(model.index(r, c), Qt::DisplayRole).toString();
        }
        chunk += QLatin1Char('\n');
        if (chunk.size() >= ChunkChars) {
            const Pass p = flush();
            if (p != Pass::Done)
                return p;
        }
    }
    if (!chunk.isEmpty())
        return flush();
    return Pass::Done;
}

} // namespace

TextWriteResult writeTableText(const QAbstractItemModel &model, const QString &path,
                               QTextCodec *codec, QByteArray *usedCodec)
{
    if (!codec)
        codec = QTextCodec::codecForLocale();

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return TextWriteResult::OpenFailed;

    Pass pass = writeAll(model, file, codec);
    if (pass == Pass::Unencodable) {
        // The locale's encoding would turn Chinese into question marks; start
        // over in UTF-8, which holds every text the table can show.
        codec = QTextCodec::codecForName("UTF-8");
        if (!file.isSequential() && file.seek(0) && file.resize(0))
            pass = writeAll(model, file, codec);
        else
            pass = Pass::IoError;
    }

    bool ok = pass == Pass::Done && file.flush();
    file.close();
    ok = ok && file.error() == QFileDevice::NoError;
    if (!ok) {
        // Only a regular file is ours to remove; a device stays where it is.
        if (QFileInfo(path).isFile())
            QFile::remove(path);
        return TextWriteResult::WriteFailed;
    }
    if (usedCodec)
        *usedCodec = codec->name();
    return TextWriteResult::Written;
}
