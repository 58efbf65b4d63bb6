#pragma once

#include "export/tabletextwriter.h"
#include "models/readingroles.h"

#include <QString>

class QAbstractItemModel;
class QDateTime;

/// One CSV field as RFC 4180 has it: quoted, with quotes doubled, when it
/// holds a comma, a quote or a line break.
QString csvField(const QString &text);

/// The time as ISO 8601 with milliseconds and the UTC offset in force then,
/// e.g. "2024-05-01T10:00:00.000+08:00"; empty for an invalid time.
QString csvTime(const QDateTime &time);

/// Writes the readings of `model` (see ReadingRole) to `path` as UTF-8 CSV
/// lines ended by CR LF: the header "time,value,overload,unit,function,range,source",
/// then one line per row. A number is written plain in "value"; any other
/// value text (an overload) leaves "value" empty and goes to "overload" as
/// recorded. An existing file is replaced only once the new one is complete;
/// devices and pipes are written in place, and an empty `path` is standard
/// output as it stands.
TextWriteResult writeReadingsCsv(const QAbstractItemModel &model, const QString &path);
