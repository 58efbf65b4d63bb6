#include "trendplot.h"

#include "plot/decimatingcurve.h"
#include "plot/secondsscaleengine.h"
#include "plot/timescaledrawr.h"

#include <QCoreApplication>
#include <QPen>
#include <qwt_plot.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_magnifier.h>
#include <qwt_plot_panner.h>

DecimatingCurve *setUpTrendPlot(QwtPlot *plot, const QDateTime &base)
{
    plot->setCanvasBackground(QColor(0, 0, 0));
    (void)new QwtPlotMagnifier(plot->canvas());
    (void)new QwtPlotPanner(plot->canvas());

    auto *grid = new QwtPlotGrid;
    grid->enableX(true);
    grid->enableY(true);
    grid->setMajorPen(Qt::yellow, 0, Qt::DotLine);
    grid->attach(plot);

    // Runs and history ranges hold far more points than the plot has pixel
    // columns; the curve draws one column at a time.
    auto *curve = new DecimatingCurve(QStringLiteral("Acc_X"));
    setTrendPlotBase(plot, base);
    plot->setAxisScaleEngine(QwtPlot::xBottom, new SecondsScaleEngine);
    curve->setPen(QPen(QColor(0, 255, 0, 255)));
    plot->setAxisTitle(QwtPlot::xBottom, QCoreApplication::translate("TrendPlot", "时间"));
    plot->setAxisTitle(QwtPlot::yLeft, QCoreApplication::translate("TrendPlot", "数值"));
    curve->attach(plot);
    return curve;
}

void setTrendPlotBase(QwtPlot *plot, const QDateTime &base, bool showDate)
{
    auto *draw = new TimeScaleDrawR(base);
    draw->showDate = showDate;
    plot->setAxisScaleDraw(QwtPlot::xBottom, draw);
}
