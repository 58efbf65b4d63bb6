// What a later run reads back from the journal after commits, unconfirmed
// commits and the damage a crash or a power failure leaves.
#include "store/recordjournal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QDateTime kBase(QDate(2025, 2, 1), QTime(9, 5, 3));

// Texts of every awkward kind, including the field and line separators.
JournaledRecords sampleRecords()
{
    return {{1, {QStringLiteral("OHM"), QStringLiteral("- .OL "), QStringLiteral("kΩ"), 16, kBase}},
            {2, {QStringLiteral("hFE"), QStringLiteral("356"), QStringLiteral(" "), 44, kBase.addSecs(1)}},
            {3, {QStringLiteral("TEMP"), QStringLiteral("-12"), QStringLiteral("℃"), 42, kBase.addSecs(2)}},
            {4, {QStringLiteral("a\tb\\n\nc\r"), QStringLiteral("1.000"), QString(), 0, kBase.addSecs(3)}}};
}

QStringList values(const JournaledRecords &records)
{
    QStringList v;
    for (const JournaledRecord &r : records)
        v << r.record.valueText;
    return v;
}

QStringList journalFiles(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.journal")}, QDir::Files, QDir::Name);
}
} // namespace

class TestRecordJournal : public QObject
{
    Q_OBJECT

private slots:
    void readBack_data();
    void readBack();
    void eachRunningCopyOwnsItsJournal();
};

void TestRecordJournal::readBack_data()
{
    QTest::addColumn<qint64>("begun");     // a COMMIT went out for records 1..begun
    QTest::addColumn<qint64>("committed"); // records 1..committed are confirmed
    QTest::addColumn<QByteArray>("damage");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<qint64>("uncertain");
    QTest::addColumn<bool>("warns");

    const QStringList all{"- .OL ", "356", "-12", "1.000"};
    QTest::newRow("nothing committed") << 0LL << 0LL << QByteArray() << all << 0LL << false;
    QTest::newRow("all committed") << 4LL << 4LL << QByteArray() << QStringList() << 0LL << false;
    QTest::newRow("commit unconfirmed") << 3LL << 0LL << QByteArray() << all << 3LL << false;
    QTest::newRow("torn last line") << 0LL << 0LL << QByteArray("R\t5\tDCV\t2.5\tV\t1\t2025-02-01 09:0")
                                    << all << 0LL << false;
    QTest::newRow("zeros after a power failure")
        << 0LL << 0LL << QByteArray(700, '\0') << all << 0LL << false;
    QTest::newRow("damaged line in the middle")
        << 0LL << 0LL
        << QByteArray(
               "R\t5\tDCV\t2.\\q5\tV\t1\t2025-02-01 09:05:07\nR\t6\tDCV\t2.6\tV\t1\t2025-02-01 09:05:08\n")
        << all + QStringList{"2.6"} << 0LL << true;
}

void TestRecordJournal::readBack()
{
    QFETCH(qint64, begun);
    QFETCH(qint64, committed);
    QFETCH(QByteArray, damage);
    QFETCH(QStringList, expected);
    QFETCH(qint64, uncertain);
    QFETCH(bool, warns);

    QTemporaryDir dir;
    const qint64 xid = (Q_INT64_C(1) << 60) + 7;
    QString path;
    {
        RecordJournal journal;
        JournalBacklog backlog;
        QString error;
        QVERIFY2(journal.open(dir.path(), &backlog, &error), qPrintable(error));
        QVERIFY(backlog.records.isEmpty());
        QVERIFY2(journal.start({}, 0, 0, &error), qPrintable(error));
        for (const JournaledRecord &r : sampleRecords())
            journal.append(r);
        QTRY_VERIFY(journal.isDurable());
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

    if (warns)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("skipped 1 damaged lines")));
    RecordJournal journal;
    JournalBacklog backlog;
    QString error;
    QVERIFY2(journal.open(dir.path(), &backlog, &error), qPrintable(error));
    QCOMPARE(values(backlog.records), expected);
    for (int i = 0; i < backlog.records.size(); ++i) {
        QCOMPARE(backlog.records.at(i).seq, qint64(i + 1));
        if (i < 4) // every field of every awkward text comes back
            QCOMPARE(backlog.records.at(i).record, sampleRecords().at(i).record);
    }
    QCOMPARE(backlog.uncertainLastSeq, uncertain);
    QCOMPARE(backlog.uncertainXid, uncertain > 0 ? xid : 0);
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("*.damaged-*")}, QDir::Files).size(), warns ? 1 : 0);

    // The damage is gone from the file the next run writes on.
    QVERIFY2(journal.start(backlog.records, backlog.uncertainXid, backlog.uncertainLastSeq, &error),
             qPrintable(error));
    journal.append({backlog.records.size() + 1LL,
                    {QStringLiteral("DCV"), QStringLiteral("7"), QStringLiteral("V"), 1, kBase}});
    journal.close();
    RecordJournal next;
    QVERIFY(next.open(dir.path(), &backlog, &error));
    QCOMPARE(values(backlog.records), expected + QStringList{"7"});
    QCOMPARE(backlog.uncertainLastSeq, uncertain);
}

// A second running copy writes its own journal, taken over once it has ended.
void TestRecordJournal::eachRunningCopyOwnsItsJournal()
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
        QVERIFY(second.filePath() != first.filePath());
        QVERIFY(backlog.records.isEmpty());
        second.append(records.at(1));
        second.append(records.at(2));
    }
    QCOMPARE(journalFiles(dir.path()).size(), 2);

    // Started while the first still runs: takes over only the ended one.
    {
        RecordJournal third;
        QVERIFY(third.open(dir.path(), &backlog, &error) && third.start(backlog.records, 0, 0, &error));
        QCOMPARE(values(backlog.records), QStringList({"356", "-12"}));
        third.committed(2);
    }
    QCOMPARE(journalFiles(dir.path()), QStringList{QStringLiteral("pending-readings.journal")});

    first.close();
    RecordJournal fourth;
    QVERIFY(fourth.open(dir.path(), &backlog, &error));
    QCOMPARE(values(backlog.records), QStringList{"- .OL "});
}

QTEST_GUILESS_MAIN(TestRecordJournal)
#include "tst_recordjournal.moc"
