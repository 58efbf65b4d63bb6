#include "decimatingcurve.h"

#include "widgets/plot/plotseriesdata.h"

#include <QPainter>
#include <qwt_clipper.h>
#include <qwt_painter.h>
#include <qwt_scale_map.h>

namespace {

/// Builds the reduced polyline point by point: of the points of one pixel
/// column it keeps the first, the lowest, the highest and the last.
class ColumnReducer
{
public:
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

    /// The polyline with the column still being filled closed as it stands.
    QPolygonF result() const
    {
        ColumnReducer copy(*this);
        copy.flush();
        return copy.m_out;
    }

private:
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

    void push(double y)
    {
        // Repeated points add nothing to a line.
        if (!m_out.isEmpty() && m_out.last().x() == m_x && m_out.last().y() == y)
            return;
        m_out.append(QPointF(m_x, y));
    }

    QPolygonF m_out;
    bool m_open = false;
    double m_x = 0;
    double m_firstY = 0, m_lastY = 0, m_minY = 0, m_maxY = 0;
    int m_index = 0, m_minAt = 0, m_maxAt = 0;
};

template<typename PointAt>
void reduce(ColumnReducer &columns, const QwtScaleMap &xMap, const QwtScaleMap &yMap, int from, int to,
            PointAt pointAt)
{
    for (int i = from; i <= to; ++i) {
        const QPointF p = pointAt(i);
        // Rounded exactly as the plain drawing rounds on an aligned painter.
        columns.add(qRound(xMap.transform(p.x())), qRound(yMap.transform(p.y())));
    }
}

void reduceSeries(ColumnReducer &columns, const QwtSeriesData<QPointF> &series, const QwtScaleMap &xMap,
                  const QwtScaleMap &yMap, int from, int to)
{
    // The live data is walked through its arrays; anything else through the
    // series interface.
    if (const auto *arrays = dynamic_cast<const PlotSeriesData *>(&series)) {
        const double *x = arrays->xValues();
        const double *y = arrays->yValues();
        reduce(columns, xMap, yMap, from, to, [x, y](int i) { return QPointF(x[i], y[i]); });
    } else {
        reduce(columns, xMap, yMap, from, to, [&series](int i) { return series.sample(size_t(i)); });
    }
}

bool sameMap(const QwtScaleMap &a, const QwtScaleMap &b)
{
    return a.s1() == b.s1() && a.s2() == b.s2() && a.p1() == b.p1() && a.p2() == b.p2()
           && !a.transformation() && !b.transformation();
}

} // namespace

/// The reduced line of the points reduced so far, and what it was made with.
struct DecimatingCurve::Cache
{
    const PlotSeriesData *data = nullptr;
    quint64 generation = 0;
    QwtScaleMap xMap, yMap;
    int from = 0;
    int next = 0; ///< first point not reduced yet
    ColumnReducer columns;
};

DecimatingCurve::DecimatingCurve(const QString &title)
    : QwtPlotCurve(title)
{
}

DecimatingCurve::~DecimatingCurve() = default;

QPolygonF DecimatingCurve::columnPolyline(const QwtSeriesData<QPointF> &series, const QwtScaleMap &xMap,
                                          const QwtScaleMap &yMap, int from, int to)
{
    ColumnReducer columns;
    reduceSeries(columns, series, xMap, yMap, from, to);
    return columns.result();
}

QPolygonF DecimatingCurve::cachedPolyline(const QwtScaleMap &xMap, const QwtScaleMap &yMap, int from,
                                          int to) const
{
    const auto *series = dynamic_cast<const PlotSeriesData *>(data());
    if (!series) {
        m_cache.reset();
        return columnPolyline(*data(), xMap, yMap, from, to);
    }
    // Points are only ever appended to the same generation of data, so on
    // unchanged scales the line so far stays valid and grows by the new
    // points. Anything else starts over.
    const bool reusable = m_cache && m_cache->data == series && m_cache->generation == series->generation()
                          && m_cache->from == from && m_cache->next <= to + 1 && sameMap(m_cache->xMap, xMap)
                          && sameMap(m_cache->yMap, yMap);
    if (!reusable) {
        m_cache.reset(new Cache);
        m_cache->data = series;
        m_cache->generation = series->generation();
        m_cache->xMap = xMap;
        m_cache->yMap = yMap;
        m_cache->from = from;
        m_cache->next = from;
    }
    reduceSeries(m_cache->columns, *series, xMap, yMap, m_cache->next, to);
    m_cache->next = to + 1;
    return m_cache->columns.result();
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

    QPolygonF polyline = cachedPolyline(xMap, yMap, from, to);
    if (testPaintAttribute(ClipPolygons)) {
        const qreal pw = qMax(qreal(1.0), painter->pen().widthF());
        const QRectF clipRect = canvasRect.adjusted(-pw, -pw, pw, pw);
        polyline = QwtClipper::clipPolygonF(clipRect, polyline, false);
    }
    // Drawn like the plain curve draws its lines (in short pieces), so an
    // unreduced line comes out pixel for pixel the same.
    QwtPainter::drawPolyline(painter, polyline);
}
