#include "historycurve.h"

#include "core/store/historyreads.h"

#include <QPainter>
#include <QPolygon>

#include <qwt_scale_map.h>

#include <algorithm>
#include <cmath>
#include <limits>

double HistoryCurve::xOf(qint64 ms, qint64 originMs)
{
    return double(HistoryReads::utcOfNaive(ms) - HistoryReads::utcOfNaive(originMs)) / 1000.0;
}

qint64 HistoryCurve::msOf(double x, qint64 originMs)
{
    return HistoryReads::naiveOfUtc(HistoryReads::utcOfNaive(originMs) + qint64(std::llround(x * 1000)));
}

HistoryCurve::HistoryCurve(const QString &title) : QwtPlotCurve(title)
{
    setRenderHint(QwtPlotItem::RenderAntialiased, false);
}

void HistoryCurve::setStretches(const QVector<QPointF> &points, const QVector<bool> &starts, const QRectF &extentX)
{
    m_starts = starts;
    m_starts.resize(points.size());
    if (!m_starts.isEmpty())
        m_starts[0] = true;
    m_extent = extentX;
    setSamples(points);
}

void HistoryCurve::setColumns(const RangeQueries::Curve &curve, qint64 originMs, const QRectF &extentX)
{
    QVector<QPointF> points;
    QVector<bool> starts;
    points.reserve(curve.groups.size() * 4);
    for (const RangeQueries::Group &g : curve.groups) {
        // The group's four points in the order they were read.
        RangeQueries::Point four[] = {g.first, g.min, g.max, g.last};
        std::stable_sort(std::begin(four), std::end(four),
                         [](const RangeQueries::Point &a, const RangeQueries::Point &b) { return a.ms < b.ms; });
        bool first = true;
        for (int i = 0; i < 4; ++i) {
            // One reading can be first, lowest and highest at once.
            if (i > 0 && four[i].ms == four[i - 1].ms && four[i].value == four[i - 1].value)
                continue;
            points.append(QPointF(xOf(four[i].ms, originMs), four[i].value));
            starts.append(first && !g.joinsPrevious);
            first = false;
            if (g.count == 1)
                break;
        }
    }
    setStretches(points, starts, extentX);
}

bool HistoryCurve::isOverload(double y) const
{
    return std::find(m_overloads.cbegin(), m_overloads.cend(), y) != m_overloads.cend();
}

QRectF HistoryCurve::boundingRect() const
{
    QRectF r = QwtPlotCurve::boundingRect();
    const QwtSeriesData<QPointF> *series = data();
    const bool empty = !series || series->size() == 0;
    if (!m_overloads.isEmpty() && !empty) {
        // y over the readings; over the overloads only where there is nothing else.
        double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
        for (size_t i = 0; i < series->size(); ++i) {
            const double y = series->sample(i).y();
            if (!isOverload(y)) {
                low = std::min(low, y);
                high = std::max(high, y);
            }
        }
        if (low <= high) {
            r.setTop(low);
            r.setBottom(high);
        }
    }
    if (m_extent.width() > 0 || m_extent.isValid()) {
        // Only a curve without points takes its place from the extent: one
        // of a single value is no taller than a line, and keeps its y.
        if (empty)
            r = QRectF(m_extent.left(), 0, m_extent.width(), 0);
        r.setLeft(std::min(r.left(), m_extent.left()));
        r.setRight(std::max(r.right(), m_extent.right()));
    }
    if (m_values.isValid()) {
        r.setTop(empty ? m_values.minValue() : std::min(r.top(), m_values.minValue()));
        r.setBottom(empty ? m_values.maxValue() : std::max(r.bottom(), m_values.maxValue()));
    }
    return r;
}

int HistoryCurve::stretchCount() const
{
    return int(std::count(m_starts.cbegin(), m_starts.cend(), true));
}

QVector<qint64> HistoryCurve::pixelColumns(const QwtScaleMap &xMap, qint64 originMs, qint64 fromMs, qint64 toMs)
{
    QVector<qint64> bounds;
    if (toMs <= fromMs)
        return bounds;
    const auto pixel = [&](qint64 ms) { return qRound(xMap.transform(xOf(ms, originMs))); };
    const int firstPixel = pixel(fromMs);
    const int lastPixel = pixel(toMs - 1);
    const bool rising = lastPixel >= firstPixel;
    bounds.append(fromMs);
    // The first millisecond past each column's end, found by halving: the
    // pixel of a millisecond only grows with it (or only falls).
    for (int k = firstPixel + 1; rising ? k <= lastPixel : k >= lastPixel; k += rising ? 1 : -1) {
        qint64 lo = bounds.last(), hi = toMs - 1;
        while (lo < hi) {
            const qint64 mid = lo + (hi - lo) / 2;
            if (rising ? pixel(mid) >= k : pixel(mid) <= k)
                hi = mid;
            else
                lo = mid + 1;
        }
        if (lo > bounds.last())
            bounds.append(lo);
    }
    bounds.append(toMs);
    return bounds;
}

void HistoryCurve::drawSeries(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                              const QRectF &canvasRect, int from, int to) const
{
    const QwtSeriesData<QPointF> *series = data();
    if (!series || series->size() == 0)
        return;
    if (to < 0)
        to = int(series->size()) - 1;
    painter->save();
    painter->setPen(pen());
    painter->setRenderHint(QPainter::Antialiasing, false);
    QPolygon line;
    const auto flush = [&] {
        if (line.size() == 1)
            painter->drawPoint(line.first());
        else if (line.size() > 1)
            painter->drawPolyline(line);
        line.clear();
    };
    for (int i = from; i <= to; ++i) {
        const QPointF p = series->sample(size_t(i));
        if (i < m_starts.size() && m_starts.at(i))
            flush();
        // Whole pixels: what a column's four points cover is what all its
        // readings cover. An overload beyond the canvas stays at its edge.
        int y = qRound(yMap.transform(p.y()));
        if (isOverload(p.y()))
            y = std::clamp(y, int(canvasRect.top()), int(canvasRect.bottom()));
        const QPoint at(qRound(xMap.transform(p.x())), y);
        if (line.isEmpty() || line.last() != at)
            line.append(at);
    }
    flush();
    painter->restore();
}
