#pragma once

#include <QString>

class QSqlDatabase;

/// One record of what the program's parts of the database are, in the
/// table `tk52k_schema_version`: per part (the record table `invoice`,
/// `alarm_event`, the summaries) the version of its layout and the oldest
/// program version that may still write to it. A layout that an older
/// program would write wrongly raises that oldest version, and older
/// programs then stop writing and say why, while a fleet whose layout
/// stays compatible can upgrade one logger at a time.
namespace SchemaVersion {

/// The program's own version ("2.0").
QString programVersion();

struct Part
{
    QString name;         ///< "invoice", "alarm_event", "summaries"
    int version = 0;      ///< of the part's layout
    QString oldestWriter; ///< the oldest program version that writes it rightly
};

/// Notes `part` as this program made it (the table made where missing).
/// A later version of the part recorded by a newer program is kept. False
/// with `error` set where the server refused (no right to make the table).
bool record(QSqlDatabase &db, const Part &part, QString *error);

/// Whether this program may write to the database: not where a part names
/// a later oldest writer than programVersion(). `why` says which part and
/// what version is needed; also false with `why` set when the record cannot
/// be read.
bool mayWrite(QSqlDatabase &db, QString *why);

} // namespace SchemaVersion
