#include "scratchdatabase.h"
#include "testreading.h"

#include "store/database.h"
#include "store/measurementrecord.h"
#include "store/recordjournal.h"
#include "store/recordschema.h"

#include <QSqlQuery>
#include <QSqlError>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const QDate kDay(2021, 3, 4);
}

class TestRecordStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { closeStore(); }
    void roundTrip_data();
    void roundTrip();
    void inclusiveBoundsInTimeOrder();
    void unconfirmedCommitIsSettled_data();
    void unconfirmedCommitIsSettled();
    void existingFiveColumnTable();

private:
    void openStore();
    void closeStore();
    QStringList storedValues(const QDateTime &start, const QDateTime &stop);
    void insert(const QString &value, const QDateTime &time);

    QTemporaryDir m_spoolDir;
    std::unique_ptr<ScratchDatabase> m_db;
    std::unique_ptr<database> m_store;
};

void TestRecordStore::initTestCase()
{
    QVERIFY(m_spoolDir.isValid());
    qputenv("TK52K_SPOOL_DIR", QFile::encodeName(m_spoolDir.path()));
    m_db = std::make_unique<ScratchDatabase>(QStringLiteral("recordstore"), ScratchDatabase::Content::Nothing);
    QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
}

void TestRecordStore::init()
{
    // The first store of the run creates the database and the table.
    openStore();
    QVERIFY2(m_db->exec(QStringLiteral("DELETE FROM invoice")), qPrintable(m_db->error()));
}

void TestRecordStore::openStore()
{
    m_store = std::make_unique<database>();
    QCOMPARE(m_store->openDatabase(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(m_store->isConnected(), 20000);
}

void TestRecordStore::closeStore()
{
    if (m_store)
        m_store->shutdown();
    m_store.reset();
}

void TestRecordStore::insert(const QString &value, const QDateTime &time)
{
    TkDataDas reading;
    setDcVoltReading(reading, value, time);
    QCOMPARE(m_store->insertRecord(&reading), 1);
}

QStringList TestRecordStore::storedValues(const QDateTime &start, const QDateTime &stop)
{
    // Whichever database the store writes to now: TK52K_DB_NAME names it.
    const DbSettings settings = DbSettings::fromEnvironment();
    QStringList values;
    {
        QSqlDatabase db = settings.addConnection(QStringLiteral("readback"));
        if (!db.open())
            return {db.lastError().text()};
        RecordSchema::TableShape shape;
        RecordSchema::probe(db, &shape);
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT datavaluestr FROM invoice WHERE create_time BETWEEN ? AND ? "
                                 "ORDER BY create_time%1").arg(shape.hasId ? QStringLiteral(", id") : QString()));
        q.addBindValue(RecordSchema::timeText(start));
        q.addBindValue(RecordSchema::timeText(stop));
        if (!q.exec())
            values << q.lastError().text();
        while (q.next())
            values << q.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("readback"));
    return values;
}

void TestRecordStore::roundTrip_data()
{
    QTest::addColumn<QStringList>("reading"); // function, value text, unit, range, decimals
    QTest::addColumn<bool>("overload");
    QTest::addColumn<bool>("negative");
    QTest::addColumn<QString>("stored");

    QTest::newRow("negative number") << QStringList{"DCV", "-0.056", "mV", "0", "3"} << false << true << "-0.056";
    QTest::newRow("+ OL.") << QStringList{"OHM", "", "kΩ", "13", "1"} << true << false << "+ OL. ";
    QTest::newRow("- .OL") << QStringList{"DCV", "", "V", "1", "3"} << true << true << "- .OL ";
}

void TestRecordStore::roundTrip()
{
    QFETCH(QStringList, reading);
    QFETCH(bool, overload);
    QFETCH(bool, negative);
    QFETCH(QString, stored);

    // Milliseconds are not stored: the row carries the whole second.
    const QDateTime second(kDay, QTime(9, 5, 3));
    TkDataDas r;
    setDcVoltReading(r, reading.at(1), second.addMSecs(789));
    r.funcStr = reading.at(0);
    r.unitStr = reading.at(2);
    r.rangeIndex = reading.at(3).toInt();
    r.decimals = reading.at(4).toInt();
    r.overload = overload;
    r.negative = negative;
    QCOMPARE(m_store->insertRecord(&r), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);

    QCOMPARE(storedValues(second, second), QStringList{stored});
    QSqlQuery q(m_db->connection());
    QVERIFY(q.exec(QStringLiteral("SELECT concat_ws('|', funcstr, datavaluestr, unitstr, frastr, "
                                  "to_char(create_time, 'YYYY-MM-DD HH24:MI:SS')) FROM invoice")) && q.next());
    QCOMPARE(q.value(0).toString(), (QStringList{reading.at(0), stored, reading.at(2), reading.at(3),
                                                 "2021-03-04 09:05:03"}.join('|')));
}

void TestRecordStore::inclusiveBoundsInTimeOrder()
{
    const QDateTime ten(kDay, QTime(10, 0, 0));
    // Out of time order, two in one second, and one on each side of the range.
    const QList<QPair<QString, int>> rows{{"11", 11}, {"10", 10}, {"5a", 5}, {"0", 0}, {"5b", 5}, {"-1", -1}};
    for (const auto &row : rows)
        insert(row.first, ten.addSecs(row.second));
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);

    // Within one second the order of insertion.
    QCOMPARE(storedValues(ten, ten.addSecs(10)), QStringList({"0", "5a", "5b", "10"}));
    QCOMPARE(storedValues(ten.addSecs(10), ten.addSecs(10)), QStringList({"10"}));
    QCOMPARE(storedValues(ten.addSecs(12), ten.addSecs(20)), QStringList());
}

// A COMMIT whose answer was lost: the journal names the transaction, and the
// store asks the server whether it committed before writing those readings.
void TestRecordStore::unconfirmedCommitIsSettled_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::newRow("committed") << "commit";
    QTest::newRow("rolled back") << "rollback";
    QTest::newRow("unknown to the server") << "unknown";
}

void TestRecordStore::unconfirmedCommitIsSettled()
{
    QFETCH(QString, outcome);
    closeStore();

    const QDateTime t(kDay, QTime(12, 0, 0));
    JournaledRecords records;
    TkDataDas reading;
    for (int i = 0; i < 5; ++i) {
        setDcVoltReading(reading, QString::number(i), t.addSecs(i));
        records.append({i + 1, MeasurementRecord::fromReading(reading)});
    }
    // The first three went out in one transaction.
    QVERIFY(m_db->exec(QStringLiteral("BEGIN")));
    QSqlQuery q(m_db->connection());
    QVERIFY(q.exec(QStringLiteral("SELECT txid_current()")) && q.next());
    qint64 xid = q.value(0).toLongLong();
    for (int i = 0; i < 3; ++i)
        QVERIFY2(m_db->insert(t.addSecs(i), QString::number(i), "V", "DCV", "1"), qPrintable(m_db->error()));
    QVERIFY(m_db->exec(outcome == QLatin1String("commit") ? "COMMIT" : "ROLLBACK"));
    // An id the server has not handed out yet, as after a move to another server.
    if (outcome == QLatin1String("unknown"))
        xid += 1000000;
    {
        RecordJournal journal;
        JournalBacklog backlog;
        QString error;
        QVERIFY2(journal.open(m_spoolDir.path(), &backlog, &error), qPrintable(error));
        QVERIFY2(journal.start(records, xid, 3, &error), qPrintable(error));
    }

    openStore();
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
    QCOMPARE(storedValues(t, t.addSecs(10)), QStringList({"0", "1", "2", "3", "4"}));
}

// A table made by hand elsewhere: only the five columns, the range an integer.
void TestRecordStore::existingFiveColumnTable()
{
    closeStore();
    ScratchDatabase legacy(QStringLiteral("recordstore_legacy"), ScratchDatabase::Content::EmptyDatabase);
    QVERIFY2(legacy.exec(QStringLiteral("CREATE TABLE invoice (funcstr varchar(16), datavaluestr varchar(16), "
                                        "unitstr varchar(8), frastr integer, create_time timestamp)")),
             qPrintable(legacy.error()));
    auto back = qScopeGuard([this] { closeStore(); m_db->select(); });

    openStore();
    const QDateTime t(kDay, QTime(13, 0, 0));
    insert(QStringLiteral("2"), t.addSecs(2));
    insert(QStringLiteral("0"), t);
    TkDataDas overload;
    setDcVoltReading(overload, QString(), t.addSecs(1));
    overload.overload = overload.negative = true;
    overload.decimals = 2;
    overload.rangeIndex = 7;
    QCOMPARE(m_store->insertRecord(&overload), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);

    QCOMPARE(storedValues(t, t.addSecs(2)), QStringList({"0", "- O.L ", "2"}));
    QSqlQuery q(legacy.connection());
    QVERIFY(q.exec(QStringLiteral("SELECT frastr FROM invoice WHERE frastr <> 1")) && q.next());
    QCOMPARE(q.value(0).toInt(), 7);
}

QTEST_GUILESS_MAIN(TestRecordStore)
#include "tst_recordstore.moc"
