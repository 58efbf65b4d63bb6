#pragma once

/// How far apart (in seconds) two consecutive readings of a trace may lie
/// and still be joined by a line: three sampling periods, and never less
/// than two seconds, so the jitter of a fast meter never breaks a trace.
/// Where the sampling period is not known (stored readings), their usual
/// spacing stands in for it.
double traceGapSeconds(double samplingPeriodSeconds);

/// Whether readings `dx` seconds apart (either way: a clock set back
/// counts too) leave a gap for a trace whose limit is `gapSeconds`. A limit
/// of 0 or less joins every pair.
bool isTraceGap(double dx, double gapSeconds);
