#include "plotseriesdata.h"

#include <algorithm>

PlotSeriesData::PlotSeriesData(const QVector<double> *x, const QVector<double> *y)
    : m_srcX(x)
    , m_srcY(y)
{
}

void PlotSeriesData::showSource()
{
    const int n = std::min(m_srcX->size(), m_srcY->size());
    if (m_holding || n < m_count) {
        m_holding = false;
        m_heldX = QVector<double>();
        m_heldY = QVector<double>();
        m_count = 0;
        ++m_generation;
        resetBounds();
    }
    extendBounds(m_count, n);
    m_count = n;
}

void PlotSeriesData::hold(QVector<double> &&x, QVector<double> &&y)
{
    m_heldX = std::move(x);
    m_heldY = std::move(y);
    m_holding = true;
    ++m_generation;
    // What is shown does not change: the held vectors are the very points
    // last shown (plus any appended since, which stay hidden).
    m_count = std::min({m_count, m_heldX.size(), m_heldY.size()});
}

size_t PlotSeriesData::size() const
{
    return static_cast<size_t>(m_count);
}

QPointF PlotSeriesData::sample(size_t i) const
{
    return QPointF(xValues()[i], yValues()[i]);
}

QRectF PlotSeriesData::boundingRect() const
{
    if (m_count == 0)
        return QRectF(1.0, 1.0, -2.0, -2.0); // Qwt's "no bounds"
    return QRectF(m_minX, m_minY, m_maxX - m_minX, m_maxY - m_minY);
}

const double *PlotSeriesData::xValues() const
{
    return m_holding ? m_heldX.constData() : m_srcX->constData();
}

const double *PlotSeriesData::yValues() const
{
    return m_holding ? m_heldY.constData() : m_srcY->constData();
}

void PlotSeriesData::resetBounds()
{
    m_minX = m_maxX = m_minY = m_maxY = 0;
}

void PlotSeriesData::extendBounds(int from, int to)
{
    const double *x = m_srcX->constData();
    const double *y = m_srcY->constData();
    for (int i = from; i < to; ++i) {
        if (i == 0) {
            m_minX = m_maxX = x[0];
            m_minY = m_maxY = y[0];
            continue;
        }
        m_minX = std::min(m_minX, x[i]);
        m_maxX = std::max(m_maxX, x[i]);
        m_minY = std::min(m_minY, y[i]);
        m_maxY = std::max(m_maxY, y[i]);
    }
}
