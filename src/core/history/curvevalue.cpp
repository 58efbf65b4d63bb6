#include "curvevalue.h"

#include "core/meter/rangescale.h"

#include <cmath>

double curveValueOf(const QString &valueText, const QString &frastr)
{
    QString text = valueText.trimmed();
    if (text.startsWith(QLatin1Char('+')) && !text.startsWith(QLatin1String("+-")))
        text.remove(0, 1);
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (ok)
        return std::isfinite(v) ? v : 0.0;
    const QChar first = valueText.isEmpty() ? QChar() : valueText.at(0);
    if (first == QLatin1Char('+') || first == QLatin1Char('-') || first == QLatin1Char(' ')) {
        bool known = false;
        const QString range = frastr.trimmed();
        const int index = range.size() <= 2 ? range.toInt(&known) : -1;
        if (known) {
            if (const auto overload = overloadCurveValue(valueText, index))
                return *overload;
        }
    }
    return 0.0;
}
