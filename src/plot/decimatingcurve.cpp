#include "decimatingcurve.h"

#include "plot/plotseriesdata.h"

#include <QPainter>
#include <qwt_clipper.h>
#include <qwt_painter.h>
#include <qwt_scale_map.h>

#include <cmath>

namespace {

/// Collects the points of one pixel column and writes its first, lowest,
/// highest and last point to the polyline.
class ColumnReducer
{
public:
    explicit ColumnReducer(QPolygonF &out)
        : m_out(out)
    {
    }

    void add(double px, double py)
    {
        if (m_open && px == m_x) {
            ++m_index;
            if (py < m_minY) {
                m_minY = py;
                m_minAt = m_index;
            }
            if (py > m_maxY) {
                m_maxY = py;
                m_maxAt = m_index;
            }
            m_lastY = py;
            return;
        }
        flush();
        m_open = true;
        m_x = px;
        m_firstY = m_lastY = m_minY = m_maxY = py;
        m_index = m_minAt = m_maxAt = 0;
    }

    void flush()
    {
        if (!m_open)
            return;
        m_open = false;
        push(m_firstY);
        if (m_minAt < m_maxAt) {
            push(m_minY);
            push(m_maxY);
        } else {
            push(m_maxY);
            push(m_minY);
        }
        push(m_lastY);
    }

private:
    void push(double y)
    {
        // Repeated points add nothing to a line.
        if (!m_out.isEmpty() && m_out.last().x() == m_x && m_out.last().y() == y)
            return;
        m_out.append(QPointF(m_x, y));
    }

    QPolygonF &m_out;
    bool m_open = false;
    double m_x = 0;
    double m_firstY = 0, m_lastY = 0, m_minY = 0, m_maxY = 0;
    int m_index = 0, m_minAt = 0, m_maxAt = 0;
};

template<typename PointAt>
QPolygonF reduce(const QwtScaleMap &xMap, const QwtScaleMap &yMap, int from, int to, PointAt pointAt)
{
    QPolygonF out;
    ColumnReducer columns(out);
    for (int i = from; i <= to; ++i) {
        const QPointF p = pointAt(i);
        // Rounded exactly as the plain drawing rounds on an aligned painter.
        columns.add(qRound(xMap.transform(p.x())), qRound(yMap.transform(p.y())));
    }
    columns.flush();
    return out;
}

} // namespace

DecimatingCurve::DecimatingCurve(const QString &title)
    : QwtPlotCurve(title)
{
}

QPolygonF DecimatingCurve::columnPolyline(const QwtSeriesData<QPointF> &series, const QwtScaleMap &xMap,
                                          const QwtScaleMap &yMap, int from, int to)
{
    // The live data is walked through its arrays; anything else through the
    // series interface.
    if (const auto *arrays = dynamic_cast<const PlotSeriesData *>(&series)) {
        const double *x = arrays->xValues();
        const double *y = arrays->yValues();
        return reduce(xMap, yMap, from, to, [x, y](int i) { return QPointF(x[i], y[i]); });
    }
    return reduce(xMap, yMap, from, to, [&series](int i) { return series.sample(size_t(i)); });
}

void DecimatingCurve::drawLines(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                                const QRectF &canvasRect, int from, int to) const
{
    const bool filled = brush().style() != Qt::NoBrush && brush().color().alpha() > 0;
    const bool fitted = testCurveAttribute(Fitted);
    const bool aligned = QwtPainter::roundingAlignment(painter);
    const bool smooth = painter->testRenderHint(QPainter::Antialiasing);
    if (filled || fitted || !aligned || smooth) {
        QwtPlotCurve::drawLines(painter, xMap, yMap, canvasRect, from, to);
        return;
    }
    if (from > to)
        return;

    QPolygonF polyline = columnPolyline(*data(), xMap, yMap, from, to);
    if (testPaintAttribute(ClipPolygons)) {
        const qreal pw = qMax(qreal(1.0), painter->pen().widthF());
        const QRectF clipRect = canvasRect.adjusted(-pw, -pw, pw, pw);
        polyline = QwtClipper::clipPolygonF(clipRect, polyline, false);
    }
    // Drawn like the plain curve draws its lines (in short pieces), so an
    // unreduced line comes out pixel for pixel the same.
    QwtPainter::drawPolyline(painter, polyline);
}
