#include "secondsscaleengine.h"

#include <QtGlobal>
#include <cmath>

namespace {
double atLeastOneSecond(double step)
{
    return std::abs(step) < 1.0 ? std::copysign(1.0, step == 0.0 ? 1.0 : step) : step;
}
} // namespace

void SecondsScaleEngine::autoScale(int maxNumSteps, double &x1, double &x2, double &stepSize) const
{
    QwtLinearScaleEngine::autoScale(maxNumSteps, x1, x2, stepSize);
    stepSize = atLeastOneSecond(stepSize);
}

QwtScaleDiv SecondsScaleEngine::divideScale(double x1, double x2, int maxMajorSteps, int maxMinorSteps,
                                            double stepSize) const
{
    if (stepSize == 0.0)
        stepSize = divideInterval(x2 - x1, qMax(maxMajorSteps, 1));
    return QwtLinearScaleEngine::divideScale(x1, x2, maxMajorSteps, maxMinorSteps, atLeastOneSecond(stepSize));
}
