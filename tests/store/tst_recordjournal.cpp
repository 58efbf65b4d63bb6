// What a later run reads back from the journal after commits, unconfirmed
// commits and the damage a crash or a power failure leaves.
#include "core/store/recordjournal.h"
#include "../support/fulldisk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Counts the journal's flushes: a record may count as safe only once one of
// them has followed its write.
static std::atomic<int> g_flushes{0};
extern "C" int fdatasync(int fd)
{
    ++g_flushes;
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

namespace {
const QDateTime kBase(QDate(2025, 2, 1), QTime(9, 5, 3));

// A journal file whose flushes wait until the test lets each one through.
struct GatedFile : FileSync::AppendFile
{
    QSemaphore *entered;
    QSemaphore *gate;
    GatedFile(QSemaphore *e, QSemaphore *g) : entered(e), gate(g) {}
    bool sync() override
    {
        entered->release();
        gate->acquire();
        return FileSync::AppendFile::sync();
    }
};

// Readings of every awkward kind: an overload, a unit of one space, a
// degree sign, a meter name with the journal's escape character.
JournaledRecords sampleRecords()
{
    return {{1,
             {QStringLiteral("OHM"), QStringLiteral("- .OL "), QStringLiteral("kΩ"), 24, kBase,
              QStringLiteral("bench 3 /dev/ttyUSB0")}},
            {2,
             {QStringLiteral("hFE"), QStringLiteral("356"), QStringLiteral(" "), 44, kBase.addMSecs(1250),
              QString()}},
            {3,
             {QStringLiteral("TEMP"), QStringLiteral("-12"), QStringLiteral("℃"), 42, kBase.addSecs(2),
              QString()}},
            {4,
             {QStringLiteral("DCV"), QStringLiteral("1.000"), QStringLiteral("V"), 1, kBase.addSecs(3),
              QStringLiteral("x\\n\\ 仪表")}}};
}

QStringList values(const JournaledRecords &records)
{
    QStringList v;
    for (const JournaledRecord &r : records)
        v << r.record.valueText;
    return v;
}

// What the next start would read from the journal at `path` now, had the
// program died this moment.
QStringList afterCrash(const QString &path)
{
    QTemporaryDir copy;
    RecordJournal journal;
    JournalBacklog backlog;
    QString error;
    if (!QFile::copy(path, QDir(copy.path()).filePath(QFileInfo(path).fileName())) ||
        !journal.open(copy.path(), &backlog, &error))
        return {QStringLiteral("unreadable")};
    return values(backlog.records);
}
} // namespace

class TestRecordJournal : public QObject
{
    Q_OBJECT

private slots:
    void readBack_data()
    {
        QTest::addColumn<qint64>("begun");     // a COMMIT went out for records 1..begun
        QTest::addColumn<qint64>("committed"); // records 1..committed are confirmed
        QTest::addColumn<QByteArray>("damage");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<qint64>("uncertain");
        QTest::addColumn<int>("damaged"); // lines not replayed

        const QStringList all{"- .OL ", "356", "-12", "1.000"};
        QTest::newRow("nothing committed") << 0LL << 0LL << QByteArray() << all << 0LL << 0;
        QTest::newRow("first two committed")
            << 2LL << 2LL << QByteArray() << QStringList(all.mid(2)) << 0LL << 0;
        QTest::newRow("all committed") << 4LL << 4LL << QByteArray() << QStringList() << 0LL << 0;
        QTest::newRow("commit unconfirmed") << 3LL << 0LL << QByteArray() << all << 3LL << 0;
        QTest::newRow("torn last line")
            << 0LL << 0LL << QByteArray("R\t5\tDCV\t2.5\tV\t1\t2025-02-01 09:0") << all << 0LL << 0;
        // A damaged or hand-edited line is no reading the meter could have
        // sent: it is set aside, and the good line after it is replayed.
        const QByteArray good("R\t6\tDCV\t2.6\tV\t1\t2025-02-01 09:05:08\n");
        const auto bad = [&](const char *line) { return QByteArray(line) + '\n' + good; };
        const QStringList withGood = all + QStringList{"2.6"};
        QTest::newRow("bad escape") << 0LL << 0LL << bad("R\t5\tDCV\t2.\\q5\tV\t1\t2025-02-01 09:05:07")
                                    << withGood << 0LL << 1;
        QTest::newRow("value no number") << 0LL << 0LL << bad("R\t5\tDCV\tabc\tV\t1\t2025-02-01 09:05:07")
                                         << withGood << 0LL << 1;
        QTest::newRow("empty value") << 0LL << 0LL << bad("R\t5\tDCV\t\tV\t1\t2025-02-01 09:05:07") << withGood
                                     << 0LL << 1;
        QTest::newRow("value out of the meter's reach")
            << 0LL << 0LL << bad("R\t5\tDCV\t1e308\tV\t1\t2025-02-01 09:05:07") << withGood << 0LL << 1;
        QTest::newRow("unknown function")
            << 0LL << 0LL << bad("R\t5\tXYZ\t2.5\tV\t1\t2025-02-01 09:05:07") << withGood << 0LL << 1;
        QTest::newRow("unit of another range")
            << 0LL << 0LL << bad("R\t5\tDCV\t2.5\tparsecs\t1\t2025-02-01 09:05:07") << withGood << 0LL << 1;
        QTest::newRow("time out of reason")
            << 0LL << 0LL << bad("R\t5\tDCV\t2.5\tV\t1\t9999-12-31 23:59:59") << withGood << 0LL << 1;
        // A bad copy repeated the last record: its number does not grow.
        QTest::newRow("record repeated")
            << 0LL << 0LL << bad("R\t4\tDCV\t1.000\tV\t1\t2025-02-01 09:05:06.000\tx\\\\n\\\\ 仪表")
            << withGood << 0LL << 1;
    }

    void readBack()
    {
        QFETCH(qint64, begun);
        QFETCH(qint64, committed);
        QFETCH(QByteArray, damage);
        QFETCH(QStringList, expected);
        QFETCH(qint64, uncertain);
        QFETCH(int, damaged);

        QTemporaryDir dir;
        const qint64 xid = (Q_INT64_C(1) << 60) + 7;
        QString path;
        {
            RecordJournal journal;
            JournalBacklog backlog;
            QString error;
            QVERIFY2(journal.open(dir.path(), &backlog, &error), qPrintable(error));
            QVERIFY2(journal.start({}, 0, 0, &error), qPrintable(error));
            const int flushes = g_flushes;
            for (const JournaledRecord &r : sampleRecords())
                journal.append(r);
            QTRY_VERIFY(journal.isDurable());
            QVERIFY(g_flushes > flushes);
            if (begun > 0)
                journal.beginCommit(xid, 1, begun);
            if (committed > 0)
                journal.committed(committed);
            path = journal.filePath();
            // What a crash or a power failure leaves at the end.
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write(damage);
        }
        QCOMPARE(QFile::exists(path), !expected.isEmpty() || !damage.isEmpty());

        if (damaged > 0)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("%1 lines of .* moved").arg(damaged)));
        RecordJournal journal;
        JournalBacklog backlog;
        QString error;
        QVERIFY2(journal.open(dir.path(), &backlog, &error), qPrintable(error));
        QCOMPARE(values(backlog.records), expected);
        for (int i = 0; i < backlog.records.size(); ++i) {
            QCOMPARE(backlog.records.at(i).seq, qint64(i + 1)); // numbered afresh
            if (committed + i < 4) // every field of every awkward text comes back
                QCOMPARE(backlog.records.at(i).record, sampleRecords().at(int(committed) + i).record);
        }
        QCOMPARE(backlog.uncertainLastSeq, uncertain);
        QCOMPARE(backlog.uncertainXid, uncertain > 0 ? xid : 0);
        QCOMPARE(backlog.damagedLines, damaged);
        QFile aside(RecordJournal::damagedPath(dir.path()));
        QCOMPARE(aside.open(QIODevice::ReadOnly) ? aside.readAll().count('\n') : 0, damaged);

        // The damage is gone from the file the next run writes on.
        QVERIFY2(journal.start(backlog.records, backlog.uncertainXid, backlog.uncertainLastSeq, &error),
                 qPrintable(error));
        journal.append(
            {backlog.records.size() + 1LL,
             {QStringLiteral("DCV"), QStringLiteral("7"), QStringLiteral("V"), 1, kBase, QString()}});
        journal.close();
        RecordJournal next;
        QVERIFY(next.open(dir.path(), &backlog, &error));
        QCOMPARE(values(backlog.records), expected + QStringList{"7"});
        QCOMPARE(backlog.uncertainLastSeq, uncertain);
    }

    // A record appended while a flush runs is not covered by that flush: it
    // is reported safe only once a flush that followed its write is done.
    void safeOnlyAfterAFlushCoversIt()
    {
        QTemporaryDir dir;
        QSemaphore entered, gate;
        RecordJournal journal([&] { return std::make_unique<GatedFile>(&entered, &gate); });
        JournalBacklog backlog;
        QString error;
        QVERIFY(journal.open(dir.path(), &backlog, &error) && journal.start({}, 0, 0, &error));
        const JournaledRecords records = sampleRecords();
        journal.append(records.at(0));
        QVERIFY(entered.tryAcquire(1, 10000)); // the first flush runs
        journal.append(records.at(1));
        gate.release();
        QVERIFY(entered.tryAcquire(1, 10000)); // the second one, for record 2
        QVERIFY(!journal.isDurable());
        gate.release(100);
        QTRY_VERIFY(journal.isDurable());
    }

    // A second running copy writes its own journal, taken over once it has ended.
    void eachRunningCopyOwnsItsJournal()
    {
        QTemporaryDir dir;
        const JournaledRecords records = sampleRecords();
        QString error;
        JournalBacklog backlog;

        RecordJournal first;
        QVERIFY(first.open(dir.path(), &backlog, &error) && first.start({}, 0, 0, &error));
        first.append(records.at(0));
        {
            RecordJournal second;
            QVERIFY(second.open(dir.path(), &backlog, &error) && second.start({}, 0, 0, &error));
            second.append(records.at(1));
            second.append(records.at(2));
        }

        // Started while the first still runs: takes over only the ended one.
        {
            RecordJournal third;
            QVERIFY(third.open(dir.path(), &backlog, &error) && third.start(backlog.records, 0, 0, &error));
            QCOMPARE(values(backlog.records), QStringList({"356", "-12"}));
            third.committed(2);
        }
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("*.journal")}),
                 QStringList{QStringLiteral("pending-readings.journal")});

        first.close();
        RecordJournal fourth;
        QVERIFY(fourth.open(dir.path(), &backlog, &error));
        QCOMPARE(values(backlog.records), QStringList{"- .OL "});
    }

    // A journal line may name a journal taken over earlier, to be removed; a
    // file the program did not name itself is never touched.
    void onlyOwnFilesAreTakenOver()
    {
        QTemporaryDir dir;
        const QDir folder(dir.path());
        const QByteArray record("R\t1\tDCV\t1.5\tV\t1\t2025-02-01 09:05:03\n");
        const auto write = [&](const QString &name, const QByteArray &bytes) {
            QFile file(folder.filePath(name));
            return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
        };
        QVERIFY(write(QStringLiteral("notes.txt"), "keep"));
        // Looks like a journal, but the program never gives such a name.
        QVERIFY(write(QStringLiteral("pending-readings-old.journal"), "tk52k-journal\t1\n" + record));
        QVERIFY(write(QStringLiteral("pending-readings.journal"),
                      "tk52k-journal\t1\nA\tnotes.txt\nA\tpending-readings-old.journal\n" + record));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("2 lines of .* moved")));
        RecordJournal journal;
        JournalBacklog backlog;
        QString error;
        QVERIFY2(journal.open(dir.path(), &backlog, &error), qPrintable(error));
        QCOMPARE(values(backlog.records), QStringList{"1.5"});
        QVERIFY2(journal.start(backlog.records, 0, 0, &error), qPrintable(error));
        journal.close();
        QVERIFY(folder.exists(QStringLiteral("notes.txt")));
        QVERIFY(folder.exists(QStringLiteral("pending-readings-old.journal")));
    }

    // A folder that is another user's, or one where others may write (a shared
    // 1777 folder), is no place for the journal: it is refused with the
    // reason and left exactly as it was.
    void foldersOthersMayWriteAreRefused_data()
    {
        QTest::addColumn<uint>("mode");
        QTest::addColumn<uint>("owner"); // uid and gid; 0: this user's
        QTest::addColumn<QString>("says");
        QTest::newRow("shared, sticky") << 01777u << 0u << QStringLiteral("(mode 1777)");
        QTest::newRow("another user's") << 0755u << 65534u << QStringLiteral("another user");
    }

    void foldersOthersMayWriteAreRefused()
    {
        QFETCH(uint, mode);
        QFETCH(uint, owner);
        QFETCH(QString, says);
        if (owner != 0 && ::geteuid() != 0)
            QSKIP("needs root to give a folder to another user");
        QTemporaryDir dir;
        const QString spool = dir.filePath(QStringLiteral("spool"));
        const QByteArray path = QFile::encodeName(spool);
        QVERIFY(QDir().mkdir(spool));
        QVERIFY(owner == 0 || ::chown(path.constData(), owner, owner) == 0);
        QVERIFY(::chmod(path.constData(), mode) == 0);

        RecordJournal journal;
        JournalBacklog backlog;
        QString error;
        QVERIFY(!journal.open(spool, &backlog, &error));
        QVERIFY2(error.contains(spool) && error.contains(says), qPrintable(error));
        struct stat st;
        QVERIFY(::stat(path.constData(), &st) == 0);
        QCOMPARE(uint(st.st_mode & 07777), mode);
        QCOMPARE(QDir(spool).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList());
    }

    // A link planted where the journal keeps damaged or refused lines is not
    // followed: the file it points to stays as it was.
    void plantedLinksAreNotFollowed()
    {
        QTemporaryDir dir, elsewhere;
        const QString target = elsewhere.filePath(QStringLiteral("someone-elses.txt"));
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("mine\n") == 5);
        file.close();
        QVERIFY(QFile::link(target, RecordJournal::damagedPath(dir.path())));
        QVERIFY(QFile::link(target, RecordJournal::quarantinePath(dir.path())));

        QFile journalFile(QDir(dir.path()).filePath(QStringLiteral("pending-readings.journal")));
        QVERIFY(journalFile.open(QIODevice::WriteOnly));
        journalFile.write("tk52k-journal\t1\nR\t1\tXYZ\t2.5\tV\t1\t2025-02-01 09:05:07\n");
        journalFile.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot keep the damaged")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("1 lines of .* moved")));
        RecordJournal journal;
        JournalBacklog backlog;
        QString error;
        QVERIFY2(journal.open(dir.path(), &backlog, &error), qPrintable(error));
        QCOMPARE(backlog.damagedLines, 1);

        QVERIFY(!RecordJournal::quarantine(
            dir.path(), {RejectedRecord{sampleRecords().at(0).record, "refused"}}, &error));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("mine\n"));
    }

    // A full disk: once a record cannot be written the journal must not let a
    // commit through until it has been cut back, or the next start would find
    // committed records without the note that says so and store them twice.
    // When space returns, what still waits is written out again.
    void fullDisk()
    {
        QTemporaryDir dir;
        RecordJournal journal;
        JournalBacklog backlog;
        QString error;
        QVERIFY2(journal.open(dir.path(), &backlog, &error), qPrintable(error));
        QVERIFY2(journal.start({}, 0, 0, &error), qPrintable(error));
        const JournaledRecords records = sampleRecords();
        journal.append(records.at(0));
        journal.append(records.at(1));
        journal.flush();
        QVERIFY(journal.isDurable());

        // Nothing fits beyond the journal file's header.
        FullDisk disk(QByteArray("tk52k-journal\t1\n").size());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot write the journal")));
        journal.append(records.at(2));
        journal.append(records.at(3));
        journal.flush();
        QVERIFY(journal.hasFailed());
        QVERIFY(!journal.isDurable());
        QVERIFY(!journal.beginCommit(99, 1, 4));
        // Nothing is lost meanwhile: what the file could not take is still there.
        QCOMPARE(values(journal.readBack(2, 3)), values(records).mid(1));

        journal.discard();
        QCOMPARE(afterCrash(journal.filePath()), QStringList());
        QVERIFY(journal.beginCommit(99, 1, 4));
        journal.committed(4);
        QCOMPARE(afterCrash(journal.filePath()), QStringList());

        const JournaledRecord fifth{
            5, {QStringLiteral("DCV"), QStringLiteral("5"), QStringLiteral("V"), 1, kBase, QString()}};
        journal.append(fifth);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot write the journal")));
        QVERIFY(!journal.rewrite({fifth}));
        QVERIFY(disk.lift());
        QVERIFY(journal.rewrite({fifth}));
        QVERIFY(journal.isDurable());
        QCOMPARE(afterCrash(journal.filePath()), QStringList{"5"});
    }
};

QTEST_GUILESS_MAIN(TestRecordJournal)
#include "tst_recordjournal.moc"
