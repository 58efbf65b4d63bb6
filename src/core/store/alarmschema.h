#pragma once

#include "core/meter/alarmrule.h"

#include <QDateTime>
#include <QString>
#include <QVector>

class QSqlDatabase;

/// The table `alarm_event` beside `invoice`: one row per raise or clear.
/// Times are stored as wall-clock time to the millisecond, as `invoice`
/// keeps its times (no time zone); `source` names the meter (nullable: rows
/// of earlier versions have none).
namespace AlarmSchema {

/// Makes the table and its index when missing, and adds `source` to a table
/// an earlier version made. A table that is there needs nothing but INSERT:
/// where `source` is missing and the login may not add it, events are
/// written without it (`hasSource` false). False with `error` set when the
/// table is missing and cannot be made.
bool ensureTable(QSqlDatabase &db, QString *error, bool *hasSource = nullptr);

/// Writes one event, with its meter's name when `withSource`. False with
/// `error` set.
bool insert(QSqlDatabase &db, const AlarmEvent &event, QString *error, bool withSource = true);

/// Whether `event` (its time, function and edge, and meter when
/// `withSource`) is in the table, into `found`. False when the server
/// could not be asked.
bool contains(QSqlDatabase &db, const AlarmEvent &event, bool withSource, bool *found);

/// What came of reading the events of a time range.
struct Load
{
    bool ok = false;
    QString error;
    QVector<AlarmEvent> events; ///< in time order
};

/// The events whose time lies between `start` and `stop` (both included, to
/// the millisecond), of the meter `source` (null: of every meter; an event
/// without a meter name belongs to every meter). A missing table gives no
/// events and no error: nothing was ever raised there.
Load select(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop, const QString &source);

} // namespace AlarmSchema
