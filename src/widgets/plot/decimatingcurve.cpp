#include "decimatingcurve.h"

#include "widgets/plot/plotseriesdata.h"

#include "core/meter/tracegap.h"

#include <QPainter>
#include <qwt_clipper.h>
#include <qwt_painter.h>
#include <qwt_scale_map.h>

#include <algorithm>

namespace {

/// Builds the reduced polylines point by point: of the points of one pixel
/// column it keeps the first, the lowest, the highest and the last. A gap
/// ends one polyline; the next point starts another.
class ColumnReducer
{
public:
    void gap()
    {
        flush();
        if (!m_out.isEmpty())
            m_lines.append(m_out);
        m_out.clear();
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

    /// The polylines with the column still being filled closed as it stands.
    QVector<QPolygonF> result() const
    {
        ColumnReducer copy(*this);
        copy.gap();
        return copy.m_lines;
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

    QVector<QPolygonF> m_lines;
    QPolygonF m_out;
    bool m_open = false;
    double m_x = 0;
    double m_firstY = 0, m_lastY = 0, m_minY = 0, m_maxY = 0;
    int m_index = 0, m_minAt = 0, m_maxAt = 0;
};

/// How the points of one series become pixels: overloads beyond the
/// canvas are held at its edge, and points too far apart in x are not joined.
struct Pixels
{
    const QwtScaleMap &xMap;
    const QwtScaleMap &yMap;
    double gapSeconds;

    template<typename PointAt>
    void reduce(ColumnReducer &columns, int from, int to, const bool *overloads, PointAt pointAt) const
    {
        const double top = std::min(yMap.p1(), yMap.p2());
        const double bottom = std::max(yMap.p1(), yMap.p2());
        double lastX = from > 0 ? pointAt(from - 1).x() : 0.0;
        for (int i = from; i <= to; ++i) {
            const QPointF p = pointAt(i);
            if (i > 0 && isTraceGap(p.x() - lastX, gapSeconds))
                columns.gap();
            lastX = p.x();
            // Rounded exactly as the plain drawing rounds on an aligned painter.
            double py = qRound(yMap.transform(p.y()));
            if (overloads && overloads[i])
                py = std::clamp(py, top, bottom);
            columns.add(qRound(xMap.transform(p.x())), py);
        }
    }
};

void reduceSeries(ColumnReducer &columns, const QwtSeriesData<QPointF> &series, const Pixels &pixels, int from,
                  int to)
{
    // The live data is walked through its arrays; anything else through the
    // series interface.
    if (const auto *arrays = dynamic_cast<const PlotSeriesData *>(&series)) {
        const double *x = arrays->xValues();
        const double *y = arrays->yValues();
        pixels.reduce(columns, from, to, arrays->overloadValues(), [x, y](int i) { return QPointF(x[i], y[i]); });
    } else {
        pixels.reduce(columns, from, to, nullptr, [&series](int i) { return series.sample(size_t(i)); });
    }
}

bool sameMap(const QwtScaleMap &a, const QwtScaleMap &b)
{
    return a.s1() == b.s1() && a.s2() == b.s2() && a.p1() == b.p1() && a.p2() == b.p2()
           && !a.transformation() && !b.transformation();
}

} // namespace

/// The reduced lines of the points reduced so far, and what they were made with.
struct DecimatingCurve::Cache
{
    const PlotSeriesData *data = nullptr;
    quint64 generation = 0;
    QwtScaleMap xMap, yMap;
    double gapSeconds = 0;
    int from = 0;
    int next = 0; ///< first point not reduced yet
    ColumnReducer columns;
};

DecimatingCurve::DecimatingCurve(const QString &title)
    : QwtPlotCurve(title)
{
}

DecimatingCurve::~DecimatingCurve() = default;

void DecimatingCurve::setGapSeconds(double seconds)
{
    if (seconds == m_gapSeconds)
        return;
    m_gapSeconds = seconds;
    itemChanged();
}

QVector<QPolygonF> DecimatingCurve::columnPolylines(const QwtSeriesData<QPointF> &series, const QwtScaleMap &xMap,
                                                    const QwtScaleMap &yMap, int from, int to,
                                                    double gapSeconds)
{
    ColumnReducer columns;
    reduceSeries(columns, series, Pixels{xMap, yMap, gapSeconds}, from, to);
    return columns.result();
}

QVector<QPolygonF> DecimatingCurve::cachedPolylines(const QwtScaleMap &xMap, const QwtScaleMap &yMap, int from,
                                                    int to) const
{
    const auto *series = dynamic_cast<const PlotSeriesData *>(data());
    if (!series) {
        m_cache.reset();
        return columnPolylines(*data(), xMap, yMap, from, to, m_gapSeconds);
    }
    // Points are only ever appended to the same generation of data, so on
    // unchanged scales the lines so far stay valid and grow by the new
    // points. Anything else starts over.
    const bool reusable = m_cache && m_cache->data == series && m_cache->generation == series->generation()
                          && m_cache->from == from && m_cache->next <= to + 1 && sameMap(m_cache->xMap, xMap)
                          && sameMap(m_cache->yMap, yMap) && m_cache->gapSeconds == m_gapSeconds;
    if (!reusable) {
        m_cache.reset(new Cache);
        m_cache->data = series;
        m_cache->generation = series->generation();
        m_cache->xMap = xMap;
        m_cache->yMap = yMap;
        m_cache->gapSeconds = m_gapSeconds;
        m_cache->from = from;
        m_cache->next = from;
    }
    reduceSeries(m_cache->columns, *series, Pixels{xMap, yMap, m_gapSeconds}, m_cache->next, to);
    m_cache->next = to + 1;
    return m_cache->columns.result();
}

void DecimatingCurve::drawPieces(QPainter *painter, const QVector<QPolygonF> &lines, const QRectF &canvasRect,
                                 bool clip)
{
    const qreal pw = qMax(qreal(1.0), painter->pen().widthF());
    const QRectF clipRect = canvasRect.adjusted(-pw, -pw, pw, pw);
    for (QPolygonF line : lines) {
        // A reading alone between two gaps is a dot.
        if (line.size() == 1) {
            if (clipRect.contains(line.first()))
                QwtPainter::drawPoint(painter, line.first());
            continue;
        }
        if (clip)
            line = QwtClipper::clipPolygonF(clipRect, line, false);
        // Drawn like the plain curve draws its lines (in short pieces), so an
        // unreduced line comes out pixel for pixel the same.
        QwtPainter::drawPolyline(painter, line);
    }
}

void DecimatingCurve::drawLines(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                                const QRectF &canvasRect, int from, int to) const
{
    const bool filled = brush().style() != Qt::NoBrush && brush().color().alpha() > 0;
    const bool fitted = testCurveAttribute(Fitted);
    const bool aligned = QwtPainter::roundingAlignment(painter);
    const bool smooth = painter->testRenderHint(QPainter::Antialiasing);
    if (filled || fitted || !aligned || smooth) {
        // The plain drawing, a piece between gaps at a time.
        int start = from;
        for (int i = from + 1; i <= to + 1; ++i) {
            if (i <= to && !isTraceGap(sample(i).x() - sample(i - 1).x(), m_gapSeconds))
                continue;
            QwtPlotCurve::drawLines(painter, xMap, yMap, canvasRect, start, i - 1);
            start = i;
        }
        return;
    }
    if (from > to)
        return;
    drawPieces(painter, cachedPolylines(xMap, yMap, from, to), canvasRect, testPaintAttribute(ClipPolygons));
}
