#pragma once

#include <QDateTime>
#include <QVector>

class PlotSeriesData;
class PlotViewBar;
class QBoxLayout;
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
    /// the points; the caller shows them (showNewPoints() or replot()).
    void append(const QDateTime &when, double value);
    /// Shows the points appended since the canvas was last painted by the
    /// next paint: while the axes stay as they are drawn, only the line to
    /// the new points is drawn over the canvas; otherwise the plot replots.
    void showNewPoints();
    /// New origin at `when`, the y scale of the range, the single point
    /// (0, value); replots. A range outside the table keeps the scale.
    void restart(const QDateTime &when, int rangeIndex, double value);
    /// Puts the view controls (pause, fit, automatic scale, read-out) first
    /// in `layout`. From then on a restart gives them the range's scale,
    /// which they apply unless the view is paused or scaled automatically;
    /// without them the plot takes the scale itself.
    PlotViewBar *addViewBar(QBoxLayout *layout);
    PlotViewBar *viewBar() const { return m_viewBar; }
    /// Empties the points without giving them to the curve, which keeps
    /// showing its points until the next one arrives.
    void clearPoints();
    void replot();

    QDateTime origin() const { return m_origin; }
    /// Points gathered since the last clear.
    int pointCount() const { return m_x.size(); }
    QwtPlotCurve *curve() const;

private:
    class CanvasPainter;

    void giveCurveData();

    QwtPlot *m_plot;
    QwtPlotCurve *m_curve;
    PlotSeriesData *m_data; // owned by the curve
    PlotViewBar *m_viewBar = nullptr;
    CanvasPainter *m_painter; // owned by the canvas
    QVector<double> m_x;
    QVector<double> m_y;
    QDateTime m_origin;
};
