#include "recordjournal.h"

#include "core/store/journalfile.h"
#include "core/store/recordschema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>

// The file is text, one entry per line, fields separated by tabs; a backslash
// escapes tab, line feed, carriage return and itself inside a field:
//
//   tk52k-journal <TAB> 1                        header
//   R <seq> <func> <value> <unit> <range> <time> [<source>]  a record
//   B <xid> <first seq> <last seq> [<server>]    this transaction is about to commit
//                                                on that server and database
//   C <seq>                                      every record up to seq is committed
//   A <file name>                                that journal was taken over
//
// A line counts only when its line feed was written, so a line torn by a
// crash is recognised and ignored.

namespace {
using JournalFile::appendEscaped;
using JournalFile::escaped;
using JournalFile::lockPathOf;
using JournalFile::positive;
using JournalFile::unescaped;

const QByteArray kHeader = QByteArrayLiteral("tk52k-journal\t1\n");
const QString kSharedName = QStringLiteral("pending-readings.journal");
const QString kNamePattern = QStringLiteral("pending-readings*.journal");
const QString kQuarantineName = QStringLiteral("rejected-readings.txt");
const QString kDamagedName = QStringLiteral("damaged-readings.txt");

// The names this program gives its journals: the shared one and those of a
// second copy (process id, time, counter). Nothing else in the folder is
// ever taken over or removed.
bool isJournalName(const QString &name)
{
    static const QRegularExpression own(
        QStringLiteral("^pending-readings(-[0-9]+-[0-9]+-[0-9]+)?\\.journal$"));
    return own.match(name).hasMatch();
}

// Built in one buffer: the logger's thread writes one of these per reading.
QByteArray recordLine(const JournaledRecord &r)
{
    const MeasurementRecord &m = r.record;
    QByteArray line;
    line.reserve(80 + m.source.size());
    line += "R\t";
    line += QByteArray::number(r.seq);
    line += '\t';
    appendEscaped(line, m.funcStr);
    line += '\t';
    appendEscaped(line, m.valueText);
    line += '\t';
    appendEscaped(line, m.unitStr);
    line += '\t';
    line += QByteArray::number(m.rangeIndex);
    line += '\t';
    line += m.timeText().toLatin1();
    if (!m.source.isEmpty()) {
        line += '\t';
        appendEscaped(line, m.source);
    }
    line += '\n';
    return line;
}

// Journals of earlier versions name no server.
QByteArray beginLine(qint64 xid, qint64 firstSeq, qint64 lastSeq, const QString &server)
{
    QByteArray line = "B\t" + QByteArray::number(xid) + '\t' + QByteArray::number(firstSeq) + '\t' +
                      QByteArray::number(lastSeq);
    if (!server.isEmpty()) {
        line += '\t';
        appendEscaped(line, server);
    }
    return line + '\n';
}

// What one journal file says, in its own numbering.
struct ParsedJournal
{
    JournaledRecords records;
    qint64 committedSeq = 0;
    qint64 beginXid = 0;
    qint64 beginFirst = 0;
    qint64 beginLast = 0;
    QString beginServer;
    QStringList adopted;
    QByteArray damaged; // the lines not taken, each with its line feed
    int damagedLines = 0;
};

// `plausible`: only readings the program could have made count (the
// quarantine holds what the server refused, whatever it was).
bool parseLine(const QByteArray &line, ParsedJournal *p, bool plausible = true)
{
    const QList<QByteArray> f = line.split('\t');
    const QByteArray &kind = f.first();
    // The meter's name, the eighth field, came later and may be missing.
    if (kind == "R" && (f.size() == 7 || f.size() == 8)) {
        JournaledRecord r;
        bool rangeOk = false;
        r.record.rangeIndex = f.at(5).toInt(&rangeOk);
        // Journals of earlier versions hold whole seconds.
        r.record.time = RecordSchema::timeFromText(QString::fromLatin1(f.at(6)));
        if (!positive(f.at(1), &r.seq) || !rangeOk || !r.record.time.isValid() ||
            !unescaped(f.at(2), &r.record.funcStr) || !unescaped(f.at(3), &r.record.valueText) ||
            !unescaped(f.at(4), &r.record.unitStr) ||
            (f.size() == 8 && !unescaped(f.at(7), &r.record.source)))
            return false;
        // Numbers only grow; anything else is not a line this program wrote.
        if (!p->records.isEmpty() && r.seq <= p->records.last().seq)
            return false;
        // Nor is a reading the meter and the decoder could never have given.
        if (plausible && !r.record.implausibility().isEmpty())
            return false;
        p->records.append(r);
        return true;
    }
    if (kind == "B" && (f.size() == 4 || f.size() == 5)) {
        qint64 xid = 0, first = 0, last = 0;
        QString server;
        if (!positive(f.at(1), &xid) || !positive(f.at(2), &first) || !positive(f.at(3), &last) ||
            last < first || (f.size() == 5 && !unescaped(f.at(4), &server)))
            return false;
        p->beginServer = server;
        p->beginXid = xid;
        p->beginFirst = first;
        p->beginLast = last;
        return true;
    }
    if (kind == "C" && f.size() == 2) {
        qint64 seq = 0;
        if (!positive(f.at(1), &seq))
            return false;
        p->committedSeq = std::max(p->committedSeq, seq);
        return true;
    }
    if (kind == "A" && f.size() == 2) {
        QString name;
        if (!unescaped(f.at(1), &name) || !isJournalName(name))
            return false;
        p->adopted << name;
        return true;
    }
    return false;
}

// Reads the journal at `path` into `tail`, numbered 1..n. A missing file is
// empty; a file that cannot be read gives false and stays untouched.
bool readJournal(const QString &path, JournalBacklog *tail, QStringList *adopted)
{
    *tail = JournalBacklog();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("tk52k: cannot read %s: %s", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    const QByteArray data = file.readAll();
    file.close();
    if (data.isEmpty())
        return true;
    if (!data.startsWith(kHeader)) {
        // Not written by this program: keep its bytes, out of the way.
        const QString aside = path + QLatin1String(".damaged-") +
                              QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
        QFile::rename(path, aside);
        qWarning("tk52k: %s is not a journal of this program; kept as %s", qPrintable(path),
                 qPrintable(aside));
        return true;
    }

    ParsedJournal p;
    int start = kHeader.size();
    while (start < data.size()) {
        const int end = data.indexOf('\n', start);
        // No line feed: the program died while writing this last line.
        if (end < 0)
            break;
        const QByteArray line = data.mid(start, end - start);
        // An empty line closes off a line cut short by a failed write.
        if (!line.isEmpty() && !parseLine(line, &p)) {
            ++p.damagedLines;
            p.damaged += line + '\n';
        }
        start = end + 1;
    }

    JournaledRecords pending;
    for (const JournaledRecord &r : p.records) {
        if (r.seq > p.committedSeq)
            pending.append(r);
    }
    qint64 uncertainCount = 0;
    if (p.beginXid != 0 && p.beginLast > p.committedSeq) {
        // The writer works in order: the unconfirmed transaction starts right
        // after the last committed record.
        if (!pending.isEmpty() && pending.first().seq < p.beginFirst) {
            ++p.damagedLines;
        } else {
            tail->uncertainXid = p.beginXid;
            tail->uncertainServer = p.beginServer;
            for (const JournaledRecord &r : pending)
                uncertainCount += r.seq <= p.beginLast ? 1 : 0;
        }
    }
    tail->uncertainLastSeq = uncertainCount;
    if (tail->uncertainLastSeq == 0) {
        tail->uncertainXid = 0;
        tail->uncertainServer.clear();
    }
    for (int i = 0; i < pending.size(); ++i)
        tail->records.append(JournaledRecord{i + 1, pending.at(i).record});
    *adopted = p.adopted;

    if (p.damagedLines > 0) {
        // Kept, but never written to the table: they go on by hand or not at all.
        const QString damagedPath = RecordJournal::damagedPath(QFileInfo(path).absolutePath());
        QString error;
        if (!FileSync::appendAndSync(damagedPath, p.damaged, &error))
            qWarning("tk52k: cannot keep the damaged journal lines in %s: %s", qPrintable(damagedPath),
                     qPrintable(error));
        qWarning("tk52k: %d lines of %s are not readings this program could have written; moved to %s",
                 p.damagedLines, qPrintable(path), qPrintable(damagedPath));
        tail->damagedLines = p.damagedLines;
    }
    return true;
}

void raiseTo(std::atomic<qint64> &value, qint64 to)
{
    qint64 now = value.load();
    while (now < to && !value.compare_exchange_weak(now, to)) {
    }
}

} // namespace

RecordJournal::RecordJournal(FileFactory files) : m_files(std::move(files))
{
    if (!m_files)
        m_files = [] { return std::make_unique<FileSync::AppendFile>(); };
    m_clock.start();
}

RecordJournal::~RecordJournal()
{
    close();
}

QString RecordJournal::directory()
{
    if (qEnvironmentVariableIsSet("TK52K_SPOOL_DIR"))
        return qEnvironmentVariable("TK52K_SPOOL_DIR");
    // The same folder on Linux; on Windows the local, not the roaming one:
    // a journal belongs to this computer's meters and must not follow the
    // user around.
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

bool RecordJournal::takeOwnFile(const QString &dir, QString *error)
{
    QString path;
    const qint64 lock = JournalFile::takeFile(dir, QStringLiteral("pending-readings"), &path);
    if (lock < 0) {
        *error = QStringLiteral("cannot lock a journal in %1").arg(dir);
        return false;
    }
    m_path = path;
    m_lock = lock;
    return true;
}

bool RecordJournal::open(const QString &dir, JournalBacklog *backlog, QString *error)
{
    *backlog = JournalBacklog();
    // The readings of the user's meters are nobody else's business.
    if (!FileSync::makePrivateFolder(dir, error))
        return false;
    if (!takeOwnFile(dir, error))
        return false;

    QVector<JournalBacklog> parts;
    JournalBacklog own;
    QStringList adoptedEarlier;
    if (!readJournal(m_path, &own, &adoptedEarlier)) {
        *error = QStringLiteral("cannot read %1").arg(m_path);
        return false;
    }
    parts << own;
    const QDir folder(dir);
    // Journals taken over just before a crash: their readings are in ours.
    for (const QString &name : adoptedEarlier) {
        const QString path = folder.filePath(name);
        const qint64 lock = path != m_path ? FileSync::tryLock(lockPathOf(path)) : -1;
        if (lock >= 0) {
            QFile::remove(path);
            QFile::remove(lockPathOf(path));
            FileSync::unlock(lock);
        }
    }

    bool haveUncertain = own.uncertainXid != 0;
    for (const QString &name : folder.entryList({kNamePattern}, QDir::Files, QDir::Name)) {
        const QString path = folder.filePath(name);
        if (path == m_path || !isJournalName(name))
            continue;
        const qint64 lock = FileSync::tryLock(lockPathOf(path));
        if (lock < 0)
            continue; // its program still runs
        JournalBacklog tail;
        QStringList ignored;
        // The writer settles one unconfirmed transaction at a time; a second
        // one waits in its file for the next start.
        if (!readJournal(path, &tail, &ignored) || (tail.uncertainXid != 0 && haveUncertain)) {
            FileSync::unlock(lock);
            continue;
        }
        haveUncertain = haveUncertain || tail.uncertainXid != 0;
        parts << tail;
        m_adopted << JournalFile::Taken{path, lock};
    }

    // The records of an unconfirmed transaction must lead the queue.
    std::stable_partition(parts.begin(), parts.end(),
                          [](const JournalBacklog &b) { return b.uncertainXid != 0; });
    qint64 seq = 0;
    for (const JournalBacklog &part : parts) {
        if (part.uncertainXid != 0) {
            backlog->uncertainXid = part.uncertainXid;
            backlog->uncertainServer = part.uncertainServer;
            backlog->uncertainLastSeq = seq + part.uncertainLastSeq;
        }
        backlog->damagedLines += part.damagedLines;
        for (const JournaledRecord &r : part.records)
            backlog->records.append(JournaledRecord{++seq, r.record});
    }
    return true;
}

bool RecordJournal::start(const JournaledRecords &records, qint64 uncertainXid, qint64 uncertainLastSeq,
                          QString *error, const QString &uncertainServer)
{
    QByteArray content = kHeader;
    // Should the program die before the files taken over are removed, the
    // next start knows them as read.
    content += JournalFile::takenLines(m_adopted);
    if (uncertainXid != 0)
        content += beginLine(uncertainXid, records.isEmpty() ? 1 : records.first().seq, uncertainLastSeq,
                             uncertainServer);
    for (const JournaledRecord &r : records)
        content += recordLine(r);

    QString why;
    if (!FileSync::replaceFile(m_path, content, &why)) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, why);
        return false;
    }
    JournalFile::release(&m_adopted, true);

    QMutexLocker fileLock(&m_fileMutex);
    m_file = m_files();
    if (!m_file->open(m_path, false, &why)) {
        m_file.reset();
        publishLocked();
        *error = QStringLiteral("cannot open %1: %2").arg(m_path, why);
        return false;
    }
    m_headerSize = kHeader.size();
    m_fileBytes = content.size();
    publishLocked();
    const qint64 last = records.isEmpty() ? 0 : records.last().seq;
    m_lastAppended = last;
    m_written = last;
    m_durable = last;
    m_committed = records.isEmpty() ? last : records.first().seq - 1;
    // The first record after a quiet spell is flushed at once.
    m_lastSyncMs = m_clock.elapsed() - kSyncIntervalMs;
    m_flusher = QThread::create([this] { flushLoop(); });
    m_flusher->setObjectName(QStringLiteral("tk52k-journal"));
    m_flusher->start();
    return true;
}

void RecordJournal::append(const JournaledRecord &record)
{
    {
        QMutexLocker lock(&m_pendingMutex);
        if (m_stopping)
            return;
        m_pending.append(record);
        m_lastAppended = record.seq;
    }
    // Written here and now, unless the flusher has the file (it is flushing,
    // and writes what waits as soon as it is done): waking it for every
    // record would cost a thread switch per reading, on a logger that runs
    // on a small board for months. It only needs to know when a flush is due.
    if (m_fileMutex.tryLock()) {
        if (!m_file) { // not started: start() hands the flusher what waits
            m_fileMutex.unlock();
            return;
        }
        const bool wasDurable = m_written.load() <= m_durable.load();
        writePendingLocked();
        const bool due = wasDurable && m_written.load() > m_durable.load();
        m_fileMutex.unlock();
        if (!due)
            return;
        // A flusher that waits for a time of its own flushes this record
        // then, in time; only one waiting for nothing needs telling.
        QMutexLocker lock(&m_pendingMutex);
        if (!m_flusherIdle)
            return;
    }
    // Told after the lock is let go, the flusher does not wake only to wait
    // for it.
    m_wake.wakeOne();
}

void RecordJournal::flushLoop()
{
    for (;;) {
        bool stop = false;
        {
            QMutexLocker lock(&m_pendingMutex);
            for (;;) {
                stop = m_stopping;
                if (stop || !m_pending.isEmpty())
                    break;
                const qint64 wait = m_lastSyncMs.load() + kSyncIntervalMs - m_clock.elapsed();
                if (m_written.load() > m_durable.load()) {
                    if (wait <= 0)
                        break;
                    m_wake.wait(&m_pendingMutex, static_cast<unsigned long>(wait));
                } else if (wait > 0) {
                    // Within an interval of the last flush the next one is
                    // due when the interval ends: waiting for that rather
                    // than for a record, a steady stream of them costs one
                    // wake-up per flush instead of two.
                    m_wake.wait(&m_pendingMutex, static_cast<unsigned long>(wait));
                } else {
                    m_flusherIdle = true;
                    m_wake.wait(&m_pendingMutex);
                    m_flusherIdle = false;
                }
            }
        }
        QMutexLocker fileLock(&m_fileMutex);
        // Written at once, the records outlive the program; flushed at most
        // kSyncIntervalMs later, they outlive the computer.
        writePendingLocked();
        if (m_written.load() > m_durable.load() &&
            (stop || m_clock.elapsed() - m_lastSyncMs.load() >= kSyncIntervalMs))
            syncLocked();
        if (stop)
            return;
    }
}

void RecordJournal::writePendingLocked()
{
    JournaledRecords batch;
    {
        QMutexLocker lock(&m_pendingMutex);
        batch.swap(m_pending);
    }
    if (batch.isEmpty() || !m_file)
        return;
    QByteArray bytes;
    for (const JournaledRecord &r : qAsConst(batch))
        bytes += recordLine(r);
    if (m_state != State::Healthy) {
        // Kept for readBack() until the writer has settled the failure.
        if (m_state == State::Failed)
            m_unwritten += batch;
        return;
    }
    if (writeLocked(bytes))
        m_written = batch.last().seq;
    else
        m_unwritten += batch;
}

bool RecordJournal::writeLocked(const QByteArray &bytes)
{
    if (m_state != State::Healthy)
        return false;
    if (m_file->append(bytes)) {
        m_fileBytes += bytes.size();
        return true;
    }
    // The file may now end in half a line and lack the notes that settle
    // what is committed: from here on it says nothing until the writer has
    // discarded it (see discard()).
    qWarning("tk52k: cannot write the journal %s: %s", qPrintable(m_path), qPrintable(m_file->errorText()));
    m_state = State::Failed;
    m_fileBytes = -1; // how much of the line went in is not known
    publishLocked();
    if (m_onFailure)
        m_onFailure();
    return false;
}

bool RecordJournal::syncLocked()
{
    // Only what is in the file now is covered by this flush; records written
    // while it runs wait for the next one.
    const qint64 written = m_written.load();
    m_lastSyncMs = m_clock.elapsed();
    if (m_state != State::Healthy)
        return false;
    if (!m_file->sync()) {
        qWarning("tk52k: cannot flush the journal %s: %s", qPrintable(m_path), qPrintable(m_file->errorText()));
        m_state = State::Failed;
        publishLocked();
        if (m_onFailure)
            m_onFailure();
        return false;
    }
    raiseTo(m_durable, written);
    return true;
}

bool RecordJournal::cutLocked(bool warn)
{
    if (m_file->truncate(m_headerSize)) {
        m_fileBytes = m_headerSize;
        return true;
    }
    if (warn)
        qWarning("tk52k: cannot cut the journal %s: %s", qPrintable(m_path), qPrintable(m_file->errorText()));
    m_fileBytes = -1;
    return false;
}

bool RecordJournal::beginCommit(qint64 xid, qint64 firstSeq, qint64 lastSeq, const QString &server)
{
    QMutexLocker fileLock(&m_fileMutex);
    if (!m_file || m_state == State::Discarded)
        return true; // the file holds none of these records
    writePendingLocked();
    return writeLocked(beginLine(xid, firstSeq, lastSeq, server)) && syncLocked();
}

void RecordJournal::flush()
{
    QMutexLocker fileLock(&m_fileMutex);
    if (!m_file)
        return;
    writePendingLocked();
    syncLocked();
}

bool RecordJournal::hasFailed() const
{
    // Read without the file's lock: a flush holds that for as long as the
    // disk takes, and the meter's thread asks at every reading.
    return m_failed.load();
}

bool RecordJournal::isSafe() const
{
    return m_safe.load();
}

qint64 RecordJournal::fileBytes() const
{
    const qint64 bytes = m_fileBytes.load();
    return bytes >= 0 ? bytes : QFileInfo(m_path).size();
}

void RecordJournal::publishLocked()
{
    m_failed = m_state == State::Failed;
    m_safe = !m_file || m_state == State::Healthy;
}

void RecordJournal::discard()
{
    QMutexLocker fileLock(&m_fileMutex);
    if (!m_file)
        return;
    // Cutting the file frees its space, so this works on a full disk too.
    // Left in place, records the server has committed since would come back
    // at the next start without a note saying so.
    cutLocked();
    m_state = State::Discarded;
    publishLocked();
    m_unwritten.clear();
    m_readOffset = 0;
    QMutexLocker lock(&m_pendingMutex);
    m_pending.clear();
}

bool RecordJournal::rewrite(const JournaledRecords &records, qint64 uncertainXid, qint64 uncertainLastSeq,
                            const QString &uncertainServer)
{
    QMutexLocker fileLock(&m_fileMutex);
    if (!m_file)
        return false;
    {
        // The caller holds back appends; what waits here is in `records`.
        QMutexLocker lock(&m_pendingMutex);
        m_pending.clear();
    }
    QByteArray bytes;
    // The unconfirmed transaction's note leads, as it does after start().
    if (uncertainXid != 0 && !records.isEmpty())
        bytes += beginLine(uncertainXid, records.first().seq, uncertainLastSeq, uncertainServer);
    for (const JournaledRecord &r : records)
        bytes += recordLine(r);
    m_unwritten.clear();
    m_readOffset = 0;
    m_state = State::Healthy;
    publishLocked();
    if (cutLocked() && writeLocked(bytes) && m_file->sync()) {
        const qint64 last = records.isEmpty() ? m_lastAppended.load() : records.last().seq;
        m_written = last;
        raiseTo(m_durable, last);
        return true;
    }
    cutLocked();
    m_state = State::Discarded;
    publishLocked();
    return false;
}

JournaledRecords RecordJournal::readBack(qint64 firstSeq, int count)
{
    QMutexLocker fileLock(&m_fileMutex);
    JournaledRecords out;
    if (!m_file)
        return out;
    writePendingLocked();
    qint64 next = firstSeq;
    QFile file(m_path);
    if (m_state != State::Discarded && file.open(QIODevice::ReadOnly) && file.seek(m_readOffset)) {
        qint64 offset = m_readOffset;
        while (out.size() < count) {
            const QByteArray line = file.readLine();
            // A line without its line feed was cut short by a failed write.
            if (!line.endsWith('\n'))
                break;
            offset += line.size();
            ParsedJournal p;
            // Lines this run wrote itself: no need to judge them again.
            if (!parseLine(line.chopped(1), &p, false) || p.records.isEmpty() || p.records.first().seq < next)
                continue;
            if (p.records.first().seq != next)
                break;
            out.append(p.records.first());
            ++next;
            if (m_state == State::Healthy)
                m_readOffset = offset;
        }
    }
    for (const JournaledRecord &r : qAsConst(m_unwritten)) {
        if (out.size() == count)
            break;
        if (r.seq == next) {
            out.append(r);
            ++next;
        }
    }
    return out;
}

void RecordJournal::committed(qint64 lastSeq)
{
    raiseTo(m_committed, lastSeq);
    QMutexLocker fileLock(&m_fileMutex);
    if (!m_file)
        return;
    writePendingLocked();
    bool everything = false;
    {
        QMutexLocker lock(&m_pendingMutex);
        everything = m_pending.isEmpty() && lastSeq >= m_lastAppended.load();
    }
    // Everything in the file is committed: keep it short. Should the cut not
    // reach the disk, the last transaction note is still settled with the
    // server at the next start.
    if (m_state != State::Healthy) {
        // Nothing more is written until the writer has settled the failure.
    } else if (everything && cutLocked(false)) {
        m_readOffset = 0;
        raiseTo(m_written, lastSeq);
    } else {
        // Not flushed: without it the transaction note settles the question.
        writeLocked("C\t" + QByteArray::number(lastSeq) + '\n');
    }
    raiseTo(m_durable, lastSeq);
    // Records written here on the way still need their flush; a flusher
    // waiting for its next interval gives them that anyway.
    bool tell = false;
    if (m_written.load() > m_durable.load()) {
        QMutexLocker lock(&m_pendingMutex);
        tell = m_flusherIdle;
    }
    if (tell)
        m_wake.wakeAll();
}

bool RecordJournal::isDurable() const
{
    return m_durable.load() >= m_lastAppended.load();
}

void RecordJournal::close()
{
    {
        QMutexLocker lock(&m_pendingMutex);
        m_stopping = true;
        m_wake.wakeAll();
    }
    if (m_flusher) {
        m_flusher->wait();
        delete m_flusher;
        m_flusher = nullptr;
    }
    bool removed = false;
    {
        QMutexLocker fileLock(&m_fileMutex);
        if (m_file) {
            writePendingLocked();
            if (m_written.load() > m_durable.load())
                syncLocked();
            m_file.reset();
            publishLocked();
            if (m_committed.load() >= m_lastAppended.load())
                removed = QFile::remove(m_path);
        }
    }
    JournalFile::release(&m_adopted, false);
    // The shared journal's lock file stays for good; one of a second copy
    // goes with its journal.
    if (removed && QFileInfo(m_path).fileName() != kSharedName)
        QFile::remove(lockPathOf(m_path));
    FileSync::unlock(m_lock);
    m_lock = -1;
}

QString RecordJournal::quarantinePath(const QString &dir)
{
    return QDir(dir).filePath(kQuarantineName);
}

QString RecordJournal::damagedPath(const QString &dir)
{
    return QDir(dir).filePath(kDamagedName);
}

bool RecordJournal::quarantine(const QString &dir, const QVector<RejectedRecord> &rejected, QString *error)
{
    QByteArray bytes;
    for (const RejectedRecord &r : rejected)
        bytes += recordLine(JournaledRecord{1, r.record}).chopped(1) + '\t' + escaped(r.reason) + '\n';
    const QString path = quarantinePath(dir);
    QString why;
    if (FileSync::appendAndSync(path, bytes, &why))
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, why);
    return false;
}

QVector<RejectedRecord> RecordJournal::readQuarantine(const QString &dir)
{
    QVector<RejectedRecord> out;
    QFile file(quarantinePath(dir));
    if (!file.open(QIODevice::ReadOnly))
        return out;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break;
        line.chop(1);
        const int cut = line.lastIndexOf('\t');
        RejectedRecord r;
        ParsedJournal p;
        if (cut < 0 || !unescaped(line.mid(cut + 1), &r.reason) || !parseLine(line.left(cut), &p, false) ||
            p.records.isEmpty()) {
            qWarning("tk52k: skipped a damaged line of %s", qPrintable(file.fileName()));
            continue;
        }
        r.record = p.records.first().record;
        out.append(r);
    }
    return out;
}
