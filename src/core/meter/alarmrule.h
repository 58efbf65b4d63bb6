#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QVector>

#include <optional>

/// The band a quantity should stay in, in the quantity's base unit (V, A,
/// Ω, F, Hz; see baseUnitOf()), so one band holds on every range of a
/// function. A limit left out is not watched.
struct AlarmLimits
{
    AlarmLimits() = default;
    AlarmLimits(std::optional<double> lowLimit, std::optional<double> highLimit, double hysteresisBand = 0.0,
                const QString &baseUnit = QString())
        : low(lowLimit), high(highLimit), hysteresis(hysteresisBand), unit(baseUnit)
    {}

    std::optional<double> low;
    std::optional<double> high;
    /// How far back inside a limit a value must come before its alarm clears.
    double hysteresis = 0.0;
    /// The base unit the limits were given in ("V"); empty when they were
    /// given as bare numbers, for whatever is measured.
    QString unit;

    bool isEmpty() const { return !low && !high; }
    /// Limits that can work: finite, low below high, hysteresis not negative.
    bool isValid() const;

    /// The limits remembered (QSettings) for a function and base unit; none
    /// when nothing was saved for them. Bands that earlier versions kept per
    /// displayed unit ("mV", "kΩ") are carried over to the base unit first,
    /// once (see carryOverDisplayUnitBands()).
    static AlarmLimits load(const QString &function, const QString &baseUnit);
    void save(const QString &function, const QString &baseUnit) const;

    /// Moves every band remembered under a prefixed unit to the base unit of
    /// its function, its numbers scaled (5.5 under "mV" becomes 0.0055 under
    /// "V"), and forgets the old entry. Where the base unit already has a band
    /// of its own, that one stays. Returns how many bands were carried over.
    static int carryOverDisplayUnitBands();
};

/// One raise or clear of an alarm.
struct AlarmEvent
{
    enum class Limit { Low, High };

    QDateTime time;
    QString function;
    QString unit; ///< the base unit of limitValue and value ("V" for a reading in mV)
    Limit limit = Limit::High;
    double limitValue = 0.0; ///< the limit that was crossed
    double value = 0.0;      ///< the reading that raised or cleared it (±inf for an overload)
    bool raised = true;      ///< false: cleared
    QString source;          ///< the meter's name, where it is known

    /// One line for a log: "2026-12-07 10:00:00.125 raised high 5 V (直流电压) at 5.2".
    QString text() const;
    bool operator==(const AlarmEvent &other) const;
};

Q_DECLARE_METATYPE(AlarmLimits)
Q_DECLARE_METATYPE(AlarmEvent)

/// Watches one quantity's readings against its limits. A value beyond a
/// limit raises that limit's alarm; it clears only once the value is back
/// inside by the hysteresis, so a reading chattering around a limit gives one
/// raise, not one per crossing. At most one alarm is raised at a time: a
/// jump from beyond one limit to beyond the other clears the first and raises
/// the second.
class AlarmRule
{
public:
    AlarmRule() = default;
    explicit AlarmRule(const AlarmLimits &limits) : m_limits(limits) {}

    /// New limits; a raised alarm is judged by them from the next reading.
    void setLimits(const AlarmLimits &limits) { m_limits = limits; }
    const AlarmLimits &limits() const { return m_limits; }

    /// Judges one reading, given in the limits' unit, and returns the events
    /// it causes (none, one, or a clear and a raise). An overload is passed as
    /// ±infinity; NaN is ignored.
    QVector<AlarmEvent> feed(double value, const QDateTime &time, const QString &function,
                             const QString &unit);

    /// The limit whose alarm is raised, if any.
    std::optional<AlarmEvent::Limit> raised() const { return m_raised; }
    /// The limit value of the raised alarm, as it was when raised.
    double raisedLimit() const { return m_raisedLimit; }
    /// When the raised alarm was raised.
    QDateTime raisedSince() const { return m_since; }

    /// The status-bar text of a raised alarm, naming the limit and since
    /// when: "报警：高于上限 5 V（10:00:00 起）"; empty while none is raised.
    QString statusText(const QString &unit) const;

    /// Forgets a raised alarm without an event (the quantity changed).
    void reset();

private:
    AlarmLimits m_limits;
    std::optional<AlarmEvent::Limit> m_raised;
    double m_raisedLimit = 0.0; // the clear names the limit that was crossed
    QDateTime m_since;
};
