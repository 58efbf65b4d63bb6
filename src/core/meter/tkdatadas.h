#pragma once

#include "core/meter/meterreading.h"

#include <QObject>

/// One decoded reading of the meter as an object, for the window and the
/// store, which hold readings by pointer.
class TkDataDas : public QObject, public MeterReading
{
    Q_OBJECT

public:
    explicit TkDataDas(QObject *parent = nullptr);
    explicit TkDataDas(const MeterReading &reading, QObject *parent = nullptr);
};
