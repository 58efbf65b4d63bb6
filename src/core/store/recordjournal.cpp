#include "recordjournal.h"

#include "core/store/recordschema.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The file is text, one entry per line, fields separated by tabs; a backslash
// escapes tab, line feed, carriage return and itself inside a field:
//
//   tk52k-journal <TAB> 1                        header
//   R <seq> <func> <value> <unit> <range> <time> [<source>]  a record
//   B <xid> <first seq> <last seq>               this transaction is about to commit
//   C <seq>                                      every record up to seq is committed
//   A <file name>                                that journal was taken over
//
// A line counts only when its line feed was written, so a line torn by a
// crash is recognised and ignored.

namespace {
const QByteArray kHeader = QByteArrayLiteral("tk52k-journal\t1\n");
const QString kSharedName = QStringLiteral("pending-readings.journal");
const QString kNamePattern = QStringLiteral("pending-readings*.journal");
const QString kQuarantineName = QStringLiteral("rejected-readings.txt");

// The names this program gives its journals: the shared one and those of a
// second copy (process id, time, counter). Nothing else in the folder is
// ever taken over or removed.
bool isJournalName(const QString &name)
{
    static const QRegularExpression own(
        QStringLiteral("^pending-readings(-[0-9]+-[0-9]+-[0-9]+)?\\.journal$"));
    return own.match(name).hasMatch();
}

QString lockPathOf(const QString &journalPath)
{
    return journalPath + QLatin1String(".lock");
}

// An exclusive lock that the system drops when the process ends, however it
// ends; -1 when another process (or another journal of this one) holds it.
int tryLockFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void unlockFile(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

QByteArray escaped(const QString &text)
{
    QByteArray out;
    const QByteArray utf8 = text.toUtf8();
    out.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool unescaped(const QByteArray &field, QString *text)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) != '\\') {
            out += field.at(i);
            continue;
        }
        if (++i == field.size())
            return false;
        switch (field.at(i)) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            return false;
        }
    }
    *text = QString::fromUtf8(out);
    return true;
}

QByteArray recordLine(const JournaledRecord &r)
{
    const MeasurementRecord &m = r.record;
    return "R\t" + QByteArray::number(r.seq) + '\t' + escaped(m.funcStr) + '\t' + escaped(m.valueText) +
           '\t' + escaped(m.unitStr) + '\t' + QByteArray::number(m.rangeIndex) + '\t' +
           m.timeText().toLatin1() + (m.source.isEmpty() ? QByteArray() : '\t' + escaped(m.source)) + '\n';
}

QByteArray beginLine(qint64 xid, qint64 firstSeq, qint64 lastSeq)
{
    return "B\t" + QByteArray::number(xid) + '\t' + QByteArray::number(firstSeq) + '\t' +
           QByteArray::number(lastSeq) + '\n';
}

bool positive(const QByteArray &field, qint64 *value)
{
    bool ok = false;
    *value = field.toLongLong(&ok);
    return ok && *value > 0;
}

// What one journal file says, in its own numbering.
struct ParsedJournal
{
    JournaledRecords records;
    qint64 committedSeq = 0;
    qint64 beginXid = 0;
    qint64 beginFirst = 0;
    qint64 beginLast = 0;
    QStringList adopted;
    int damagedLines = 0;
};

bool parseLine(const QByteArray &line, ParsedJournal *p)
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
        p->records.append(r);
        return true;
    }
    if (kind == "B" && f.size() == 4) {
        qint64 xid = 0, first = 0, last = 0;
        if (!positive(f.at(1), &xid) || !positive(f.at(2), &first) || !positive(f.at(3), &last) ||
            last < first)
            return false;
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
    const QString aside = path + QLatin1String(".damaged-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    if (data.isEmpty())
        return true;
    if (!data.startsWith(kHeader)) {
        // Not written by this program: keep its bytes, out of the way.
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
        if (!line.isEmpty() && !parseLine(line, &p))
            ++p.damagedLines;
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
            for (const JournaledRecord &r : pending)
                uncertainCount += r.seq <= p.beginLast ? 1 : 0;
        }
    }
    tail->uncertainLastSeq = uncertainCount;
    if (tail->uncertainLastSeq == 0)
        tail->uncertainXid = 0;
    for (int i = 0; i < pending.size(); ++i)
        tail->records.append(JournaledRecord{i + 1, pending.at(i).record});
    *adopted = p.adopted;

    if (p.damagedLines > 0) {
        QFile::copy(path, aside);
        qWarning("tk52k: skipped %d damaged lines of %s; the original is kept as %s", p.damagedLines,
                 qPrintable(path), qPrintable(aside));
    }
    return true;
}

void raiseTo(std::atomic<qint64> &value, qint64 to)
{
    qint64 now = value.load();
    while (now < to && !value.compare_exchange_weak(now, to)) {
    }
}

// A rename is only safe from a power failure once the folder is on the disk.
void syncFolder(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
} // namespace

RecordJournal::RecordJournal()
{
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
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

bool RecordJournal::takeOwnFile(const QString &dir, QString *error)
{
    const QDir folder(dir);
    QString path = folder.filePath(kSharedName);
    int fd = tryLockFile(lockPathOf(path));
    // Another copy of the program runs and owns the shared journal.
    for (int n = 0; fd < 0 && n < 100; ++n) {
        path = folder.filePath(QStringLiteral("pending-readings-%1-%2-%3.journal")
                                   .arg(QCoreApplication::applicationPid())
                                   .arg(QDateTime::currentMSecsSinceEpoch())
                                   .arg(n));
        if (!QFile::exists(path))
            fd = tryLockFile(lockPathOf(path));
    }
    if (fd < 0) {
        *error = QStringLiteral("cannot lock a journal in %1: %2")
                     .arg(dir, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_path = path;
    m_lockFd = fd;
    return true;
}

bool RecordJournal::open(const QString &dir, JournalBacklog *backlog, QString *error)
{
    *backlog = JournalBacklog();
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create the folder %1").arg(dir);
        return false;
    }
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
        const int fd = path != m_path ? tryLockFile(lockPathOf(path)) : -1;
        if (fd >= 0) {
            QFile::remove(path);
            QFile::remove(lockPathOf(path));
            unlockFile(fd);
        }
    }

    bool haveUncertain = own.uncertainXid != 0;
    for (const QString &name : folder.entryList({kNamePattern}, QDir::Files, QDir::Name)) {
        const QString path = folder.filePath(name);
        if (path == m_path || !isJournalName(name))
            continue;
        const int fd = tryLockFile(lockPathOf(path));
        if (fd < 0)
            continue; // its program still runs
        JournalBacklog tail;
        QStringList ignored;
        // The writer settles one unconfirmed transaction at a time; a second
        // one waits in its file for the next start.
        if (!readJournal(path, &tail, &ignored) || (tail.uncertainXid != 0 && haveUncertain)) {
            unlockFile(fd);
            continue;
        }
        haveUncertain = haveUncertain || tail.uncertainXid != 0;
        parts << tail;
        m_adopted << Adopted{path, fd};
    }

    // The records of an unconfirmed transaction must lead the queue.
    std::stable_partition(parts.begin(), parts.end(),
                          [](const JournalBacklog &b) { return b.uncertainXid != 0; });
    qint64 seq = 0;
    for (const JournalBacklog &part : parts) {
        if (part.uncertainXid != 0) {
            backlog->uncertainXid = part.uncertainXid;
            backlog->uncertainLastSeq = seq + part.uncertainLastSeq;
        }
        for (const JournaledRecord &r : part.records)
            backlog->records.append(JournaledRecord{++seq, r.record});
    }
    return true;
}

bool RecordJournal::start(const JournaledRecords &records, qint64 uncertainXid, qint64 uncertainLastSeq,
                          QString *error)
{
    QByteArray content = kHeader;
    // Should the program die before the files taken over are removed, the
    // next start knows them as read.
    for (const Adopted &a : qAsConst(m_adopted))
        content += "A\t" + escaped(QFileInfo(a.path).fileName()) + '\n';
    if (uncertainXid != 0)
        content += beginLine(uncertainXid, records.isEmpty() ? 1 : records.first().seq, uncertainLastSeq);
    for (const JournaledRecord &r : records)
        content += recordLine(r);

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString());
        return false;
    }
    syncFolder(QFileInfo(m_path).absolutePath());
    for (const Adopted &a : qAsConst(m_adopted)) {
        QFile::remove(a.path);
        QFile::remove(lockPathOf(a.path));
        unlockFile(a.lockFd);
    }
    m_adopted.clear();

    QMutexLocker fileLock(&m_fileMutex);
    m_fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (m_fd < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(m_path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_headerSize = kHeader.size();
    const qint64 last = records.isEmpty() ? 0 : records.last().seq;
    m_lastAppended = last;
    m_written = last;
    m_durable = last;
    m_committed = records.isEmpty() ? last : records.first().seq - 1;
    // The first record after a quiet spell is flushed at once.
    m_lastSyncMs = m_clock.elapsed() - kSyncIntervalMs;
    m_flusher = QThread::create([this] { flushLoop(); });
    m_flusher->start();
    return true;
}

void RecordJournal::append(const JournaledRecord &record)
{
    QMutexLocker lock(&m_pendingMutex);
    if (m_stopping)
        return;
    m_pending.append(record);
    m_lastAppended = record.seq;
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
                if (m_written.load() > m_durable.load()) {
                    const qint64 wait = m_lastSyncMs.load() + kSyncIntervalMs - m_clock.elapsed();
                    if (wait <= 0)
                        break;
                    m_wake.wait(&m_pendingMutex, static_cast<unsigned long>(wait));
                } else {
                    m_wake.wait(&m_pendingMutex);
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
    if (batch.isEmpty() || m_fd < 0)
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
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // The file may now end in half a line and lack the notes that
            // settle what is committed: from here on it says nothing until
            // the writer has discarded it (see discard()).
            qWarning("tk52k: cannot write the journal %s: %s", qPrintable(m_path), strerror(errno));
            m_state = State::Failed;
            return false;
        }
        done += n;
    }
    return true;
}

bool RecordJournal::syncLocked()
{
    const qint64 written = m_written.load();
    m_lastSyncMs = m_clock.elapsed();
    if (m_state != State::Healthy)
        return false;
    if (::fdatasync(m_fd) != 0) {
        qWarning("tk52k: cannot flush the journal %s: %s", qPrintable(m_path), strerror(errno));
        m_state = State::Failed;
        return false;
    }
    raiseTo(m_durable, written);
    return true;
}

bool RecordJournal::beginCommit(qint64 xid, qint64 firstSeq, qint64 lastSeq)
{
    QMutexLocker fileLock(&m_fileMutex);
    if (m_fd < 0 || m_state == State::Discarded)
        return true; // the file holds none of these records
    writePendingLocked();
    return writeLocked(beginLine(xid, firstSeq, lastSeq)) && syncLocked();
}

void RecordJournal::flush()
{
    QMutexLocker fileLock(&m_fileMutex);
    if (m_fd < 0)
        return;
    writePendingLocked();
    syncLocked();
}

bool RecordJournal::hasFailed() const
{
    QMutexLocker fileLock(&m_fileMutex);
    return m_state == State::Failed;
}

bool RecordJournal::isSafe() const
{
    QMutexLocker fileLock(&m_fileMutex);
    return m_fd < 0 || m_state == State::Healthy;
}

void RecordJournal::discard()
{
    QMutexLocker fileLock(&m_fileMutex);
    if (m_fd < 0)
        return;
    // Cutting the file frees its space, so this works on a full disk too.
    // Left in place, records the server has committed since would come back
    // at the next start without a note saying so.
    if (::ftruncate(m_fd, m_headerSize) != 0)
        qWarning("tk52k: cannot cut the journal %s: %s", qPrintable(m_path), strerror(errno));
    m_state = State::Discarded;
    m_unwritten.clear();
    m_readOffset = 0;
    QMutexLocker lock(&m_pendingMutex);
    m_pending.clear();
}

bool RecordJournal::rewrite(const JournaledRecords &records)
{
    QMutexLocker fileLock(&m_fileMutex);
    if (m_fd < 0)
        return false;
    {
        // The caller holds back appends; what waits here is in `records`.
        QMutexLocker lock(&m_pendingMutex);
        m_pending.clear();
    }
    QByteArray bytes;
    for (const JournaledRecord &r : records)
        bytes += recordLine(r);
    m_unwritten.clear();
    m_readOffset = 0;
    m_state = State::Healthy;
    if (::ftruncate(m_fd, m_headerSize) == 0 && writeLocked(bytes) && ::fdatasync(m_fd) == 0) {
        const qint64 last = records.isEmpty() ? m_lastAppended.load() : records.last().seq;
        m_written = last;
        raiseTo(m_durable, last);
        return true;
    }
    if (::ftruncate(m_fd, m_headerSize) != 0)
        qWarning("tk52k: cannot cut the journal %s: %s", qPrintable(m_path), strerror(errno));
    m_state = State::Discarded;
    return false;
}

JournaledRecords RecordJournal::readBack(qint64 firstSeq, int count)
{
    QMutexLocker fileLock(&m_fileMutex);
    JournaledRecords out;
    if (m_fd < 0)
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
            if (!parseLine(line.chopped(1), &p) || p.records.isEmpty() || p.records.first().seq < next)
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
    if (m_fd < 0)
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
    } else if (everything && ::ftruncate(m_fd, m_headerSize) == 0) {
        m_readOffset = 0;
        raiseTo(m_written, lastSeq);
    } else {
        // Not flushed: without it the transaction note settles the question.
        writeLocked("C\t" + QByteArray::number(lastSeq) + '\n');
    }
    raiseTo(m_durable, lastSeq);
    // Records written here on the way still need their flush.
    if (m_written.load() > m_durable.load()) {
        QMutexLocker lock(&m_pendingMutex);
        m_wake.wakeAll();
    }
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
        if (m_fd >= 0) {
            writePendingLocked();
            if (m_written.load() > m_durable.load())
                syncLocked();
            ::close(m_fd);
            m_fd = -1;
            if (m_committed.load() >= m_lastAppended.load())
                removed = QFile::remove(m_path);
        }
    }
    for (const Adopted &a : qAsConst(m_adopted))
        unlockFile(a.lockFd);
    m_adopted.clear();
    // The shared journal's lock file stays for good; one of a second copy
    // goes with its journal.
    if (removed && QFileInfo(m_path).fileName() != kSharedName)
        QFile::remove(lockPathOf(m_path));
    unlockFile(m_lockFd);
    m_lockFd = -1;
}

QString RecordJournal::quarantinePath(const QString &dir)
{
    return QDir(dir).filePath(kQuarantineName);
}

bool RecordJournal::quarantine(const QString &dir, const QVector<RejectedRecord> &rejected, QString *error)
{
    QByteArray bytes;
    for (const RejectedRecord &r : rejected)
        bytes += recordLine(JournaledRecord{1, r.record}).chopped(1) + '\t' + escaped(r.reason) + '\n';
    const QString path = quarantinePath(dir);
    // One write with O_APPEND: copies of the program beside each other never
    // interleave their lines.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size() &&
              ::fdatasync(fd) == 0;
    if (!ok)
        *error = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
    if (fd >= 0)
        ::close(fd);
    return ok;
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
        if (cut < 0 || !unescaped(line.mid(cut + 1), &r.reason) || !parseLine(line.left(cut), &p) ||
            p.records.isEmpty()) {
            qWarning("tk52k: skipped a damaged line of %s", qPrintable(file.fileName()));
            continue;
        }
        r.record = p.records.first().record;
        out.append(r);
    }
    return out;
}
