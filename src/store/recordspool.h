#pragma once

#include "store/measurementrecord.h"

/// Readings that could not be written before the program ended, kept in a
/// file until the next start writes them.
struct SpoolContents
{
    MeasurementRecords records;
    /// Transaction whose COMMIT was sent but never confirmed, 0 if none. It
    /// wrote the first `uncertainCount` records; the server tells later
    /// whether it committed.
    qint64 uncertainXid = 0;
    int uncertainCount = 0;
};

namespace RecordSpool {

/// Folder of the spool file: TK52K_SPOOL_DIR when set, otherwise the user's
/// application data folder.
QString directory();

/// Full path of the spool file in directory().
QString filePath();

/// Replaces the file at `path` atomically with `contents` (the old file stays
/// untouched if anything fails). Creates the folder when missing.
bool save(const QString &path, const SpoolContents &contents, QString *error = nullptr);

/// Reads a spool file. A missing file gives an empty result and true; an
/// unreadable or damaged file gives false and leaves the file alone.
bool load(const QString &path, SpoolContents *contents, QString *error = nullptr);

} // namespace RecordSpool
