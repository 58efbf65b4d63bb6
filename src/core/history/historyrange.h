#pragma once

#include <QDateTime>
#include <QPair>

/// The quick choices of the history window's range bar.
enum class HistoryPreset { LastHour, Today, Yesterday, LastSevenDays };

/// The range a quick choice stands for at `now`, both ends included:
/// the last hour and the last seven days end at `now`; today runs from
/// midnight to `now`; yesterday from its midnight to its last second.
QPair<QDateTime, QDateTime> historyPresetRange(HistoryPreset preset, const QDateTime &now);

/// Whether rows from `first` to `last` lie on more than one calendar day, so
/// a time axis over them needs the date.
bool spansSeveralDays(const QDateTime &first, const QDateTime &last);
