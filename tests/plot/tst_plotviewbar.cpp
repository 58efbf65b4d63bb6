#include "plot/decimatingcurve.h"
#include "plot/plotviewbar.h"
#include "plot/trendplot.h"

#include <QAction>
#include <QtTest>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_scale_div.h>

// The view controls on a plot dressed as the program's plots are, with the
// real wheel zoom and panner under them.
class tst_PlotViewBar : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pausedViewStaysWhileTheCurveGrows();
    void zoomPausesAndFitRestores();
    void automaticYScale();
    void readoutUnderTheMouse();

private:
    void grow(int until)
    {
        while (m_x.size() <= until) {
            m_x.append(m_x.size());
            m_y.append(0.5 + 0.001 * m_x.size());
        }
        m_curve->setSamples(m_x, m_y);
        m_plot->replot();
    }
    QwtScaleDiv axis(int a) const { return m_plot->axisScaleDiv(a); }

    QwtPlot *m_plot = nullptr;
    DecimatingCurve *m_curve = nullptr;
    PlotViewBar *m_bar = nullptr;
    QVector<double> m_x, m_y;
    const QDateTime m_base = QDateTime(QDate(2024, 5, 6), QTime(10, 0, 0));
};

void tst_PlotViewBar::init()
{
    m_plot = new QwtPlot;
    m_plot->resize(600, 400);
    m_curve = setUpTrendPlot(m_plot, m_base);
    m_plot->setAxisScale(QwtPlot::yLeft, -8, 8, 1);
    m_bar = new PlotViewBar(m_plot, PlotViewBar::Kind::Live);
    m_plot->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_plot));
    m_x.clear();
    m_y.clear();
    grow(100);
}

void tst_PlotViewBar::cleanup()
{
    delete m_bar;
    delete m_plot;
}

void tst_PlotViewBar::pausedViewStaysWhileTheCurveGrows()
{
    QVERIFY(m_bar->isFollowing());
    QVERIFY(axis(QwtPlot::xBottom).upperBound() >= 100);

    m_bar->followAction()->trigger();
    QVERIFY(!m_bar->isFollowing());
    const QwtScaleDiv x = axis(QwtPlot::xBottom);
    grow(500);
    QCOMPARE(axis(QwtPlot::xBottom), x);
    QCOMPARE(m_curve->dataSize(), size_t(501)); // still collecting

    m_bar->followAction()->trigger();
    QVERIFY(m_bar->isFollowing());
    QVERIFY(axis(QwtPlot::xBottom).upperBound() >= 500);
    grow(900);
    QVERIFY(axis(QwtPlot::xBottom).upperBound() >= 900);
    QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
}

void tst_PlotViewBar::zoomPausesAndFitRestores()
{
    QSignalSpy paused(m_bar, &PlotViewBar::followingChanged);
    QWidget *canvas = m_plot->canvas();
    const QPoint centre = canvas->rect().center();
    QWheelEvent wheel(centre, canvas->mapToGlobal(centre), QPoint(), QPoint(0, -240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(canvas, &wheel);
    QCOMPARE(paused.count(), 1);
    QVERIFY(!m_bar->isFollowing());
    // The magnifier zoomed into the frozen view.
    QVERIFY(axis(QwtPlot::xBottom).upperBound() - axis(QwtPlot::xBottom).lowerBound() < 100);
    QVERIFY(axis(QwtPlot::yLeft).upperBound() < 8);

    grow(300);
    m_bar->fitAction()->trigger();
    QVERIFY(!m_bar->isFollowing()); // fitted, still paused
    QCOMPARE(axis(QwtPlot::yLeft).lowerBound(), -8.0);
    QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
    QVERIFY(axis(QwtPlot::xBottom).lowerBound() <= 0);
    QVERIFY(axis(QwtPlot::xBottom).upperBound() >= 300);
    const QwtScaleDiv fitted = axis(QwtPlot::xBottom);
    grow(600);
    QCOMPARE(axis(QwtPlot::xBottom), fitted);
}

void tst_PlotViewBar::automaticYScale()
{
    m_bar->autoYAction()->trigger();
    m_plot->replot();
    // The data lie between 0.5 and 0.6.
    QVERIFY(axis(QwtPlot::yLeft).lowerBound() >= 0.4);
    QVERIFY(axis(QwtPlot::yLeft).upperBound() <= 0.7);

    // A new range while automatic: remembered, shown once the choice is undone.
    m_bar->setRangeScale(-80, 80, 10);
    m_plot->replot();
    QVERIFY(axis(QwtPlot::yLeft).upperBound() <= 0.7);
    m_bar->autoYAction()->trigger();
    QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 80.0);
    QCOMPARE(m_plot->axisStepSize(QwtPlot::yLeft), 10.0);
}

void tst_PlotViewBar::readoutUnderTheMouse()
{
    QWidget *canvas = m_plot->canvas();
    const int px = qRound(m_plot->transform(QwtPlot::xBottom, 61.5));
    const int py = qRound(m_plot->transform(QwtPlot::yLeft, 2.5));
    QMouseEvent move(QEvent::MouseMove, QPointF(px, py), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(canvas, &move);
    const QStringList parts = m_bar->readout().split(QStringLiteral("  "));
    QCOMPARE(parts.size(), 2);
    const double x = m_plot->invTransform(QwtPlot::xBottom, px);
    QCOMPARE(parts[0], m_base.addSecs(qint64(x)).toString(QStringLiteral("hh:mm:ss")));
    // 16 units over a few hundred pixels: two decimals resolve a pixel.
    QCOMPARE(parts[1], QString::number(m_plot->invTransform(QwtPlot::yLeft, py), 'f', 2));

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(canvas, &leave);
    QVERIFY(m_bar->readout().isEmpty());
}

QTEST_MAIN(tst_PlotViewBar)
#include "tst_plotviewbar.moc"
