#pragma once

#include <QGroupBox>

class QGridLayout;
class QLabel;
class RunStatistics;

/// How a StatsBox writes its figures.
struct StatsFormat
{
    QString unit;          ///< the unit the figures are shown in
    int decimals = -1;     ///< the readings' decimals; -1: not known (seven significant digits)
    double scale = 1.0;    ///< a figure shown is the statistic times this (a change of unit)
    bool withDate = false; ///< the times of the extremes carry their date (a span over several days)
};

/// A compact box with the statistics of a run or a history range: count,
/// mean, sample standard deviation, minimum and maximum with their times,
/// and the number of overloads, in two columns so it takes little height
/// beside a plot. Figures that are not defined yet show "—".
///
/// The figures have the resolution of the readings: the extremes their
/// decimals, the mean and the standard deviation two more, in fixed point.
class StatsBox : public QGroupBox
{
    Q_OBJECT

public:
    explicit StatsBox(QWidget *parent = nullptr);

    /// Shows `stats` as `format` says.
    void setStatistics(const RunStatistics &stats, const StatsFormat &format);

    /// The text shown for a figure, by its key: "count", "mean", "stddev",
    /// "min", "max", "overloads".
    QString figureText(const QString &key) const;

private:
    QLabel *addRow(const QString &key, const QString &title);

    QGridLayout *m_layout;
    int m_rows = 0;
};
