#include "timescaledrawr.h"

#include <qwt_text.h>

#include <climits>
#include <cmath>

TimeScaleDrawR::TimeScaleDrawR(const QDateTime &base)
    : base(base)
{
}

TimeScaleDrawR::~TimeScaleDrawR() = default;

QwtText TimeScaleDrawR::label(double value) const
{
    // Axis values are whole seconds; a fraction is cut off toward zero, so
    // -0.5 still labels the origin. A plot zoomed out far enough asks for
    // values beyond 32 bits; those are held at the ends instead of being
    // converted with undefined results.
    int whole = 0;
    if (std::isnan(value))
        whole = 0;
    else if (value >= double(INT_MAX))
        whole = INT_MAX;
    else if (value <= double(INT_MIN))
        whole = INT_MIN;
    else
        whole = static_cast<int>(value);
    const qint64 seconds = whole;
    const QString format = showDate ? QStringLiteral("yyyy-MM-dd\nhh:mm:ss") : QStringLiteral("hh:mm:ss");
    return QwtText(base.addSecs(seconds).toString(format), QwtText::AutoText);
}
