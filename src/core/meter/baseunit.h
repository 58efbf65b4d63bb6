#pragma once

#include <QString>

/// A unit text split into the unit a quantity is counted in and the factor
/// that takes a value there: "mV" is 1e-3 V, "kΩ" 1e3 Ω, "uF" 1e-6 F.
struct BaseUnit
{
    QString unit;        ///< "V", "A", "Ω", "F", "Hz"; any other unit text as it is
    double factor = 1.0; ///< value in `unit` = value in the unit text × factor
};

/// The base unit of a unit text the meter shows. An SI prefix (p, n, u, µ,
/// m, k, M, G) counts only in front of V, A, Ω, F or Hz; anything else ("%",
/// "℃", " ", "") is its own base unit with factor 1, so "m" alone or "Mx"
/// is never taken apart.
BaseUnit baseUnitOf(const QString &unitText);

/// An SI prefix by its symbol ("m", "k", "" …) and power of ten.
struct SiPrefix
{
    QString symbol;
    int exponent = 0;
};

/// The prefix (p … G, in steps of 10³) under which `magnitude` shows 1 to 3
/// digits before the point; none for 0 and for what is not finite.
SiPrefix siPrefixFor(double magnitude);

/// `value` (in `unit`) written under `prefix`, in fixed point with as many
/// decimals as `resolution` (in `unit`) needs, then a space and the prefixed
/// unit: 0.0015 V at resolution 1e-4 under "m" is "1.5 mV". Never exponent
/// notation; a value that rounds to zero has no sign.
QString siPrefixedText(double value, const QString &unit, const SiPrefix &prefix, double resolution);

/// The same under the prefix that suits `value` itself.
QString siPrefixedText(double value, const QString &unit, double resolution);
