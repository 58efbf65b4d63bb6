#include "core/history/historyrange.h"

QPair<QDateTime, QDateTime> historyPresetRange(HistoryPreset preset, const QDateTime &now)
{
    const QDateTime midnight(now.date(), QTime(0, 0), now.timeSpec());
    switch (preset) {
    case HistoryPreset::LastHour:
        return {now.addSecs(-3600), now};
    case HistoryPreset::Today:
        return {midnight, now};
    case HistoryPreset::Yesterday:
        return {QDateTime(now.date().addDays(-1), QTime(0, 0), now.timeSpec()), midnight.addSecs(-1)};
    case HistoryPreset::LastSevenDays:
        return {now.addDays(-7), now};
    }
    return {now, now};
}

bool spansSeveralDays(const QDateTime &first, const QDateTime &last)
{
    return first.isValid() && last.isValid() && first.date() != last.date();
}
