#include "measurementrecord.h"

#include "core/meter/framedecoder.h"
#include "core/meter/meterreading.h"
#include "core/store/recordschema.h"

#include <QDate>

MeasurementRecord MeasurementRecord::fromReading(const MeterReading &reading)
{
    MeasurementRecord r;
    r.funcStr = reading.funcStr;
    r.valueText = recordedValueText(reading);
    r.unitStr = reading.unitStr;
    r.rangeIndex = reading.rangeIndex;
    r.time = reading.time;
    return r;
}

QString MeasurementRecord::timeText() const
{
    return RecordSchema::timeTextMs(time);
}

namespace {
// "-12.34", "0.500", "9999": what QString::number(count / 10^d, 'f', d)
// gives for a count of at most four digits.
bool isValueText(const QString &text)
{
    int i = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    int digits = 0, decimals = -1;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('.') && decimals < 0 && digits > 0) {
            decimals = 0;
            continue;
        }
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        ++digits;
        if (decimals >= 0)
            ++decimals;
    }
    return digits > 0 && digits <= 4 && decimals != 0 && decimals <= 3;
}

bool isOverloadValueText(const QString &text)
{
    for (int d = 0; d <= 3; ++d) {
        if (text == signedOverloadText(false, d) || text == signedOverloadText(true, d))
            return true;
    }
    return false;
}
} // namespace

QString MeasurementRecord::implausibility() const
{
    const int function = meterRangeFunction(rangeIndex);
    if (function < 0)
        return QStringLiteral("range %1 is no range of the meter").arg(rangeIndex);
    if (funcStr != meterFunctionText(function))
        return QStringLiteral("function \"%1\" is not that of range %2").arg(funcStr).arg(rangeIndex);
    if (unitStr != meterRangeUnit(rangeIndex))
        return QStringLiteral("unit \"%1\" is not that of range %2").arg(unitStr).arg(rangeIndex);
    if (!isValueText(valueText) && !isOverloadValueText(valueText))
        return QStringLiteral("value \"%1\" is no reading of the meter").arg(valueText);
    static const QDateTime earliest(QDate(2000, 1, 1), QTime(0, 0));
    if (!time.isValid() || time < earliest || time > QDateTime::currentDateTime().addDays(1))
        return QStringLiteral("time %1 is out of reason").arg(timeText());
    for (const QChar c : source) {
        if (c.category() == QChar::Other_Control || c == QChar::ReplacementCharacter)
            return QStringLiteral("meter name \"%1\" holds a control character").arg(source);
    }
    return QString();
}

bool MeasurementRecord::operator==(const MeasurementRecord &other) const
{
    return funcStr == other.funcStr && valueText == other.valueText && unitStr == other.unitStr &&
           rangeIndex == other.rangeIndex && time == other.time && source == other.source;
}
