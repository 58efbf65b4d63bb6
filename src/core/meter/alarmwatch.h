#pragma once

#include "core/meter/alarmrule.h"

#include <QObject>
#include <QString>

#include <optional>

struct MeterReading;

/// Watches the readings of a run against the alarm band remembered for
/// their quantity: the function and its base unit, so a band holds on every
/// range of the function (a reading of 177.2 mV is judged as 0.1772 V, and a
/// raised alarm stays raised when the meter changes range). When the quantity
/// changes, the band of the new one applies and a raised alarm is forgotten
/// without an event: the old limits mean nothing to the new quantity.
class AlarmWatch : public QObject
{
    Q_OBJECT

public:
    explicit AlarmWatch(QObject *parent = nullptr);

    /// Judges one reading; an overload counts as beyond every limit on its
    /// side of zero.
    void feed(const MeterReading &reading);

    /// New limits for a quantity, in its base unit (saved by the caller). They
    /// apply from the next reading when they are for the quantity being watched.
    void setLimits(const QString &function, const QString &baseUnit, const AlarmLimits &limits);

    /// Limits for whatever quantity is measured (the logger's command line),
    /// instead of the ones remembered for each quantity; limits that name a
    /// unit watch only the quantities counted in it. A change of quantity
    /// still forgets a raised alarm without an event.
    void setLimitsForAll(const AlarmLimits &limits);

    /// The quantity being watched (function and base unit); empty before the
    /// first reading.
    QString function() const { return m_function; }
    QString unit() const { return m_unit; }
    bool isRaised() const { return bool(m_rule.raised()); }
    /// Which limit is raised and since when; empty while none is.
    QString statusText() const { return m_rule.statusText(m_unit); }

signals:
    /// A raise or a clear, in the order they happen.
    void eventOccurred(const AlarmEvent &event);
    /// An alarm was raised (the bell's cue), after its eventOccurred().
    void raised(const AlarmEvent &event);
    /// isRaised() or statusText() may have changed.
    void stateChanged();

private:
    AlarmLimits limitsFor(const QString &function, const QString &baseUnit) const;

    AlarmRule m_rule;
    std::optional<AlarmLimits> m_forAll;
    QString m_function;
    QString m_unit;
};
