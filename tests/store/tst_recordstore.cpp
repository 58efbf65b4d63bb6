// The record store on the shared PostgreSQL server, in a database of this
// test's own that the store itself creates.

#include "storetestsupport.h"

#include "meter/tkdatadas.h"
#include "store/database.h"
#include "store/measurementrecord.h"
#include "store/recordjournal.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const QString kDbName = QStringLiteral("tk52k_test_recordstore");
const QString kLegacyDbName = QStringLiteral("tk52k_test_recordstore_legacy");
const QDate kDay(2021, 3, 4);
} // namespace

class TestRecordStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void roundTrip_data();
    void roundTrip();
    void boundsAreInclusive();
    void rowsComeBackInTimeOrder();
    void unconfirmedCommitIsSettled_data();
    void unconfirmedCommitIsSettled();
    void existingFiveColumnTable();

private:
    void openStore();
    void closeStore();
    QStringList storedValues(const QDateTime &start, const QDateTime &stop);
    void insert(const QString &value, const QDateTime &time);

    QTemporaryDir m_spoolDir;
    QSqlDatabase m_connection;
    std::unique_ptr<database> m_store;
};

void TestRecordStore::initTestCase()
{
    QVERIFY(m_spoolDir.isValid());
    qputenv("TK52K_SPOOL_DIR", QFile::encodeName(m_spoolDir.path()));
    qputenv("TK52K_DB_NAME", kDbName.toUtf8());
    QString error;
    QVERIFY2(StoreTest::dropDatabase(kDbName, DbSettings::fromEnvironment().port, &error), qPrintable(error));
    QVERIFY2(StoreTest::dropDatabase(kLegacyDbName, DbSettings::fromEnvironment().port, &error),
             qPrintable(error));
}

void TestRecordStore::cleanupTestCase()
{
    QString error;
    QVERIFY2(StoreTest::dropDatabase(kDbName, DbSettings::fromEnvironment().port, &error), qPrintable(error));
    QVERIFY2(StoreTest::dropDatabase(kLegacyDbName, DbSettings::fromEnvironment().port, &error),
             qPrintable(error));
}

void TestRecordStore::init()
{
    openStore();
    QSqlQuery q(m_connection);
    m_connection.open();
    QVERIFY2(q.exec(QStringLiteral("DELETE FROM invoice")), qPrintable(q.lastError().text()));
}

void TestRecordStore::cleanup()
{
    closeStore();
}

void TestRecordStore::openStore()
{
    m_store = std::make_unique<database>(m_connection);
    QCOMPARE(m_store->openDatabase(m_connection), 1);
    // The first store of the run creates the database and the table.
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
    StoreTest::setReading(reading, value, time);
    QCOMPARE(m_store->insertRecord(&reading), 1);
}

QStringList TestRecordStore::storedValues(const QDateTime &start, const QDateTime &stop)
{
    std::unique_ptr<QSqlQueryModel> model(m_store->queryRange(start, stop, m_connection));
    QStringList values;
    for (int row = 0; row < model->rowCount(); ++row)
        values << model->record(row).value(QStringLiteral("datavaluestr")).toString();
    return values;
}

void TestRecordStore::roundTrip_data()
{
    QTest::addColumn<QString>("func");
    QTest::addColumn<QString>("valueText");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<bool>("overload");
    QTest::addColumn<bool>("negative");
    QTest::addColumn<QString>("stored");

    QTest::newRow("number") << "DCV"
                            << "3.999"
                            << "V" << 1 << 3 << false << false << "3.999";
    QTest::newRow("negative number") << "DCV"
                                     << "-0.056"
                                     << "mV" << 0 << 3 << false << true << "-0.056";
    QTest::newRow("no decimals") << "Hz"
                                 << "4000"
                                 << "Hz" << 38 << 0 << false << false << "4000";
    QTest::newRow("+ OL") << "OHM"
                          << ""
                          << "Ω" << 12 << 0 << true << false << "+ OL ";
    QTest::newRow("+ OL.") << "OHM"
                           << ""
                           << "kΩ" << 13 << 1 << true << false << "+ OL. ";
    QTest::newRow("+ O.L") << "OHM"
                           << ""
                           << "kΩ" << 14 << 2 << true << false << "+ O.L ";
    QTest::newRow("+ .OL") << "OHM"
                           << ""
                           << "MΩ" << 16 << 3 << true << false << "+ .OL ";
    QTest::newRow("- OL") << "DCV"
                          << ""
                          << "V" << 4 << 0 << true << true << "- OL ";
    QTest::newRow("- OL.") << "DCV"
                           << ""
                           << "V" << 3 << 1 << true << true << "- OL. ";
    QTest::newRow("- O.L") << "DCV"
                           << ""
                           << "V" << 2 << 2 << true << true << "- O.L ";
    QTest::newRow("- .OL") << "DCV"
                           << ""
                           << "V" << 1 << 3 << true << true << "- .OL ";
    QTest::newRow("hFE blank unit") << "hFE"
                                    << "356"
                                    << " " << 44 << 0 << false << false << "356";
    QTest::newRow("degrees") << "TEMP"
                             << "-12"
                             << "℃" << 42 << 0 << false << true << "-12";
    QTest::newRow("kilo-ohm") << "OHM"
                              << "12.34"
                              << "kΩ" << 7 << 2 << false << false << "12.34";
}

void TestRecordStore::roundTrip()
{
    QFETCH(QString, func);
    QFETCH(QString, valueText);
    QFETCH(QString, unit);
    QFETCH(int, range);
    QFETCH(int, decimals);
    QFETCH(bool, overload);
    QFETCH(bool, negative);
    QFETCH(QString, stored);

    // Milliseconds are not stored: the row carries the whole second.
    const QDateTime second(kDay, QTime(9, 5, 3));
    TkDataDas reading;
    reading.funcStr = func;
    reading.valueStr = valueText;
    reading.unitStr = unit;
    reading.rangeIndex = range;
    reading.decimals = decimals;
    reading.overload = overload;
    reading.negative = negative;
    reading.time = second.addMSecs(789);
    QCOMPARE(m_store->insertRecord(&reading), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);

    std::unique_ptr<QSqlQueryModel> model(m_store->queryRange(second, second, m_connection));
    QCOMPARE(model->rowCount(), 1);
    const QSqlRecord r = model->record(0);
    QCOMPARE(r.value(QStringLiteral("funcstr")).toString(), func);
    QCOMPARE(r.value(QStringLiteral("datavaluestr")).toString(), stored);
    QCOMPARE(r.value(QStringLiteral("unitstr")).toString(), unit);
    QCOMPARE(r.value(QStringLiteral("frastr")).toString(), QString::number(range));
    QCOMPARE(r.value(QStringLiteral("frastr")).toInt(), range);
    QCOMPARE(r.value(QStringLiteral("create_time")).toDateTime(), second);

    // The text really is in the column, not only a value the model made up.
    QSqlQuery q(m_connection);
    QVERIFY(q.exec(
        QStringLiteral("SELECT datavaluestr, to_char(create_time, 'YYYY-MM-DD HH24:MI:SS') FROM invoice")));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), stored);
    QCOMPARE(q.value(1).toString(), QStringLiteral("2021-03-04 09:05:03"));
}

void TestRecordStore::boundsAreInclusive()
{
    const QDateTime ten(kDay, QTime(10, 0, 0));
    for (int s : {-1, 0, 5, 10, 11})
        insert(QString::number(s), ten.addSecs(s));
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);

    QCOMPARE(storedValues(ten, ten.addSecs(10)), QStringList({"0", "5", "10"}));
    QCOMPARE(storedValues(ten.addSecs(10), ten.addSecs(10)), QStringList({"10"}));
    QCOMPARE(storedValues(ten.addSecs(12), ten.addSecs(20)), QStringList());
}

void TestRecordStore::rowsComeBackInTimeOrder()
{
    const QDateTime t(kDay, QTime(11, 0, 0));
    insert(QStringLiteral("a"), t.addSecs(5));
    insert(QStringLiteral("b"), t.addSecs(1));
    insert(QStringLiteral("c"), t.addSecs(3));
    insert(QStringLiteral("d"), t.addSecs(1));
    insert(QStringLiteral("e"), t);
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
    // Within one second the order of insertion.
    QCOMPARE(storedValues(t, t.addSecs(5)), QStringList({"e", "b", "d", "c", "a"}));
}

// A COMMIT whose answer was lost, or the program died right after sending
// it: the journal names the transaction, and the store asks the server
// whether it committed before writing those readings.
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
    for (int i = 0; i < 5; ++i) {
        TkDataDas reading;
        StoreTest::setReading(reading, QString::number(i), t.addSecs(i));
        records.append({i + 1, MeasurementRecord::fromReading(reading)});
    }
    // The first three went out in one transaction.
    qint64 xid = 0;
    {
        QVERIFY(m_connection.transaction());
        QSqlQuery q(m_connection);
        QVERIFY(q.exec(QStringLiteral("SELECT txid_current()")) && q.next());
        xid = q.value(0).toLongLong();
        QVERIFY(q.prepare(
            QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) "
                           "VALUES (?, ?, ?, ?, ?)")));
        for (int i = 0; i < 3; ++i) {
            const MeasurementRecord &r = records.at(i).record;
            q.addBindValue(r.funcStr);
            q.addBindValue(r.valueText);
            q.addBindValue(r.unitStr);
            q.addBindValue(r.rangeText());
            q.addBindValue(r.timeText());
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        }
        QVERIFY(outcome == QLatin1String("commit") ? m_connection.commit() : m_connection.rollback());
        // An id the server has not handed out yet, as after a move to
        // another server.
        if (outcome == QLatin1String("unknown"))
            xid += 1000000;
    }
    {
        RecordJournal journal;
        JournalBacklog backlog;
        QString error;
        QVERIFY2(journal.open(m_spoolDir.path(), &backlog, &error), qPrintable(error));
        QVERIFY(backlog.records.isEmpty());
        QVERIFY2(journal.start(records, xid, 3, &error), qPrintable(error));
    }

    openStore();
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
    QCOMPARE(storedValues(t, t.addSecs(10)), QStringList({"0", "1", "2", "3", "4"}));
}

void TestRecordStore::existingFiveColumnTable()
{
    closeStore();
    qputenv("TK52K_DB_NAME", kLegacyDbName.toUtf8());
    auto restoreName = qScopeGuard([] { qputenv("TK52K_DB_NAME", kDbName.toUtf8()); });
    {
        // A table made by hand elsewhere: only the five columns, the range an integer.
        const QString name = QStringLiteral("legacy-setup");
        QSqlDatabase admin = StoreTest::adminConnection(name, DbSettings::fromEnvironment().port);
        QVERIFY2(admin.isOpen(), qPrintable(admin.lastError().text()));
        QSqlQuery q(admin);
        QVERIFY2(q.exec(QStringLiteral("CREATE DATABASE %1").arg(kLegacyDbName)),
                 qPrintable(q.lastError().text()));
        admin.close();
        admin = DbSettings::fromEnvironment().addConnection(name);
        QVERIFY(admin.open());
        QSqlQuery create(admin);
        QVERIFY(
            create.exec(QStringLiteral("CREATE TABLE invoice (funcstr varchar(16), datavaluestr varchar(16), "
                                       "unitstr varchar(8), frastr integer, create_time timestamp)")));
        admin.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("legacy-setup"));

    openStore();
    const QDateTime t(kDay, QTime(13, 0, 0));
    insert(QStringLiteral("2"), t.addSecs(2));
    insert(QStringLiteral("0"), t);
    TkDataDas overload;
    StoreTest::setReading(overload, QString(), t.addSecs(1));
    overload.overload = true;
    overload.negative = true;
    overload.decimals = 2;
    overload.rangeIndex = 7;
    QCOMPARE(m_store->insertRecord(&overload), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);

    std::unique_ptr<QSqlQueryModel> model(m_store->queryRange(t, t.addSecs(2), m_connection));
    QCOMPARE(model->rowCount(), 3);
    QCOMPARE(model->record(0).value(QStringLiteral("datavaluestr")).toString(), QStringLiteral("0"));
    QCOMPARE(model->record(1).value(QStringLiteral("datavaluestr")).toString(), QStringLiteral("- O.L "));
    QCOMPARE(model->record(1).value(QStringLiteral("frastr")).toInt(), 7);
    QCOMPARE(model->record(2).value(QStringLiteral("datavaluestr")).toString(), QStringLiteral("2"));

    QSqlQuery columns(m_connection);
    QVERIFY(columns.exec(
        QStringLiteral("SELECT count(*) FROM information_schema.columns WHERE table_name = 'invoice'")));
    QVERIFY(columns.next());
    QCOMPARE(columns.value(0).toInt(), 5);
    closeStore();
}

QTEST_GUILESS_MAIN(TestRecordStore)
#include "tst_recordstore.moc"
