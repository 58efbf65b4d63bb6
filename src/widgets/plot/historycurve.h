#pragma once

#include "core/store/rangequeries.h"

#include <QVector>

#include <qwt_interval.h>
#include <qwt_plot_curve.h>

class QwtScaleMap;

/// A history curve: stretches of points joined by lines, with no line
/// between one stretch and the next (the meter sent nothing in between).
/// Points are drawn on whole pixels, so a curve given only the first, last,
/// lowest and highest point of each pixel column (RangeQueries::columns())
/// paints exactly the pixels a curve through every reading paints.
class HistoryCurve : public QwtPlotCurve
{
public:
    explicit HistoryCurve(const QString &title = QString());

    /// x of a reading at naive time `ms`: seconds from the curve's origin,
    /// in real time (a clock change is no jump).
    static double xOf(qint64 ms, qint64 originMs);
    /// The naive time of x, the other way round.
    static qint64 msOf(double x, qint64 originMs);

    /// The points, in time order; `starts` marks each point that begins a
    /// stretch (the first one always does). `extentX`, when valid, is the x
    /// span the whole range covers, which fitting the plot returns to even
    /// while the points are of a part of it.
    void setStretches(const QVector<QPointF> &points, const QVector<bool> &starts, const QRectF &extentX = QRectF());
    /// The curve of the pixel columns of one meter.
    void setColumns(const RangeQueries::Curve &curve, qint64 originMs, const QRectF &extentX = QRectF());

    /// The values overloads are drawn at: they stay out of the y bounds, so
    /// an automatic scale follows the readings, and are held at the canvas
    /// edge when they lie beyond it.
    void setOverloadValues(const QVector<double> &values) { m_overloads = values; }
    /// The y span (lowest, highest) the meter's curve over the whole range
    /// has, kept in the y bounds while the points are of a part of it; an
    /// invalid interval for none.
    void setValueExtent(const QwtInterval &values) { m_values = values; }

    QRectF boundingRect() const override;
    int stretchCount() const;

    /// The boundaries (naive ms) of the pixel columns that readings from
    /// `fromMs` up to `toMs` (excluded) fall in under `xMap`: B_k is the
    /// first millisecond drawn on pixel column k, and the last boundary is
    /// `toMs`. A reading's column is the pixel its x rounds to, as drawn.
    static QVector<qint64> pixelColumns(const QwtScaleMap &xMap, qint64 originMs, qint64 fromMs, qint64 toMs);

protected:
    void drawSeries(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRectF &canvasRect,
                    int from, int to) const override;

private:
    bool isOverload(double y) const;

    QVector<bool> m_starts;
    QRectF m_extent;
    QVector<double> m_overloads;
    QwtInterval m_values;
};
