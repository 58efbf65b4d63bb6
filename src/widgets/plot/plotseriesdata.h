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
class PlotSeriesData : public QwtSeriesData<QPointF>
{
public:
    PlotSeriesData(const QVector<double> *x, const QVector<double> *y);

    /// Shows the vectors' current points. Points already shown are assumed
    /// unchanged, so the bounds grow by the new points only.
    void showSource();

    /// Keeps showing `x`/`y` (the vectors' former contents, moved in) while
    /// the vectors are refilled; the next showSource() lets them go.
    void hold(QVector<double> &&x, QVector<double> &&y);

    size_t size() const override;
    QPointF sample(size_t i) const override;
    QRectF boundingRect() const override;

    /// The arrays the shown points live in (size() entries each), for the
    /// drawing code that walks them without a call per point.
    const double *xValues() const;
    const double *yValues() const;

    /// Changes whenever shown points are replaced rather than appended to,
    /// so a drawing made of the earlier points can tell it is stale.
    quint64 generation() const { return m_generation; }

private:
    void resetBounds();
    void extendBounds(int from, int to);

    const QVector<double> *m_srcX;
    const QVector<double> *m_srcY;
    QVector<double> m_heldX;
    QVector<double> m_heldY;
    bool m_holding = false;
    int m_count = 0;
    quint64 m_generation = 0;
    double m_minX = 0, m_maxX = 0, m_minY = 0, m_maxY = 0;
};
