#include "tkdatadas.h"

TkDataDas::TkDataDas(QObject *parent)
    : QObject(parent)
{
}
