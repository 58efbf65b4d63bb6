#pragma once

#include <QByteArray>
#include <QString>

class RunStatistics;

/// The statistics of a quantity of a history range as one JSON object:
/// count, overloads, mean, stddev, min, min_time, max, max_time, unit,
/// function. Figures not defined (no reading; stddev of one) are null;
/// times are local, "yyyy-MM-dd hh:mm:ss.zzz".
QByteArray statisticsJson(const RunStatistics &stats, const QString &function, const QString &unit);
