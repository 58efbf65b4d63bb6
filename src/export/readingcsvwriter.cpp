#include "export/readingcsvwriter.h"

#include "export/exportprogress.h"
#include "export/streamedrowtext.h"

#include "core/meter/framedecoder.h"
#include "models/historytablemodel.h"

#include <QAbstractItemModel>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

namespace {

constexpr int ChunkBytes = 1 << 20;

// The rows of a history range as the server streams them, each line made
// from the row's bytes: the same line the model's rows give.
bool writeStreamed(const HistoryTableModel &model, QFileDevice &file, QByteArray &chunk)
{
    using F = RangeQueries::RowBatch;
    const qint64 rows = model.rowCount();
    StoredTimeTexts times;
    bool ok = true;
    const bool read = model.streamRows([&](const F &batch, qint64 first) {
        for (size_t k = 0; k < batch.rows.size(); ++k) {
            const qint64 r = first + qint64(k);
            if (r % kExportStepRows == 0 && !exportStep(r, rows)) {
                ok = false;
                return false;
            }
            const F::Row &row = batch.rows[k];
            times.appendCsv(RangeQueries::msOfUs(row.timeUs), &chunk);
            chunk += ',';
            const std::string_view value = batch.field(row, F::Value);
            // Digits, a sign and a point: never quoted.
            const bool isNumber = appendPlainNumber(value, &chunk);
            chunk += ',';
            if (!isNumber)
                appendCsvField(value, &chunk);
            chunk += ',';
            appendCsvField(batch.field(row, F::Unit), &chunk);
            chunk += ',';
            appendCsvField(batch.field(row, F::Function), &chunk);
            chunk += ',';
            const int range = rangeIndex(batch.field(row, F::Frastr));
            if (range >= 0) {
                char digits[12];
                chunk.append(digits, int(std::to_chars(digits, digits + sizeof digits, range).ptr - digits));
            }
            chunk += ',';
            appendCsvField(batch.field(row, F::Source), &chunk);
            chunk += "\r\n";
            if (chunk.size() >= ChunkBytes) {
                ok = file.write(chunk) == chunk.size();
                chunk.clear();
                if (!ok)
                    return false;
            }
        }
        return true;
    });
    return ok && read;
}

} // namespace

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString csvTime(const QDateTime &time)
{
    if (!time.isValid())
        return QString();
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + offsetText(time.offsetFromUtc());
}

TextWriteResult writeReadingsCsv(const QAbstractItemModel &model, const QString &path)
{
    const std::unique_ptr<QFileDevice> file = openExportFile(path);
    if (!file)
        return TextWriteResult::OpenFailed;

    // The meter's name last, so that readers of the earlier columns by
    // position are not thrown; empty where the rows name none.
    QByteArray chunk("time,value,overload,unit,function,range,source\r\n");
    bool ok = true;
    CsvTimeTexts times;
    const auto *history = qobject_cast<const HistoryTableModel *>(&model);
    if (history && history->canStream())
        ok = writeStreamed(*history, *file, chunk);
    const int rows = history && history->canStream() ? 0 : model.rowCount();
    for (int r = 0; r < rows && ok; ++r) {
        if (r % kExportStepRows == 0 && !exportStep(r, rows)) {
            ok = false;
            break;
        }
        const QModelIndex at = model.index(r, 0);
        const QString value = at.data(ReadingValueRole).toString();
        const QString number = plainNumber(value);
        bool known = false;
        const int range = at.data(ReadingRangeRole).toInt(&known);
        const QStringList fields{times.text(at.data(ReadingTimeRole).toDateTime()),
                                 number,
                                 number.isEmpty() ? value : QString(),
                                 at.data(ReadingUnitRole).toString(),
                                 at.data(ReadingFunctionRole).toString(),
                                 known && range >= 0 ? QString::number(range) : QString(),
                                 at.data(ReadingSourceRole).toString()};
        QStringList quoted;
        for (const QString &f : fields)
            quoted.append(csvField(f));
        chunk += quoted.join(QLatin1Char(',')).toUtf8();
        chunk += "\r\n";
        if (chunk.size() >= ChunkBytes) {
            ok = file->write(chunk) == chunk.size();
            chunk.clear();
        }
    }
    ok = ok && file->write(chunk) == chunk.size();
    return finishExportFile(*file, ok) ? TextWriteResult::Written : TextWriteResult::WriteFailed;
}
