#pragma once

#include "core/meter/tkdatadas.h"

#include <QDateTime>
#include <QString>

/// Makes `r` a DC-volt reading (range 1, three decimals) with the given value text and time.
inline void setDcVoltReading(TkDataDas &r, const QString &value, const QDateTime &time)
{
    r.funcIndex = 0;
    r.funcStr = QStringLiteral("DCV");
    r.rangeIndex = 1;
    r.unitStr = QStringLiteral("V");
    r.valueStr = value;
    r.value = value.toDouble();
    r.decimals = 3;
    r.overload = false;
    r.negative = false;
    r.time = time;
}
