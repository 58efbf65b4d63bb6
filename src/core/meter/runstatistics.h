#pragma once

#include <QDateTime>

#include <cmath>
#include <limits>

/// Count, mean, sample standard deviation, minimum and maximum (with the
/// times they were first seen) of a stream of readings, in constant time and
/// memory per reading. The mean and the spread are updated with Welford's
/// method, so a tiny spread on a large offset (a 10 V reference read to the
/// microvolt) keeps its digits where a sum of squares would cancel them.
/// Overloads carry no value and are only counted.
class RunStatistics
{
public:
    /// Which extremes a reading set, as returned by addUntimed().
    enum Change { Unchanged = 0, NewMin = 1, NewMax = 2 };

    /// Adds a reading taken at `time`. A value that is not finite is refused
    /// (false) and changes nothing.
    bool add(double value, const QDateTime &time)
    {
        if (!std::isfinite(value))
            return false;
        const int change = addUntimed(value);
        if (change & NewMin)
            m_minTime = time;
        if (change & NewMax)
            m_maxTime = time;
        return true;
    }

    /// Same as add() for callers whose times are costly to make (a local
    /// date-time per stored row): returns which extremes the value set, and
    /// the caller gives their times later with setMinTime()/setMaxTime().
    /// A value that is not finite changes nothing (Unchanged).
    int addUntimed(double value)
    {
        if (!std::isfinite(value))
            return Unchanged;
        if (m_count == 0)
            m_shift = value;
        ++m_count;
        // Around the first value, readings close to each other differ
        // exactly, so the offset costs no digits at all.
        const double x = value - m_shift;
        const double delta = x - m_mean;
        m_mean += delta / double(m_count);
        m_m2 += delta * (x - m_mean);
        int change = Unchanged;
        if (m_count == 1 || value < m_min) {
            m_min = value;
            change |= NewMin;
        }
        if (m_count == 1 || value > m_max) {
            m_max = value;
            change |= NewMax;
        }
        return change;
    }
    void setMinTime(const QDateTime &time) { m_minTime = time; }
    void setMaxTime(const QDateTime &time) { m_maxTime = time; }

    /// Figures worked out elsewhere (the store's summaries of a range): as
    /// if the readings they stand for had been added one by one.
    void setFigures(qint64 count, qint64 overloads, double mean, double stddev, double min, const QDateTime &minTime,
                    double max, const QDateTime &maxTime)
    {
        *this = RunStatistics();
        m_count = count;
        m_overloads = overloads;
        if (count <= 0)
            return;
        m_shift = mean;
        m_m2 = count > 1 && std::isfinite(stddev) ? stddev * stddev * double(count - 1) : 0.0;
        m_min = min;
        m_max = max;
        m_minTime = minTime;
        m_maxTime = maxTime;
    }

    /// Counts an overload reading; it takes no part in the figures.
    void addOverload() { ++m_overloads; }

    /// Forgets everything (a new run, a new range).
    void reset() { *this = RunStatistics(); }

    /// Readings with a value.
    qint64 count() const { return m_count; }
    qint64 overloads() const { return m_overloads; }
    /// NaN while there is no reading.
    double mean() const { return m_count > 0 ? m_shift + m_mean : nan(); }
    /// Sample standard deviation (n − 1 in the denominator); NaN for fewer
    /// than two readings.
    double stddev() const { return m_count > 1 ? std::sqrt(m_m2 / double(m_count - 1)) : nan(); }
    /// NaN while there is no reading; the time is that of the first reading
    /// with this value.
    double min() const { return m_count > 0 ? m_min : nan(); }
    QDateTime minTime() const { return m_minTime; }
    double max() const { return m_count > 0 ? m_max : nan(); }
    QDateTime maxTime() const { return m_maxTime; }

private:
    static double nan() { return std::numeric_limits<double>::quiet_NaN(); }

    qint64 m_count = 0;
    qint64 m_overloads = 0;
    double m_shift = 0.0; // the first value; the moments are kept relative to it
    double m_mean = 0.0;  // running mean of value − m_shift
    double m_m2 = 0.0;    // sum of squared deviations from the running mean
    double m_min = 0.0;
    double m_max = 0.0;
    QDateTime m_minTime;
    QDateTime m_maxTime;
};
