#pragma once

#include <QString>

/// Highest resident set size of this process so far, in MiB (VmHWM).
double peakRssMb();

/// Resident set size of this process now, in MiB (VmRSS).
double residentMb();

/// Processor time used by this process so far, all threads, in ms. Unlike
/// the wall clock it does not grow while other work holds the processors.
qint64 processCpuMs();

/// Prints one line of JSON to stdout and flushes it.
void printJsonLine(const QString &json);
