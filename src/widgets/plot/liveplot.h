#pragma once

#include <QDateTime>
#include <QString>
#include <QVector>

class DecimatingCurve;
class PlotSeriesData;
class PlotViewBar;
class QBoxLayout;
class QwtPlot;
class QwtPlotCurve;

/// The main window's trend of the current range: x is whole seconds from the
/// time origin, y the reading. A new range restarts the curve.
///
/// By default y is the reading as the meter shows it, on the range's fixed
/// scale. A trace that goes on across ranges has y in one unit for them all
/// (setValueUnit(): "V" for mV and V) and the ranges' scales in that unit.
class LivePlot
{
public:
    /// Dresses `plot` as a trend plot with its origin at `origin`.
    LivePlot(QwtPlot *plot, const QDateTime &origin);

    /// Appends (seconds from the origin to `when`, value) and gives the curve
    /// the points; the caller shows them (showNewPoints() or replot()). An
    /// overload stays out of the automatic scale and is drawn at the edge.
    void append(const QDateTime &when, double value, bool overload = false);
    /// Shows the points appended since the canvas was last painted by the
    /// next paint: while the axes stay as they are drawn, only the line to
    /// the new points is drawn over the canvas; otherwise the plot replots.
    void showNewPoints();
    /// New origin at `when`, the y scale of the range (its bounds times
    /// `scale`, see setRangeScale()), the single point (0, value); replots.
    void restart(const QDateTime &when, int rangeIndex, double value, bool overload = false,
                 double scale = 1.0);
    /// The y scale of a range, its bounds and step times `scale` (the
    /// factor of the range's unit in the unit y is in). A range outside the
    /// table keeps the scale.
    void setRangeScale(int rangeIndex, double scale = 1.0);
    /// The unit y is in, for the y axis labels ("200 mV", "1.5 V"); empty,
    /// the default: plain numbers in whatever unit the range shows.
    void setValueUnit(const QString &unit);
    QString valueUnit() const { return m_unit; }
    /// Multiplies every y gathered so far by `factor` (y changes unit).
    void scaleValues(double factor);
    /// Points further apart than this many seconds are not joined (see
    /// traceGapSeconds()); 0 joins them all.
    void setGapSeconds(double seconds);
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
    DecimatingCurve *m_curve;
    PlotSeriesData *m_data; // owned by the curve
    PlotViewBar *m_viewBar = nullptr;
    CanvasPainter *m_painter; // owned by the canvas
    QVector<double> m_x;
    QVector<double> m_y;
    QVector<bool> m_overload;
    QDateTime m_origin;
    QString m_unit;
};
