#include "plot/decimatingcurve.h"
#include "plot/plotseriesdata.h"

#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>
#include <qwt_plot_curve.h>
#include <qwt_point_data.h>
#include <qwt_scale_map.h>

using Points = QVector<QPointF>;
Q_DECLARE_METATYPE(Points)

namespace {

struct Series
{
    QVector<double> x, y;
};

// Random walks of the kinds the live curve sees: many readings per second of
// axis, a clock set back, spikes far off the scale, long flat stretches.
Series makeSeries(const QString &kind, int n, quint32 seed)
{
    QRandomGenerator rng(seed);
    Series s;
    double v = 0;
    for (int i = 0; i < n; ++i) {
        double x = i;
        if (kind == "several per second")
            x = i / 16;
        else if (kind == "clock set back")
            x = i < n / 2 ? i : i - n / 3;
        else if (kind == "jittered x")
            x = i * 0.37 + rng.bounded(5.0);
        v += rng.bounded(21) - 10;
        double y = v;
        if (kind == "spikes" && rng.bounded(50) == 0)
            y = (rng.bounded(2) ? 1 : -1) * 1e6;
        if (kind == "flat")
            y = (i / 500) % 2 ? 100 : -100;
        s.x.append(x);
        s.y.append(y);
    }
    return s;
}

QImage render(const QwtPlotCurve &curve, const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRect &canvas,
              bool antialiased)
{
    QImage image(canvas.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, antialiased);
    curve.draw(&painter, xMap, yMap, canvas);
    return image;
}

} // namespace

class TestDecimatingCurve : public QObject
{
    Q_OBJECT

private slots:
    void adapterGivesExactPoints();
    void adapterShowsOnlyWhatWasGiven();
    void adapterHoldsPointsAfterTheVectorsAreEmptied();
    void columnPolyline_data();
    void columnPolyline();
    void picturesMatchPlainDrawing_data();
    void picturesMatchPlainDrawing();
    void reducesToTheColumns();
    void growingCurveDrawsLikeAFreshOne();
};

void TestDecimatingCurve::adapterGivesExactPoints()
{
    const Series s = makeSeries("jittered x", 5000, 1);
    PlotSeriesData data(&s.x, &s.y);
    data.showSource();
    QCOMPARE(data.size(), size_t(5000));
    for (int i = 0; i < s.x.size(); ++i) {
        QCOMPARE(data.sample(size_t(i)).x(), s.x[i]);
        QCOMPARE(data.sample(size_t(i)).y(), s.y[i]);
    }
    const auto [minX, maxX] = std::minmax_element(s.x.begin(), s.x.end());
    const auto [minY, maxY] = std::minmax_element(s.y.begin(), s.y.end());
    QCOMPARE(data.boundingRect(), QRectF(QPointF(*minX, *minY), QPointF(*maxX, *maxY)));
}

void TestDecimatingCurve::adapterShowsOnlyWhatWasGiven()
{
    QVector<double> x{0, 1}, y{5, -7};
    PlotSeriesData data(&x, &y);
    QCOMPARE(data.size(), size_t(0));
    QVERIFY(!data.boundingRect().isValid());

    data.showSource();
    x.append(2);
    y.append(900); // not given yet: neither a point nor part of the bounds
    QCOMPARE(data.size(), size_t(2));
    QCOMPARE(data.boundingRect(), QRectF(QPointF(0, -7), QPointF(1, 5)));

    data.showSource();
    QCOMPARE(data.size(), size_t(3));
    QCOMPARE(data.sample(2), QPointF(2, 900));
    QCOMPARE(data.boundingRect(), QRectF(QPointF(0, -7), QPointF(2, 900)));
}

void TestDecimatingCurve::adapterHoldsPointsAfterTheVectorsAreEmptied()
{
    QVector<double> x{0, 1, 2}, y{3, 4, 5};
    PlotSeriesData data(&x, &y);
    data.showSource();

    data.hold(std::move(x), std::move(y));
    x.clear();
    y.clear();
    x.append(-4); // refilled, but not given yet
    y.append(40);
    QCOMPARE(data.size(), size_t(3));
    QCOMPARE(data.sample(0), QPointF(0, 3));
    QCOMPARE(data.sample(2), QPointF(2, 5));
    QCOMPARE(data.boundingRect(), QRectF(QPointF(0, 3), QPointF(2, 5)));

    data.showSource();
    QCOMPARE(data.size(), size_t(1));
    QCOMPARE(data.sample(0), QPointF(-4, 40));
    QCOMPARE(data.boundingRect(), QRectF(QPointF(-4, 40), QSizeF(0, 0)));
}

void TestDecimatingCurve::columnPolyline_data()
{
    QTest::addColumn<Points>("points");
    QTest::addColumn<Points>("expected");

    // The maps below are identity in x and y flipped (y pixel = 100 - y).
    QTest::newRow("one column, min before max")
        << Points{{0, 10}, {0.2, 5}, {0.3, 40}, {0.4, 20}}
        << Points{{0, 90}, {0, 95}, {0, 60}, {0, 80}};
    QTest::newRow("one column, max before min")
        << Points{{0, 10}, {0.2, 40}, {0.3, 5}, {0.4, 20}}
        << Points{{0, 90}, {0, 60}, {0, 95}, {0, 80}};
    QTest::newRow("first is the extreme") << Points{{3, 50}, {3, 10}, {3, 20}}
                                           << Points{{3, 50}, {3, 90}, {3, 80}};
    QTest::newRow("columns keep their order")
        << Points{{1, 1}, {1, 9}, {2, 4}, {5, 6}, {5, 2}, {5, 3}}
        << Points{{1, 99}, {1, 91}, {2, 96}, {5, 94}, {5, 98}, {5, 97}};
    QTest::newRow("rounded to whole pixels") << Points{{0.6, 10.4}, {1.4, 10.6}}
                                              << Points{{1, 90}, {1, 89}};
    QTest::newRow("going back opens a new column")
        << Points{{4, 0}, {2, 0}, {4, 10}} << Points{{4, 100}, {2, 100}, {4, 90}};
}

void TestDecimatingCurve::columnPolyline()
{
    QFETCH(Points, points);
    QFETCH(Points, expected);

    QwtScaleMap xMap, yMap;
    xMap.setScaleInterval(0, 100);
    xMap.setPaintInterval(0, 100);
    yMap.setScaleInterval(0, 100);
    yMap.setPaintInterval(100, 0);
    QwtPointSeriesData data(points);
    QCOMPARE(DecimatingCurve::columnPolyline(data, xMap, yMap, 0, points.size() - 1), QPolygonF(expected));
}

void TestDecimatingCurve::picturesMatchPlainDrawing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("points");
    QTest::addColumn<double>("yRange");

    QTest::newRow("one per second") << "one per second" << 50000 << 3000.0;
    QTest::newRow("several per second") << "several per second" << 50000 << 3000.0;
    QTest::newRow("sparse, no reduction") << "one per second" << 300 << 500.0;
    QTest::newRow("clock set back") << "clock set back" << 20000 << 2000.0;
    QTest::newRow("jittered x") << "jittered x" << 30000 << 2000.0;
    QTest::newRow("spikes clipped") << "spikes" << 40000 << 2000.0;
    QTest::newRow("flat stretches") << "flat" << 20000 << 400.0;
    QTest::newRow("zoomed into a few points") << "flat" << 2000 << 150.0;
}

void TestDecimatingCurve::picturesMatchPlainDrawing()
{
    QFETCH(QString, kind);
    QFETCH(int, points);
    QFETCH(double, yRange);

    const Series s = makeSeries(kind, points, 42);
    const QRect canvas(0, 0, 901, 640);
    QwtScaleMap xMap, yMap;
    const auto [minX, maxX] = std::minmax_element(s.x.begin(), s.x.end());
    xMap.setScaleInterval(*minX, *maxX * 1.02);
    if (yRange == 150.0)
        xMap.setScaleInterval(100, 160); // a few points a column apart, partly off the canvas
    xMap.setPaintInterval(canvas.left(), canvas.right());
    yMap.setScaleInterval(-yRange, yRange);
    yMap.setPaintInterval(canvas.bottom(), canvas.top());

    const QPen pen(QColor(0, 255, 0, 255));
    QwtPlotCurve plain;
    plain.setPen(pen);
    plain.setSamples(s.x, s.y);
    DecimatingCurve reduced;
    reduced.setPen(pen);
    auto *data = new PlotSeriesData(&s.x, &s.y);
    data->showSource();
    reduced.setData(data);

    const QImage expected = render(plain, xMap, yMap, canvas, false);
    const QImage actual = render(reduced, xMap, yMap, canvas, false);
    QVERIFY(expected != render(QwtPlotCurve(), xMap, yMap, canvas, false)); // not two blank pictures

    // Qt's one-pixel stroker lights or leaves the end pixel of a one-pixel
    // segment depending on where the line is cut into pieces, so the two
    // pictures may differ in such lone tip pixels; anything more (a lost
    // column span, a moved stroke) is a fault.
    const auto lit = [](const QImage &image, int x, int y) {
        return image.rect().contains(x, y) && image.pixel(x, y) != qRgb(0, 0, 0);
    };
    int litPixels = 0, tips = 0;
    for (int y = 0; y < expected.height(); ++y) {
        for (int x = 0; x < expected.width(); ++x) {
            litPixels += lit(expected, x, y);
            if (lit(expected, x, y) == lit(actual, x, y))
                continue;
            ++tips;
            const bool nextToCommonStroke =
                (lit(expected, x, y - 1) && lit(actual, x, y - 1)) || (lit(expected, x, y + 1) && lit(actual, x, y + 1)) ||
                (lit(expected, x - 1, y) && lit(actual, x - 1, y)) || (lit(expected, x + 1, y) && lit(actual, x + 1, y));
            QVERIFY2(nextToCommonStroke, qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
        }
    }
    QVERIFY2(tips * 200 <= litPixels, qPrintable(QStringLiteral("%1 of %2").arg(tips).arg(litPixels)));
    if (kind == QLatin1String("one per second") && points <= canvas.width())
        QCOMPARE(tips, 0); // nothing to reduce: the very same picture
}

void TestDecimatingCurve::reducesToTheColumns()
{
    // 50000 points on 900 columns leave at most four points a column.
    const Series s = makeSeries("one per second", 50000, 7);
    PlotSeriesData data(&s.x, &s.y);
    data.showSource();
    QwtScaleMap xMap, yMap;
    xMap.setScaleInterval(0, 50000);
    xMap.setPaintInterval(0, 899);
    yMap.setScaleInterval(-3000, 3000);
    yMap.setPaintInterval(639, 0);
    const QPolygonF line = DecimatingCurve::columnPolyline(data, xMap, yMap, 0, 49999);
    QVERIFY2(line.size() <= 4 * 900, qPrintable(QString::number(line.size())));
    QVERIFY(line.size() >= 900);
}

void TestDecimatingCurve::growingCurveDrawsLikeAFreshOne()
{
    // The live curve keeps its reduced line between drawings and adds only
    // the new points; every picture must equal that of a curve drawing the
    // same points for the first time, also after the scales change and after
    // the points are replaced.
    const Series s = makeSeries("several per second", 6000, 3);
    QVector<double> x, y;
    const QPen pen(QColor(0, 255, 0));
    DecimatingCurve live;
    live.setPen(pen);
    auto *liveData = new PlotSeriesData(&x, &y);
    live.setData(liveData);

    const QRect canvas(0, 0, 640, 480);
    QwtScaleMap xMap, yMap;
    xMap.setPaintInterval(canvas.left(), canvas.right());
    yMap.setScaleInterval(-1500, 1500);
    yMap.setPaintInterval(canvas.bottom(), canvas.top());

    const auto check = [&](const char *when) {
        QVector<double> fx(x), fy(y);
        DecimatingCurve fresh;
        fresh.setPen(pen);
        auto *freshData = new PlotSeriesData(&fx, &fy);
        freshData->showSource();
        fresh.setData(freshData);
        const QImage expected = render(fresh, xMap, yMap, canvas, false);
        QVERIFY2(render(live, xMap, yMap, canvas, false) == expected, when);
    };

    int next = 0;
    const auto append = [&](int n) {
        for (int end = next + n; next < end; ++next) {
            x.append(s.x[next]);
            y.append(s.y[next]);
        }
        liveData->showSource();
    };

    xMap.setScaleInterval(0, 400);
    for (int step = 0; step < 40; ++step) {
        append(step % 3 ? 1 : 37);
        check("growing");
    }
    xMap.setScaleInterval(0, 200); // zoomed: part of the line leaves the canvas
    append(5);
    check("scales changed");
    liveData->hold(std::move(x), std::move(y));
    x.clear();
    y.clear();
    append(700); // more than before: only the generation tells them apart
    check("points replaced");
    append(1);
    check("growing again");
}

QTEST_MAIN(TestDecimatingCurve)
#include "tst_decimatingcurve.moc"
