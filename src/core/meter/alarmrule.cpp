#include "alarmrule.h"

#include "core/meter/baseunit.h"

#include <QCoreApplication>
#include <QSettings>
#include <QUrl>

#include <cmath>

namespace {

const QString kAlarmGroup = QStringLiteral("alarm");

QString settingsKey(const QString &function, const QString &unit)
{
    // Keys may not hold '/', and units such as "°C" or "Ω" are fine in
    // QSettings only when escaped; percent-encoding keeps them readable.
    return QString::fromLatin1(QUrl::toPercentEncoding(function + QLatin1Char('|') + unit));
}

QString settingsGroup(const QString &function, const QString &unit)
{
    return kAlarmGroup + QLatin1Char('/') + settingsKey(function, unit);
}

AlarmLimits readLimits(QSettings &settings)
{
    AlarmLimits limits;
    bool ok = false;
    const double low = settings.value(QStringLiteral("low")).toDouble(&ok);
    if (ok)
        limits.low = low;
    const double high = settings.value(QStringLiteral("high")).toDouble(&ok);
    if (ok)
        limits.high = high;
    limits.hysteresis = settings.value(QStringLiteral("hysteresis"), 0.0).toDouble();
    return limits;
}

} // namespace

bool AlarmLimits::isValid() const
{
    if (low && !std::isfinite(*low))
        return false;
    if (high && !std::isfinite(*high))
        return false;
    if (low && high && !(*low < *high))
        return false;
    return std::isfinite(hysteresis) && hysteresis >= 0.0;
}

AlarmLimits AlarmLimits::load(const QString &function, const QString &baseUnit)
{
    carryOverDisplayUnitBands();
    QSettings settings;
    settings.beginGroup(settingsGroup(function, baseUnit));
    AlarmLimits limits = readLimits(settings);
    if (!limits.isValid() || limits.isEmpty())
        return AlarmLimits();
    limits.unit = baseUnit;
    return limits;
}

int AlarmLimits::carryOverDisplayUnitBands()
{
    QSettings settings;
    settings.beginGroup(kAlarmGroup);
    const QStringList keys = settings.childGroups();
    int carried = 0;
    for (const QString &key : keys) {
        const QString name = QUrl::fromPercentEncoding(key.toLatin1());
        const int bar = name.lastIndexOf(QLatin1Char('|'));
        if (bar < 0)
            continue;
        const QString function = name.left(bar);
        const BaseUnit base = baseUnitOf(name.mid(bar + 1));
        if (base.exponent == 0)
            continue; // kept under its base unit already
        settings.beginGroup(key);
        AlarmLimits old = readLimits(settings);
        settings.endGroup();
        settings.remove(key);
        const QString target = settingsKey(function, base.unit);
        if (!old.isValid() || old.isEmpty() || keys.contains(target) ||
            settings.childGroups().contains(target))
            continue;
        if (old.low)
            old.low = base.toBase(*old.low);
        if (old.high)
            old.high = base.toBase(*old.high);
        old.hysteresis = base.toBase(old.hysteresis);
        settings.endGroup();
        old.save(function, base.unit);
        settings.beginGroup(kAlarmGroup);
        ++carried;
    }
    return carried;
}

void AlarmLimits::save(const QString &function, const QString &baseUnit) const
{
    QSettings settings;
    settings.beginGroup(settingsGroup(function, baseUnit));
    settings.remove(QString());
    if (low)
        settings.setValue(QStringLiteral("low"), *low);
    if (high)
        settings.setValue(QStringLiteral("high"), *high);
    settings.setValue(QStringLiteral("hysteresis"), hysteresis);
}

QString AlarmEvent::text() const
{
    return QStringLiteral("%1 %2 %3 %4 %5 (%6) at %7")
        .arg(time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")),
             raised ? QStringLiteral("raised") : QStringLiteral("cleared"),
             limit == Limit::Low ? QStringLiteral("low") : QStringLiteral("high"),
             QString::number(limitValue), unit, function, QString::number(value));
}

bool AlarmEvent::operator==(const AlarmEvent &other) const
{
    return time == other.time && function == other.function && unit == other.unit && limit == other.limit &&
           limitValue == other.limitValue && value == other.value && raised == other.raised &&
           source == other.source;
}

QVector<AlarmEvent> AlarmRule::feed(double value, const QDateTime &time, const QString &function,
                                    const QString &unit)
{
    QVector<AlarmEvent> events;
    if (std::isnan(value))
        return events;

    auto event = [&](AlarmEvent::Limit limit, double limitValue, bool raised) {
        events.append(AlarmEvent{time, function, unit, limit, limitValue, value, raised, QString()});
    };
    const bool aboveHigh = m_limits.high && value > *m_limits.high;
    const bool belowLow = m_limits.low && value < *m_limits.low;

    if (m_raised == AlarmEvent::Limit::High) {
        // A limit taken away since the raise ends its alarm as well.
        const bool inside = !m_limits.high || value <= *m_limits.high - m_limits.hysteresis;
        if (!inside)
            return events;
        event(AlarmEvent::Limit::High, m_raisedLimit, false);
        m_raised.reset();
    } else if (m_raised == AlarmEvent::Limit::Low) {
        const bool inside = !m_limits.low || value >= *m_limits.low + m_limits.hysteresis;
        if (!inside)
            return events;
        event(AlarmEvent::Limit::Low, m_raisedLimit, false);
        m_raised.reset();
    }

    if (aboveHigh) {
        event(AlarmEvent::Limit::High, *m_limits.high, true);
        m_raised = AlarmEvent::Limit::High;
        m_raisedLimit = *m_limits.high;
        m_since = time;
    } else if (belowLow) {
        event(AlarmEvent::Limit::Low, *m_limits.low, true);
        m_raised = AlarmEvent::Limit::Low;
        m_raisedLimit = *m_limits.low;
        m_since = time;
    }
    return events;
}

QString AlarmRule::statusText(const QString &unit) const
{
    if (!m_raised)
        return QString();
    const QString which = *m_raised == AlarmEvent::Limit::High
                              ? QCoreApplication::translate("AlarmRule", "高于上限")
                              : QCoreApplication::translate("AlarmRule", "低于下限");
    return QCoreApplication::translate("AlarmRule", "报警：%1 %2（%3 起）")
        .arg(which, QStringLiteral("%1 %2").arg(QString::number(m_raisedLimit), unit).trimmed(),
             m_since.toString(QStringLiteral("hh:mm:ss")));
}

void AlarmRule::reset()
{
    m_raised.reset();
    m_since = QDateTime();
}
