#include "plot/liveplot.h"
#include "plot/plotviewbar.h"
#include "plot/timescaledrawr.h"
#include "resources/resources.h"

#include <QScreen>
#include <QVBoxLayout>
#include <QtTest>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>

// The live plot as the window's tick drives it.
class tst_LivePlot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void appendAndRestart();
    void clearKeepsTheDrawnCurveUntilTheNextPoint();
    void newRangeLeavesAPausedViewAlone();
    void newPointsLeaveTheCanvasAsAFullPaintDoes();

private:
    /// A plot dressed for live readings, as the main window holds one.
    struct Live
    {
        QwtPlot plot;
        LivePlot live{&plot, QDateTime::currentDateTime()};
    };
    static QwtPlot *plot(Live &w) { return &w.plot; }
    static QString timeLabel(Live &w, double x)
    {
        return dynamic_cast<const TimeScaleDrawR &>(*plot(w)->axisScaleDraw(QwtPlot::xBottom))
            .label(x)
            .text();
    }
    // The tick restarts the curve for a new range or appends at `when`.
    static void point(Live &w, int range, double value, const QDateTime &when, bool restart)
    {
        restart ? w.live.restart(when, range, value) : w.live.append(when, value);
    }
    static QVector<QPointF> curvePoints(Live &w)
    {
        QVector<QPointF> points;
        for (size_t i = 0; i < w.live.curve()->dataSize(); ++i)
            points.append(w.live.curve()->sample(int(i)));
        return points;
    }

    const QDateTime t0 = QDateTime(QDate(2024, 5, 6), QTime(10, 0, 0));
};

void tst_LivePlot::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
}

void tst_LivePlot::appendAndRestart()
{
    Live w;
    point(w, 27, -1.25, t0, true);
    QCOMPARE(w.live.origin(), t0);
    QCOMPARE(plot(w)->axisScaleDiv(QwtPlot::yLeft).lowerBound(), -4.0);
    QCOMPARE(plot(w)->axisStepSize(QwtPlot::yLeft), 0.5);
    for (int s = 1; s <= 3; ++s)
        point(w, 27, s, t0.addMSecs(s * 1000 + 400), false); // whole seconds count
    point(w, 27, 0.5, t0.addSecs(-90), false);               // clock set back
    QCOMPARE(curvePoints(w), (QVector<QPointF>{{0, -1.25}, {1, 1}, {2, 2}, {3, 3}, {-90, 0.5}}));
    QCOMPARE(timeLabel(w, 3), QStringLiteral("10:00:03"));
    w.live.replot();
    QVERIFY(plot(w)->axisScaleDiv(QwtPlot::xBottom).contains(3));

    for (int s = 4; s < 500; ++s)
        point(w, 27, 1.0, t0.addSecs(s), false);
    point(w, 13, -2.5, t0.addSecs(600), true);
    QCOMPARE(curvePoints(w), QVector<QPointF>{QPointF(0, -2.5)});
    QCOMPARE(timeLabel(w, 0), QStringLiteral("10:10:00"));
    QCOMPARE(plot(w)->axisScaleDiv(QwtPlot::yLeft).upperBound(), 8.0);
    QCOMPARE(plot(w)->axisStepSize(QwtPlot::yLeft), 1.0);
}

void tst_LivePlot::clearKeepsTheDrawnCurveUntilTheNextPoint()
{
    Live w;
    point(w, 3, -700, t0, true);
    for (int s = 1; s <= 20; ++s)
        point(w, 3, s % 2 ? 700 : -700, t0.addSecs(s), false);
    w.live.clearPoints();
    QCOMPARE(w.live.pointCount(), 0);
    QCOMPARE(w.live.curve()->dataSize(), size_t(21));
    w.live.replot();
    QCOMPARE(w.live.curve()->dataSize(), size_t(21));

    // The next point (same range, same origin) replaces the old curve.
    point(w, 3, 50, t0.addSecs(25), false);
    QCOMPARE(curvePoints(w), QVector<QPointF>{QPointF(25, 50)});
}

// With the view controls beside it, a range change while the user studies a
// paused view does not move it; following again shows the new range's scale.
void tst_LivePlot::newRangeLeavesAPausedViewAlone()
{
    QWidget host;
    auto *layout = new QVBoxLayout(&host);
    auto *qwt = new QwtPlot(&host);
    layout->addWidget(qwt);
    LivePlot live(qwt, t0);
    PlotViewBar *bar = live.addViewBar(layout);
    QCOMPARE(layout->indexOf(bar), 0);
    live.restart(t0, 27, 0.0);
    bar->setFollowing(false);
    live.restart(t0.addSecs(60), 13, 1.0);
    live.replot();
    QCOMPARE(qwt->axisScaleDiv(QwtPlot::yLeft).lowerBound(), -4.0);
    bar->setFollowing(true);
    QCOMPARE(qwt->axisScaleDiv(QwtPlot::yLeft).upperBound(), 8.0);
    QCOMPARE(qwt->axisStepSize(QwtPlot::yLeft), 1.0);
}

namespace {
/// Counts the paints of a widget that cover only part of it.
struct PartialPaints : QObject
{
    int count = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint &&
            static_cast<QPaintEvent *>(event)->rect() != static_cast<QWidget *>(watched)->rect())
            ++count;
        return false;
    }
};
} // namespace

// Readings drawn onto the canvas as they come (a line a reading while the
// axes stay) leave the screen as painting the whole canvas does.
void tst_LivePlot::newPointsLeaveTheCanvasAsAFullPaintDoes()
{
    QWidget host;
    auto *layout = new QVBoxLayout(&host);
    auto *qwt = new QwtPlot(&host);
    layout->addWidget(qwt);
    LivePlot live(qwt, t0);
    PlotViewBar *bar = live.addViewBar(layout);
    host.resize(640, 400);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const auto screen = [&] { return host.screen()->grabWindow(host.winId()).toImage(); };
    live.restart(t0, 3, 0);
    PartialPaints partial;
    qwt->canvas()->installEventFilter(&partial);
    // Following: the time axis grows with the readings.
    for (int s = 1; s <= 30; ++s) {
        live.append(t0.addSecs(s), s % 4 * 100);
        live.showNewPoints();
        QCoreApplication::processEvents();
    }
    QCOMPARE(qwt->axisScaleDiv(QwtPlot::xBottom).upperBound(), 30.0);
    // Paused: the axes stay, readings fall inside them and beyond.
    bar->setFollowing(false);
    const double values[] = {300, -450, 790, 10, 2500, -20, -900, 640, 640, 5};
    for (int i = 0; i < 40; ++i) {
        live.append(t0.addMSecs(2000 + i * 600), values[i % 10] * (i % 3 ? 1 : -0.5));
        live.showNewPoints();
        QCoreApplication::processEvents();
    }
    QVERIFY(partial.count > 50);
    const QImage drawnByLines = screen();
    qwt->canvas()->repaint();
    const QImage drawnWhole = screen();
    QCOMPARE(drawnByLines.size(), drawnWhole.size());
    // Where two lines meet, the end pixel may come from either of them.
    int differing = 0;
    for (int y = 0; y < drawnWhole.height(); ++y)
        for (int x = 0; x < drawnWhole.width(); ++x)
            differing += drawnByLines.pixel(x, y) != drawnWhole.pixel(x, y);
    QVERIFY2(differing <= 5, qPrintable(QString::number(differing)));
}

QTEST_MAIN(tst_LivePlot)
#include "tst_liveplot.moc"
