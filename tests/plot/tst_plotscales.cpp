#include "meter/frameencoder.h"
#include "plot/rangescale.h"
#include "plot/secondsscaleengine.h"
#include "plot/timescaledrawr.h"
#include "plot/trendplot.h"

#include <QtTest>
#include <qwt_plot.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_map.h>
#include <qwt_scale_widget.h>
#include <qwt_text.h>

class TestPlotScales : public QObject
{
    Q_OBJECT

private slots:
    void timeLabels();
    void ticksNeverRepeatAClockTime();
    void rangeScales();
    void timeLabelsStayApart_data();
    void timeLabelsStayApart();
    void overloadsWhereTheLiveCurveDrawsThem();

private:
    const QDateTime m_base = QDateTime(QDate(2024, 3, 1), QTime(10, 0));
};

void TestPlotScales::timeLabels()
{
    // Whole seconds from the base, cut toward zero; the day is not shown.
    const TimeScaleDrawR draw(m_base);
    const QList<QPair<double, const char *>> labels = {
        {0.0, "10:00:00"}, {3599.0, "10:59:59"}, {3600.7, "11:00:00"}, {59.9, "10:00:59"}, {86400.0, "10:00:00"},
        {-1.0, "09:59:59"}, {-0.5, "10:00:00"},  {-1.9, "09:59:59"},   {5.0 * 3600 + 61, "15:01:01"}};
    for (const auto &l : labels)
        QCOMPARE(draw.label(l.first).text(), QString::fromLatin1(l.second));
    // Zoomed far out the axis asks for values beyond 32 bits.
    QCOMPARE(draw.label(1e12).text(), m_base.addSecs(std::numeric_limits<int>::max()).toString("hh:mm:ss"));
}

// The axis follows the data; a few seconds of data must not produce half
// second ticks that print the same clock time twice.
void TestPlotScales::ticksNeverRepeatAClockTime()
{
    const TimeScaleDrawR draw(m_base);
    const QList<QPair<double, double>> spans = {{0, 0}, {0, 2}, {0, 3}, {0, 3600}, {-2, 1}};
    for (const auto &span : spans) {
        const SecondsScaleEngine engine;
        double x1 = span.first, x2 = span.second, step = 0.0;
        engine.autoScale(8, x1, x2, step);
        QVERIFY(step >= 1.0);
        const QwtScaleDiv div = engine.divideScale(x1, x2, 8, 5, step);
        QVERIFY(div.lowerBound() <= span.first && div.upperBound() >= span.second);
        QStringList labels;
        for (double t : div.ticks(QwtScaleDiv::MajorTick))
            labels << draw.label(t).text();
        QVERIFY(!labels.isEmpty());
        QVERIFY2(labels.removeDuplicates() == 0, qPrintable(QString::number(span.second)));
    }
}

void TestPlotScales::rangeScales()
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

void TestPlotScales::timeLabelsStayApart_data()
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

void TestPlotScales::timeLabelsStayApart()
{
    QFETCH(int, width);
    QFETCH(int, ownerLimit);
    QFETCH(int, mostTicks);
    QwtPlot plot;
    setUpTrendPlot(&plot, m_base);
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
        QVERIFY2(plot.transform(QwtPlot::xBottom, ticks[i]) - plot.transform(QwtPlot::xBottom, ticks[i - 1]) >
                     labelWidth,
                 qPrintable(QStringLiteral("ticks %1 and %2 overprint").arg(ticks[i - 1]).arg(ticks[i])));
}

// The history curve draws a recorded overload at the value the live curve
// got from the frame itself, in every range and with either sign.
void TestPlotScales::overloadsWhereTheLiveCurveDrawsThem()
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
            QVERIFY2(drawn && *drawn == frame.value, qPrintable(QStringLiteral("%1 %2").arg(range).arg(recorded)));
        }
    }
    QVERIFY(!overloadCurveValue(u"12.5", 3));
    QVERIFY(!overloadCurveValue(u"+ OL. ", 45));
}

QTEST_MAIN(TestPlotScales)
#include "tst_plotscales.moc"
