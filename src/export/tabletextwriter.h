#pragma once

#include <QString>

class QAbstractItemModel;
class QTextCodec;

/// Outcome of writing a table as text.
enum class TextWriteResult {
    Written,     ///< every byte reached the file and it was closed cleanly
    OpenFailed,  ///< the file could not be created or truncated; nothing written
    WriteFailed, ///< a write or the close failed; the partial file was removed
};

/// Writes `model` to `path` as tab-separated text: a header line made of
/// "序号" and the model's horizontal headers, then for each row its number
/// (from 1) followed by the row's display texts, every line ended by a line
/// feed. An existing file is replaced.
///
/// The text is encoded with `codec` (null: the system locale's codec). When
/// that codec cannot represent some text (a C locale and Chinese headers),
/// the file is written in UTF-8 instead, so nothing is lost; `usedCodec`
/// receives the name of the codec actually written.
///
/// On WriteFailed the partly written file is removed (device files such as
/// /dev/full are left alone).
TextWriteResult writeTableText(const QAbstractItemModel &model, const QString &path,
                               QTextCodec *codec = nullptr, QByteArray *usedCodec = nullptr);
