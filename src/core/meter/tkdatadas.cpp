#include "tkdatadas.h"

TkDataDas::TkDataDas(QObject *parent)
    : QObject(parent)
{
}

TkDataDas::TkDataDas(const MeterReading &reading, QObject *parent)
    : QObject(parent)
    , MeterReading(reading)
{
}
