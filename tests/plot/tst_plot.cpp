// The plots' scales, the reduced curve, and the live plot as the main
// window holds it (its view controls above it, with the real wheel zoom and
// panner under them).

#include "core/meter/baseunit.h"
#include "core/meter/framedecoder.h"
#include "core/meter/frameencoder.h"
#include "core/meter/tracegap.h"
#include "widgets/plot/decimatingcurve.h"
#include "widgets/plot/liveplot.h"
#include "widgets/plot/plotseriesdata.h"
#include "widgets/plot/plotviewbar.h"
#include "core/meter/rangescale.h"
#include "widgets/plot/secondsscaleengine.h"
#include "widgets/plot/timescaledrawr.h"
#include "widgets/plot/trendplot.h"
#include "widgets/resources/resources.h"

#include <QAction>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QVBoxLayout>
#include <QtTest>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_scale_div.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_map.h>
#include <qwt_scale_widget.h>
#include <qwt_text.h>

#include <memory>

namespace {

struct Series
{
    QVector<double> x, y;
};

// Random walks of the kinds the live curve sees: many readings per second of
// axis, spikes far off the scale, long flat stretches, a clock set back.
Series makeSeries(const QString &kind, int n, quint32 seed)
{
    QRandomGenerator rng(seed);
    Series s;
    double v = 0;
    for (int i = 0; i < n; ++i) {
        v += rng.bounded(21) - 10;
        const bool spike = kind == "spikes" && rng.bounded(50) == 0;
        s.x.append(kind == "several per second" ? i / 16 : kind == "clock set back" ? (i + 900) % 1500 : i);
        s.y.append(spike ? (rng.bounded(2) ? 1e6 : -1e6) : kind == "flat" ? ((i / 500) % 2 ? 100 : -100) : v);
    }
    return s;
}

void setMaps(QwtScaleMap &xMap, QwtScaleMap &yMap, const QRect &canvas, double x1, double x2, double yRange)
{
    xMap.setScaleInterval(x1, x2);
    xMap.setPaintInterval(canvas.left(), canvas.right());
    yMap.setScaleInterval(-yRange, yRange);
    yMap.setPaintInterval(canvas.bottom(), canvas.top());
}

QImage render(const QwtPlotCurve &curve, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
              const QRect &canvas)
{
    QImage image(canvas.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    curve.draw(&painter, xMap, yMap, canvas);
    return image;
}

// A green curve over the vectors, as the live plot sets it up.
void showOn(DecimatingCurve &curve, const QVector<double> *x, const QVector<double> *y)
{
    curve.setPen(QPen(QColor(0, 255, 0)));
    auto *data = new PlotSeriesData(x, y);
    data->showSource();
    curve.setData(data);
}

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

class TestPlot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initTk52kResources();
        installFontSubstitutions();
    }

    void init()
    {
        m_host = std::make_unique<QWidget>();
        auto *layout = new QVBoxLayout(m_host.get());
        m_plot = new QwtPlot(m_host.get());
        layout->addWidget(m_plot);
        m_live = std::make_unique<LivePlot>(m_plot, t0);
        m_bar = m_live->addViewBar(layout);
        m_host->resize(640, 400);
        m_host->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
    }

    void cleanup()
    {
        m_live.reset();
        m_host.reset();
    }

    void timeLabels()
    {
        // Whole seconds from the base, cut toward zero; the day is not shown.
        const TimeScaleDrawR draw(t0);
        const QList<QPair<double, const char *>> labels = {
            {0.0, "10:00:00"},  {3599.0, "10:59:59"},  {3600.7, "11:00:00"},
            {59.9, "10:00:59"}, {86400.0, "10:00:00"}, {-1.0, "09:59:59"},
            {-0.5, "10:00:00"}, {-1.9, "09:59:59"},    {5.0 * 3600 + 61, "15:01:01"}};
        for (const auto &l : labels)
            QCOMPARE(draw.label(l.first).text(), QString::fromLatin1(l.second));
        // Zoomed far out the axis asks for values beyond 32 bits.
        QCOMPARE(draw.label(1e12).text(), t0.addSecs(std::numeric_limits<int>::max()).toString("hh:mm:ss"));
    }

    // Time ticks fall on round clock times whatever the origin: the step is
    // one of the clock's (never below a second, so no clock time repeats) and
    // every tick is a whole multiple of it on the clock the labels show.
    void ticksOnRoundClockTimes_data()
    {
        QTest::addColumn<QDateTime>("base");
        QTest::addColumn<double>("from");
        QTest::addColumn<double>("to");
        QTest::addColumn<int>("maxMajor");
        QTest::addColumn<double>("step");
        QTest::addColumn<QString>("firstTick");
        const QDateTime midnight(QDate(2024, 5, 1), QTime(0, 0));
        const QDateTime odd(QDate(2024, 5, 1), QTime(10, 7, 23));
        QTest::newRow("a single point") << odd << 0.0 << 0.0 << 8 << 1.0 << "10:07:23";
        QTest::newRow("seconds") << odd << 0.0 << 3.0 << 8 << 1.0 << "10:07:23";
        QTest::newRow("15 s") << odd << 0.0 << 100.0 << 8 << 15.0 << "10:07:30";
        // A live curve's origin is the first reading's time, milliseconds and all.
        QTest::newRow("15 s, origin in mid-second") << odd.addMSecs(600) << 0.0 << 100.0 << 8 << 15.0 << "10:07:30";
        QTest::newRow("5 min") << odd << 0.0 << 1800.0 << 8 << 300.0 << "10:10:00";
        QTest::newRow("2 h from midnight") << midnight << 0.0 << 40000.0 << 8 << 7200.0 << "00:00:00";
        QTest::newRow("3 h, negative x") << odd << -20000.0 << 20000.0 << 5 << 10800.0 << "06:00:00";
        QTest::newRow("days") << odd << 0.0 << 5 * 86400.0 << 4 << 2 * 86400.0 << "00:00:00";
    }

    void ticksOnRoundClockTimes()
    {
        QFETCH(QDateTime, base);
        QFETCH(double, from);
        QFETCH(double, to);
        QFETCH(int, maxMajor);
        QFETCH(double, step);
        QFETCH(QString, firstTick);
        QwtPlot plot;
        setUpTrendPlot(&plot, base);
        const QwtScaleEngine *engine = plot.axisScaleEngine(QwtPlot::xBottom);
        const QwtScaleDraw *draw = plot.axisScaleDraw(QwtPlot::xBottom);

        // Following the data, and zoomed to exactly the span (no step given).
        double x1 = from, x2 = to, autoStep = 0.0;
        engine->autoScale(maxMajor, x1, x2, autoStep);
        QCOMPARE(autoStep, step);
        QVERIFY(x1 <= from && x2 >= to);
        for (const QwtScaleDiv &div : {engine->divideScale(x1, x2, maxMajor, 5, autoStep),
                                       engine->divideScale(from, to == from ? to + 1 : to, maxMajor, 5)}) {
            const QList<double> ticks = div.ticks(QwtScaleDiv::MajorTick);
            QVERIFY(ticks.size() >= 2);
            for (int i = 1; i < ticks.size(); ++i)
                QCOMPARE(ticks.at(i) - ticks.at(i - 1), step);
            for (double t : ticks) {
                const QDateTime when = base.addMSecs(qint64(std::llround(t * 1000)));
                const qint64 local = when.toSecsSinceEpoch() + when.offsetFromUtc();
                QVERIFY2(local % qint64(step) == 0, qPrintable(draw->label(t).text()));
            }
            if (div.lowerBound() == from)
                QCOMPARE(draw->label(ticks.first()).text(), firstTick);
        }
    }

    void rangeScales()
    {
        const double upper[kRangeCount] = {800,  8,  80,  800, 1200, 8,   80,   800,  800, 800, 8000, 80,
                                           800,  8,  12,  800, 8000, 80,  800,  8,    12,  800, 8,    80,
                                           800,  8,  80,  4,   600,  60,  600,  6,    60,  400, 20,   200,
                                           2000, 20, 200, 2,   30,   120, 1500, 3000, 3000};
        const double step[kRangeCount] = {100, 1, 10, 100, 200,  1,  10,  100, 100, 100, 1000, 10,
                                          100, 1, 2,  100, 1000, 10, 100, 1,   2,   100, 1,    10,
                                          100, 1, 10, 0.5, 100,  10, 100, 1,   10,  50,  4,    40,
                                          400, 4, 40, 0.5, 6,    20, 300, 500, 500};
        for (int i = 0; i < kRangeCount; ++i) {
            QVERIFY(hasRangeScale(i));
            QCOMPARE(double(rangeScale(i)->lower), -upper[i]);
            QCOMPARE(rangeScale(i)->step, step[i]);
        }
        for (int outside : {-1, 45, 1000, std::numeric_limits<int>::min()})
            QVERIFY(!hasRangeScale(outside) && !rangeScale(outside).has_value());
    }

    void timeLabelsStayApart_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("ownerLimit"); // 0: none
        QTest::addColumn<int>("mostTicks");
        // A narrow plot (the main window on a small screen) shows fewer times;
        // a wide one as many as the plot's default allows, or its owner's limit.
        QTest::newRow("narrow") << 380 << 0 << 9;
        QTest::newRow("wide") << 1600 << 0 << 9;
        QTest::newRow("wide, owner asks for 5") << 1600 << 5 << 6;
    }

    void timeLabelsStayApart()
    {
        QFETCH(int, width);
        QFETCH(int, ownerLimit);
        QFETCH(int, mostTicks);
        QwtPlot plot;
        setUpTrendPlot(&plot, t0);
        if (ownerLimit)
            plot.setAxisMaxMajor(QwtPlot::xBottom, ownerLimit);
        plot.setAxisScale(QwtPlot::xBottom, 0, 1000);
        plot.resize(width, 300);
        plot.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plot));
        plot.replot();

        const QList<double> ticks = plot.axisScaleDiv(QwtPlot::xBottom).ticks(QwtScaleDiv::MajorTick);
        const int labelWidth =
            plot.axisScaleDraw(QwtPlot::xBottom)->maxLabelWidth(plot.axisWidget(QwtPlot::xBottom)->font());
        QVERIFY2(ticks.size() >= 2 && ticks.size() <= mostTicks, qPrintable(QString::number(ticks.size())));
        for (int i = 1; i < ticks.size(); ++i)
            QVERIFY2(plot.transform(QwtPlot::xBottom, ticks[i]) -
                             plot.transform(QwtPlot::xBottom, ticks[i - 1]) >
                         labelWidth,
                     qPrintable(QStringLiteral("ticks %1 and %2 overprint").arg(ticks[i - 1]).arg(ticks[i])));
    }

    // The history curve draws a recorded overload at the value the live curve
    // got from the frame itself, in every range and with either sign.
    void overloadsWhereTheLiveCurveDrawsThem()
    {
        for (int range = 0; range < kRangeCount; ++range) {
            for (bool negative : {false, true}) {
                FrameContent content;
                content.rangeIndex = range;
                content.negative = negative;
                content.overload = true;
                const DecodedFrame frame = decodeMeterFrame(encodeMeterFrame(content));
                QVERIFY(frame.valid && frame.overload && frame.rangeIndex == range);
                const QString recorded = signedOverloadText(frame.negative, frame.decimals);
                const auto drawn = overloadCurveValue(recorded, range);
                QVERIFY2(drawn && *drawn == frame.value,
                         qPrintable(QStringLiteral("%1 %2").arg(range).arg(recorded)));
            }
        }
        QVERIFY(!overloadCurveValue(u"12.5", 3));
        QVERIFY(!overloadCurveValue(u"+ OL. ", 45));
    }

    void picturesMatchPlainDrawing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("points");
        QTest::addColumn<double>("yRange");
        QTest::newRow("several per second") << "several per second" << 50000 << 3000.0;
        QTest::newRow("sparse, no reduction") << "one per second" << 300 << 500.0;
        QTest::newRow("clock set back") << "clock set back" << 3000 << 3000.0;
        QTest::newRow("spikes clipped") << "spikes" << 40000 << 2000.0;
        QTest::newRow("zoomed into a few flat points") << "flat" << 2000 << 150.0;
    }

    void picturesMatchPlainDrawing()
    {
        QFETCH(QString, kind);
        QFETCH(int, points);
        QFETCH(double, yRange);
        const Series s = makeSeries(kind, points, 42);
        const QRect canvas(0, 0, 901, 640);
        QwtScaleMap xMap, yMap;
        const auto [minX, maxX] = std::minmax_element(s.x.begin(), s.x.end());
        // Zoomed: a few points a column apart, partly off the canvas.
        setMaps(xMap, yMap, canvas, kind == "flat" ? 100 : *minX, kind == "flat" ? 160 : *maxX * 1.02,
                yRange);

        QwtPlotCurve plain;
        plain.setPen(QPen(QColor(0, 255, 0)));
        plain.setSamples(s.x, s.y);
        DecimatingCurve reduced;
        showOn(reduced, &s.x, &s.y);
        const QImage expected = render(plain, xMap, yMap, canvas);
        const QImage actual = render(reduced, xMap, yMap, canvas);
        QVERIFY(expected != render(QwtPlotCurve(), xMap, yMap, canvas)); // not two blank pictures

        // Qt's stroker may light or leave the lone end pixel of a one-pixel
        // segment; anything more (a lost column span, a moved stroke) is a fault.
        const auto both = [&](int x, int y) {
            return canvas.contains(x, y) && expected.pixel(x, y) != qRgb(0, 0, 0) &&
                   actual.pixel(x, y) != qRgb(0, 0, 0);
        };
        int litPixels = 0, tips = 0;
        for (int y = 0; y < canvas.height(); ++y)
            for (int x = 0; x < canvas.width(); ++x) {
                litPixels += expected.pixel(x, y) != qRgb(0, 0, 0);
                if (expected.pixel(x, y) != actual.pixel(x, y)) {
                    ++tips;
                    QVERIFY2(both(x, y - 1) || both(x, y + 1) || both(x - 1, y) || both(x + 1, y),
                             qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
                }
            }
        // Nothing to reduce in a sparse curve: the very same picture.
        QVERIFY2(tips * 200 <= litPixels && (points > canvas.width() || tips == 0),
                 qPrintable(QString::number(tips)));
        // At most four points a column remain.
        int kept = 0;
        for (const QPolygonF &line : DecimatingCurve::columnPolylines(*reduced.data(), xMap, yMap, 0, points - 1))
            kept += line.size();
        QVERIFY2(kept <= 4 * canvas.width(), qPrintable(QString::number(kept)));
    }

    void growingCurveDrawsLikeAFreshOne()
    {
        // The live curve keeps its reduced line between drawings and adds only
        // the new points; every picture must equal that of a curve drawing the
        // same points for the first time, also after the scales change and after
        // the points are replaced.
        const Series s = makeSeries("several per second", 6000, 3);
        QVector<double> x, y;
        DecimatingCurve live;
        showOn(live, &x, &y);
        auto *liveData = static_cast<PlotSeriesData *>(live.data());
        const QRect canvas(0, 0, 640, 480);
        QwtScaleMap xMap, yMap;
        setMaps(xMap, yMap, canvas, 0, 400, 1500);

        int next = 0;
        const auto appendAndCheck = [&](int n, const char *when) {
            for (int end = next + n; next < end; ++next) {
                x.append(s.x[next]);
                y.append(s.y[next]);
            }
            liveData->showSource();
            const QVector<double> fx(x), fy(y);
            DecimatingCurve fresh;
            showOn(fresh, &fx, &fy);
            QVERIFY2(render(live, xMap, yMap, canvas) == render(fresh, xMap, yMap, canvas), when);
        };
        for (int step = 0; step < 40; ++step)
            appendAndCheck(step % 3 ? 1 : 37, "growing");
        xMap.setScaleInterval(0, 200); // zoomed: part of the line leaves the canvas
        appendAndCheck(5, "scales changed");
        liveData->hold(std::move(x), std::move(y));
        x.clear();
        y.clear();
        appendAndCheck(700, "points replaced"); // more than before: only the generation tells them apart
        appendAndCheck(1, "growing again");
    }

    // Every unit the meter shows, and texts that only look prefixed.
    void baseUnits_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<double>("factor");
        QTest::newRow("mV") << "mV" << "V" << 1e-3;
        QTest::newRow("kΩ") << "kΩ" << "Ω" << 1e3;
        QTest::newRow("nF") << "nF" << "F" << 1e-9;
        QTest::newRow("MHz") << "MHz" << "Hz" << 1e6;
        QTest::newRow("uA") << "uA" << "A" << 1e-6;
        QTest::newRow("℃ stays") << "℃" << "℃" << 1.0;
        QTest::newRow("m alone is no prefix") << "m" << "m" << 1.0;
    }

    void baseUnits()
    {
        QFETCH(QString, text);
        QFETCH(QString, unit);
        QFETCH(double, factor);
        const BaseUnit base = baseUnitOf(text);
        QCOMPARE(base.unit, unit);
        QCOMPARE(base.factor, factor);
    }

    // Readings further apart than three sampling periods (at least 2 s) are not
    // joined; one alone between two gaps still shows, as a dot.
    void gapsInTheLiveTrace()
    {
        QCOMPARE(traceGapSeconds(0.06), 2.0);
        m_live->setGapSeconds(traceGapSeconds(1.0));
        m_live->restart(t0, 1, 1.0);
        for (int s : {1, 2, 3, 10, 20, 21, 22})
            m_live->append(t0.addSecs(s), 1.0);
        m_live->replot();
        const QImage canvas = m_plot->canvas()->grab().toImage();
        const int row = qRound(m_plot->transform(QwtPlot::yLeft, 1.0));
        const auto lit = [&](double x) {
            return canvas.pixel(qRound(m_plot->transform(QwtPlot::xBottom, x)), row) == qRgb(0, 255, 0);
        };
        QVERIFY(lit(1.5) && lit(3) && lit(10) && lit(20.5));
        QVERIFY(!lit(6.5) && !lit(15));
    }

    // Under the automatic scale an overload does not flatten the readings; it
    // stays drawn, at the edge of the canvas.
    void overloadsUnderTheAutomaticScale()
    {
        m_live->restart(t0, 1, 0.5);
        grow(20);
        m_live->append(t0.addSecs(21), 8.0, true);
        m_live->append(t0.addSecs(22), 0.5);
        m_bar->setAutoYScale(true);
        QVERIFY(axis(QwtPlot::yLeft).upperBound() < 0.6);
        const QwtScaleMap y = m_plot->canvasMap(QwtPlot::yLeft);
        const QImage canvas = m_plot->canvas()->grab().toImage();
        const int column = qRound(m_plot->transform(QwtPlot::xBottom, 21));
        QCOMPARE(canvas.pixel(column, qRound(std::min(y.p1(), y.p2()))), qRgb(0, 255, 0));
        m_bar->setAutoYScale(false);
        QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
    }

    void liveAppendClearAndRestart()
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

        // Cleared points stay drawn until the next point (same range, same
        // origin) replaces them.
        m_live->clearPoints();
        QCOMPARE(m_live->pointCount(), 0);
        m_live->replot();
        QCOMPARE(m_live->curve()->dataSize(), size_t(5));
        m_live->append(t0.addSecs(25), 50);
        QCOMPARE(points(), QVector<QPointF>{QPointF(25, 50)});

        m_live->restart(t0.addSecs(600), 13, -2.5);
        QCOMPARE(points(), QVector<QPointF>{QPointF(0, -2.5)});
        QCOMPARE(timeLabel(0), QStringLiteral("10:10:00"));
        QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
        QCOMPARE(m_plot->axisStepSize(QwtPlot::yLeft), 1.0);
    }

    // The view bar's controls on a growing curve: a plain click changes
    // nothing, a drag or the wheel pauses, a paused view stays put (the curve
    // still collecting) until fitted or followed again or a new range comes,
    // and a range scale that comes while the view is scaled automatically
    // waits until the automatic scale is switched off.
    void liveViewControls()
    {
        m_live->restart(t0, 1, 0.5);
        grow(100);
        QVERIFY(m_bar->isFollowing() && axis(QwtPlot::xBottom).upperBound() >= 100);
        QSignalSpy paused(m_bar, &PlotViewBar::followingChanged);
        QWidget *canvas = m_plot->canvas();
        const QPoint centre = canvas->rect().center();
        QTest::mouseClick(canvas, Qt::LeftButton, Qt::NoModifier, centre);
        QVERIFY(m_bar->isFollowing());
        QTest::mousePress(canvas, Qt::LeftButton, Qt::NoModifier, centre);
        QMouseEvent drag(QEvent::MouseMove, centre + QPoint(30, 0), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(canvas, &drag);
        QTest::mouseRelease(canvas, Qt::LeftButton, Qt::NoModifier, centre + QPoint(30, 0));
        QVERIFY(!m_bar->isFollowing());
        m_bar->setFollowing(true);
        paused.clear();
        // The wheel turned away from the user zooms into time, towards the
        // user out of it; with Ctrl it zooms the values.
        const auto turn = [&](int delta, Qt::KeyboardModifiers modifiers) {
            QWheelEvent wheel(centre, canvas->mapToGlobal(centre), QPoint(), QPoint(0, delta), Qt::NoButton,
                              modifiers, Qt::NoScrollPhase, false);
            QApplication::sendEvent(canvas, &wheel);
        };
        const double span = axis(QwtPlot::xBottom).range();
        turn(240, Qt::NoModifier);
        QCOMPARE(paused.count(), 1);
        QVERIFY(!m_bar->isFollowing());
        QVERIFY(axis(QwtPlot::xBottom).range() < span);
        QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
        const double zoomed = axis(QwtPlot::xBottom).range();
        turn(-480, Qt::NoModifier);
        QVERIFY(axis(QwtPlot::xBottom).range() > zoomed);
        turn(240, Qt::ControlModifier);
        QVERIFY(axis(QwtPlot::yLeft).upperBound() < 8);
        QVERIFY(axis(QwtPlot::xBottom).range() > zoomed);

        grow(300);
        m_bar->fitAction()->trigger();
        QVERIFY(!m_bar->isFollowing()); // fitted, still paused
        QCOMPARE(axis(QwtPlot::yLeft).lowerBound(), -8.0);
        QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 8.0);
        QVERIFY(axis(QwtPlot::xBottom).lowerBound() <= 0 && axis(QwtPlot::xBottom).upperBound() >= 300);
        const QwtScaleDiv fitted = axis(QwtPlot::xBottom);
        grow(600);
        QCOMPARE(axis(QwtPlot::xBottom), fitted);
        QCOMPARE(m_live->curve()->dataSize(), size_t(601));

        // The readout under the mouse, in the range's unit: 16 units over a few
        // hundred pixels, two decimals resolve a pixel.
        const int px = qRound(m_plot->transform(QwtPlot::xBottom, 61.5));
        const int py = qRound(m_plot->transform(QwtPlot::yLeft, 2.5));
        QMouseEvent move(QEvent::MouseMove, QPointF(px, py), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(canvas, &move);
        const QString x = t0.addSecs(qint64(m_plot->invTransform(QwtPlot::xBottom, px))).toString("hh:mm:ss");
        QCOMPARE(m_bar->readout(),
                 x + "  " + QString::number(m_plot->invTransform(QwtPlot::yLeft, py), 'f', 2) + " " + meterRangeUnit(1));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(canvas, &leave);
        QVERIFY(m_bar->readout().isEmpty());

        m_live->restart(t0.addSecs(600), 27, 0.5);
        QVERIFY(m_bar->isFollowing());
        QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 4.0);
        QCOMPARE(m_plot->axisStepSize(QwtPlot::yLeft), 0.5);
        grow(900);
        QVERIFY(axis(QwtPlot::xBottom).upperBound() >= 900);

        m_bar->autoYAction()->trigger();
        m_live->replot();
        QVERIFY(axis(QwtPlot::yLeft).lowerBound() >= 0.4 && axis(QwtPlot::yLeft).upperBound() <= 0.7);
        m_bar->setRangeScale(-80, 80, 10);
        m_live->replot();
        QVERIFY(axis(QwtPlot::yLeft).upperBound() <= 0.7);
        m_bar->autoYAction()->trigger();
        QCOMPARE(axis(QwtPlot::yLeft).upperBound(), 80.0);
        QCOMPARE(m_plot->axisStepSize(QwtPlot::yLeft), 10.0);
    }

    // Readings drawn onto the canvas as they come (a line a reading while the
    // axes stay) leave the screen as painting the whole canvas does.
    void liveNewPointsLeaveTheCanvasAsAFullPaintDoes()
    {
        const auto screen = [&] { return m_host->screen()->grabWindow(m_host->winId()).toImage(); };
        m_live->restart(t0, 3, 0);
        PartialPaints partial;
        m_plot->canvas()->installEventFilter(&partial);
        // Following: the time axis grows with the readings.
        for (int s = 1; s <= 30; ++s) {
            m_live->append(t0.addSecs(s), s % 4 * 100);
            m_live->showNewPoints();
            QCoreApplication::processEvents();
        }
        QCOMPARE(axis(QwtPlot::xBottom).upperBound(), 30.0);
        // Paused: the axes stay, readings fall inside them and beyond.
        m_bar->setFollowing(false);
        const double values[] = {300, -450, 790, 10, 2500, -20, -900, 640, 640, 5};
        for (int i = 0; i < 40; ++i) {
            m_live->append(t0.addMSecs(2000 + i * 600), values[i % 10] * (i % 3 ? 1 : -0.5));
            m_live->showNewPoints();
            QCoreApplication::processEvents();
        }
        QVERIFY(partial.count > 50);
        const QImage drawnByLines = screen();
        m_plot->canvas()->repaint();
        const QImage drawnWhole = screen();
        QCOMPARE(drawnByLines.size(), drawnWhole.size());
        // Where two lines meet, the end pixel may come from either of them.
        int differing = 0;
        for (int y = 0; y < drawnWhole.height(); ++y)
            for (int x = 0; x < drawnWhole.width(); ++x)
                differing += drawnByLines.pixel(x, y) != drawnWhole.pixel(x, y);
        QVERIFY2(differing <= 5, qPrintable(QString::number(differing)));
    }

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
            m_live->append(m_live->origin().addSecs(s), 0.5 + 0.0001 * s);
        m_live->replot();
    }

    const QDateTime t0 = QDateTime(QDate(2024, 5, 6), QTime(10, 0, 0));
    std::unique_ptr<QWidget> m_host;
    QwtPlot *m_plot = nullptr;
    std::unique_ptr<LivePlot> m_live;
    PlotViewBar *m_bar = nullptr;
};

QTEST_MAIN(TestPlot)
#include "tst_plot.moc"
