#pragma once

#include <QPolygonF>
#include <qwt_plot_curve.h>

#include <memory>

class QwtScaleMap;

/// A line curve that draws long point lists at the cost of the pixels they
/// cover rather than the number of points.
///
/// On a pixel-aligned painter (the screen, images) the points falling into
/// one pixel column are reduced to the first, the lowest, the highest and
/// the last of them, in their order; the lines between them cover the
/// pixels the full list covers. With a PlotSeriesData that only grew since
/// the last drawing on the same scales, only the new points are reduced, so
/// a tick that appends one point costs the same for a short or a long
/// curve. Other painters (vector output, antialiasing), fitted curves and
/// filled curves get the plain drawing of QwtPlotCurve.
///
/// Consecutive points further apart in x than the gap (setGapSeconds()) are
/// not joined: the meter sent nothing in between. A point alone between two
/// gaps is drawn as a dot.
class DecimatingCurve : public QwtPlotCurve
{
public:
    explicit DecimatingCurve(const QString &title = QString());
    ~DecimatingCurve() override;

    /// The longest x distance joined by a line (see isTraceGap()); 0, the
    /// default, joins every point.
    void setGapSeconds(double seconds);
    double gapSeconds() const { return m_gapSeconds; }

    /// The reduced polylines, in pixel coordinates, of the points `from`..`to`
    /// of `series` (x and y already rounded to whole pixels), one between
    /// each two gaps.
    static QVector<QPolygonF> columnPolylines(const QwtSeriesData<QPointF> &series, const QwtScaleMap &xMap,
                                              const QwtScaleMap &yMap, int from, int to, double gapSeconds = 0);
    /// Draws pixel polylines as the curve draws its own: a single point as a
    /// dot, the rest clipped to `canvasRect` (when `clip`) and in short pieces.
    static void drawPieces(QPainter *painter, const QVector<QPolygonF> &lines, const QRectF &canvasRect,
                           bool clip);

protected:
    void drawLines(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                   const QRectF &canvasRect, int from, int to) const override;

private:
    struct Cache;
    QVector<QPolygonF> cachedPolylines(const QwtScaleMap &xMap, const QwtScaleMap &yMap, int from, int to) const;

    double m_gapSeconds = 0;
    mutable std::unique_ptr<Cache> m_cache;
};
