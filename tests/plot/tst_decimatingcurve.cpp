#include "plot/decimatingcurve.h"
#include "plot/plotseriesdata.h"

#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>
#include <qwt_point_data.h>
#include <qwt_scale_map.h>

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

QImage render(const QwtPlotCurve &curve, const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRect &canvas)
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

} // namespace

class TestDecimatingCurve : public QObject
{
    Q_OBJECT

private slots:
    void picturesMatchPlainDrawing_data();
    void picturesMatchPlainDrawing();
    void growingCurveDrawsLikeAFreshOne();
};

void TestDecimatingCurve::picturesMatchPlainDrawing_data()
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

void TestDecimatingCurve::picturesMatchPlainDrawing()
{
    QFETCH(QString, kind);
    QFETCH(int, points);
    QFETCH(double, yRange);
    const Series s = makeSeries(kind, points, 42);
    const QRect canvas(0, 0, 901, 640);
    QwtScaleMap xMap, yMap;
    const auto [minX, maxX] = std::minmax_element(s.x.begin(), s.x.end());
    // Zoomed: a few points a column apart, partly off the canvas.
    setMaps(xMap, yMap, canvas, kind == "flat" ? 100 : *minX, kind == "flat" ? 160 : *maxX * 1.02, yRange);

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
        return canvas.contains(x, y) && expected.pixel(x, y) != qRgb(0, 0, 0) && actual.pixel(x, y) != qRgb(0, 0, 0);
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
    const int kept = DecimatingCurve::columnPolyline(*reduced.data(), xMap, yMap, 0, points - 1).size();
    QVERIFY2(kept <= 4 * canvas.width(), qPrintable(QString::number(kept)));
}

void TestDecimatingCurve::growingCurveDrawsLikeAFreshOne()
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

QTEST_MAIN(TestDecimatingCurve)
#include "tst_decimatingcurve.moc"
