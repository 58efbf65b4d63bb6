#include "alarmjournal.h"

#include "core/store/filesync.h"
#include "core/store/journalfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

// One entry per line, fields separated by tabs, a backslash escaping tab,
// line feed, carriage return and itself inside a field:
//
//   tk52k-alarms <TAB> 1                                       header
//   E <seq> <time> <func> <unit> <low|high> <limit> <value> <raised 0|1> <source>
//   B <xid> <first seq> <last seq> [<server>]
//                                      this transaction is about to commit on
//                                      that server and database
//   C <seq>                            every event up to seq is settled
//   A <file name>                      that file was taken over
//
// A line counts only when its line feed was written.

namespace {
using JournalFile::escaped;
using JournalFile::lockPathOf;
using JournalFile::positive;
using JournalFile::unescaped;

const QByteArray kHeader = QByteArrayLiteral("tk52k-alarms\t1\n");
const QString kSharedName = QStringLiteral("pending-alarms.journal");
const char *const kTimeFormat = "yyyy-MM-dd hh:mm:ss.zzz";

bool isAlarmJournalName(const QString &name)
{
    static const QRegularExpression own(QStringLiteral("^pending-alarms(-[0-9]+-[0-9]+-[0-9]+)?\\.journal$"));
    return own.match(name).hasMatch();
}

QByteArray numberText(double v)
{
    if (std::isinf(v))
        return v > 0 ? "inf" : "-inf";
    return QByteArray::number(v, 'g', 17);
}

bool numberOf(const QByteArray &text, double *v)
{
    if (text == "inf" || text == "-inf") {
        *v = text.startsWith('-') ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    bool ok = false;
    *v = text.toDouble(&ok);
    return ok && std::isfinite(*v);
}

QByteArray eventLine(const JournaledAlarm &a)
{
    const AlarmEvent &e = a.event;
    return "E\t" + QByteArray::number(a.seq) + '\t' + e.time.toString(QLatin1String(kTimeFormat)).toLatin1() +
           '\t' + escaped(e.function) + '\t' + escaped(e.unit) + '\t' +
           (e.limit == AlarmEvent::Limit::Low ? "low" : "high") + '\t' + numberText(e.limitValue) + '\t' +
           numberText(e.value) + '\t' + (e.raised ? '1' : '0') + '\t' + escaped(e.source) + '\n';
}

// Files of earlier versions name no server.
QByteArray beginLine(qint64 xid, qint64 firstSeq, qint64 lastSeq, const QString &server)
{
    QByteArray line = "B\t" + QByteArray::number(xid) + '\t' + QByteArray::number(firstSeq) + '\t' +
                      QByteArray::number(lastSeq);
    if (!server.isEmpty())
        line += '\t' + escaped(server);
    return line + '\n';
}

bool parseEvent(const QList<QByteArray> &f, JournaledAlarm *a)
{
    if (f.size() != 10 || !positive(f.at(1), &a->seq))
        return false;
    AlarmEvent &e = a->event;
    e.time = QDateTime::fromString(QString::fromLatin1(f.at(2)), QLatin1String(kTimeFormat));
    if (!e.time.isValid() || !unescaped(f.at(3), &e.function) || !unescaped(f.at(4), &e.unit) ||
        !numberOf(f.at(6), &e.limitValue) || !numberOf(f.at(7), &e.value) || !unescaped(f.at(9), &e.source))
        return false;
    if (f.at(5) != "low" && f.at(5) != "high")
        return false;
    e.limit = f.at(5) == "low" ? AlarmEvent::Limit::Low : AlarmEvent::Limit::High;
    if (f.at(8) != "0" && f.at(8) != "1")
        return false;
    e.raised = f.at(8) == "1";
    return true;
}

// Reads the file at `path` into `tail`, numbered 1..n. A missing or empty
// file holds nothing; false when it cannot be read.
bool readFile(const QString &path, AlarmBacklog *tail, QStringList *adopted = nullptr)
{
    *tail = AlarmBacklog();
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("tk52k: cannot read %s: %s", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    const QByteArray data = file.readAll();
    if (data.isEmpty())
        return true;
    if (!data.startsWith(kHeader)) {
        const QString aside = path + QLatin1String(".damaged-") +
                              QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
        QFile::rename(path, aside);
        qWarning("tk52k: %s is not an alarm journal of this program; kept as %s", qPrintable(path),
                 qPrintable(aside));
        return true;
    }
    JournaledAlarms events;
    qint64 settled = 0, xid = 0, first = 0, last = 0;
    QString beginServer;
    int start = kHeader.size();
    for (int end; start < data.size() && (end = data.indexOf('\n', start)) >= 0; start = end + 1) {
        const QByteArray line = data.mid(start, end - start);
        if (line.isEmpty())
            continue;
        const QList<QByteArray> f = line.split('\t');
        const QByteArray &kind = f.first();
        JournaledAlarm a;
        qint64 x = 0, p = 0, q = 0;
        QString server;
        if (kind == "E" && parseEvent(f, &a) && (events.isEmpty() || a.seq > events.last().seq)) {
            events.append(a);
        } else if (kind == "B" && (f.size() == 4 || f.size() == 5) && positive(f.at(1), &x) &&
                   positive(f.at(2), &p) && positive(f.at(3), &q) && q >= p &&
                   (f.size() == 4 || unescaped(f.at(4), &server))) {
            xid = x;
            first = p;
            last = q;
            beginServer = server;
        } else if (kind == "C" && f.size() == 2 && positive(f.at(1), &p)) {
            settled = std::max(settled, p);
        } else if (kind == "A" && f.size() == 2 && isAlarmJournalName(QString::fromUtf8(f.at(1)))) {
            if (adopted)
                adopted->append(QString::fromUtf8(f.at(1)));
        } else {
            ++tail->damagedLines;
        }
    }
    JournaledAlarms pending;
    for (const JournaledAlarm &a : events) {
        if (a.seq > settled)
            pending.append(a);
    }
    // The writer works in order: the unconfirmed transaction starts at the
    // first event not settled.
    if (xid != 0 && last > settled && !pending.isEmpty() && pending.first().seq >= first) {
        tail->uncertainXid = xid;
        tail->uncertainServer = beginServer;
        for (const JournaledAlarm &a : pending)
            tail->uncertainLastSeq += a.seq <= last ? 1 : 0;
        if (tail->uncertainLastSeq == 0) {
            tail->uncertainXid = 0;
            tail->uncertainServer.clear();
        }
    }
    for (int i = 0; i < pending.size(); ++i)
        tail->events.append(JournaledAlarm{i + 1, pending.at(i).event});
    if (tail->damagedLines > 0)
        qWarning("tk52k: %d lines of %s are not alarm events; left out", tail->damagedLines,
                 qPrintable(path));
    return true;
}

} // namespace

AlarmJournal::AlarmJournal() = default;

AlarmJournal::~AlarmJournal()
{
    close();
}

bool AlarmJournal::open(const QString &dir, AlarmBacklog *backlog, QString *error)
{
    *backlog = AlarmBacklog();
    const QDir folder(dir);
    QString path;
    const qint64 lock = JournalFile::takeFile(dir, QStringLiteral("pending-alarms"), &path);
    if (lock < 0) {
        *error = QStringLiteral("cannot lock an alarm journal in %1").arg(dir);
        return false;
    }
    m_path = path;
    m_lock = lock;

    QVector<AlarmBacklog> parts(1);
    QStringList adoptedEarlier;
    if (!readFile(m_path, &parts[0], &adoptedEarlier)) {
        *error = QStringLiteral("cannot read %1").arg(m_path);
        return false;
    }
    // Files taken over just before a crash: their events are in ours.
    for (const QString &name : qAsConst(adoptedEarlier)) {
        const QString other = folder.filePath(name);
        const qint64 otherLock = other != m_path ? FileSync::tryLock(lockPathOf(other)) : -1;
        if (otherLock >= 0) {
            QFile::remove(other);
            QFile::remove(lockPathOf(other));
            FileSync::unlock(otherLock);
        }
    }
    bool haveUncertain = parts[0].uncertainXid != 0;
    for (const QString &name :
         folder.entryList({QStringLiteral("pending-alarms*.journal")}, QDir::Files, QDir::Name)) {
        const QString other = folder.filePath(name);
        if (other == m_path || !isAlarmJournalName(name))
            continue;
        const qint64 otherLock = FileSync::tryLock(lockPathOf(other));
        if (otherLock < 0)
            continue; // its program still runs
        AlarmBacklog tail;
        // One unconfirmed transaction is settled at a time; a second one
        // waits in its file for the next start.
        if (!readFile(other, &tail) || (tail.uncertainXid != 0 && haveUncertain)) {
            FileSync::unlock(otherLock);
            continue;
        }
        haveUncertain = haveUncertain || tail.uncertainXid != 0;
        parts << tail;
        m_adopted << JournalFile::Taken{other, otherLock};
    }
    std::stable_partition(parts.begin(), parts.end(),
                          [](const AlarmBacklog &b) { return b.uncertainXid != 0; });
    qint64 seq = 0;
    for (const AlarmBacklog &part : parts) {
        if (part.uncertainXid != 0) {
            backlog->uncertainXid = part.uncertainXid;
            backlog->uncertainLastSeq = seq + part.uncertainLastSeq;
            backlog->uncertainServer = part.uncertainServer;
        }
        backlog->damagedLines += part.damagedLines;
        for (const JournaledAlarm &a : part.events)
            backlog->events.append(JournaledAlarm{++seq, a.event});
    }
    return true;
}

bool AlarmJournal::start(const JournaledAlarms &events, qint64 uncertainXid, qint64 uncertainLastSeq,
                         const QString &uncertainServer, QString *error)
{
    QByteArray content = kHeader;
    // Should the program die before the files taken over are removed, the
    // next start knows them as read.
    content += JournalFile::takenLines(m_adopted);
    if (uncertainXid != 0 && !events.isEmpty())
        content += beginLine(uncertainXid, events.first().seq, uncertainLastSeq, uncertainServer);
    for (const JournaledAlarm &a : events)
        content += eventLine(a);
    QString why;
    if (!FileSync::replaceFile(m_path, content, &why)) {
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, why);
        return false;
    }
    // Their events are in ours now.
    JournalFile::release(&m_adopted, true);

    QMutexLocker lock(&m_mutex);
    m_file = std::make_unique<FileSync::AppendFile>();
    if (!m_file->open(m_path, false, &why)) {
        m_file.reset();
        *error = QStringLiteral("cannot open %1: %2").arg(m_path, why);
        return false;
    }
    m_empty = events.isEmpty();
    return true;
}

bool AlarmJournal::writeLocked(const QByteArray &bytes)
{
    if (!m_file || m_failed)
        return false;
    if (m_file->append(bytes))
        return true;
    // The file may now lack a line or end in half of one, and could never
    // say which of its events were committed: cut back, it holds none, and
    // the events wait in memory alone (a next start never writes one twice).
    qWarning("tk52k: cannot write the alarm journal %s: %s; alarm events wait in memory only",
             qPrintable(m_path), qPrintable(m_file->errorText()));
    m_file->truncate(kHeader.size());
    m_failed = true;
    return false;
}

void AlarmJournal::append(const JournaledAlarm &event)
{
    QMutexLocker lock(&m_mutex);
    m_empty = false;
    writeLocked(eventLine(event));
}

bool AlarmJournal::beginCommit(qint64 xid, qint64 firstSeq, qint64 lastSeq, const QString &server)
{
    QMutexLocker lock(&m_mutex);
    if (!m_file || m_failed)
        return true; // the file holds none of these events, or says nothing more
    return writeLocked(beginLine(xid, firstSeq, lastSeq, server)) && m_file->sync();
}

void AlarmJournal::settled(qint64 lastSeq, bool everything)
{
    QMutexLocker lock(&m_mutex);
    if (!m_file || m_failed)
        return;
    if (everything && m_file->truncate(kHeader.size())) {
        m_empty = true;
        return;
    }
    writeLocked("C\t" + QByteArray::number(lastSeq) + '\n');
}

bool AlarmJournal::isSafe() const
{
    QMutexLocker lock(&m_mutex);
    return m_file && !m_failed;
}

void AlarmJournal::close()
{
    bool remove = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_file) {
            m_file->sync();
            m_file.reset();
            remove = m_empty && !m_failed;
        }
    }
    if (remove)
        QFile::remove(m_path);
    JournalFile::release(&m_adopted, false);
    // The shared file's lock stays for good; one of a second copy goes with it.
    if (remove && QFileInfo(m_path).fileName() != kSharedName)
        QFile::remove(lockPathOf(m_path));
    FileSync::unlock(m_lock);
    m_lock = -1;
}
