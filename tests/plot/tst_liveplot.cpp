#include "plot/liveplot.h"
#include "plot/plotviewbar.h"
#include "plot/timescaledrawr.h"
#include "resources/resources.h"

#include <QAction>
#include <QScreen>
#include <QVBoxLayout>
#include <QtTest>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>

#include <memory>

// The live plot as the main window holds it, its view controls above it,
// with the real wheel zoom and panner under them.
class tst_LivePlot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void appendAndRestart();
    void clearKeepsTheDrawnCurveUntilTheNextPoint();
    void newRangeLeavesAPausedViewAlone();
    void newPointsLeaveTheCanvasAsAFullPaintDoes();
    void pausedViewStaysWhileTheCurveGrows();
    void zoomPausesAndFitRestores();
    void automaticYScale();
    void readoutUnderTheMouse();

private:
    QVector<QPointF> points() const
    {
        QVector<QPointF> p;
        for (size_t i = 0; i < m_live->curve()->dataSize(); ++i)
            p.append(m_live->curve()->sample(int(i)));
        return p;
    }
    QString timeLabel(double x) const
    {
        return dynamic_cast<const TimeScaleDrawR &>(*m_plot->axisScaleDraw(QwtPlot::xBottom)).label(x).text();
    }
    QwtScaleDiv axis(int a) const { return m_plot->axisScaleDiv(a); }
    /// Readings a second apart, between 0.5 and 0.6, up to `until` seconds.
    void grow(int until)
    {
        for (int s = m_live->pointCount(); s <= until; ++s)
            m_live->append(t0.addSecs(s), 0.5 + 0.0001 * s);
        m_live->replot();
    }

    const QDateTime t0 = QDateTime(QDate(2024, 5, 6), QTime(10, 0, 0));
    std::unique_ptr<QWidget> m_host;
    QwtPlot *m_plot = nullptr;
    std::unique_ptr<LivePlot> m_live;
    PlotViewBar *m_bar = nullptr;
};

void tst_LivePlot::initTestCase()
{
    initTk52kResources();
    installFontSubstitutions();
}

void tst_LivePlot::init()
{
    m_host = std::make_unique<QWidget>();
    auto *layout = new QVBoxLayout(m_host.get());
    m_plot = new QwtPlot(m_host.get());
    layout->addWidget(m_plot);
    m_live = std::make_unique<LivePlot>(m_plot, t0);
    m_bar = m_live->addViewBar(layout);
    QCOMPARE(layout->indexOf(m_bar), 0);
    m_host->resize(600, 450);
    m_host->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
}

void tst_LivePlot::cleanup()
{
    m_live.reset();
    m_host.reset();
}

void tst_LivePlot::appendAndRestart()
{
    m_live->restart(t0, 27, -1.25);
    QCOMPARE(m_live->origin(), t0);
    QCOMPARE(axis(QwtPlot::yLeft).lowerBound(), -4.0);
    QCOMPARE(m_plot->axisStepSize(QwtPlot::yLeft), 0.5);
    for (int s = 1; s <= 3; ++s)
        m_live->append(t0.addMSecs(s * 1000 + 400), s); // whole seconds count
    m_live->append(t0.addSecs(-90), 0.5);               // clock set back
    QCOMPARE(points(), (QVector<QPointF>{{0, -1.25}, {1, 1}, {2, 2}, {3, 3}, {-90, 0.5}}));
    QCOMPARE(timeLabel(3), QStringLiteral("10:00:03"));
    m_live->replot();
    QVERIFY(axis(QwtPlot::xBottom).contains(3));

    m_live->restart(t0.addSecs(600), 13, -2.5);
    QCOMPARE(points(), QVector<QPointF>{QPointF(0, -2.5)});
    QCOMPARE(timeLabel(0), QStringLiteral("10:10:00"));
    QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
    QCOMPARE(m_plot->axisStepSize(QwtPlot::yLeft), 1.0);
}

void tst_LivePlot::clearKeepsTheDrawnCurveUntilTheNextPoint()
{
    m_live->restart(t0, 3, -700);
    grow(20);
    m_live->clearPoints();
    QCOMPARE(m_live->pointCount(), 0);
    m_live->replot();
    QCOMPARE(m_live->curve()->dataSize(), size_t(21));
    // The next point (same range, same origin) replaces the old curve.
    m_live->append(t0.addSecs(25), 50);
    QCOMPARE(points(), QVector<QPointF>{QPointF(25, 50)});
}

// A range change while the user studies a paused view does not move it;
// following again shows the new range's scale.
void tst_LivePlot::newRangeLeavesAPausedViewAlone()
{
    m_live->restart(t0, 27, 0.0);
    m_bar->setFollowing(false);
    m_live->restart(t0.addSecs(60), 13, 1.0);
    QCOMPARE(axis(QwtPlot::yLeft).lowerBound(), -4.0);
    m_bar->setFollowing(true);
    QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
    QCOMPARE(m_plot->axisStepSize(QwtPlot::yLeft), 1.0);
}

void tst_LivePlot::pausedViewStaysWhileTheCurveGrows()
{
    m_live->restart(t0, 1, 0.5);
    grow(100);
    QVERIFY(m_bar->isFollowing() && axis(QwtPlot::xBottom).upperBound() >= 100);
    m_bar->followAction()->trigger();
    QVERIFY(!m_bar->isFollowing());
    const QwtScaleDiv x = axis(QwtPlot::xBottom);
    grow(500);
    QCOMPARE(axis(QwtPlot::xBottom), x);
    QCOMPARE(m_live->curve()->dataSize(), size_t(501)); // still collecting

    m_bar->followAction()->trigger();
    QVERIFY(m_bar->isFollowing() && axis(QwtPlot::xBottom).upperBound() >= 500);
    grow(900);
    QVERIFY(axis(QwtPlot::xBottom).upperBound() >= 900);
    QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
}

void tst_LivePlot::zoomPausesAndFitRestores()
{
    m_live->restart(t0, 1, 0.5);
    grow(100);
    QSignalSpy paused(m_bar, &PlotViewBar::followingChanged);
    QWidget *canvas = m_plot->canvas();
    const QPoint centre = canvas->rect().center();
    QWheelEvent wheel(centre, canvas->mapToGlobal(centre), QPoint(), QPoint(0, -240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(canvas, &wheel);
    QCOMPARE(paused.count(), 1);
    QVERIFY(!m_bar->isFollowing());
    // The magnifier zoomed into the frozen view.
    QVERIFY(axis(QwtPlot::xBottom).range() < 100 && axis(QwtPlot::yLeft).upperBound() < 8);

    grow(300);
    m_bar->fitAction()->trigger();
    QVERIFY(!m_bar->isFollowing()); // fitted, still paused
    QCOMPARE(axis(QwtPlot::yLeft).lowerBound(), -8.0);
    QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
    QVERIFY(axis(QwtPlot::xBottom).lowerBound() <= 0 && axis(QwtPlot::xBottom).upperBound() >= 300);
    const QwtScaleDiv fitted = axis(QwtPlot::xBottom);
    grow(600);
    QCOMPARE(axis(QwtPlot::xBottom), fitted);
}

void tst_LivePlot::automaticYScale()
{
    m_live->restart(t0, 1, 0.5);
    grow(100);
    m_bar->autoYAction()->trigger();
    m_live->replot();
    QVERIFY(axis(QwtPlot::yLeft).lowerBound() >= 0.4 && axis(QwtPlot::yLeft).upperBound() <= 0.7);

    // A new range while automatic: remembered, shown once the choice is undone.
    m_bar->setRangeScale(-80, 80, 10);
    m_live->replot();
    QVERIFY(axis(QwtPlot::yLeft).upperBound() <= 0.7);
    m_bar->autoYAction()->trigger();
    QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 80.0);
    QCOMPARE(m_plot->axisStepSize(QwtPlot::yLeft), 10.0);
}

void tst_LivePlot::readoutUnderTheMouse()
{
    m_live->restart(t0, 1, 0.5);
    grow(100);
    QWidget *canvas = m_plot->canvas();
    const int px = qRound(m_plot->transform(QwtPlot::xBottom, 61.5));
    const int py = qRound(m_plot->transform(QwtPlot::yLeft, 2.5));
    QMouseEvent move(QEvent::MouseMove, QPointF(px, py), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(canvas, &move);
    // 16 units over a few hundred pixels: two decimals resolve a pixel.
    const QString x = t0.addSecs(qint64(m_plot->invTransform(QwtPlot::xBottom, px))).toString("hh:mm:ss");
    QCOMPARE(m_bar->readout(), x + "  " + QString::number(m_plot->invTransform(QwtPlot::yLeft, py), 'f', 2));

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(canvas, &leave);
    QVERIFY(m_bar->readout().isEmpty());
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
