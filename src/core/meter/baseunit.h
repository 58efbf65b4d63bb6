#pragma once

#include <QString>

/// A unit text split into the unit a quantity is counted in and the factor
/// that takes a value there: "mV" is 1e-3 V, "kΩ" 1e3 Ω, "uF" 1e-6 F.
struct BaseUnit
{
    QString unit;        ///< "V", "A", "Ω", "F", "Hz"; any other unit text as it is
    double factor = 1.0; ///< value in `unit` = value in the unit text × factor
    int exponent = 0;    ///< factor = 10^exponent

    /// A value shown in the unit text, in `unit`. Scaled by an exact power of
    /// ten, so 177.2 mV is the double nearest to 0.1772 V, and 5500 mV is 5.5 V
    /// exactly, as a limit written as 5.5 is.
    double toBase(double value) const
    {
        double scale = 1.0;
        for (int i = 0; i < (exponent < 0 ? -exponent : exponent); ++i)
            scale *= 10.0;
        return exponent < 0 ? value / scale : value * scale;
    }
};

/// The base unit of a unit text the meter shows. An SI prefix (p, n, u, µ,
/// m, k, M, G) counts only in front of V, A, Ω, F or Hz; anything else ("%",
/// "℃", " ", "") is its own base unit with factor 1, so "m" alone or "Mx"
/// is never taken apart.
BaseUnit baseUnitOf(const QString &unitText);

/// Whether `unit` is one of the base units the meter prefixes: V, A, Ω, F, Hz.
bool isPrefixableUnit(const QString &unit);

/// A number typed with or without a unit ("2.5", "550mV", "2.5 V", "4.7uF",
/// "10kΩ" or "10kOhm") in the base unit of that unit: 550mV gives 0.55 and "V". A bare
/// number is taken as it is, with an empty unit. False for anything else
/// (no number, a unit that is not V, A, Ω, F or Hz with an SI prefix, a
/// value that is not finite).
bool parseQuantity(const QString &text, double *value, QString *baseUnit);

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
