#include "recordwriter.h"

#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {
// The identity column orders rows written within the same second; the
// program never writes it. A table made elsewhere with only the five
// columns works as well.
const char *const kCreateTable = R"(
CREATE TABLE IF NOT EXISTS invoice (
    id           bigint GENERATED ALWAYS AS IDENTITY,
    funcstr      text,
    datavaluestr text,
    unitstr      text,
    frastr       text,
    create_time  timestamp without time zone
))";
// Range queries order by time and, where the identity column exists, by it
// next: an index on both lets the server return the rows without sorting.
const char *const kCreateIndex =
    "CREATE INDEX IF NOT EXISTS invoice_create_time_idx ON invoice (create_time)";
const char *const kCreateIndexWithId =
    "CREATE INDEX IF NOT EXISTS invoice_create_time_id_idx ON invoice (create_time, id)";
const char *const kHasIdColumn = "SELECT 1 FROM information_schema.columns "
                                 "WHERE table_schema = current_schema() AND table_name = 'invoice' "
                                 "AND column_name = 'id'";
const char *const kInsert =
    "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) VALUES (?, ?, ?, ?, ?)";

constexpr int kRetryMs = 3000;         // reconnect period while the server is away
constexpr int kFinishingRetryMs = 250; // ... while the program is closing
constexpr int kIdleCheckMs = 5000;     // liveness check of an idle connection
constexpr int kBatchSize = 200;

// A dead peer must not hold a statement for minutes: the kernel gives up on
// unacknowledged data after 10 s, keep-alives notice a silent peer.
const char *const kWriterConnectOptions =
    ";keepalives=1;keepalives_idle=5;keepalives_interval=2;keepalives_count=2;tcp_user_timeout=10000";

QString nextConnectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("tk52k-writer-%1").arg(++counter);
}
} // namespace

RecordWriter::RecordWriter(const DbSettings &settings, QObject *parent)
    : QThread(parent), m_settings(settings), m_connectionName(nextConnectionName())
{}

RecordWriter::~RecordWriter()
{
    abandon();
    wait();
}

void RecordWriter::enqueue(const MeasurementRecord &record)
{
    QMutexLocker lock(&m_mutex);
    const JournaledRecord r{++m_lastSeq, record};
    m_queue.push_back(r);
    // Under the queue's lock, so the journal sees the records in their order.
    if (m_journal)
        m_journal->append(r);
    m_wake.wakeAll();
}

bool RecordWriter::openJournal(const QString &dir, QString *error)
{
    auto journal = std::make_unique<RecordJournal>();
    JournalBacklog backlog;
    if (!journal->open(dir, &backlog, error))
        return false;

    QMutexLocker lock(&m_mutex);
    // The earlier runs' records first, then those handed over before now,
    // numbered anew in that order.
    JournaledRecords all = backlog.records;
    for (const JournaledRecord &r : m_queue)
        all.append(JournaledRecord{all.size() + 1, r.record});
    // Without a journal of ours the earlier records stay where they are.
    if (!journal->start(all, backlog.uncertainXid, backlog.uncertainLastSeq, error))
        return false;
    m_queue.assign(all.cbegin(), all.cend());
    m_lastSeq = all.size();
    m_uncertainXid = backlog.uncertainXid;
    m_uncertainLastSeq = backlog.uncertainLastSeq;
    m_journal = std::move(journal);
    return true;
}

void RecordWriter::closeJournal()
{
    if (m_journal)
        m_journal->close();
}

bool RecordWriter::isDurable() const
{
    QMutexLocker lock(&m_mutex);
    return m_queue.empty() || (m_journal && m_journal->isDurable());
}

int RecordWriter::pendingCount() const
{
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_queue.size());
}

void RecordWriter::finish()
{
    QMutexLocker lock(&m_mutex);
    m_finishing = true;
    m_wake.wakeAll();
}

void RecordWriter::abandon()
{
    QMutexLocker lock(&m_mutex);
    m_abandon = true;
    m_wake.wakeAll();
}

void RecordWriter::run()
{
    {
        QSqlDatabase db = m_settings.addConnection(m_connectionName);
        db.setConnectOptions(db.connectOptions() + QLatin1String(kWriterConnectOptions));

        QDeadlineTimer retryAt(0); // expired: connect at once
        QDeadlineTimer idleCheckAt(kIdleCheckMs);
        while (waitForWork(db.isOpen(), retryAt, idleCheckAt)) {
            const auto lost = [&] {
                db.close();
                setConnected(false);
                QMutexLocker lock(&m_mutex);
                retryAt.setRemainingTime(m_finishing ? kFinishingRetryMs : kRetryMs);
            };

            if (!db.isOpen() && !connectDatabase(db)) {
                lost();
                continue;
            }

            const Outcome settled = settleUncertain(db);
            if (settled == Outcome::Failed) {
                lost();
                continue;
            }
            setConnected(true);
            if (settled == Outcome::Wait) {
                // The old session still holds the transaction open; ask again later.
                QMutexLocker lock(&m_mutex);
                m_wake.wait(&m_mutex, kFinishingRetryMs);
                continue;
            }

            JournaledRecords batch;
            {
                QMutexLocker lock(&m_mutex);
                const int n = std::min<int>(kBatchSize, static_cast<int>(m_queue.size()));
                batch = JournaledRecords(m_queue.cbegin(), m_queue.cbegin() + n);
            }

            if (batch.isEmpty()) {
                // Idle: a cheap statement keeps the shown state honest.
                idleCheckAt.setRemainingTime(kIdleCheckMs);
                QSqlQuery ping(db);
                if (!ping.exec(QStringLiteral("SELECT 1")))
                    lost();
                continue;
            }

            if (writeBatch(db, batch) == Outcome::Done)
                dropWritten(batch.last().seq);
            else
                lost();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
    setConnected(false);
}

bool RecordWriter::waitForWork(bool open, QDeadlineTimer &retryAt, const QDeadlineTimer &idleCheckAt)
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        if (m_abandon || (m_finishing && m_queue.empty()))
            return false;
        if (m_finishing && retryAt.remainingTime() > kFinishingRetryMs)
            retryAt.setRemainingTime(0);
        if (open && !m_queue.empty())
            return true;
        if (!open && retryAt.hasExpired())
            return true;
        if (open && idleCheckAt.hasExpired())
            return true;
        m_wake.wait(&m_mutex, open ? idleCheckAt : retryAt);
    }
}

bool RecordWriter::connectDatabase(QSqlDatabase &db)
{
    if (db.open())
        return prepareSchema(db);
    // The login may work while the database does not exist yet.
    if (!createDatabase())
        return false;
    return db.open() && prepareSchema(db);
}

bool RecordWriter::createDatabase()
{
    const QString adminName = m_connectionName + QLatin1String("-admin");
    bool created = false;
    {
        DbSettings admin = m_settings;
        admin.databaseName = QStringLiteral("postgres");
        QSqlDatabase db = admin.addConnection(adminName);
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT 1 FROM pg_database WHERE datname = ?"));
            q.addBindValue(m_settings.databaseName);
            if (q.exec() && !q.next()) {
                const QString name =
                    db.driver()->escapeIdentifier(m_settings.databaseName, QSqlDriver::TableName);
                // Another program may create it at the same moment; either way it exists now.
                QSqlQuery create(db);
                create.exec(QStringLiteral("CREATE DATABASE %1").arg(name));
                created = true;
            }
        }
    }
    QSqlDatabase::removeDatabase(adminName);
    return created;
}

bool RecordWriter::prepareSchema(QSqlDatabase &db)
{
    const auto exists = [&db](const char *relation) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT to_regclass(?) IS NOT NULL"));
        q.addBindValue(QLatin1String(relation));
        return q.exec() && q.next() && q.value(0).toBool();
    };
    // Asking first keeps the server's "already exists" notices out of the
    // program's output.
    if (!exists("invoice")) {
        QSqlQuery q(db);
        // A concurrent creator may win the race with a unique violation; what
        // matters is that the table is there now.
        if (!q.exec(QLatin1String(kCreateTable)) && !exists("invoice"))
            return false;
    }
    QSqlQuery hasId(db);
    const bool withId = hasId.exec(QLatin1String(kHasIdColumn)) && hasId.next();
    const char *const index = withId ? "invoice_create_time_id_idx" : "invoice_create_time_idx";
    if (!exists(index)) {
        // Without rights on a table made elsewhere the index may fail; the
        // store works without it.
        QSqlQuery q(db);
        q.exec(QLatin1String(withId ? kCreateIndexWithId : kCreateIndex));
    }
    return true;
}

RecordWriter::Outcome RecordWriter::settleUncertain(QSqlDatabase &db)
{
    qint64 xid = 0;
    qint64 lastSeq = 0;
    {
        QMutexLocker lock(&m_mutex);
        xid = m_uncertainXid;
        lastSeq = m_uncertainLastSeq;
    }
    if (xid == 0)
        return Outcome::Done;

    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT txid_status(?)"));
    q.addBindValue(xid);
    QString status;
    if (q.exec() && q.next()) {
        status = q.value(0).toString();
    } else {
        // The server refuses an id it never handed out (another server, or
        // one set up anew since): no answer will ever come. A failure of the
        // connection itself shows in the next statement.
        QSqlQuery ping(db);
        if (!ping.exec(QStringLiteral("SELECT 1")))
            return Outcome::Failed;
    }
    if (status == QLatin1String("in progress"))
        return Outcome::Wait;

    {
        QMutexLocker lock(&m_mutex);
        m_uncertainXid = 0;
        m_uncertainLastSeq = 0;
    }
    // "aborted", or no answer for a transaction too old to be remembered:
    // writing the records again risks a duplicate, dropping them risks a loss.
    if (status == QLatin1String("committed"))
        dropWritten(lastSeq);
    return Outcome::Done;
}

RecordWriter::Outcome RecordWriter::writeBatch(QSqlDatabase &db, const JournaledRecords &batch)
{
    if (!db.transaction())
        return Outcome::Failed;
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT txid_current()")) || !q.next()) {
        db.rollback();
        return Outcome::Failed;
    }
    const qint64 xid = q.value(0).toLongLong();

    q.prepare(QLatin1String(kInsert));
    for (const JournaledRecord &j : batch) {
        const MeasurementRecord &r = j.record;
        q.addBindValue(r.funcStr);
        q.addBindValue(r.valueText);
        q.addBindValue(r.unitStr);
        q.addBindValue(r.rangeText());
        q.addBindValue(r.timeText());
        if (!q.exec()) {
            db.rollback();
            return Outcome::Failed;
        }
    }
    // Should the program die once the COMMIT is out, the next start finds
    // the transaction in the journal and asks the server about it.
    if (m_journal)
        m_journal->beginCommit(xid, batch.first().seq, batch.last().seq);
    if (!db.commit()) {
        // The server may have committed before the connection broke. Until it
        // says otherwise these records count as written-or-not.
        QMutexLocker lock(&m_mutex);
        m_uncertainXid = xid;
        m_uncertainLastSeq = batch.last().seq;
        return Outcome::Failed;
    }
    return Outcome::Done;
}

void RecordWriter::dropWritten(qint64 lastSeq)
{
    {
        QMutexLocker lock(&m_mutex);
        while (!m_queue.empty() && m_queue.front().seq <= lastSeq)
            m_queue.pop_front();
    }
    if (m_journal)
        m_journal->committed(lastSeq);
    emit stateChanged();
}

void RecordWriter::setConnected(bool connected)
{
    if (m_connected.exchange(connected) != connected)
        emit stateChanged();
}
