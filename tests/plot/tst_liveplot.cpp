#include "mainwindow/tk52k_comm.h"
#include "meter/tkdatadas.h"
#include "plot/timescaledrawr.h"
#include "resources/resources.h"

#include <QtTest>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_scale_div.h>

// Friend of the main window: drives the plot operations the tick uses.
class tst_LivePlot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void setUpBeforeTheFirstReading();
    void restartScalesToTheRange_data();
    void restartScalesToTheRange();
    void pointsOneSecondApart();
    void clockSetBackGivesNegativeX();
    void restartDropsThePreviousPoints();
    void clearKeepsTheDrawnCurveUntilTheNextPoint();

private:
    static QwtPlot *plot(TK52K_Comm &w) { return w.ui.qwtPlot; }
    static const TimeScaleDrawR *timeAxis(TK52K_Comm &w)
    {
        return dynamic_cast<const TimeScaleDrawR *>(plot(w)->axisScaleDraw(QwtPlot::xBottom));
    }
    static void setReading(TK52K_Comm &w, int range, double value)
    {
        w.currentReading->rangeIndex = range;
        w.currentReading->value = value;
    }
    static QVector<QPointF> curvePoints(TK52K_Comm &w)
    {
        QVector<QPointF> points;
        for (size_t i = 0; i < w.curve->dataSize(); ++i)
            points.append(w.curve->sample(int(i)));
        return points;
    }
    static int greenPixels(TK52K_Comm &w)
    {
        w.replot();
        const QImage image = plot(w)->canvas()->grab().toImage();
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                n += image.pixel(x, y) == qRgb(0, 255, 0);
        return n;
    }
    static void showWindow(TK52K_Comm &w)
    {
        w.resize(1536, 864);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
    }

    const QDateTime t0 = QDateTime(QDate(2024, 5, 6), QTime(10, 0, 0));
};

void tst_LivePlot::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
}

void tst_LivePlot::setUpBeforeTheFirstReading()
{
    const QDateTime before = QDateTime::currentDateTime();
    TK52K_Comm w;
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(w.curve->title().text(), QStringLiteral("Acc_X"));
    QCOMPARE(w.curve->plot(), plot(w));
    QCOMPARE(w.curve->pen().color(), QColor(0, 255, 0, 255));
    QCOMPARE(w.curve->style(), QwtPlotCurve::Lines);
    QCOMPARE(w.curve->dataSize(), size_t(0));
    QVERIFY(w.plotBase.isNull());

    w.replot();
    const QwtScaleDiv y = plot(w)->axisScaleDiv(QwtPlot::yLeft);
    QCOMPARE(y.lowerBound(), 0.0);
    QCOMPARE(y.upperBound(), 800.0);
    QCOMPARE(plot(w)->axisStepSize(QwtPlot::yLeft), 100.0);
    QVERIFY(plot(w)->axisAutoScale(QwtPlot::xBottom));
    QCOMPARE(plot(w)->axisTitle(QwtPlot::xBottom).text(), QStringLiteral("时间"));
    QCOMPARE(plot(w)->axisTitle(QwtPlot::yLeft).text(), QStringLiteral("数值"));
    QCOMPARE(plot(w)->canvasBackground().color(), QColor(0, 0, 0));

    // The axis counts from the start-up time.
    QVERIFY(timeAxis(w));
    QVERIFY(timeAxis(w)->base >= before.addMSecs(-before.time().msec()));
    QVERIFY(timeAxis(w)->base <= after);

    const QwtPlotItemList grids = plot(w)->itemList(QwtPlotItem::Rtti_PlotGrid);
    QCOMPARE(grids.size(), 1);
    const auto *grid = static_cast<const QwtPlotGrid *>(grids.first());
    QVERIFY(grid->xEnabled() && grid->yEnabled());
    QCOMPARE(grid->majorPen().color(), QColor(Qt::yellow));
    QCOMPARE(grid->majorPen().style(), Qt::DotLine);
    QCOMPARE(grid->majorPen().widthF(), 0.0);
}

void tst_LivePlot::restartScalesToTheRange_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("lower");
    QTest::addColumn<double>("upper");
    QTest::addColumn<double>("step");

    QTest::newRow("range 4") << 4 << 231.5 << -1200.0 << 1200.0 << 200.0;
    QTest::newRow("range 27") << 27 << -1.25 << -4.0 << 4.0 << 0.5;
    QTest::newRow("range 0") << 0 << 0.0 << -800.0 << 800.0 << 100.0;
    QTest::newRow("range 44") << 44 << 2999.0 << -3000.0 << 3000.0 << 500.0;
}

void tst_LivePlot::restartScalesToTheRange()
{
    QFETCH(int, range);
    QFETCH(double, value);
    QFETCH(double, lower);
    QFETCH(double, upper);
    QFETCH(double, step);

    TK52K_Comm w;
    setReading(w, range, value);
    w.restartPlot(t0);

    const QwtScaleDiv y = plot(w)->axisScaleDiv(QwtPlot::yLeft);
    QCOMPARE(y.lowerBound(), lower);
    QCOMPARE(y.upperBound(), upper);
    QCOMPARE(plot(w)->axisStepSize(QwtPlot::yLeft), step);
    QCOMPARE(w.plotBase, t0);
    QVERIFY(timeAxis(w));
    QCOMPARE(timeAxis(w)->base, t0);
    QCOMPARE(timeAxis(w)->label(0).text(), QStringLiteral("10:00:00"));
    QCOMPARE(w.xData, QVector<double>{0.0});
    QCOMPARE(w.yData, QVector<double>{value});
    QCOMPARE(curvePoints(w), QVector<QPointF>{QPointF(0, value)});
}

void tst_LivePlot::pointsOneSecondApart()
{
    TK52K_Comm w;
    setReading(w, 2, 12.5);
    w.restartPlot(t0);
    for (int s = 1; s <= 3; ++s) {
        setReading(w, 2, 12.5 + s);
        w.appendPlotPoint(t0.addMSecs(s * 1000 + 400)); // whole seconds count
    }
    const QVector<QPointF> expected{{0, 12.5}, {1, 13.5}, {2, 14.5}, {3, 15.5}};
    QCOMPARE(curvePoints(w), expected);
    QCOMPARE(w.xData, (QVector<double>{0, 1, 2, 3}));
    QCOMPARE(timeAxis(w)->label(3).text(), QStringLiteral("10:00:03"));
    // The points are in the axis' bounds after a replot.
    w.replot();
    QVERIFY(plot(w)->axisScaleDiv(QwtPlot::xBottom).contains(3));
}

void tst_LivePlot::clockSetBackGivesNegativeX()
{
    TK52K_Comm w;
    setReading(w, 5, 1.0);
    w.restartPlot(t0);
    w.appendPlotPoint(t0.addSecs(-90));
    QCOMPARE(curvePoints(w).last(), QPointF(-90, 1.0));
}

void tst_LivePlot::restartDropsThePreviousPoints()
{
    TK52K_Comm w;
    setReading(w, 3, 100);
    w.restartPlot(t0);
    for (int s = 1; s < 500; ++s)
        w.appendPlotPoint(t0.addSecs(s));
    QCOMPARE(w.curve->dataSize(), size_t(500));

    setReading(w, 13, -2.5);
    w.restartPlot(t0.addSecs(600));
    QCOMPARE(curvePoints(w), QVector<QPointF>{QPointF(0, -2.5)});
    QCOMPARE(timeAxis(w)->label(0).text(), QStringLiteral("10:10:00"));
    QCOMPARE(plot(w)->axisScaleDiv(QwtPlot::yLeft).upperBound(), 8.0);
}

void tst_LivePlot::clearKeepsTheDrawnCurveUntilTheNextPoint()
{
    TK52K_Comm w;
    showWindow(w);
    QCOMPARE(greenPixels(w), 0);

    setReading(w, 3, -700);
    w.restartPlot(t0);
    for (int s = 1; s <= 20; ++s) {
        setReading(w, 3, s % 2 ? 700 : -700);
        w.appendPlotPoint(t0.addSecs(s));
    }
    const int drawn = greenPixels(w);
    QVERIFY(drawn > 1000); // twenty strokes across the whole height

    w.clearPlotPoints();
    QVERIFY(w.xData.isEmpty());
    QVERIFY(w.yData.isEmpty());
    QCOMPARE(w.curve->dataSize(), size_t(21));
    QCOMPARE(w.curve->sample(20), QPointF(20, -700));
    QCOMPARE(greenPixels(w), drawn);

    // The next point (same range, same origin) replaces the old curve.
    setReading(w, 3, 50);
    w.appendPlotPoint(t0.addSecs(25));
    QCOMPARE(curvePoints(w), QVector<QPointF>{QPointF(25, 50)});
    QCOMPARE(w.xData, QVector<double>{25});
    QVERIFY(greenPixels(w) < drawn / 10);
}

QTEST_MAIN(tst_LivePlot)
#include "tst_liveplot.moc"
