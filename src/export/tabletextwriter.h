#pragma once

#include <QString>

#include <memory>

class QAbstractItemModel;
class QFileDevice;
class QTextCodec;

/// Outcome of writing a table as text.
enum class TextWriteResult {
    Written,     ///< every byte reached the file and it was closed cleanly
    OpenFailed,  ///< the file could not be created or truncated; nothing written
    WriteFailed, ///< a write or the close failed; an earlier file is kept, no partial one left
};

/// The name an export is written under: `chosen` + "." + `suffix` when
/// `chosen` is a file name without a suffix, otherwise `chosen` unchanged
/// (a name with a suffix, a device such as /dev/full).
QString exportFileName(const QString &chosen, const QString &suffix);

/// The system's encoding for text files: the locale's; on Windows the ANSI
/// code page's (GBK on a Chinese Windows).
QTextCodec *systemTextCodec();

/// Writes `model` to `path` as tab-separated text: a header line made of
/// "序号" (translated, like the headers) and the model's horizontal headers, then for each row its number
/// (from 1) followed by the row's display texts, every line ended by a line
/// feed. An existing file is replaced only once the new one is complete:
/// it is written beside it first, so a failed write keeps the old file.
///
/// The text is encoded with `codec` (null: systemTextCodec()). When
/// that codec cannot represent some text (a C locale and Chinese headers),
/// the file is written in UTF-8 instead, so nothing is lost; `usedCodec`
/// receives the name of the codec actually written.
///
/// Devices and pipes (/dev/full) are written in place; an empty `path` is
/// standard output, written as the stream it is (appended to where the
/// shell opened a file for appending).
TextWriteResult writeTableText(const QAbstractItemModel &model, const QString &path,
                               QTextCodec *codec = nullptr, QByteArray *usedCodec = nullptr);

/// Opens `path` for an export, truncated: a regular file is written beside
/// the one already there (a QSaveFile), a device or pipe in place. An empty
/// `path` is standard output, neither truncated nor replaced. Null when it
/// cannot be opened.
std::unique_ptr<QFileDevice> openExportFile(const QString &path);

/// Ends what openExportFile() opened: flushes, then closes a device or
/// commits a save file (the earlier file is kept unless `ok` and every
/// byte reached the disk). True when the export is complete.
bool finishExportFile(QFileDevice &file, bool ok);
