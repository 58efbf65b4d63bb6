#include "alarmwatch.h"

#include "core/meter/baseunit.h"
#include "core/meter/meterreading.h"

#include <cmath>

AlarmWatch::AlarmWatch(QObject *parent) : QObject(parent) {}

void AlarmWatch::feed(const MeterReading &r)
{
    bool changed = false;
    const BaseUnit base = baseUnitOf(r.unitStr);
    // A change of range within the function is no change of quantity.
    if (r.funcStr != m_function || base.unit != m_unit) {
        changed = isRaised();
        m_function = r.funcStr;
        m_unit = base.unit;
        m_rule = AlarmRule(limitsFor(m_function, m_unit));
    }
    const double value = r.overload ? (r.negative ? -HUGE_VAL : HUGE_VAL) : base.toBase(r.value);
    const QVector<AlarmEvent> events = m_rule.feed(value, r.time, m_function, m_unit);
    for (const AlarmEvent &e : events) {
        emit eventOccurred(e);
        if (e.raised)
            emit raised(e);
    }
    if (changed || !events.isEmpty())
        emit stateChanged();
}

void AlarmWatch::setLimits(const QString &function, const QString &baseUnit, const AlarmLimits &limits)
{
    if (function == m_function && baseUnit == m_unit)
        m_rule.setLimits(limits);
}

void AlarmWatch::setLimitsForAll(const AlarmLimits &limits)
{
    m_forAll = limits;
    m_rule.setLimits(limitsFor(m_function, m_unit));
}

AlarmLimits AlarmWatch::limitsFor(const QString &function, const QString &baseUnit) const
{
    if (!m_forAll)
        return AlarmLimits::load(function, baseUnit);
    // "--alarm-high 5.5V" says nothing about ohms.
    if (!m_forAll->unit.isEmpty() && m_forAll->unit != baseUnit)
        return AlarmLimits();
    return *m_forAll;
}
