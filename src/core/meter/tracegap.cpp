#include "tracegap.h"

#include <algorithm>
#include <cmath>

double traceGapSeconds(double samplingPeriodSeconds)
{
    return std::max(3.0 * samplingPeriodSeconds, 2.0);
}

bool isTraceGap(double dx, double gapSeconds)
{
    return gapSeconds > 0 && std::abs(dx) > gapSeconds;
}
