#include "plotseriesdata.h"

#include <algorithm>

PlotSeriesData::PlotSeriesData(const QVector<double> *x, const QVector<double> *y,
                               const QVector<bool> *overloads)
    : m_srcX(x), m_srcY(y), m_srcOverloads(overloads)
{
}

void PlotSeriesData::showSource()
{
    int n = std::min(m_srcX->size(), m_srcY->size());
    if (m_srcOverloads)
        n = std::min(n, m_srcOverloads->size());
    if (m_holding || n < m_count) {
        m_holding = false;
        m_heldX = QVector<double>();
        m_heldY = QVector<double>();
        m_heldOverloads = QVector<bool>();
        m_count = 0;
        ++m_generation;
        resetBounds();
    }
    extendBounds(m_count, n);
    m_count = n;
}

void PlotSeriesData::showChangedSource()
{
    m_count = 0;
    ++m_generation;
    resetBounds();
    showSource();
}

void PlotSeriesData::hold(QVector<double> &&x, QVector<double> &&y, QVector<bool> &&overloads)
{
    m_heldX = std::move(x);
    m_heldY = std::move(y);
    m_heldOverloads = std::move(overloads);
    m_holding = true;
    ++m_generation;
    // What is shown does not change: the held vectors are the very points
    // last shown (plus any appended since, which stay hidden).
    m_count = std::min({m_count, m_heldX.size(), m_heldY.size()});
    if (m_srcOverloads)
        m_count = std::min(m_count, m_heldOverloads.size());
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
    const double minY = m_hasY ? m_minY : m_minOverY;
    const double maxY = m_hasY ? m_maxY : m_maxOverY;
    return QRectF(m_minX, minY, m_maxX - m_minX, maxY - minY);
}

const double *PlotSeriesData::xValues() const
{
    return m_holding ? m_heldX.constData() : m_srcX->constData();
}

const double *PlotSeriesData::yValues() const
{
    return m_holding ? m_heldY.constData() : m_srcY->constData();
}

const bool *PlotSeriesData::overloadValues() const
{
    if (!m_srcOverloads)
        return nullptr;
    return m_holding ? m_heldOverloads.constData() : m_srcOverloads->constData();
}

void PlotSeriesData::resetBounds()
{
    m_minX = m_maxX = m_minY = m_maxY = m_minOverY = m_maxOverY = 0;
    m_hasY = m_hasOverY = false;
}

void PlotSeriesData::extendBounds(int from, int to)
{
    const double *x = m_srcX->constData();
    const double *y = m_srcY->constData();
    const bool *over = m_srcOverloads ? m_srcOverloads->constData() : nullptr;
    for (int i = from; i < to; ++i) {
        m_minX = i == 0 ? x[0] : std::min(m_minX, x[i]);
        m_maxX = i == 0 ? x[0] : std::max(m_maxX, x[i]);
        const bool overload = over && over[i];
        bool &has = overload ? m_hasOverY : m_hasY;
        double &low = overload ? m_minOverY : m_minY;
        double &high = overload ? m_maxOverY : m_maxY;
        low = has ? std::min(low, y[i]) : y[i];
        high = has ? std::max(high, y[i]) : y[i];
        has = true;
    }
}
