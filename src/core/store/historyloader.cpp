#include "historyloader.h"

#include "core/store/database.h"
#include "core/store/recordschema.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QVariant>

#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr int kReportEvery = 8192;
// How long a load waits for a locked table before it says so.
constexpr int kLockNoticeMs = 1000;

// The driver's own connection: the rows are read with the server's COPY,
// which streams them as lines of text, far cheaper per row than a result
// set read row by row through the SQL classes.
PGconn *connectionOf(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "PGconn*") != 0)
        return nullptr;
    return *static_cast<PGconn *const *>(handle.constData());
}

struct ResultDeleter
{
    void operator()(PGresult *result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

QString failure(PGconn *conn, const PGresult *result, int timeoutMs)
{
    QString text;
    if (result)
        text = QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
    // While the server is down the result can hold no message.
    if (text.isEmpty())
        text = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
    // A statement stopped by our own time limit (57014) or a table another
    // session keeps locked (55P03) would otherwise read as a bare server text.
    const char *code = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (code && (qstrcmp(code, "57014") == 0 || qstrcmp(code, "55P03") == 0))
        return QCoreApplication::translate("HistoryLoader",
                                           "读取超时：%1 秒内未能读出记录（数据表被锁定或查询过慢）。\n%2")
            .arg(timeoutMs / 1000.0)
            .arg(text);
    return text;
}

bool command(PGconn *conn, const QString &sql, int timeoutMs, QString &error)
{
    const Result result(PQexec(conn, sql.toUtf8().constData()));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return true;
    error = failure(conn, result.get(), timeoutMs);
    return false;
}

constexpr int kFieldCount = 5;

// One line of COPY's text format: fields split at tabs, a NULL ("\N") read
// as an empty text, backslash escapes undone. Fields without escapes are
// views into the line; the others are unescaped into their scratch string.
class CopyLine
{
public:
    static constexpr int kMaxFields = kFieldCount + 1;

    bool split(const char *line, int size, int count)
    {
        if (size > 0 && line[size - 1] == '\n')
            --size;
        int f = 0;
        int begin = 0;
        bool escaped = false;
        for (int i = 0; i <= size; ++i) {
            if (i < size && line[i] != '\t') {
                if (line[i] == '\\') {
                    escaped = true;
                    ++i;
                }
                continue;
            }
            if (f == count)
                return false;
            m_fields[f] = field(f, std::string_view(line + begin, size_t(qMin(i, size) - begin)), escaped);
            ++f;
            begin = i + 1;
            escaped = false;
        }
        return f == count;
    }

    std::string_view operator[](int f) const { return m_fields[f]; }

private:
    std::string_view field(int f, std::string_view raw, bool escaped)
    {
        if (!escaped)
            return raw;
        if (raw == "\\N")
            return std::string_view();
        std::string &out = m_scratch[f];
        out.clear();
        for (size_t i = 0; i < raw.size(); ++i) {
            char c = raw[i];
            if (c == '\\' && i + 1 < raw.size()) {
                c = raw[++i];
                switch (c) {
                case 'b':
                    c = '\b';
                    break;
                case 'f':
                    c = '\f';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 'r':
                    c = '\r';
                    break;
                case 't':
                    c = '\t';
                    break;
                case 'v':
                    c = '\v';
                    break;
                default:
                    if (c >= '0' && c <= '7') {
                        int v = c - '0';
                        for (int k = 0; k < 2 && i + 1 < raw.size() && raw[i + 1] >= '0' && raw[i + 1] <= '7';
                             ++k)
                            v = v * 8 + (raw[++i] - '0');
                        c = char(v);
                    }
                    break;
                }
            }
            out += c;
        }
        return out;
    }

    std::string_view m_fields[kMaxFields];
    std::string m_scratch[kMaxFields];
};

// The meters met while reading, each once. Rows of one meter tend to come
// in runs, so the last one found is tried first.
class SourceSet
{
public:
    void add(std::string_view source)
    {
        if (source.empty() || (m_last >= 0 && m_names[size_t(m_last)] == source))
            return;
        for (size_t i = 0; i < m_names.size(); ++i) {
            if (m_names[i] == source) {
                m_last = int(i);
                return;
            }
        }
        m_last = int(m_names.size());
        m_names.emplace_back(source);
    }
    QStringList sorted() const
    {
        QStringList names;
        for (const std::string &name : m_names)
            names << HistoryData::textOfUtf8(name);
        names.sort();
        return names;
    }

private:
    std::vector<std::string> m_names;
    int m_last = -1;
};

// The range as the server compares it: from the first second through the
// end of the last, whatever fractions the column keeps; and only the
// meter asked for.
QString rangeCondition(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop, const QString &source)
{
    // Quoted literals, which the server compares as the wall-clock times
    // they show (a bound date-time would be sent in UTC and shifted by the
    // server's time zone).
    const auto literal = [&](const QString &text) {
        QSqlField field(QString(), QVariant::String);
        field.setValue(text);
        return db.driver()->formatValue(field);
    };
    QString condition = QStringLiteral("create_time >= %1 and create_time < %2")
                            .arg(literal(RecordSchema::timeText(start)),
                                 literal(RecordSchema::timeText(stop.addSecs(1))));
    if (!source.isNull())
        condition += QStringLiteral(" and source = ") + literal(source);
    return condition;
}

// The sessions that hold the table (or one of its partitions) locked against
// readers, as "pid N (program)".
QString lockHolders(PGconn *conn)
{
    const Result holders(PQexec(conn, R"(
SELECT string_agg(DISTINCT 'pid ' || a.pid || ' (' || coalesce(nullif(a.application_name, ''), a.usename) || ')', ', ')
  FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid
 WHERE l.granted AND l.mode = 'AccessExclusiveLock' AND l.pid <> pg_backend_pid()
   AND l.relation IN (SELECT 'invoice'::regclass UNION ALL
                      SELECT inhrelid FROM pg_inherits WHERE inhparent = 'invoice'::regclass))"));
    if (PQresultStatus(holders.get()) != PGRES_TUPLES_OK || PQntuples(holders.get()) < 1)
        return QString();
    return QString::fromUtf8(PQgetvalue(holders.get(), 0, 0));
}

// Another session may hold the table (an ALTER, a VACUUM FULL, an archive's
// LOCK TABLE). The read takes its share of the lock first, in the read's
// transaction, so that the COPY does not wait for it with a time limit of its
// own; and when the lock has not come within a second, the caller is told
// who holds it before the rest of the time limit is waited out.
bool lockTableForReading(PGconn *conn, const HistoryLoadControl &control, QString &error)
{
    QElapsedTimer waited;
    waited.start();
    const int limit = qMax(1, control.timeoutMs);
    int wait = qMin(kLockNoticeMs, limit);
    for (bool told = false;; told = true) {
        const Result locked(PQexec(conn, QStringLiteral("savepoint lock_wait; set local lock_timeout = %1; "
                                                        "lock table invoice in access share mode")
                                             .arg(wait)
                                             .toUtf8()
                                             .constData()));
        if (PQresultStatus(locked.get()) == PGRES_COMMAND_OK)
            return command(conn, QStringLiteral("set local lock_timeout = %1").arg(limit), limit, error);
        error = failure(conn, locked.get(), limit);
        const bool lockTimedOut = qstrcmp(PQresultErrorField(locked.get(), PG_DIAG_SQLSTATE), "55P03") == 0;
        QString ignored;
        command(conn, QStringLiteral("rollback to savepoint lock_wait"), limit, ignored);
        wait = int(limit - waited.elapsed());
        if (told || !lockTimedOut || wait <= 0)
            return false;
        if (control.lockWait)
            control.lockWait(lockHolders(conn), wait);
    }
}

// Stops the COPY under way and reads what the server still sends until it
// confirms the stop, so the connection is idle again.
void cancelCopy(PGconn *conn)
{
    if (PGcancel *cancel = PQgetCancel(conn)) {
        char message[256];
        PQcancel(cancel, message, int(sizeof message));
        PQfreeCancel(cancel);
    }
    char *line = nullptr;
    while (PQgetCopyData(conn, &line, 0) >= 0)
        PQfreemem(line);
    while (PGresult *rest = PQgetResult(conn))
        PQclear(rest);
}

HistoryLoadResult::Status readRange(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop,
                                    const HistoryLoadControl &control, HistoryData &rows, QString &error,
                                    HistoryLoadResult &result)
{
    PGconn *conn = connectionOf(db);
    if (!conn) {
        error = QStringLiteral("the database driver gives no PostgreSQL connection");
        return HistoryLoadResult::Failed;
    }
    // A read never waits without end for a lock or a runaway statement. The
    // limits hold for this read's transaction only: the connection also
    // writes readings, which must not be cut short by them.
    const QString limit = QString::number(qMax(1, control.timeoutMs));
    if (!command(conn,
                 QStringLiteral("begin read only; set local statement_timeout = %1; set local lock_timeout = %1")
                     .arg(limit),
                 control.timeoutMs, error))
        return HistoryLoadResult::Failed;
    struct EndTransaction
    {
        PGconn *conn;
        ~EndTransaction() { PQclear(PQexec(conn, "rollback")); }
    } endTransaction{conn};

    RecordSchema::TableShape shape;
    RecordSchema::probe(db, &shape);
    if (shape.exists && !lockTableForReading(conn, control, error))
        return HistoryLoadResult::Failed;
    result.hasSource = shape.hasSource;
    if (!control.source.isNull() && !shape.hasSource) {
        error = QStringLiteral("the table invoice has no source column, so no meter can be chosen");
        return HistoryLoadResult::Failed;
    }

    // Rows of one second keep the order they were recorded in where the
    // table numbers its rows. The meter of each row comes along, which
    // costs far less than asking for the meters of the range on their own.
    const QString condition = rangeCondition(db, start, stop, control.source);
    const QString select =
        QStringLiteral("copy (select create_time, datavaluestr, unitstr, funcstr, frastr%1 from invoice "
                       "where %2 order by create_time%3) to stdout")
            .arg(shape.hasSource ? QStringLiteral(", source") : QString(), condition,
                 shape.hasId ? QStringLiteral(", id") : QString());
    {
        const Result started(PQexec(conn, select.toUtf8().constData()));
        if (PQresultStatus(started.get()) != PGRES_COPY_OUT) {
            error = failure(conn, started.get(), control.timeoutMs);
            return HistoryLoadResult::Failed;
        }
    }

    const int fieldCount = shape.hasSource ? kFieldCount + 1 : kFieldCount;
    const double span = qMax<qint64>(1, start.secsTo(stop));
    int nextReport = kReportEvery;
    CopyLine fields;
    SourceSet sources;
    for (;;) {
        char *line = nullptr;
        const int size = PQgetCopyData(conn, &line, 0);
        if (size < 0)
            break; // -1: all rows sent; -2: the connection failed (the result says why)
        const bool readable = fields.split(line, size, fieldCount);
        if (readable) {
            rows.appendUtf8(fields[0], fields[1], fields[2], fields[3], fields[4]);
            if (shape.hasSource)
                sources.add(fields[kFieldCount]);
        } else {
            error = QStringLiteral("unreadable row: %1").arg(QString::fromUtf8(line, size));
        }
        PQfreemem(line);
        if (!readable) {
            cancelCopy(conn);
            return HistoryLoadResult::Failed;
        }
        if (rows.rowCount() < nextReport)
            continue;
        nextReport += kReportEvery;
        if (control.cancel && control.cancel->load()) {
            cancelCopy(conn);
            return HistoryLoadResult::Cancelled;
        }
        if (control.progress) {
            const double done = start.secsTo(rows.time(rows.rowCount() - 1)) / span;
            control.progress(rows.rowCount(), qBound(0.0, done, 1.0));
        }
    }
    bool ok = true;
    while (PGresult *end = PQgetResult(conn)) {
        if (ok && PQresultStatus(end) != PGRES_COMMAND_OK) {
            error = failure(conn, end, control.timeoutMs);
            ok = false;
        }
        PQclear(end);
    }
    if (!ok)
        return HistoryLoadResult::Failed;
    result.sources = sources.sorted();
    return HistoryLoadResult::Loaded;
}

} // namespace

HistoryLoadResult readHistoryRange(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop,
                                   const HistoryLoadControl &control)
{
    HistoryLoadResult result;
    if (!start.isValid() || !stop.isValid())
        return result;
    if (control.cancel && control.cancel->load()) {
        result.status = HistoryLoadResult::Cancelled;
        return result;
    }
    result.status = readRange(db, start, stop, control, *result.rows, result.error, result);
    if (result.status == HistoryLoadResult::Failed)
        result.rows = std::make_shared<HistoryData>();
    else
        result.rows->squeeze();
    return result;
}

void HistoryRangeRead::run(QSqlDatabase &db, const StoreContext &)
{
    HistoryLoadControl control = m_control;
    if (!control.cancel)
        control.cancel = cancelFlag();
    result = readHistoryRange(db, m_start, m_stop, control);
    if (result.status == HistoryLoadResult::Failed) {
        setError(result.error);
        return;
    }
    if (!m_figures)
        return;
    result.statistics = HistoryStatistics::ofFirstQuantity(*result.rows);
    // The readings run to the end of the stop's second; so do the events.
    result.alarms = AlarmSchema::select(db, m_start, m_stop.addMSecs(999), m_control.source);
}

HistoryLoadResult loadHistoryRange(const DbSettings &settings, const QDateTime &start, const QDateTime &stop,
                                   const HistoryLoadControl &control)
{
    // Unusable settings are not replaced by the defaults: the rows of some
    // other database would pass for this one's.
    database store(settings, QString());
    auto read = std::make_shared<HistoryRangeRead>(start, stop, control);
    if (store.openForReading() != 1) {
        HistoryLoadResult failed;
        failed.status = HistoryLoadResult::Failed;
        failed.error = settings.problem.isEmpty()
                           ? QStringLiteral("the QPSQL driver is not available")
                           : QCoreApplication::translate("HistoryLoader", "数据库设置无效：%1").arg(settings.problem);
        return failed;
    }
    store.readNow(read);
    if (read->failed() && read->result.error.isEmpty()) {
        read->result.status = HistoryLoadResult::Failed;
        read->result.error = read->error();
    }
    return read->result;
}

HistoryLoader::HistoryLoader(RecordStore *store, const QDateTime &start, const QDateTime &stop, QObject *parent)
    : QObject(parent), m_store(store), m_start(start), m_stop(stop)
{
}

HistoryLoader::~HistoryLoader()
{
    if (m_read)
        m_read->cancel();
}

void HistoryLoader::start()
{
    if (m_read)
        return;
    m_running = true;
    HistoryLoadControl control;
    control.source = m_source;
    m_read = std::make_shared<HistoryRangeRead>(m_start, m_stop, control);
    m_read->withFigures();
    // Called on the store's thread; handed to this object's thread, and
    // dropped once it is gone.
    HistoryRangeRead *read = m_read.get();
    m_read->setProgress([this, read](int rows, double fraction) {
        read->post([this, rows, fraction] { emit progress(rows, static_cast<int>(fraction * 1000)); });
    });
    m_read->whenDone(this, [this] {
        m_result = m_read->result;
        if (m_read->failed() && m_result.status != HistoryLoadResult::Failed) {
            m_result.status = HistoryLoadResult::Failed;
            m_result.error = m_read->error();
        }
        m_running = false;
        emit finished();
    });
    m_store->read(m_read);
}

void HistoryLoader::cancel()
{
    if (m_read)
        m_read->cancel();
}
