#include "extremes.h"

#include "core/meter/framedecoder.h"
#include "core/meter/meterreading.h"
#include "core/meter/maxdatabase.h"

#include <QtGlobal>

namespace {

QString fixedText(double value, int decimals)
{
    // 'f' formatting of QString::number is locale-independent: "." and no grouping.
    return QString::number(value, 'f', decimals);
}

void restart(maxdatabase &m, const MeterReading &r)
{
    m.maxUnitText = r.unitStr;
    m.minUnitText = r.unitStr;
    if (r.overload) {
        const int state = r.negative ? ExtremeNegativeOverload : ExtremePositiveOverload;
        const QString text = signedOverloadText(r.negative, r.decimals);
        m.maxState = state;
        m.minState = state;
        m.maxValueText = text;
        m.minValueText = text;
        return;
    }
    m.maxValue = r.value;
    m.minValue = r.value;
    m.maxValueText = r.valueStr;
    m.minValueText = r.valueStr;
    m.maxState = ExtremeNumber;
    m.minState = ExtremeNumber;
}

void continueRange(maxdatabase &m, const MeterReading &r)
{
    if (r.overload) {
        if (r.negative) {
            if (m.minState != ExtremeNegativeOverload) {
                m.minState = ExtremeNegativeOverload;
                m.minUnitText = r.unitStr;
                m.minValueText = signedOverloadText(true, r.decimals);
            }
        } else if (m.maxState != ExtremePositiveOverload) {
            m.maxState = ExtremePositiveOverload;
            m.maxUnitText = r.unitStr;
            m.maxValueText = signedOverloadText(false, r.decimals);
        }
        return;
    }
    if ((m.maxState == ExtremeNumber && r.value > m.maxValue) || m.maxState == ExtremeNegativeOverload) {
        m.maxValue = r.value;
        m.maxUnitText = r.unitStr;
        m.maxValueText = fixedText(r.value, r.decimals);
        m.maxState = ExtremeNumber;
    }
    if ((m.minState == ExtremeNumber && r.value < m.minValue) || m.minState == ExtremePositiveOverload) {
        m.minValue = r.value;
        m.minUnitText = r.unitStr;
        m.minValueText = fixedText(r.value, r.decimals);
        m.minState = ExtremeNumber;
    }
}

} // namespace

void updateExtremes(maxdatabase &extremes, const MeterReading &reading, bool rangeChanged)
{
    if (rangeChanged)
        restart(extremes, reading);
    else
        continueRange(extremes, reading);
}

QString maxFieldText(const maxdatabase &extremes)
{
    return extremes.maxValueText + extremes.maxUnitText;
}

QString minFieldText(const maxdatabase &extremes)
{
    return extremes.minValueText + extremes.minUnitText;
}

QString panelValueText(const MeterReading &reading)
{
    if (reading.overload)
        return overloadText(reading.decimals);
    return fixedText(qAbs(reading.value), reading.decimals);
}
