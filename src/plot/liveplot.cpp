#include "liveplot.h"

#include "plot/decimatingcurve.h"
#include "plot/plotseriesdata.h"
#include "plot/plotviewbar.h"
#include "plot/rangescale.h"
#include "plot/trendplot.h"

#include <QBoxLayout>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>

LivePlot::LivePlot(QwtPlot *plot, const QDateTime &origin)
    : m_plot(plot), m_curve(setUpTrendPlot(plot, origin)), m_origin(origin)
{
    // Tens of thousands of points a run: the curve reads the point vectors
    // in place.
    m_data = new PlotSeriesData(&m_x, &m_y);
    m_curve->setData(m_data);
    m_plot->setAxisScale(QwtPlot::yLeft, 0, 800, 100);
    // The live curve is replotted for every reading: a canvas buffer would
    // only add a fill and a copy of the whole canvas to each of them.
    if (auto *canvas = qobject_cast<QwtPlotCanvas *>(m_plot->canvas()))
        canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, false);
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

void LivePlot::append(const QDateTime &when, double value)
{
    m_x.append(double(m_origin.secsTo(when)));
    m_y.append(value);
    giveCurveData();
}

void LivePlot::restart(const QDateTime &when, int rangeIndex, double value)
{
    clearPoints();
    m_origin = when;
    setTrendPlotBase(m_plot, m_origin);
    if (const std::optional<RangeScale> scale = rangeScale(rangeIndex)) {
        if (m_viewBar)
            m_viewBar->setRangeScale(scale->lower, scale->upper, scale->step);
        else
            m_plot->setAxisScale(QwtPlot::yLeft, scale->lower, scale->upper, scale->step);
    }
    m_x.append(0.0);
    m_y.append(value);
    giveCurveData();
    replot();
}

void LivePlot::clearPoints()
{
    // The curve takes the points over, so it shows them until it is given
    // new ones; the vectors are empty either way.
    m_data->hold(std::move(m_x), std::move(m_y));
    m_x.clear();
    m_y.clear();
}

void LivePlot::replot()
{
    m_plot->replot();
}
