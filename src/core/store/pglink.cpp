#include "pglink.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>

void PgResult::Clear::operator()(pg_result *result) const
{
    PQclear(result);
}

int PgResult::rows() const
{
    return m_result ? PQntuples(m_result.get()) : 0;
}

bool PgResult::isNull(int row, int column) const
{
    return PQgetisnull(m_result.get(), row, column) != 0;
}

std::string_view PgResult::text(int row, int column) const
{
    return std::string_view(PQgetvalue(m_result.get(), row, column),
                            size_t(PQgetlength(m_result.get(), row, column)));
}

QString PgResult::string(int row, int column) const
{
    const std::string_view t = text(row, column);
    return QString::fromUtf8(t.data(), int(t.size()));
}

qint64 PgResult::int64(int row, int column) const
{
    const std::string_view t = text(row, column);
    qint64 v = 0;
    std::from_chars(t.data(), t.data() + t.size(), v);
    return v;
}

double PgResult::real(int row, int column) const
{
    if (isNull(row, column))
        return std::numeric_limits<double>::quiet_NaN();
    const std::string_view t = text(row, column);
    double v = 0;
    // The server writes the shortest text that reads back as the same
    // double, so the value round-trips exactly.
    if (std::from_chars(t.data(), t.data() + t.size(), v).ec != std::errc()) {
        if (t == "Infinity")
            return std::numeric_limits<double>::infinity();
        if (t == "-Infinity")
            return -std::numeric_limits<double>::infinity();
        return std::numeric_limits<double>::quiet_NaN();
    }
    return v;
}

PgLink::PgLink(QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (handle.isValid() && qstrcmp(handle.typeName(), "PGconn*") == 0)
        m_conn = *static_cast<PGconn *const *>(handle.constData());
}

namespace {
// The connection of the last join(), kept for the next: opening one costs
// the server a process and the first statements of a new one a cold cache
// of the catalog (the later half of a 50-meter zoom took 169 ms on a new
// connection, 46 ms on one that had read before).
struct Spare
{
    std::mutex mutex;
    PGconn *conn = nullptr;
    std::vector<std::pair<QByteArray, QByteArray>> options;
    ~Spare()
    {
        if (conn)
            PQfinish(conn);
    }
};

Spare &spare()
{
    static Spare s;
    return s;
}

// The spare connection where it was opened with `options`, else null; one
// opened with others (a server or login since changed) is closed.
PGconn *takeSpare(const std::vector<std::pair<QByteArray, QByteArray>> &options)
{
    Spare &s = spare();
    const std::lock_guard<std::mutex> lock(s.mutex);
    PGconn *conn = s.conn;
    s.conn = nullptr;
    if (conn && s.options != options) {
        PQfinish(conn);
        return nullptr;
    }
    return conn;
}

// Keeps `conn`, out of any transaction, as the spare, or closes it.
void keepSpare(PGconn *conn, const std::vector<std::pair<QByteArray, QByteArray>> &options)
{
    if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) != PQTRANS_IDLE)
        PQclear(PQexec(conn, "ROLLBACK"));
    if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE) {
        Spare &s = spare();
        const std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.conn) {
            s.conn = conn;
            s.options = options;
            return;
        }
    }
    PQfinish(conn);
}
} // namespace

PgLink::~PgLink()
{
    if (m_ownConnection)
        keepSpare(m_conn, m_options);
}

bool PgLink::offerSnapshot()
{
    // Kept in a setting of the transaction, which ends with it: every link
    // made on this connection later in the transaction finds it there.
    if (exec("SELECT set_config('tk52k.snapshot', pg_export_snapshot(), true)"))
        return true;
    // A server that cannot export one reads on alone.
    exec("ROLLBACK");
    return exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
}

PgLink::Sharing PgLink::share()
{
    Sharing sharing;
    PgResult result;
    if (!exec("SELECT current_setting('tk52k.snapshot', true), current_setting('enable_seqscan'), "
              "current_setting('jit'), current_setting('statement_timeout'), current_setting('lock_timeout')",
              {}, &result) ||
        result.isNull(0, 0))
        return sharing;
    const auto text = [&](int column) {
        const std::string_view t = result.text(0, column);
        return QByteArray(t.data(), int(t.size()));
    };
    sharing.snapshot = text(0);
    sharing.settings = {{"enable_seqscan", text(1)},
                        {"jit", text(2)},
                        {"statement_timeout", text(3)},
                        {"lock_timeout", text(4)}};
    sharing.names = m_names;
    if (PQconninfoOption *options = PQconninfo(m_conn)) {
        for (const PQconninfoOption *o = options; o->keyword; ++o)
            if (o->val && *o->val)
                sharing.options.emplace_back(o->keyword, o->val);
        PQconninfoFree(options);
    }
    return sharing;
}

std::unique_ptr<PgLink> PgLink::join(const Sharing &sharing)
{
    // A snapshot's name is hex digits and dashes; anything else is not one.
    if (sharing.snapshot.isEmpty() ||
        !std::all_of(sharing.snapshot.begin(), sharing.snapshot.end(),
                     [](char c) { return c == '-' || std::isxdigit(static_cast<unsigned char>(c)); }))
        return nullptr;
    // The spare first; where it is gone (the server restarted, the
    // database was dropped) a new connection.
    for (PGconn *spareConn = takeSpare(sharing.options);; spareConn = nullptr) {
        std::unique_ptr<PgLink> link(new PgLink);
        link->m_ownConnection = true;
        link->m_options = sharing.options;
        link->m_names = sharing.names;
        link->m_conn = spareConn;
        if (!spareConn) {
            std::vector<const char *> keys, values;
            for (const auto &option : sharing.options) {
                keys.push_back(option.first.constData());
                values.push_back(option.second.constData());
            }
            keys.push_back(nullptr);
            values.push_back(nullptr);
            link->m_conn = PQconnectdbParams(keys.data(), values.data(), 0);
        }
        if (PQstatus(link->m_conn) != CONNECTION_OK ||
            !link->exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")) {
            if (spareConn)
                continue;
            return nullptr;
        }
        if (!link->exec("SET TRANSACTION SNAPSHOT '" + sharing.snapshot + "'"))
            return nullptr;
        link->m_ownSnapshot = true;
        for (const auto &setting : sharing.settings)
            if (!link->exec("SELECT set_config($1, $2, true)", {setting.first, setting.second}))
                return nullptr;
        return link;
    }
}

bool PgLink::exec(const QByteArray &sql, const std::vector<QByteArray> &params, PgResult *result)
{
    m_error.clear();
    m_state.clear();
    if (!m_conn) {
        m_error = QStringLiteral("the database driver gives no PostgreSQL connection");
        return false;
    }
    QByteArray text = sql;
    for (const auto &name : m_names)
        text.replace(name.first, name.second);
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const QByteArray &p : params)
        values.push_back(p.isNull() ? nullptr : p.constData());
    PgResult local;
    PgResult &out = result ? *result : local;
    out.m_result.reset(PQexecParams(m_conn, text.constData(), int(values.size()), nullptr, values.data(),
                                    nullptr, nullptr, 0));
    const ExecStatusType status = PQresultStatus(out.m_result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return true;
    if (out.m_result) {
        m_error = QString::fromUtf8(PQresultErrorMessage(out.m_result.get())).trimmed();
        m_state = PQresultErrorField(out.m_result.get(), PG_DIAG_SQLSTATE);
    }
    // While the server is down the result can hold no message.
    if (m_error.isEmpty())
        m_error = QString::fromUtf8(PQerrorMessage(m_conn)).trimmed();
    out.m_result.reset();
    return false;
}

namespace {
// `sql` with every $n replaced by the quoted literal of params[n - 1], in
// one pass, so that a value that spells "$2" is never replaced in turn.
bool inlineParams(PGconn *conn, const QByteArray &sql, const std::vector<QByteArray> &params, QByteArray *out)
{
    out->clear();
    out->reserve(sql.size() + 64);
    for (int i = 0; i < sql.size();) {
        const char c = sql.at(i);
        int end = i + 1;
        while (c == '$' && end < sql.size() && sql.at(end) >= '0' && sql.at(end) <= '9')
            ++end;
        if (end == i + 1) {
            *out += c;
            ++i;
            continue;
        }
        const size_t n = sql.mid(i + 1, end - i - 1).toULongLong();
        if (n < 1 || n > params.size())
            return false;
        const QByteArray &value = params[n - 1];
        if (value.isNull()) {
            *out += "NULL";
        } else {
            char *quoted = PQescapeLiteral(conn, value.constData(), size_t(value.size()));
            if (!quoted)
                return false;
            *out += quoted;
            PQfreemem(quoted);
        }
        i = end;
    }
    return true;
}
} // namespace

bool PgLink::copyOut(const QByteArray &sql, const std::vector<QByteArray> &params,
                     const std::function<bool(const char *, int)> &line, bool *stopped)
{
    m_error.clear();
    m_state.clear();
    if (stopped)
        *stopped = false;
    if (!m_conn) {
        m_error = QStringLiteral("the database driver gives no PostgreSQL connection");
        return false;
    }
    QByteArray named = sql;
    for (const auto &name : m_names)
        named.replace(name.first, name.second);
    QByteArray text;
    if (!inlineParams(m_conn, named, params, &text)) {
        m_error = QString::fromUtf8(PQerrorMessage(m_conn)).trimmed();
        if (m_error.isEmpty())
            m_error = QStringLiteral("a parameter of the statement is missing");
        return false;
    }
    auto takeError = [this](PGresult *result) {
        m_error = QString::fromUtf8(PQresultErrorMessage(result)).trimmed();
        m_state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        if (m_error.isEmpty())
            m_error = QString::fromUtf8(PQerrorMessage(m_conn)).trimmed();
    };
    {
        PgResult started;
        started.m_result.reset(PQexec(m_conn, text.constData()));
        if (PQresultStatus(started.m_result.get()) != PGRES_COPY_OUT) {
            takeError(started.m_result.get());
            return false;
        }
    }
    bool stop = false;
    for (;;) {
        char *buffer = nullptr;
        const int size = PQgetCopyData(m_conn, &buffer, 0);
        if (size < 0)
            break;
        // Once stopped, the rest is read and dropped: the connection is
        // usable again only after the end of the copy.
        if (!stop && !line(buffer, size)) {
            stop = true;
            if (PGcancel *cancel = PQgetCancel(m_conn)) {
                char why[256];
                PQcancel(cancel, why, sizeof why);
                PQfreeCancel(cancel);
            }
        }
        PQfreemem(buffer);
    }
    bool ok = true;
    while (PGresult *result = PQgetResult(m_conn)) {
        if (ok && PQresultStatus(result) != PGRES_COMMAND_OK) {
            takeError(result);
            ok = false;
        }
        PQclear(result);
    }
    if (stop) {
        if (stopped)
            *stopped = true;
        if (ok || m_error.isEmpty())
            m_error = QStringLiteral("stopped");
        return false;
    }
    return ok;
}

bool PgLink::inTransaction() const
{
    return m_conn && PQtransactionStatus(m_conn) != PQTRANS_IDLE;
}

bool PgLink::beginSnapshot()
{
    m_ownSnapshot = false;
    if (inTransaction())
        return true;
    if (!exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY") || !offerSnapshot())
        return false;
    m_ownSnapshot = true;
    return true;
}

void PgLink::endSnapshot()
{
    if (!m_ownSnapshot)
        return;
    m_ownSnapshot = false;
    const QString error = m_error;
    const QByteArray state = m_state;
    // A failed read leaves the transaction aborted; ROLLBACK ends it either way.
    exec("ROLLBACK");
    m_error = error;
    m_state = state;
}

QByteArray pgArray(const std::vector<qint64> &values)
{
    QByteArray out;
    out.reserve(int(values.size()) * 17 + 2);
    out += '{';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        out += QByteArray::number(values[i]);
    }
    out += '}';
    return out;
}

QByteArray pgArray(const QStringList &values)
{
    QByteArray out = "{";
    for (int i = 0; i < values.size(); ++i) {
        if (i)
            out += ',';
        out += '"';
        for (const char c : values[i].toUtf8()) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    out += '}';
    return out;
}

QByteArray pgNumber(qint64 value)
{
    return QByteArray::number(value);
}

QByteArray pgNumber(double value)
{
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    return QByteArray(buffer, int(r.ptr - buffer));
}
