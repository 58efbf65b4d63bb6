#pragma once

#include "core/meter/runstatistics.h"

#include <QByteArray>
#include <QString>

class HistoryData;

/// Statistics of the stored readings of one quantity (function and unit) in
/// a history range. Rows of other quantities are passed over: a mean over
/// volts and ohms means nothing. Rows are taken in slices, so a window can
/// add them while they load.
class HistoryStatistics
{
public:
    HistoryStatistics() = default;
    HistoryStatistics(const QString &function, const QString &unit) : m_function(function), m_unit(unit) {}

    /// Statistics of every row of `rows` of row 0's quantity (empty when there are no rows).
    static HistoryStatistics ofFirstQuantity(const HistoryData &rows);

    /// Adds rows `from` … `to` − 1. A value text that is a number counts;
    /// an overload text (" OL ", "- O.L " and the like) is counted apart;
    /// anything else is passed over.
    void addRows(const HistoryData &rows, int from, int to);

    const QString &function() const { return m_function; }
    const QString &unit() const { return m_unit; }
    const RunStatistics &statistics() const { return m_stats; }
    /// The most decimals a counted value text had; -1 before the first.
    int decimals() const { return m_decimals; }

    /// One JSON object: count, overloads, mean, stddev, min, min_time, max,
    /// max_time, unit, function. Figures not defined (no reading; stddev of
    /// one) are null; times are local, "yyyy-MM-dd hh:mm:ss.zzz".
    QByteArray toJson() const;

private:
    QString m_function;
    QString m_unit;
    RunStatistics m_stats;
    int m_decimals = -1;
};

/// Whether a stored value text is an overload: "OL" once signs, spaces and
/// the decimal point are taken away.
bool isOverloadText(QStringView text);
