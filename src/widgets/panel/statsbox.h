#pragma once

#include <QGroupBox>

class QGridLayout;
class QLabel;
class RunStatistics;

/// A compact box with the statistics of a run or a history range: count,
/// mean, sample standard deviation, minimum and maximum with their times,
/// and the number of overloads, in two columns so it takes little height
/// beside a plot. Figures that are not defined yet show "—".
class StatsBox : public QGroupBox
{
    Q_OBJECT

public:
    explicit StatsBox(QWidget *parent = nullptr);

    /// Shows `stats`, whose values are in `unit`.
    void setStatistics(const RunStatistics &stats, const QString &unit);

    /// The text shown for a figure, by its key: "count", "mean", "stddev",
    /// "min", "max", "overloads".
    QString figureText(const QString &key) const;

private:
    QLabel *addRow(const QString &key, const QString &title);

    QGridLayout *m_layout;
    int m_rows = 0;
};
