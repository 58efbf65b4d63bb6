#pragma once

#include <QDateTime>
#include <QString>

/// One decoded reading as plain data: what the decoder found in a frame and
/// the local time the frame arrived.
struct MeterReading
{
    int funcIndex = 0;   ///< function index 0–11 (DCV … hFE)
    QString funcStr;     ///< function text, e.g. "DCV"
    int subRange = 0;    ///< sub-range within the function, 0–6
    int rangeIndex = -1; ///< range index 0–44; -1 only for a reading never decoded
    double value = 0.0;  ///< signed value in the unit of unitStr
    QString valueStr;    ///< value with exactly `decimals` decimals, "." as point, no grouping
    QString unitStr;     ///< unit text, e.g. "kΩ"
    int decimals = 0;    ///< decimal places 0–3
    bool overload = false;
    bool negative = false;
    QDateTime time; ///< local time at which the frame arrived (its last byte)
};
