#include "measurementrecord.h"

#include "core/meter/framedecoder.h"
#include "core/meter/meterreading.h"
#include "core/store/recordschema.h"

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

bool MeasurementRecord::operator==(const MeasurementRecord &other) const
{
    return funcStr == other.funcStr && valueText == other.valueText && unitStr == other.unitStr &&
           rangeIndex == other.rangeIndex && time == other.time && source == other.source;
}
