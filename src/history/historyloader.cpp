#include "historyloader.h"

#include <QAtomicInteger>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QVariant>

namespace {

constexpr int kReportEvery = 8192;

QString connectionName()
{
    static QAtomicInteger<quint32> counter;
    return QStringLiteral("tk52k-history-%1").arg(counter.fetchAndAddRelaxed(1));
}

QString failure(const QSqlQuery &query, const QSqlDatabase &db)
{
    // While the server is down the query's own error can be empty.
    const QString text = query.lastError().text().trimmed();
    return text.isEmpty() ? db.lastError().text().trimmed() : text;
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

HistoryLoadResult::Status readRange(const DbSettings &settings, QSqlDatabase &db, const QDateTime &start,
                                    const QDateTime &stop, const HistoryLoadControl &control, HistoryData &rows,
                                    QString &error)
{
    qint64 pid = 0;
    {
        QSqlQuery query(db);
        if (query.exec(QStringLiteral("select pg_backend_pid()")) && query.next())
            pid = query.value(0).toLongLong();
    }

    // Rows of one second keep the order they were recorded in where the
    // table numbers its rows.
    const bool numbered = db.record(QStringLiteral("invoice")).contains(QStringLiteral("id"));
    // The time comes as text: reading it as a date-time costs more than
    // everything else done with a row together.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("select create_time::text, datavaluestr, unitstr, funcstr, frastr from invoice "
                                 "where create_time between ? and ? order by create_time%1")
                      .arg(numbered ? QStringLiteral(", id") : QString()));
    // Bound as text, the bounds are compared as the wall-clock times they
    // show; a bound date-time would be sent in UTC and shifted by the
    // server's time zone.
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    query.addBindValue(start.toString(format));
    query.addBindValue(stop.toString(format));
    if (!query.exec()) {
        error = failure(query, db);
        return HistoryLoadResult::Failed;
    }

    const double span = qMax<qint64>(1, start.secsTo(stop));
    int nextReport = kReportEvery;
    while (query.next()) {
        rows.appendText(query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                        query.value(3).toString(), query.value(4).toString());
        if (rows.rowCount() < nextReport)
            continue;
        nextReport += kReportEvery;
        if (control.cancel && control.cancel->load()) {
            if (pid != 0)
                cancelBackend(settings, pid);
            return HistoryLoadResult::Cancelled;
        }
        if (control.progress) {
            const double done = start.secsTo(rows.time(rows.rowCount() - 1)) / span;
            control.progress(rows.rowCount(), qBound(0.0, done, 1.0));
        }
    }
    if (query.lastError().isValid()) {
        error = failure(query, db);
        return HistoryLoadResult::Failed;
    }
    return HistoryLoadResult::Loaded;
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
            result.status = readRange(settings, db, start, stop, control, *result.rows, result.error);
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
        control.progress = [this](int rows, double fraction) {
            emit progress(rows, static_cast<int>(fraction * 1000));
        };
        // Only this thread touches m_result until the thread has finished.
        m_result = loadHistoryRange(m_settings, m_start, m_stop, control);
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
