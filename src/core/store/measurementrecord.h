#pragma once

#include <QDateTime>
#include <QString>
#include <QVector>

struct MeterReading;

/// One row of the table `invoice` as plain data, exactly the texts that are
/// written. Readings are QObjects that the window may delete at any time, so
/// the store copies them into this before they leave the GUI thread.
struct MeasurementRecord
{
    QString funcStr;   ///< function text
    QString valueText; ///< value text, or a signed overload text such as "- O.L "
    QString unitStr;   ///< unit text
    int rangeIndex = 0;
    QDateTime time; ///< time stamp, to the millisecond
    QString source; ///< the meter it came from; written where the table has `source`

    /// The record a reading is stored as: its value text (the signed overload
    /// text for an overload), range index and time truncated to the second.
    static MeasurementRecord fromReading(const MeterReading &reading);

    /// `rangeIndex` as the base-10 text stored in `frastr`.
    QString rangeText() const { return QString::number(rangeIndex); }
    /// `time` to the millisecond: "yyyy-MM-dd hh:mm:ss.zzz".
    QString timeText() const;

    /// Why this is no reading the program could have made, or empty when it
    /// is one: a function, unit and range index out of the decoder's own
    /// tables and agreeing with each other, a value text as the decoder
    /// writes it (at most four digits, at most three decimals) or a signed
    /// overload text, a time from 2000 to a day from now, and a meter name
    /// without control characters.
    QString implausibility() const;

    bool operator==(const MeasurementRecord &other) const;
};

using MeasurementRecords = QVector<MeasurementRecord>;
