#pragma once

#include <QString>

/// Highest resident set size of this process so far, in MiB (VmHWM).
double peakRssMb();

/// Prints one line of JSON to stdout and flushes it.
void printJsonLine(const QString &json);
