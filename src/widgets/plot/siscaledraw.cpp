#include "siscaledraw.h"

#include <qwt_scale_div.h>
#include <qwt_text.h>

#include <algorithm>
#include <cmath>

SiScaleDraw::SiScaleDraw(const QString &unit) : m_unit(unit) {}

SiPrefix SiScaleDraw::prefix() const
{
    const QwtScaleDiv &div = scaleDiv();
    return siPrefixFor(std::max(std::abs(div.lowerBound()), std::abs(div.upperBound())));
}

QwtText SiScaleDraw::label(double value) const
{
    const QList<double> ticks = scaleDiv().ticks(QwtScaleDiv::MajorTick);
    double step = 0.0;
    for (int i = 1; i < ticks.size(); ++i) {
        const double d = std::abs(ticks[i] - ticks[i - 1]);
        if (d > 0 && (step == 0.0 || d < step))
            step = d;
    }
    // Qwt asks for labels of ticks a rounding error off zero.
    if (step > 0 && std::abs(value) < step * 1e-9)
        value = 0.0;
    return QwtText(siPrefixedText(value, m_unit, prefix(), step));
}
