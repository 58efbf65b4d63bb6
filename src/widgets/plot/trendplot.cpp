#include "trendplot.h"

#include "widgets/plot/decimatingcurve.h"
#include "widgets/plot/secondsscaleengine.h"
#include "widgets/plot/timescaledrawr.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPen>
#include <QWheelEvent>
#include <qwt_plot.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_magnifier.h>
#include <qwt_plot_panner.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_widget.h>

namespace {

// Keeps the time labels apart: no more major ticks than labels fit across the
// canvas, so a narrow window shows fewer times instead of overprinting them.
// A limit the plot's owner sets is kept as the upper bound.
class TimeAxisTicks : public QObject
{
public:
    explicit TimeAxisTicks(QwtPlot *plot) : QObject(plot), m_plot(plot)
    {
        plot->canvas()->installEventFilter(this);
    }

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Resize)
            fit();
        return false;
    }

private:
    void fit()
    {
        const int current = m_plot->axisMaxMajor(QwtPlot::xBottom);
        if (current != m_applied)
            m_cap = current;
        const QwtScaleWidget *axis = m_plot->axisWidget(QwtPlot::xBottom);
        // A label and half a label's gap each.
        const int room = axis->scaleDraw()->maxLabelWidth(axis->font()) * 3 / 2;
        m_applied = qBound(2, m_plot->canvas()->width() / qMax(1, room), qMax(2, m_cap));
        if (m_applied != current)
            m_plot->setAxisMaxMajor(QwtPlot::xBottom, m_applied);
    }

    QwtPlot *m_plot;
    int m_applied = -1;
    int m_cap = 8;
};

// The wheel zooms time, turned away from the user in, towards the user
// out; with Ctrl held it zooms the values instead. Zooming both at once
// lost the curve off the top or bottom of the canvas.
class TrendMagnifier : public QwtPlotMagnifier
{
public:
    explicit TrendMagnifier(QWidget *canvas) : QwtPlotMagnifier(canvas)
    {
        // The library zooms out for a turn away: the inverse factor turns it round.
        setWheelFactor(1.0 / wheelFactor());
    }

protected:
    void widgetWheelEvent(QWheelEvent *event) override
    {
        const bool values = event->modifiers() & Qt::ControlModifier;
        setAxisEnabled(QwtPlot::xBottom, !values);
        setAxisEnabled(QwtPlot::yLeft, values);
        setWheelModifiers(event->modifiers() & Qt::ControlModifier);
        QwtPlotMagnifier::widgetWheelEvent(event);
        // The mouse zoom (right button) goes on scaling both.
        setAxisEnabled(QwtPlot::xBottom, true);
        setAxisEnabled(QwtPlot::yLeft, true);
    }
};

} // namespace

DecimatingCurve *setUpTrendPlot(QwtPlot *plot, const QDateTime &base)
{
    plot->setCanvasBackground(QColor(0, 0, 0));
    (void)new TrendMagnifier(plot->canvas());
    (void)new QwtPlotPanner(plot->canvas());

    auto *grid = new QwtPlotGrid;
    grid->enableX(true);
    grid->enableY(true);
    grid->setMajorPen(Qt::yellow, 0, Qt::DotLine);
    grid->attach(plot);

    // Runs and history ranges hold far more points than the plot has pixel
    // columns; the curve draws one column at a time.
    auto *curve = new DecimatingCurve(QStringLiteral("Acc_X"));
    plot->setAxisScaleEngine(QwtPlot::xBottom, new SecondsScaleEngine);
    setTrendPlotBase(plot, base);
    curve->setPen(QPen(QColor(0, 255, 0, 255)));
    plot->setAxisTitle(QwtPlot::xBottom, QCoreApplication::translate("TrendPlot", "时间"));
    plot->setAxisTitle(QwtPlot::yLeft, QCoreApplication::translate("TrendPlot", "数值"));
    curve->attach(plot);
    (void)new TimeAxisTicks(plot);
    return curve;
}

void setTrendPlotBase(QwtPlot *plot, const QDateTime &base, bool showDate)
{
    auto *draw = new TimeScaleDrawR(base);
    draw->showDate = showDate;
    plot->setAxisScaleDraw(QwtPlot::xBottom, draw);
    // Ticks on round times of the clock the labels show.
    if (auto *engine = dynamic_cast<SecondsScaleEngine *>(plot->axisScaleEngine(QwtPlot::xBottom))) {
        // The labels count whole seconds from the base's own second; so do the ticks.
        engine->setOrigin(base.isValid() ? double(base.toSecsSinceEpoch() + base.offsetFromUtc()) : 0.0);
        // A fixed span keeps its ends and ticks anew for the new origin.
        if (!plot->axisAutoScale(QwtPlot::xBottom)) {
            const QwtScaleDiv div = plot->axisScaleDiv(QwtPlot::xBottom);
            plot->setAxisScale(QwtPlot::xBottom, div.lowerBound(), div.upperBound());
        }
    }
}
