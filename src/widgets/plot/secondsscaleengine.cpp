#include "secondsscaleengine.h"

#include <qwt_scale_div.h>

#include <QtGlobal>

#include <algorithm>
#include <cmath>

namespace {
constexpr double kDay = 86400;

// Steps below a day; from a day on 1, 2, 5 times a power of ten days.
constexpr double kClockSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,  300,
                                  600, 900, 1800, 3600, 7200, 10800, 21600, 43200};

// Nearly whole multiples count as whole: x comes in milliseconds as seconds.
constexpr double kSlack = 1e-6;

double nthStep(int i)
{
    constexpr int n = int(std::size(kClockSteps));
    if (i < n)
        return kClockSteps[i];
    const int k = i - n;
    static const double mantissa[] = {1, 2, 5};
    return kDay * mantissa[k % 3] * std::pow(10.0, k / 3);
}

// The clock steps below `step` that cut it into whole parts, the largest
// number of parts not above `maxParts`.
double minorStep(double step, int maxParts)
{
    double best = 0;
    for (int i = 0; nthStep(i) < step; ++i) {
        const double sub = nthStep(i);
        const double parts = step / sub;
        if (std::abs(parts - std::round(parts)) < kSlack && parts <= maxParts + kSlack)
            best = sub;
    }
    return best;
}
} // namespace

double SecondsScaleEngine::clockStep(double span, int maxSteps)
{
    const double least = std::abs(span) / std::max(1, maxSteps);
    for (int i = 0;; ++i) {
        const double step = nthStep(i);
        if (step >= least - kSlack || step >= 1e15)
            return step;
    }
}

void SecondsScaleEngine::autoScale(int maxNumSteps, double &x1, double &x2, double &stepSize) const
{
    if (x1 > x2)
        std::swap(x1, x2);
    // A single point, or a second's worth, still gets an axis with ticks.
    if (x2 - x1 < 1)
        x2 = x1 + 1;
    stepSize = clockStep(x2 - x1, maxNumSteps);
    if (!testAttribute(QwtScaleEngine::Floating)) {
        x1 = std::floor((x1 + m_origin) / stepSize + kSlack) * stepSize - m_origin;
        x2 = std::ceil((x2 + m_origin) / stepSize - kSlack) * stepSize - m_origin;
    }
    if (testAttribute(QwtScaleEngine::Inverted)) {
        std::swap(x1, x2);
        stepSize = -stepSize;
    }
}

QwtScaleDiv SecondsScaleEngine::divideScale(double x1, double x2, int maxMajorSteps, int maxMinorSteps,
                                            double stepSize) const
{
    const double lo = std::min(x1, x2), hi = std::max(x1, x2);
    if (!(hi > lo) || !std::isfinite(lo) || !std::isfinite(hi))
        return QwtScaleDiv(x1, x2);
    // A step asked for is kept when it is a clock step itself; otherwise the
    // round one for the span.
    double step = std::abs(stepSize);
    const double asked = clockStep(step, 1);
    if (step == 0.0 || std::abs(asked - step) > kSlack || (hi - lo) / step > 10000)
        step = clockStep(hi - lo, maxMajorSteps);

    QList<double> ticks[QwtScaleDiv::NTickTypes];
    const double first = std::ceil((lo + m_origin) / step - kSlack);
    for (double k = first;; ++k) {
        const double t = k * step - m_origin;
        if (t > hi + kSlack * step)
            break;
        ticks[QwtScaleDiv::MajorTick] << t;
    }
    if (const double sub = maxMinorSteps > 0 ? minorStep(step, maxMinorSteps) : 0.0; sub > 0) {
        const int parts = int(std::round(step / sub));
        for (double k = std::ceil((lo + m_origin) / sub - kSlack);; ++k) {
            const double t = k * sub - m_origin;
            if (t > hi + kSlack * sub)
                break;
            if (qint64(std::llround(k)) % parts != 0)
                ticks[QwtScaleDiv::MinorTick] << t;
        }
    }
    return QwtScaleDiv(x1, x2, ticks);
}
