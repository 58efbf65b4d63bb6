#pragma once

#include "core/meter/runstatistics.h"

#include <QGroupBox>
#include <QVector>

class QGridLayout;
class QLabel;
class QTableWidget;
class RunStatistics;

/// How a StatsBox writes its figures.
struct StatsFormat
{
    QString unit;          ///< the unit the figures are shown in
    int decimals = -1;     ///< the readings' decimals; -1: not known (seven significant digits)
    int minDecimals = -1;  ///< those of the reading that is the minimum; -1: `decimals`
    int maxDecimals = -1;  ///< those of the reading that is the maximum; -1: `decimals`
    double scale = 1.0;    ///< a figure shown is the statistic times this (a change of unit)
    bool withDate = false; ///< the times of the extremes carry their date (a span over several days)
};

/// One line of a StatsBox that lists several meters.
struct StatsLine
{
    QString label; ///< the meter's name, or what the figures are taken over
    RunStatistics stats;
    StatsFormat format;
};

/// A compact box with the statistics of a run or a history range: count,
/// mean, sample standard deviation, minimum and maximum with their times,
/// and the number of overloads, in two columns so it takes little height
/// beside a plot. Figures that are not defined yet show "—".
///
/// The figures have the resolution of the readings: the extremes their
/// decimals, the mean and the standard deviation two more, in fixed point.
/// Figures of several meters are a table, a line each (setLines()).
class StatsBox : public QGroupBox
{
    Q_OBJECT

public:
    explicit StatsBox(QWidget *parent = nullptr);

    /// Shows `stats` as `format` says.
    void setStatistics(const RunStatistics &stats, const StatsFormat &format);

    /// Shows several lines as a table, one a row; one line is shown as
    /// setStatistics() shows it, with its label in the title.
    void setLines(const QVector<StatsLine> &lines);

    /// The text shown for a figure, by its key: "count", "mean", "stddev",
    /// "min", "max", "overloads"; of line `line` when the box shows a table.
    QString figureText(const QString &key, int line = 0) const;

    /// The lines of the table (0 when the box shows one set of figures) and
    /// their labels.
    int lineCount() const;
    QString lineLabel(int line) const;

private:
    QLabel *addRow(const QString &key, const QString &title);
    void showTable(bool table);

    QGridLayout *m_layout;
    QTableWidget *m_table = nullptr;
    int m_rows = 0;
};
