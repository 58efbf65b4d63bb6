#pragma once

#include "core/meter/framedecoder.h" // kRangeCount

#include <QStringView>

#include <optional>

/// The y-axis scale a plot uses for one meter range.
struct RangeScale
{
    int lower = 0;     ///< bottom of the axis, always -upper
    int upper = 0;     ///< top of the axis
    double step = 0.0; ///< major tick step
};

/// True for the range indexes 0 to 44, the only ones a decoded reading has.
bool hasRangeScale(int rangeIndex);

/// The fixed y-axis scale of a meter range. Indexes outside 0–44 have no
/// entry and give std::nullopt (the initial reading's -1 among them).
std::optional<RangeScale> rangeScale(int rangeIndex);

/// Where a curve draws an overload recorded as `valueText` ("+ OL. ",
/// "- O.L " …; blanks around it do not matter) in range `rangeIndex`: at the
/// signed value the range's overload count stands for with the decimals the
/// overload text shows, which is the value a decoded overload frame carries
/// and so where the live curve puts it. Empty when `valueText` is no overload
/// text or the range is not 0–44.
std::optional<double> overloadCurveValue(QStringView valueText, int rangeIndex);
