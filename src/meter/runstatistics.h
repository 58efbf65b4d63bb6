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
    /// Adds a reading taken at `time`. A value that is not finite is refused
    /// (false) and changes nothing.
    bool add(double value, const QDateTime &time)
    {
        return addLazily(value, [&time] { return time; });
    }

    /// Same as add(), for callers whose time is costly to make: `timeOf()`
    /// is called only when the value becomes the new minimum or maximum.
    template <typename TimeFn> bool addLazily(double value, TimeFn &&timeOf)
    {
        if (!std::isfinite(value))
            return false;
        if (m_count == 0)
            m_shift = value;
        ++m_count;
        // Around the first value, readings close to each other differ
        // exactly, so the offset costs no digits at all.
        const double x = value - m_shift;
        const double delta = x - m_mean;
        m_mean += delta / double(m_count);
        m_m2 += delta * (x - m_mean);
        const bool newMin = m_count == 1 || value < m_min;
        const bool newMax = m_count == 1 || value > m_max;
        if (newMin || newMax) {
            const QDateTime time = timeOf();
            if (newMin) {
                m_min = value;
                m_minTime = time;
            }
            if (newMax) {
                m_max = value;
                m_maxTime = time;
            }
        }
        return true;
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
