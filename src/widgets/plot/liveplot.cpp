#include "liveplot.h"

#include "widgets/plot/decimatingcurve.h"
#include "widgets/plot/plotseriesdata.h"
#include "widgets/plot/plotviewbar.h"
#include "widgets/plot/siscaledraw.h"
#include "core/meter/framedecoder.h"
#include "core/meter/rangescale.h"
#include "widgets/plot/trendplot.h"

#include <QBoxLayout>
#include <QPaintEvent>
#include <QPainter>
#include <qwt_painter.h>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_engine.h>
#include <qwt_scale_map.h>
#include <qwt_symbol.h>

#include <algorithm>
#include <cmath>

namespace {

bool sameMap(const QwtScaleMap &a, const QwtScaleMap &b)
{
    return a.s1() == b.s1() && a.s2() == b.s2() && a.p1() == b.p1() && a.p2() == b.p2();
}

} // namespace

/// Draws the line to newly appended points straight onto the canvas, over
/// what the last paint left there, instead of painting the whole canvas
/// (background, grid, every point) for each reading.
///
/// It knows what the canvas shows: how many points, drawn with which maps,
/// from which generation of the data. A paint that covers the whole canvas
/// resets that; a paint limited to the rectangle of the new line is the
/// line's, and is drawn here instead of by the canvas. The line through
/// consecutive points covers the pixels the curve's own drawing covers for
/// them, so the canvas ends up as a full paint would leave it.
class LivePlot::CanvasPainter : public QObject
{
public:
    CanvasPainter(QwtPlot *plot, DecimatingCurve *curve, PlotSeriesData *data)
        : QObject(plot->canvas()), m_plot(plot), m_curve(curve), m_data(data)
    {
        plot->canvas()->installEventFilter(this);
    }

    /// Makes the next paint show every point; false when only a replot can.
    bool showNewPoints()
    {
        const int count = int(m_data->size());
        if (m_drawn < 1 || count < m_drawn || m_generation != m_data->generation() || !plainCurve() ||
            !mapsAsDrawn() || axesWouldMove())
            return false;
        const int from = m_pendingFrom >= 0 ? m_pendingFrom : m_drawn - 1;
        if (from >= count - 1)
            return true;
        const QRect dirty = lineRect(from, count - 1) & canvas()->contentsRect();
        m_pendingFrom = from;
        if (dirty.isEmpty()) {
            // Nothing of it falls on the canvas.
            if (m_pendingRect.isEmpty()) {
                m_pendingFrom = -1;
                m_drawn = count;
            }
            return true;
        }
        m_pendingRect |= dirty;
        canvas()->update(dirty);
        return true;
    }

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Paint)
            return false;
        const QRegion region = static_cast<QPaintEvent *>(event)->region();
        const int count = int(m_data->size());
        const bool ownLine = m_pendingFrom >= 0 && m_pendingRect.contains(region.boundingRect()) &&
                             mapsAsDrawn() && m_generation == m_data->generation() && count > m_pendingFrom;
        const int from = m_pendingFrom;
        m_pendingFrom = -1;
        m_pendingRect = QRect();
        if (ownLine) {
            QPainter painter(canvas());
            painter.setClipRegion(region & canvas()->contentsRect());
            drawLine(&painter, from, count - 1);
            m_drawn = count;
            return true;
        }
        if (region.boundingRect().contains(canvas()->contentsRect())) {
            // The canvas paints itself whole: every point, with today's axes.
            m_xMap = m_plot->canvasMap(m_curve->xAxis());
            m_yMap = m_plot->canvasMap(m_curve->yAxis());
            m_generation = m_data->generation();
            m_drawn = count;
        } else if (m_drawn != count || !mapsAsDrawn() || m_generation != m_data->generation()) {
            // A part painted with other points or axes than the rest shows.
            m_drawn = -1;
        }
        return false;
    }

private:
    QWidget *canvas() const { return m_plot->canvas(); }

    /// A curve drawn as a plain aliased line in front of everything else.
    bool plainCurve() const
    {
        if (m_curve->style() != QwtPlotCurve::Lines || m_curve->symbol() ||
            m_curve->testCurveAttribute(QwtPlotCurve::Fitted) || m_curve->brush().style() != Qt::NoBrush ||
            m_curve->testRenderHint(QwtPlotItem::RenderAntialiased) || !QwtPainter::roundingAlignment())
            return false;
        for (const QwtPlotItem *item : m_plot->itemList()) {
            if (item != m_curve && item->isVisible() && item->z() >= m_curve->z())
                return false;
        }
        return true;
    }

    bool mapsAsDrawn() const
    {
        return sameMap(m_plot->canvasMap(m_curve->xAxis()), m_xMap) &&
               sameMap(m_plot->canvasMap(m_curve->yAxis()), m_yMap);
    }

    /// Whether the next replot would give an automatically scaled axis other
    /// divisions, worked out as the plot works them out.
    bool axesWouldMove() const
    {
        for (const int axis : {m_curve->xAxis(), m_curve->yAxis()}) {
            if (!m_plot->axisAutoScale(axis))
                continue;
            QwtInterval bounds;
            for (const QwtPlotItem *item : m_plot->itemList()) {
                if (!item->testItemAttribute(QwtPlotItem::AutoScale) || !item->isVisible())
                    continue;
                const QRectF rect = item->boundingRect();
                if (axis == item->xAxis() && rect.width() >= 0.0)
                    bounds |= QwtInterval(rect.left(), rect.right());
                if (axis == item->yAxis() && rect.height() >= 0.0)
                    bounds |= QwtInterval(rect.top(), rect.bottom());
            }
            if (!bounds.isValid())
                return true;
            double lower = bounds.minValue();
            double upper = bounds.maxValue();
            double step = 0.0;
            const QwtScaleEngine *engine = m_plot->axisScaleEngine(axis);
            engine->autoScale(m_plot->axisMaxMajor(axis), lower, upper, step);
            const QwtScaleDiv div = engine->divideScale(lower, upper, m_plot->axisMaxMajor(axis),
                                                        m_plot->axisMaxMinor(axis), step);
            if (div != m_plot->axisScaleDiv(axis))
                return true;
        }
        return false;
    }

    QPolygonF pixels(int from, int to) const
    {
        const QVector<QPolygonF> lines =
            DecimatingCurve::columnPolylines(*m_data, m_xMap, m_yMap, from, to, m_curve->gapSeconds());
        QPolygonF all;
        for (const QPolygonF &line : lines)
            all += line;
        return all;
    }

    QRect lineRect(int from, int to) const
    {
        const QRectF bounds = pixels(from, to).boundingRect();
        const int margin = int(std::ceil(std::max(qreal(1.0), m_curve->pen().widthF()))) + 1;
        return bounds.toAlignedRect().adjusted(-margin, -margin, margin, margin);
    }

    void drawLine(QPainter *painter, int from, int to) const
    {
        // The new points by themselves, as the curve reduces them: a few
        // points each, so one a pixel column, and the line through them
        // covers what the curve's own drawing covers for them.
        painter->setPen(m_curve->pen());
        DecimatingCurve::drawPieces(
            painter, DecimatingCurve::columnPolylines(*m_data, m_xMap, m_yMap, from, to, m_curve->gapSeconds()),
            canvas()->contentsRect(), m_curve->testPaintAttribute(QwtPlotCurve::ClipPolygons));
    }

    QwtPlot *m_plot;
    DecimatingCurve *m_curve;
    PlotSeriesData *m_data;
    QwtScaleMap m_xMap, m_yMap;
    quint64 m_generation = 0;
    int m_drawn = -1;       ///< points on the canvas; -1: not known
    int m_pendingFrom = -1; ///< first point of the line waiting for its paint
    QRect m_pendingRect;
};

LivePlot::LivePlot(QwtPlot *plot, const QDateTime &origin)
    : m_plot(plot), m_curve(setUpTrendPlot(plot, origin)), m_origin(origin)
{
    // Tens of thousands of points a run: the curve reads the point vectors
    // in place.
    m_data = new PlotSeriesData(&m_x, &m_y, &m_overload);
    m_curve->setData(m_data);
    m_plot->setAxisScale(QwtPlot::yLeft, 0, 800, 100);
    // The live curve is replotted for every reading: a canvas buffer would
    // only add a fill and a copy of the whole canvas to each of them.
    if (auto *canvas = qobject_cast<QwtPlotCanvas *>(m_plot->canvas()))
        canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, false);
    m_painter = new CanvasPainter(m_plot, m_curve, m_data);
}

QwtPlotCurve *LivePlot::curve() const
{
    return m_curve;
}

PlotViewBar *LivePlot::addViewBar(QBoxLayout *layout)
{
    m_viewBar = new PlotViewBar(m_plot, PlotViewBar::Kind::Live);
    layout->insertWidget(0, m_viewBar);
    // Sharing its column with the controls and whatever the window adds
    // below, the plot is what gives way on a small screen.
    m_plot->setMinimumHeight(150);
    return m_viewBar;
}

void LivePlot::giveCurveData()
{
    m_data->showSource();
    m_curve->itemChanged();
}

void LivePlot::append(const QDateTime &when, double value, bool overload)
{
    m_x.append(double(m_origin.secsTo(when)));
    m_y.append(value);
    m_overload.append(overload);
    giveCurveData();
}

void LivePlot::showNewPoints()
{
    if (!m_painter->showNewPoints())
        replot();
}

void LivePlot::restart(const QDateTime &when, int rangeIndex, double value, bool overload, double scale)
{
    clearPoints();
    m_origin = when;
    setTrendPlotBase(m_plot, m_origin);
    setRangeScale(rangeIndex, scale);
    if (m_viewBar)
        m_viewBar->setReadoutUnit(m_unit.isEmpty() ? meterRangeUnit(rangeIndex) : m_unit);
    m_x.append(0.0);
    m_y.append(value);
    m_overload.append(overload);
    giveCurveData();
    replot();
}

void LivePlot::setRangeScale(int rangeIndex, double scale)
{
    const std::optional<RangeScale> range = rangeScale(rangeIndex);
    if (!range)
        return;
    const double lower = range->lower * scale, upper = range->upper * scale, step = range->step * scale;
    if (m_viewBar)
        m_viewBar->setRangeScale(lower, upper, step);
    else
        m_plot->setAxisScale(QwtPlot::yLeft, lower, upper, step);
}

void LivePlot::setValueUnit(const QString &unit)
{
    if (unit == m_unit)
        return;
    m_unit = unit;
    if (m_viewBar && !unit.isEmpty())
        m_viewBar->setReadoutUnit(unit);
    if (unit.isEmpty())
        m_plot->setAxisScaleDraw(QwtPlot::yLeft, new QwtScaleDraw);
    else
        m_plot->setAxisScaleDraw(QwtPlot::yLeft, new SiScaleDraw(unit));
}

void LivePlot::scaleValues(double factor)
{
    if (m_y.isEmpty())
        return;
    for (double &y : m_y)
        y *= factor;
    m_data->showChangedSource();
    m_curve->itemChanged();
}

void LivePlot::setGapSeconds(double seconds)
{
    m_curve->setGapSeconds(seconds);
}

void LivePlot::clearPoints()
{
    // The curve takes the points over, so it shows them until it is given
    // new ones; the vectors are empty either way.
    m_data->hold(std::move(m_x), std::move(m_y), std::move(m_overload));
    m_x.clear();
    m_y.clear();
    m_overload.clear();
}

void LivePlot::replot()
{
    m_plot->replot();
}
