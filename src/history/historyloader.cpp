#include "historyloader.h"

#include "store/recordschema.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

namespace {

constexpr int kReportEvery = 8192;

QString connectionName()
{
    static QAtomicInteger<quint32> counter;
    return QStringLiteral("tk52k-history-%1").arg(counter.fetchAndAddRelaxed(1));
}

QString failure(const QSqlQuery &query, const QSqlDatabase &db, int timeoutMs)
{
    // While the server is down the query's own error can be empty.
    QString text = query.lastError().text().trimmed();
    if (text.isEmpty())
        text = db.lastError().text().trimmed();
    // A statement stopped by our own time limit (57014) or a table another
    // session keeps locked (55P03) would otherwise read as a bare server text.
    const QString code = query.lastError().nativeErrorCode();
    if (code == QLatin1String("57014") || code == QLatin1String("55P03"))
        return QCoreApplication::translate("HistoryLoader",
                                           "读取超时：%1 秒内未能读出记录（数据表被锁定或查询过慢）。\n%2")
            .arg(timeoutMs / 1000.0)
            .arg(text);
    return text;
}

// Stops the statement running on the backend `pid`, so that a cancelled
// load does not have to drain the rest of a large result first.
void cancelBackend(const DbSettings &settings, qint64 pid)
{
    const QString name = connectionName();
    {
        QSqlDatabase db = settings.addConnection(name);
        if (db.open()) {
            {
                QSqlQuery query(db);
                query.prepare(QStringLiteral("select pg_cancel_backend(?)"));
                query.addBindValue(pid);
                query.exec();
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
}

constexpr int kFieldCount = 5;
constexpr QChar kSeparator = QChar(0x1f);

// The fields of one row as the server writes a record value as text:
// "(a,b,...)", a field quoted when it holds blanks, commas, quotes,
// backslashes or parentheses (quotes and backslashes then doubled or
// backslash-escaped), a NULL field left empty. Unquoted fields are views
// into `text`; a field with escapes is unescaped into its `scratch` string.
bool splitRecordText(QStringView text, QStringView *fields, QString (&scratch)[kFieldCount])
{
    const int n = int(text.size());
    if (n < 2 || text[0] != u'(' || text[n - 1] != u')')
        return false;
    int at = 1;
    for (int f = 0; f < kFieldCount; ++f) {
        const int begin = at;
        bool quoted = false;
        bool sawQuote = false;
        bool escaped = false;
        // Find the end of the field and whether it needs unescaping.
        for (;;) {
            if (at >= n)
                return false;
            const QChar c = text[at];
            if (quoted) {
                if (c == u'\\') {
                    escaped = true;
                    at += 2;
                } else if (c == u'"' && at + 1 < n && text[at + 1] == u'"') {
                    escaped = true;
                    at += 2;
                } else {
                    quoted = c != u'"';
                    ++at;
                }
                continue;
            }
            if (c == u',' || (c == u')' && at == n - 1))
                break;
            if (c == u'"') {
                escaped = escaped || sawQuote || at != begin;
                sawQuote = quoted = true;
                ++at;
            } else if (c == u'\\') {
                escaped = true;
                at += 2;
            } else {
                ++at;
            }
        }
        QStringView raw = text.mid(begin, at - begin);
        if (sawQuote && !escaped && raw.size() >= 2 && raw.back() == u'"') {
            fields[f] = raw.mid(1, raw.size() - 2);
        } else if (!sawQuote && !escaped) {
            fields[f] = raw;
        } else {
            QString &out = scratch[f];
            out.clear();
            bool inQuotes = false;
            for (int i = 0; i < raw.size(); ++i) {
                const QChar c = raw[i];
                if (c == u'\\' && i + 1 < raw.size()) {
                    out += raw[++i];
                } else if (c == u'"') {
                    if (inQuotes && i + 1 < raw.size() && raw[i + 1] == u'"')
                        out += raw[++i];
                    else
                        inQuotes = !inQuotes;
                } else {
                    out += c;
                }
            }
            fields[f] = out;
        }
        const bool last = f == kFieldCount - 1;
        if (last != (at == n - 1))
            return false;
        ++at; // past the comma or the closing parenthesis
    }
    return at == n;
}

// Splits a joined row text at the unit separators; false unless it holds
// exactly `count` fields (a text holding a separator itself breaks that).
bool splitJoinedText(QStringView text, QStringView (&fields)[kFieldCount + 1], int count)
{
    int f = 0;
    int begin = 0;
    const int n = int(text.size());
    const QChar *p = text.data();
    for (int i = 0; i < n; ++i) {
        if (p[i] != kSeparator)
            continue;
        if (f == count - 1)
            return false;
        fields[f++] = text.mid(begin, i - begin);
        begin = i + 1;
    }
    if (f != count - 1)
        return false;
    fields[f] = text.mid(begin);
    return true;
}

// The meters met while reading, each once. Rows of one meter tend to come
// in runs, so the last one found is tried first.
class SourceSet
{
public:
    void add(QStringView source)
    {
        if (source.isEmpty() || (m_last >= 0 && m_names[m_last] == source))
            return;
        for (int i = 0; i < m_names.size(); ++i) {
            if (m_names[i] == source) {
                m_last = i;
                return;
            }
        }
        m_last = m_names.size();
        m_names << source.toString();
    }
    QStringList sorted() const
    {
        QStringList names = m_names;
        names.sort();
        return names;
    }

private:
    QStringList m_names;
    int m_last = -1;
};

// How each row travels. Row by row, the driver's cost goes with the number
// of cells rather than their size, so the five columns come as one text:
// joined by the unit separator, which no recorded text contains, or, for a
// table whose texts do hold it, as the server's quoted record text (which
// costs the server more to write). Times come as text too: converting each
// to a date-time would cost more than all the rest of a row.
enum class RowText { Joined, Record };

enum class ReadStatus { Loaded, Cancelled, Failed, NeedsRecordText };

struct Session
{
    const DbSettings &settings;
    QSqlDatabase &db;
    qint64 pid = 0;
    bool numbered = false;
    bool hasSource = false;
    int timeoutMs = 0;
};

// The range as the server compares it: from the first second through the
// end of the last, whatever fractions the column keeps; and only the
// meter asked for.
QString rangeCondition(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop, const QString &source)
{
    // Quoted literals, which the server compares as the wall-clock times
    // they show (a bound date-time would be sent in UTC and shifted by the
    // server's time zone). A prepared statement with bound values plans no
    // better and runs slower here.
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

ReadStatus readRange(const Session &session, RowText form, const QDateTime &start, const QDateTime &stop,
                     const HistoryLoadControl &control, HistoryData &rows, SourceSet &sources, QString &error)
{
    // The meter of each row comes along in the joined text, which costs far
    // less than asking for the meters of the range on their own.
    const bool withSource = form == RowText::Joined && session.hasSource;
    const QString columns =
        form == RowText::Joined
            // Every column as text: `frastr` may be an integer column.
            ? QStringLiteral("coalesce(create_time::text, '') || chr(31) || coalesce(datavaluestr::text, '') "
                             "|| chr(31) || coalesce(unitstr::text, '') || chr(31) || coalesce(funcstr::text, '') "
                             "|| chr(31) || coalesce(frastr::text, '')%1")
                  .arg(withSource ? QStringLiteral(" || chr(31) || coalesce(source, '')") : QString())
            : QStringLiteral("row(create_time::text, datavaluestr, unitstr, funcstr, frastr)::text");
    QSqlQuery query(session.db);
    query.setForwardOnly(true);
    // Rows of one second keep the order they were recorded in where the
    // table numbers its rows.
    const QString select =
        QStringLiteral("select %1 from invoice where %2 order by create_time%3")
            .arg(columns, rangeCondition(session.db, start, stop, control.source),
                 session.numbered ? QStringLiteral(", id") : QString());
    if (!query.exec(select)) {
        error = failure(query, session.db, session.timeoutMs);
        return ReadStatus::Failed;
    }

    const double span = qMax<qint64>(1, start.secsTo(stop));
    int nextReport = kReportEvery;
    QStringView fields[kFieldCount + 1];
    QString scratch[kFieldCount];
    while (query.next()) {
        const QString text = query.value(0).toString();
        // The statement that follows on this connection must not meet a
        // late cancel, so the rest of this result is left to drain.
        if (form == RowText::Joined && !splitJoinedText(text, fields, withSource ? kFieldCount + 1 : kFieldCount))
            return ReadStatus::NeedsRecordText;
        if (form == RowText::Record && !splitRecordText(text, fields, scratch)) {
            error = QStringLiteral("unreadable row: %1").arg(text);
            return ReadStatus::Failed;
        }
        rows.appendText(fields[0], fields[1], fields[2], fields[3], fields[4]);
        if (withSource)
            sources.add(fields[kFieldCount]);
        if (rows.rowCount() < nextReport)
            continue;
        nextReport += kReportEvery;
        if (control.cancel && control.cancel->load()) {
            if (session.pid != 0)
                cancelBackend(session.settings, session.pid);
            return ReadStatus::Cancelled;
        }
        if (control.progress) {
            const double done = start.secsTo(rows.time(rows.rowCount() - 1)) / span;
            control.progress(rows.rowCount(), qBound(0.0, done, 1.0));
        }
    }
    if (query.lastError().isValid()) {
        error = failure(query, session.db, session.timeoutMs);
        return ReadStatus::Failed;
    }
    return ReadStatus::Loaded;
}

// The meters of the range, asked on their own where the rows could not
// bring them.
bool readSources(QSqlDatabase &db, const QDateTime &start, const QDateTime &stop, const HistoryLoadControl &control,
                 QStringList &sources, QString &error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("select distinct source from invoice where %1 and source <> '' order by 1")
                        .arg(rangeCondition(db, start, stop, control.source)))) {
        error = failure(query, db, control.timeoutMs);
        return false;
    }
    while (query.next())
        sources << query.value(0).toString();
    return true;
}

HistoryLoadResult::Status readRange(const DbSettings &settings, QSqlDatabase &db, const QDateTime &start,
                                    const QDateTime &stop, const HistoryLoadControl &control, HistoryData &rows,
                                    QString &error, HistoryLoadResult &result)
{
    Session session{settings, db};
    session.timeoutMs = control.timeoutMs;
    {
        QSqlQuery query(db);
        // A read never waits without end for a lock or a runaway statement.
        const QString limit = QString::number(qMax(1, control.timeoutMs));
        if (!query.exec(QStringLiteral("set statement_timeout = ") + limit)
            || !query.exec(QStringLiteral("set lock_timeout = ") + limit)) {
            error = failure(query, db, control.timeoutMs);
            return HistoryLoadResult::Failed;
        }
        if (query.exec(QStringLiteral("select pg_backend_pid()")) && query.next())
            session.pid = query.value(0).toLongLong();
    }
    RecordSchema::TableShape shape;
    RecordSchema::probe(db, &shape);
    session.numbered = shape.hasId;
    result.hasSource = shape.hasSource;
    if (!control.source.isNull() && !shape.hasSource) {
        error = QStringLiteral("the table invoice has no source column, so no meter can be chosen");
        return HistoryLoadResult::Failed;
    }

    session.hasSource = shape.hasSource;

    SourceSet sources;
    RowText form = RowText::Joined;
    ReadStatus status = readRange(session, form, start, stop, control, rows, sources, error);
    if (status == ReadStatus::NeedsRecordText) {
        rows = HistoryData();
        form = RowText::Record;
        status = readRange(session, form, start, stop, control, rows, sources, error);
    }
    switch (status) {
    case ReadStatus::Loaded:
        result.sources = sources.sorted();
        if (shape.hasSource && form == RowText::Record
            && !readSources(db, start, stop, control, result.sources, error))
            return HistoryLoadResult::Failed;
        return HistoryLoadResult::Loaded;
    case ReadStatus::Cancelled:
        return HistoryLoadResult::Cancelled;
    default:
        return HistoryLoadResult::Failed;
    }
}

} // namespace

HistoryLoadResult loadHistoryRange(const DbSettings &settings, const QDateTime &start, const QDateTime &stop,
                                   const HistoryLoadControl &control)
{
    HistoryLoadResult result;
    if (!start.isValid() || !stop.isValid())
        return result;
    if (control.cancel && control.cancel->load()) {
        result.status = HistoryLoadResult::Cancelled;
        return result;
    }

    const QString name = connectionName();
    {
        QSqlDatabase db = settings.addConnection(name);
        if (!db.open()) {
            result.status = HistoryLoadResult::Failed;
            result.error = db.lastError().text().trimmed();
        } else {
            result.status = readRange(settings, db, start, stop, control, *result.rows, result.error, result);
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);

    if (result.status == HistoryLoadResult::Failed)
        result.rows = std::make_shared<HistoryData>();
    else
        result.rows->squeeze();
    return result;
}

HistoryLoader::HistoryLoader(const DbSettings &settings, const QDateTime &start, const QDateTime &stop,
                             QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_start(start)
    , m_stop(stop)
{
}

HistoryLoader::~HistoryLoader()
{
    if (m_thread) {
        m_cancel = true;
        m_thread->wait();
    }
}

void HistoryLoader::start()
{
    if (m_thread)
        return;
    m_running = true;
    m_thread = QThread::create([this] {
        HistoryLoadControl control;
        control.cancel = &m_cancel;
        control.source = m_source;
        control.progress = [this](int rows, double fraction) {
            emit progress(rows, static_cast<int>(fraction * 1000));
        };
        // Only this thread touches m_result until the thread has finished.
        m_result = loadHistoryRange(m_settings, m_start, m_stop, control);
        if (m_result.status == HistoryLoadResult::Failed)
            return;
        m_result.statistics = HistoryStatistics::ofFirstQuantity(*m_result.rows);
        m_result.alarms = loadAlarmEvents(m_settings, m_start, m_stop);
    });
    m_thread->setParent(this);
    connect(m_thread, &QThread::finished, this, &HistoryLoader::onThreadFinished);
    m_thread->start();
}

void HistoryLoader::cancel()
{
    m_cancel = true;
}

void HistoryLoader::onThreadFinished()
{
    if (!m_running)
        return;
    m_running = false;
    emit finished();
}
