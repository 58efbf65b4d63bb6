#pragma once

#include <QDateTime>
#include <QVector>

class PlotSeriesData;
class QwtPlot;
class QwtPlotCurve;

/// The main window's trend of the current range: x is whole seconds from the
/// time origin, y the reading. A new range restarts the curve.
class LivePlot
{
public:
    /// Dresses `plot` as a trend plot with its origin at `origin`.
    LivePlot(QwtPlot *plot, const QDateTime &origin);

    /// Appends (seconds from the origin to `when`, value) and gives the curve
    /// the points; the caller replots.
    void append(const QDateTime &when, double value);
    /// New origin at `when`, the y scale of the range, the single point
    /// (0, value); replots. A range outside the table keeps the scale.
    void restart(const QDateTime &when, int rangeIndex, double value);
    /// Empties the points without giving them to the curve, which keeps
    /// showing its points until the next one arrives.
    void clearPoints();
    void replot();

    QDateTime origin() const { return m_origin; }
    /// Points gathered since the last clear.
    int pointCount() const { return m_x.size(); }
    QwtPlotCurve *curve() const;

private:
    void giveCurveData();

    QwtPlot *m_plot;
    QwtPlotCurve *m_curve;
    PlotSeriesData *m_data; // owned by the curve
    QVector<double> m_x;
    QVector<double> m_y;
    QDateTime m_origin;
};
