#include "schemaversion.h"

#include "core/store/pglink.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QVersionNumber>

namespace SchemaVersion {
namespace {

const char *const kCreate = R"(CREATE TABLE IF NOT EXISTS tk52k_schema_version (
    part          text PRIMARY KEY,
    version       integer NOT NULL,
    oldest_writer text NOT NULL,
    recorded_by   text NOT NULL,
    recorded_at   timestamptz NOT NULL DEFAULT now()
)
)";
// Every login may read it: a writer checks it before it writes.
const char *const kGrant = "GRANT SELECT ON tk52k_schema_version TO PUBLIC";

// The version of the part a newer program recorded stays: this one would
// only describe the layout as it knows it.
const char *const kRecord =
    R"(INSERT INTO tk52k_schema_version AS v (part, version, oldest_writer, recorded_by)
VALUES ($1, $2::integer, $3, $4)
ON CONFLICT (part) DO UPDATE SET version = excluded.version, oldest_writer = excluded.oldest_writer,
    recorded_by = excluded.recorded_by, recorded_at = now()
WHERE v.version <= excluded.version)";

} // namespace

QString programVersion()
{
    return QStringLiteral(TK52K_VERSION);
}

bool record(QSqlDatabase &db, const Part &part, QString *error)
{
    // Within the caller's transaction (the table made with its record) a
    // refusal must not spoil the rest: a savepoint takes it back alone.
    PgLink link(db);
    const bool nested = link.inTransaction();
    if (nested && !link.exec("SAVEPOINT tk52k_schema_version")) {
        *error = link.error();
        return false;
    }
    // Asked first, so that the server says nothing about what exists.
    PgResult there;
    bool ok = link.exec("SELECT to_regclass('tk52k_schema_version') IS NOT NULL", {}, &there);
    ok = ok && (there.text(0, 0) == "t" || (link.exec(kCreate) && link.exec(kGrant)));
    ok = ok && link.exec(kRecord, {part.name.toUtf8(), QByteArray::number(part.version),
                                   part.oldestWriter.toUtf8(), programVersion().toUtf8()});
    if (!ok)
        *error = link.error();
    if (nested)
        link.exec(ok ? "RELEASE SAVEPOINT tk52k_schema_version"
                     : "ROLLBACK TO SAVEPOINT tk52k_schema_version");
    return ok;
}

bool mayWrite(QSqlDatabase &db, QString *why)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT to_regclass('tk52k_schema_version') IS NOT NULL AND "
                               "has_table_privilege('tk52k_schema_version', 'SELECT')")) ||
        !q.next()) {
        *why = q.lastError().text().trimmed();
        return false;
    }
    // Made by programs before the record, any may write; a record a site
    // has hidden from this login (everyone may read it as made) cannot stop it.
    if (!q.value(0).toBool())
        return true;
    if (!q.exec(QStringLiteral(
            "SELECT part, oldest_writer, recorded_by FROM tk52k_schema_version ORDER BY part"))) {
        *why = q.lastError().text().trimmed();
        return false;
    }
    const QVersionNumber self = QVersionNumber::fromString(programVersion());
    while (q.next()) {
        const QVersionNumber oldest = QVersionNumber::fromString(q.value(1).toString());
        if (QVersionNumber::compare(oldest, self) > 0) {
            *why = QCoreApplication::translate("SchemaVersion",
                                               "数据库中的 %1 已由版本 %2 的程序改为新的结构，只有 %3 "
                                               "或更新的版本能写入（本程序为 %4）。")
                       .arg(q.value(0).toString(), q.value(2).toString(), oldest.toString(), self.toString());
            return false;
        }
    }
    return true;
}

} // namespace SchemaVersion
