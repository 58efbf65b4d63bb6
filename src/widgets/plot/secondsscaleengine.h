#pragma once

#include <qwt_scale_engine.h>

/// Scale engine for an axis counted in seconds from a time origin. Its
/// ticks fall on round clock times: steps of 1, 2, 5, 10, 15 or 30 seconds,
/// as many minutes, 1, 2, 3, 6 or 12 hours, or whole days (1, 2, 5, 10, …),
/// each tick a multiple of its step in local clock time (a 15 minute step
/// ticks at :00, :15, :30 and :45; a day at midnight). The labels show whole
/// seconds only, so no step is below one second.
class SecondsScaleEngine : public QwtLinearScaleEngine
{
public:
    /// The local clock time of x = 0, in seconds since 1970-01-01 00:00 of
    /// the local clock (not UTC): ticks are laid relative to it.
    void setOrigin(double localEpochSeconds) { m_origin = localEpochSeconds; }
    double origin() const { return m_origin; }

    /// The round step for an interval of `span` seconds cut into at most
    /// `maxSteps` steps.
    static double clockStep(double span, int maxSteps);

    void autoScale(int maxNumSteps, double &x1, double &x2, double &stepSize) const override;
    QwtScaleDiv divideScale(double x1, double x2, int maxMajorSteps, int maxMinorSteps,
                            double stepSize = 0.0) const override;

private:
    double m_origin = 0;
};
