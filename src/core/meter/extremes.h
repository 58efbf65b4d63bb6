#pragma once

#include <QString>

struct MeterReading;
class maxdatabase;

/// States of an extreme in `maxdatabase`.
enum ExtremeState { ExtremeNumber = 0, ExtremePositiveOverload = 1, ExtremeNegativeOverload = 2 };

/// Folds `reading` into the running maximum and minimum.
///
/// With `rangeChanged` both extremes restart from the reading: a number sets
/// both to its value and text; an overload sets both to the signed overload
/// text with state 1 (positive) or 2 (negative) and leaves the values alone.
/// Within one range a positive overload claims the maximum and a negative one
/// the minimum, each only once; a number replaces the maximum when it is
/// strictly larger or the maximum is a negative overload, and the minimum when
/// it is strictly smaller or the minimum is a positive overload. So a positive
/// overload as maximum, or a negative one as minimum, stays until the range
/// changes. Unit texts follow whatever replaced the extreme.
void updateExtremes(maxdatabase &extremes, const MeterReading &reading, bool rangeChanged);

/// The text of the maximum field: value text directly followed by its unit.
QString maxFieldText(const maxdatabase &extremes);

/// The text of the minimum field: value text directly followed by its unit.
QString minFieldText(const maxdatabase &extremes);

/// What the big digits show for a reading: the overload pattern for its
/// decimals, otherwise the magnitude with exactly its decimals (the panel
/// shows the sign apart from the digits).
QString panelValueText(const MeterReading &reading);
