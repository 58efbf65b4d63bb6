#pragma once

#include "meter/tkdatadas.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>

/// Helpers shared by the record store tests.
namespace StoreTest {

/// A DC-volt reading with the given value text and time.
inline void setReading(TkDataDas &r, const QString &value, const QDateTime &time)
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

/// Opens an administrative connection to the `postgres` database of the
/// server the TK52K_DB_* variables (or the defaults) point at.
QSqlDatabase adminConnection(const QString &name, int port);

/// Drops the database `dbName` (closing its sessions) on the server at `port`.
bool dropDatabase(const QString &dbName, int port, QString *error);

} // namespace StoreTest
