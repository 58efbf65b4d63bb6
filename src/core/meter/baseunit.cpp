#include "baseunit.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

struct Prefix
{
    QChar symbol;
    int exponent;
};

const Prefix kPrefixes[] = {{u'p', -12}, {u'n', -9}, {u'u', -6}, {u'\u00B5', -6}, {u'\u03BC', -6},
                            {u'm', -3},  {u'k', 3},  {u'M', 6},  {u'G', 9}};

} // namespace

// The units the meter prefixes; °C, % and the like never take a prefix.
bool isPrefixableUnit(const QString &unit)
{
    static const QStringList units{QStringLiteral("V"), QStringLiteral("A"), QStringLiteral("\u03A9"),
                                   QStringLiteral("F"), QStringLiteral("Hz")};
    return units.contains(unit);
}

bool parseQuantity(const QString &text, double *value, QString *baseUnit)
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*([-+]?(?:[0-9]+\\.?[0-9]*|\\.[0-9]+)(?:[eE][-+]?[0-9]+)?)\\s*(\\S*)\\s*$"));
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return false;
    bool ok = false;
    const double number = m.captured(1).toDouble(&ok);
    if (!ok || !std::isfinite(number))
        return false;
    QString unitText = m.captured(2);
    // Ω is hard to type on a command line.
    if (unitText.endsWith(QLatin1String("ohm"), Qt::CaseInsensitive))
        unitText = unitText.chopped(3) + QChar(0x03A9);
    if (unitText.isEmpty()) {
        *value = number;
        baseUnit->clear();
        return true;
    }
    const BaseUnit base = baseUnitOf(unitText);
    if (!isPrefixableUnit(base.unit))
        return false;
    *value = base.toBase(number);
    *baseUnit = base.unit;
    return std::isfinite(*value);
}

BaseUnit baseUnitOf(const QString &unitText)
{
    const QString text = unitText.trimmed();
    if (isPrefixableUnit(text))
        return {text, 1.0, 0};
    if (text.size() >= 2 && isPrefixableUnit(text.mid(1))) {
        for (const Prefix &p : kPrefixes) {
            if (text.at(0) == p.symbol)
                return {text.mid(1), std::pow(10.0, p.exponent), p.exponent};
        }
    }
    return {unitText, 1.0, 0};
}

SiPrefix siPrefixFor(double magnitude)
{
    magnitude = std::abs(magnitude);
    if (!std::isfinite(magnitude) || magnitude == 0.0)
        return {};
    // Three digits before the point at most. A value a rounding error below
    // a power of a thousand (0.001 held as 0.000999…) counts as that power.
    const int exponent = std::clamp(int(std::floor(std::log10(magnitude * (1 + 1e-9)) / 3.0)) * 3, -12, 9);
    static const char *const kSymbols[] = {"p", "n", "\u00B5", "m", "", "k", "M", "G"};
    return {QString::fromUtf8(kSymbols[(exponent + 12) / 3]), exponent};
}

QString siPrefixedText(double value, const QString &unit, const SiPrefix &prefix, double resolution)
{
    const double scale = std::pow(10.0, -prefix.exponent);
    const double step = std::abs(resolution) * scale;
    // The decimals that show one step: those of its own digits for a step
    // that is not a power of ten (0.5, 0.25).
    int decimals = 0;
    if (step > 0 && std::isfinite(step)) {
        for (; decimals < 12; ++decimals) {
            const double digits = step * std::pow(10.0, decimals);
            if (digits >= 1 - 1e-9 && std::abs(digits - std::round(digits)) <= 1e-6 * digits)
                break;
        }
    }
    double shown = value * scale;
    // What rounds to zero is zero, not "-0.0".
    if (std::abs(shown) * std::pow(10.0, decimals) < 0.5)
        shown = 0.0;
    const QString number = QString::number(shown, 'f', decimals);
    const QString prefixed = prefix.symbol + unit;
    return prefixed.trimmed().isEmpty() ? number : number + QLatin1Char(' ') + prefixed;
}

QString siPrefixedText(double value, const QString &unit, double resolution)
{
    return siPrefixedText(value, unit, siPrefixFor(value), resolution);
}
