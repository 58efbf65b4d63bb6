#include "export/tabletextwriter.h"

#include "export/exportprogress.h"
#include "export/streamedrowtext.h"

#include "models/historytablemodel.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextCodec>

#include <algorithm>
#include <charconv>
#include <memory>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <fcntl.h>
#include <io.h>
#endif

#include <unistd.h>

namespace {

// Lines are gathered into chunks of about this many characters and encoded
// and written one chunk at a time: few system calls, little memory.
constexpr int ChunkChars = 1 << 20;

enum class Pass { Done, Unencodable, IoError };

// The rows of a history range as the server streams them, each line made
// from the row's bytes: the same text the model's rows give, several times
// quicker. UTF-8 goes out as it is made; another encoding takes it through
// `flush` and `chunk` as the model's rows go.
template <class Flush>
Pass writeStreamed(const HistoryTableModel &model, QIODevice &file, QTextCodec *codec, Flush &flush,
                   QString &chunk, qint64 *handedOver)
{
    const bool utf8 = codec->mibEnum() == 106;
    const bool withSource = model.columnCount() > HistoryTableModel::ColumnCount;
    const qint64 rows = model.rowCount();
    QByteArray bytes;
    bytes.reserve(ChunkChars + 4096);
    auto send = [&]() {
        Pass p = Pass::Done;
        if (utf8) {
            const qint64 wrote = file.write(bytes);
            *handedOver += std::max<qint64>(wrote, 0);
            if (wrote != bytes.size())
                p = Pass::IoError;
        } else {
            chunk = QString::fromUtf8(bytes);
            p = flush();
        }
        bytes.clear();
        return p;
    };
    StoredTimeTexts times;
    Pass pass = Pass::Done;
    using F = RangeQueries::RowBatch;
    const bool read = model.streamRows([&](const RangeQueries::RowBatch &batch, qint64 first) {
        for (size_t k = 0; k < batch.rows.size(); ++k) {
            const qint64 r = first + qint64(k);
            if (r % kExportStepRows == 0 && !exportStep(r, rows)) {
                pass = Pass::IoError;
                return false;
            }
            const F::Row &row = batch.rows[k];
            char number[24];
            bytes.append(number, int(std::to_chars(number, number + sizeof number, r + 1).ptr - number));
            bytes += '\t';
            times.appendTable(RangeQueries::msOfUs(row.timeUs), &bytes);
            for (const F::Field f : {F::Value, F::Unit, F::Function}) {
                bytes += '\t';
                appendText(batch.field(row, f), &bytes);
            }
            if (withSource) {
                bytes += '\t';
                appendText(batch.field(row, F::Source), &bytes);
            }
            bytes += '\n';
            if (bytes.size() >= ChunkChars) {
                pass = send();
                if (pass != Pass::Done)
                    return false;
            }
        }
        return true;
    });
    if (pass != Pass::Done)
        return pass;
    if (!read)
        return Pass::IoError;
    return bytes.isEmpty() ? Pass::Done : send();
}

// `handedOver` counts the bytes given to `file`: once there are any, a
// stream written in place cannot be started over.
Pass writeAll(const QAbstractItemModel &model, QIODevice &file, QTextCodec *codec, qint64 *handedOver)
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
        const qint64 wrote = file.write(bytes);
        *handedOver += std::max<qint64>(wrote, 0);
        if (wrote != bytes.size())
            return Pass::IoError;
        return Pass::Done;
    };

    // The header speaks the interface's language, as the table's own headers do.
    chunk += QCoreApplication::translate("TableText", "序号");
    for (int c = 0; c < columns; ++c) {
        chunk += QLatin1Char('\t');
        chunk += model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    }
    chunk += QLatin1Char('\n');

    if (const auto *history = qobject_cast<const HistoryTableModel *>(&model);
        history && history->canStream()) {
        const Pass p = flush();
        return p == Pass::Done ? writeStreamed(*history, file, codec, flush, chunk, handedOver) : p;
    }

    for (int r = 0; r < rows; ++r) {
        if (r % kExportStepRows == 0 && !exportStep(r, rows))
            return Pass::IoError;
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

QString exportFileName(const QString &chosen, const QString &suffix)
{
    const QFileInfo info(chosen);
    // A device (/dev/full, /dev/stdout) is written as named.
    if (chosen.isEmpty() || !info.suffix().isEmpty() || (info.exists() && !info.isFile()))
        return chosen;
    return chosen + QLatin1Char('.') + suffix;
}

QTextCodec *systemTextCodec()
{
#ifdef Q_OS_WIN
    // The ANSI code page (GBK on a Chinese Windows) by its own codec: it
    // reports what it cannot encode, where Qt's "System" codec writes
    // question marks without a word, and it says its name.
    if (QTextCodec *codec = QTextCodec::codecForName("CP" + QByteArray::number(uint(GetACP()))))
        return codec;
#endif
    return QTextCodec::codecForLocale();
}

TextWriteResult writeTableText(const QAbstractItemModel &model, const QString &path,
                               QTextCodec *codec, QByteArray *usedCodec)
{
    if (!codec)
        codec = systemTextCodec();

    // A regular file is written beside the one already there and replaces it
    // only when complete, so a failed export keeps the earlier file. Devices
    // and pipes are written in place.
    for (int attempt = 0;; ++attempt) {
        const std::unique_ptr<QFileDevice> file = openExportFile(path);
        if (!file)
            return TextWriteResult::OpenFailed;
        const bool inPlace = !qobject_cast<QSaveFile *>(file.get());

        qint64 handedOver = 0;
        Pass pass = writeAll(model, *file, codec, &handedOver);
        if (pass == Pass::Unencodable && attempt == 0) {
            // The locale's encoding would turn Chinese into question marks;
            // start over in UTF-8, which holds every text the table can show.
            // What went down a pipe or into standard output cannot be taken back.
            if (inPlace && handedOver > 0) {
                finishExportFile(*file, false);
                return TextWriteResult::WriteFailed;
            }
            codec = QTextCodec::codecForName("UTF-8");
            continue; // an uncommitted save file is discarded
        }
        if (!finishExportFile(*file, pass == Pass::Done))
            return TextWriteResult::WriteFailed;
        if (usedCodec)
            *usedCodec = codec->name();
        return TextWriteResult::Written;
    }
}

std::unique_ptr<QFileDevice> openExportFile(const QString &path)
{
    if (path.isEmpty()) {
        // Standard output as the shell set it up: a file opened for appending
        // keeps its lines, a pipe or a terminal gets the bytes in turn. It is
        // never replaced behind the shell's back, nor closed.
#ifdef Q_OS_WIN
        // The C runtime's standard output is a text stream that writes CR LF
        // for each line feed (a CSV line would end CR CR LF): the export's
        // bytes go out as they are, the same as into a file.
        _setmode(STDOUT_FILENO, _O_BINARY);
#endif
        auto out = std::make_unique<QFile>();
        if (!out->open(STDOUT_FILENO, QIODevice::WriteOnly, QFileDevice::DontCloseHandle))
            return nullptr;
        return out;
    }
    const QFileInfo info(path);
    std::unique_ptr<QFileDevice> file;
    if (info.exists() && !info.isFile())
        file = std::make_unique<QFile>(path);
    else
        file = std::make_unique<QSaveFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
        return nullptr;
    return file;
}

bool finishExportFile(QFileDevice &file, bool ok)
{
    ok = ok && file.flush();
    if (auto *save = qobject_cast<QSaveFile *>(&file)) {
        if (!ok) {
            save->cancelWriting();
            return false;
        }
        return save->commit();
    }
    file.close();
    return ok && file.error() == QFileDevice::NoError;
}
