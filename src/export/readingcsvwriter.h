#pragma once

#include "export/tabletextwriter.h"

#include <QString>
#include <Qt>

class QAbstractItemModel;
class QModelIndex;
class QDateTime;
class TkDataDas;

/// What a table model gives, on column 0 of each row, for the CSV export of
/// its readings: the full time (QDateTime), the value as recorded (a number
/// text or an overload text), unit, function text and range index (int; -1
/// or none when not known).
enum ReadingRole {
    ReadingTimeRole = Qt::UserRole + 40,
    ReadingValueRole,
    ReadingUnitRole,
    ReadingFunctionRole,
    ReadingRangeRole,
};

/// Gives the table row of `at` the ReadingRole values of `reading` (set on
/// its column 0, the row's texts untouched).
void setReadingRoles(QAbstractItemModel &model, const QModelIndex &at, const TkDataDas &reading);

/// One CSV field as RFC 4180 has it: quoted, with quotes doubled, when it
/// holds a comma, a quote or a line break.
QString csvField(const QString &text);

/// The time as ISO 8601 with milliseconds and the UTC offset in force then,
/// e.g. "2024-05-01T10:00:00.000+08:00"; empty for an invalid time.
QString csvTime(const QDateTime &time);

/// Writes the readings of `model` (see ReadingRole) to `path` as UTF-8 CSV
/// lines ended by CR LF: the header "time,value,overload,unit,function,range",
/// then one line per row. A number is written plain in "value"; any other
/// value text (an overload) leaves "value" empty and goes to "overload" as
/// recorded. An existing file is replaced only once the new one is complete;
/// devices and pipes are written in place.
TextWriteResult writeReadingsCsv(const QAbstractItemModel &model, const QString &path);
