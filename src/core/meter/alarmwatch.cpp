#include "alarmwatch.h"

#include "core/meter/meterreading.h"

#include <cmath>

AlarmWatch::AlarmWatch(QObject *parent) : QObject(parent) {}

void AlarmWatch::feed(const MeterReading &r)
{
    bool changed = false;
    if (r.funcStr != m_function || r.unitStr != m_unit) {
        changed = isRaised();
        m_function = r.funcStr;
        m_unit = r.unitStr;
        m_rule = AlarmRule(m_forAll ? *m_forAll : AlarmLimits::load(m_function, m_unit));
    }
    const double value = r.overload ? (r.negative ? -HUGE_VAL : HUGE_VAL) : r.value;
    const QVector<AlarmEvent> events = m_rule.feed(value, r.time, m_function, m_unit);
    for (const AlarmEvent &e : events) {
        emit eventOccurred(e);
        if (e.raised)
            emit raised(e);
    }
    if (changed || !events.isEmpty())
        emit stateChanged();
}

void AlarmWatch::setLimits(const QString &function, const QString &unit, const AlarmLimits &limits)
{
    if (function == m_function && unit == m_unit)
        m_rule.setLimits(limits);
}

void AlarmWatch::setLimitsForAll(const AlarmLimits &limits)
{
    m_forAll = limits;
    m_rule.setLimits(limits);
}
