#pragma once

#include <Qt>

class QAbstractItemModel;
class QModelIndex;
struct MeterReading;

/// What a table model of readings gives, on column 0 of each row, besides
/// its display texts: the full time (QDateTime), the value as recorded (a
/// number text or an overload text), unit, function text and range index
/// (int; -1 or none when not known). The CSV export and the history curve
/// read rows through these, whatever model holds them.
enum ReadingRole {
    ReadingTimeRole = Qt::UserRole + 40,
    ReadingValueRole,
    ReadingUnitRole,
    ReadingFunctionRole,
    ReadingRangeRole,
    /// The meter's name (`source`), where the rows carry one.
    ReadingSourceRole,
};

/// Gives the table row of `at` the ReadingRole values of `reading` (set on
/// its column 0, the row's texts untouched); for models that store whatever
/// they are given, such as a QStandardItemModel.
void setReadingRoles(QAbstractItemModel &model, const QModelIndex &at, const MeterReading &reading);
