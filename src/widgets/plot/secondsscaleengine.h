#pragma once

#include <qwt_scale_engine.h>

/// Linear scale engine for an axis counted in whole seconds. The time labels
/// show whole seconds only, so a major step below one second would print the
/// same clock time under neighbouring ticks; steps are kept at one second or
/// more while the axis still follows the data.
class SecondsScaleEngine : public QwtLinearScaleEngine
{
public:
    void autoScale(int maxNumSteps, double &x1, double &x2, double &stepSize) const override;
    QwtScaleDiv divideScale(double x1, double x2, int maxMajorSteps, int maxMinorSteps,
                            double stepSize = 0.0) const override;
};
