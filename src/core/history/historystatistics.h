#pragma once

#include "core/meter/runstatistics.h"

#include <QByteArray>
#include <QString>
#include <QVector>

/// One meter's figures for statisticsJson().
struct MeterRunStatistics
{
    QString source;
    RunStatistics stats;
};

/// The statistics of a quantity of a history range as one JSON object:
/// count, overloads, mean, stddev, min, min_time, max, max_time, unit,
/// function. Figures not defined (no reading; stddev of one) are null;
/// times are local, "yyyy-MM-dd hh:mm:ss.zzz". `meters` is the same per
/// meter, by name: an array "meters" of objects with "source" and the
/// figures; the top level takes them all together.
QByteArray statisticsJson(const RunStatistics &stats, const QString &function, const QString &unit,
                          const QVector<MeterRunStatistics> &meters = {});
