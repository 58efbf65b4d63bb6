#include "maxdatabase.h"

maxdatabase::maxdatabase(QObject *parent)
    : QObject(parent)
{
}
