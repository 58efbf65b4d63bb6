#include "models/readingroles.h"

#include "core/meter/framedecoder.h"
#include "core/meter/meterreading.h"

#include <QAbstractItemModel>

void setReadingRoles(QAbstractItemModel &model, const QModelIndex &at, const MeterReading &reading)
{
    const QModelIndex first = at.siblingAtColumn(0);
    model.setData(first, reading.time, ReadingTimeRole);
    model.setData(first, recordedValueText(reading), ReadingValueRole);
    model.setData(first, reading.unitStr, ReadingUnitRole);
    model.setData(first, reading.funcStr, ReadingFunctionRole);
    model.setData(first, reading.rangeIndex, ReadingRangeRole);
}
