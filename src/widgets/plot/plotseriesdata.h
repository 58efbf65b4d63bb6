#pragma once

#include <QPointF>
#include <QRectF>
#include <QVector>
#include <qwt_series_data.h>

/// Hands a curve the points of two coordinate vectors without copying them.
///
/// The curve sees the first `count` points that were last given with
/// showSource(); appending to the vectors changes nothing until the next
/// showSource(). Before the vectors are emptied, hold() takes their contents
/// over so the curve keeps showing them (the vectors themselves stay owned by
/// their holder and are read, never written).
///
/// Points can be marked as overloads (a third vector, as long as the others,
/// true for an overload): they stay out of the y bounds, so an automatically
/// scaled axis follows the readings rather than the ends of the range, and
/// the curve draws them at the edge of the canvas when they lie beyond it.
class PlotSeriesData : public QwtSeriesData<QPointF>
{
public:
    PlotSeriesData(const QVector<double> *x, const QVector<double> *y,
                   const QVector<bool> *overloads = nullptr);

    /// Shows the vectors' current points. Points already shown are assumed
    /// unchanged, so the bounds grow by the new points only.
    void showSource();
    /// Shows the vectors' points after they were changed in place.
    void showChangedSource();

    /// Keeps showing `x`/`y` (the vectors' former contents, moved in) while
    /// the vectors are refilled; the next showSource() lets them go.
    void hold(QVector<double> &&x, QVector<double> &&y, QVector<bool> &&overloads = {});

    size_t size() const override;
    QPointF sample(size_t i) const override;
    /// The bounds of the points, in y those of the points that are no
    /// overload (of the overloads when there is nothing else).
    QRectF boundingRect() const override;

    /// The arrays the shown points live in (size() entries each), for the
    /// drawing code that walks them without a call per point.
    const double *xValues() const;
    const double *yValues() const;
    /// The overload marks of the shown points; null when none are kept.
    const bool *overloadValues() const;

    /// Changes whenever shown points are replaced rather than appended to,
    /// so a drawing made of the earlier points can tell it is stale.
    quint64 generation() const { return m_generation; }

private:
    void resetBounds();
    void extendBounds(int from, int to);

    const QVector<double> *m_srcX;
    const QVector<double> *m_srcY;
    const QVector<bool> *m_srcOverloads;
    QVector<double> m_heldX;
    QVector<double> m_heldY;
    QVector<bool> m_heldOverloads;
    bool m_holding = false;
    int m_count = 0;
    quint64 m_generation = 0;
    double m_minX = 0, m_maxX = 0;
    // y of the readings, and of the overloads apart.
    double m_minY = 0, m_maxY = 0, m_minOverY = 0, m_maxOverY = 0;
    bool m_hasY = false, m_hasOverY = false;
};
