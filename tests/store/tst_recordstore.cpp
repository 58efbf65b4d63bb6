#include "scratchdatabase.h"
#include "testreading.h"

#include "core/store/database.h"
#include "core/store/recordjournal.h"
#include "core/store/recordschema.h"
#include "core/store/storeworker.h"
#include "fulldisk.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const QDate kDay(2021, 3, 4);
} // namespace

class TestRecordStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_spoolDir;
    std::unique_ptr<ScratchDatabase> m_db;
    std::unique_ptr<database> m_store;

    void openStore()
    {
        m_store = std::make_unique<database>();
        QCOMPARE(m_store->openDatabase(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(m_store->isConnected(), 20000);
    }
    void closeStore() { m_store.reset(); }
    void insert(const QString &value, const QDateTime &time)
    {
        TkDataDas reading;
        setDcVoltReading(reading, value, time);
        QCOMPARE(m_store->insertRecord(&reading), 1);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_spoolDir.isValid());
        qputenv("TK52K_SPOOL_DIR", QFile::encodeName(m_spoolDir.path()));
        qputenv("TK52K_SOURCE", "bench 3 /dev/ttyUSB0");
        m_db = std::make_unique<ScratchDatabase>(QStringLiteral("recordstore"),
                                                 ScratchDatabase::Content::Nothing);
        QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
    }
    void init()
    {
        // The first store of the run creates the database and the table.
        openStore();
        QVERIFY2(m_db->exec(QStringLiteral("DELETE FROM invoice")), qPrintable(m_db->error()));
    }
    void cleanup() { closeStore(); }

    // What a reading becomes in the table: every column, the time to the
    // millisecond, an overload as its signed text.
    void roundTrip()
    {
        TkDataDas r;
        setDcVoltReading(r, QString(), QDateTime(kDay, QTime(9, 5, 3, 789)));
        r.overload = r.negative = true;
        QCOMPARE(m_store->insertRecord(&r), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(m_db->column("SELECT concat_ws('|', funcstr, datavaluestr, unitstr, frastr, "
                              "to_char(create_time, 'YYYY-MM-DD HH24:MI:SS.MS'), source) "
                              "FROM invoice"),
                 QStringLiteral("DCV|- .OL |V|1|2021-03-04 09:05:03.789|bench 3 /dev/ttyUSB0"));
    }

    // A COMMIT whose answer was lost: the journal names the transaction and
    // the server it went to, and the store asks that server whether it
    // committed before writing those readings. Another server's transaction
    // of the same number says nothing about them: they are written again.
    void unconfirmedCommitIsSettled_data()
    {
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("server");
        QTest::newRow("committed, journal naming no server") << "commit"
                                                             << "";
        QTest::newRow("committed here") << "commit"
                                        << "here";
        QTest::newRow("rolled back") << "rollback"
                                     << "here";
        QTest::newRow("unknown to the server") << "unknown"
                                               << "";
        QTest::newRow("committed by another cluster") << "other's commit"
                                                      << "other cluster";
        QTest::newRow("committed in another database") << "other's commit"
                                                       << "other database";
        // A server back from a crash hands out again the numbers it never
        // wrote down: the one noted may be another transaction's, committed.
        QTest::newRow("number handed out again") << "other's commit"
                                                 << "here";
    }
    void unconfirmedCommitIsSettled()
    {
        QFETCH(QString, outcome);
        QFETCH(QString, server);
        closeStore();

        const QDateTime t(kDay, QTime(12, 0, 0));
        JournaledRecords records;
        for (int i = 0; i < 5; ++i)
            records.append({i + 1, {"DCV", QString::number(i), "V", 1, t.addSecs(i), QString()}});
        // The first three went out in one transaction.
        QVERIFY(m_db->exec(QStringLiteral("BEGIN")));
        qint64 xid = m_db->column(QStringLiteral("SELECT txid_current()")).toLongLong();
        QVERIFY(xid > 0);
        // Elsewhere the readings went to another server, which this one's
        // committed transaction of that number never saw.
        for (int i = 0; i < 3 && outcome != QLatin1String("other's commit"); ++i)
            QVERIFY2(m_db->insert(t.addSecs(i), QString::number(i), "V", "DCV", "1"),
                     qPrintable(m_db->error()));
        QVERIFY(m_db->exec(outcome.endsWith(QLatin1String("commit")) ? "COMMIT" : "ROLLBACK"));
        QString identity;
        if (!server.isEmpty()) {
            QSqlDatabase db = m_db->connection();
            identity = StoreWorker::serverIdentity(db);
            QVERIFY(!identity.isEmpty() && !identity.startsWith('-'));
        }
        if (server == QLatin1String("other cluster"))
            identity = "1" + identity.section(':', 0, 0) + ':' + identity.section(':', 1);
        if (server == QLatin1String("other database")) {
            ScratchDatabase other(QStringLiteral("recordstore_other"),
                                  ScratchDatabase::Content::EmptyDatabase);
            QSqlDatabase db = other.connection();
            // As a login that may not read the server's control data sees it.
            identity = "-:" + StoreWorker::serverIdentity(db).section(':', 1);
            m_db->select();
        }
        // An id the server has not handed out yet, as after a move to another server.
        if (outcome == QLatin1String("unknown"))
            xid += 1000000;
        {
            RecordJournal journal;
            JournalBacklog backlog;
            QString error;
            QVERIFY2(journal.open(m_spoolDir.path(), &backlog, &error), qPrintable(error));
            QVERIFY2(journal.start(records, xid, 3, &error, identity), qPrintable(error));
        }

        openStore();
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(storedValues(t, t.addSecs(10)), QStringList({"0", "1", "2", "3", "4"}));
    }

    // A table made by hand elsewhere: only the five columns, the range an
    // integer. Whatever fractions its column keeps, it gets the reading's
    // second, as the program has always written it (not the one the server
    // would round to), so a query of whole seconds finds the reading.
    void existingFiveColumnTable_data()
    {
        QTest::addColumn<QString>("timeType");
        QTest::addColumn<QString>("storedTime");
        QTest::newRow("timestamp") << "timestamp"
                                   << "2021-03-04 13:00:02";
        QTest::newRow("timestamp(3)") << "timestamp(3)"
                                      << "2021-03-04 13:00:02";
        QTest::newRow("timestamp(0)") << "timestamp(0)"
                                      << "2021-03-04 13:00:02";
    }
    void existingFiveColumnTable()
    {
        QFETCH(QString, timeType);
        QFETCH(QString, storedTime);
        closeStore();
        ScratchDatabase legacy(QStringLiteral("recordstore_legacy"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(
            legacy.exec(QStringLiteral("CREATE TABLE invoice (funcstr varchar(16), datavaluestr varchar(16), "
                                       "unitstr varchar(8), frastr integer, create_time %1)")
                            .arg(timeType)),
            qPrintable(legacy.error()));
        auto back = qScopeGuard([this] {
            closeStore();
            m_db->select();
        });

        openStore();
        insert(QStringLiteral("2"), QDateTime(kDay, QTime(13, 0, 2, 789)));
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(legacy.column("SELECT concat_ws('|', datavaluestr, frastr, create_time) FROM invoice "
                               "WHERE create_time BETWEEN '2021-03-04 13:00:00' AND '2021-03-04 13:00:02'"),
                 QStringLiteral("2|1|") + storedTime);
    }

    // A row the server refuses for good holds up nothing: the rest is stored,
    // the refused reading waits in the quarantine file, the status bar and
    // stderr say why, and it is written once asked after the cause is mended.
    void refusedRowsAreQuarantined_data()
    {
        QTest::addColumn<QString>("refuse");
        QTest::addColumn<QString>("mend");
        QTest::addColumn<QString>("reason");

        QTest::newRow("check constraint")
            << "ALTER TABLE invoice ADD CONSTRAINT no_bad CHECK (datavaluestr <> 'bad')"
            << "ALTER TABLE invoice DROP CONSTRAINT no_bad"
            << "no_bad";
        QTest::newRow("column too short") << "ALTER TABLE invoice ALTER COLUMN datavaluestr TYPE varchar(2)"
                                          << "ALTER TABLE invoice ALTER COLUMN datavaluestr TYPE text"
                                          << "too long";
        QTest::newRow("trigger")
            << "CREATE FUNCTION no_bad() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF NEW.datavaluestr = "
               "'bad' THEN RAISE EXCEPTION 'no bad readings here'; END IF; RETURN NEW; END $$; "
               "CREATE TRIGGER no_bad BEFORE INSERT ON invoice FOR EACH ROW EXECUTE FUNCTION no_bad()"
            << "DROP TRIGGER no_bad ON invoice; DROP FUNCTION no_bad()"
            << "no bad readings here";
    }
    void refusedRowsAreQuarantined()
    {
        QFETCH(QString, refuse);
        QFETCH(QString, mend);
        QFETCH(QString, reason);
        QVERIFY2(m_db->exec(refuse), qPrintable(m_db->error()));

        const QDateTime t(kDay, QTime(14, 0, 0));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("refused the reading .*bad.*") + reason));
        insert(QStringLiteral("1"), t);
        insert(QStringLiteral("bad"), t.addSecs(1));
        insert(QStringLiteral("3"), t.addSecs(2));
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(storedValues(t, t.addSecs(9)), QStringList({"1", "3"}));
        const QString status = m_store->statusText();
        QVERIFY2(status.startsWith(QStringLiteral("数据库已连接；1 条读数被服务器拒绝：")) &&
                     status.contains(reason),
                 qPrintable(status));

        // Kept across a restart, and written only when asked.
        closeStore();
        openStore();
        QCOMPARE(m_store->rejectedCount(), 1);
        QVERIFY2(m_db->exec(mend), qPrintable(m_db->error()));
        QCOMPARE(m_store->retryRejected(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(storedValues(t, t.addSecs(9)), QStringList({"1", "bad", "3"}));
        QCOMPARE(m_store->statusText(), QStringLiteral("数据库已连接"));
        QCOMPARE(m_store->retryRejected(), 0);
    }

    // Settings the program cannot use are errors, never a silent fallback.
    void unusableSettings_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QByteArray>("value");

        QTest::newRow("port out of range") << QByteArray("TK52K_DB_PORT") << QByteArray("70000");
        QTest::newRow("empty database name") << QByteArray("TK52K_DB_NAME") << QByteArray();
        QTest::newRow("name the server would cut") << QByteArray("TK52K_DB_NAME") << QByteArray(64, 'a');
        // A meter name that could not be stored as given.
        QTest::newRow("meter name not UTF-8") << QByteArray("TK52K_SOURCE") << QByteArray("caf\xe9");
        QTest::newRow("meter name with a tab") << QByteArray("TK52K_SOURCE") << QByteArray("bench\t7");
    }
    void unusableSettings()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, value);
        closeStore();
        qputenv(variable.constData(), value);
        auto back = qScopeGuard([this] {
            qunsetenv("TK52K_DB_PORT");
            qunsetenv("TK52K_SOURCE");
            m_db->select();
        });

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QString::fromLatin1(variable)));
        database store;
        QCOMPARE(store.openDatabase(), -1);
        const QString status = store.statusText();
        QVERIFY2(status.startsWith(QStringLiteral("数据库未连接（待写入 0 条）；设置无效：")) &&
                     status.contains(QString::fromLatin1(variable)),
                 qPrintable(status));
    }

    // The database name is the user's text, whatever it holds: the program
    // makes and uses exactly that database, and nothing else runs. A CREATE
    // the server refuses is shown with its reason.
    void databaseNamesAreQuoted_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<bool>("mayCreate");

        QTest::newRow("quotes around other SQL") << "\" WITH TEMPLATE template0 --\"" << true;
        QTest::newRow("dot") << ".b" << true;
        QTest::newRow("no right to create") << "_refused" << false;
    }
    void databaseNamesAreQuoted()
    {
        QFETCH(QString, suffix);
        QFETCH(bool, mayCreate);
        closeStore();
        const QString role = m_db->name() + QStringLiteral("_role");
        const QString name =
            (suffix.startsWith('"') ? QStringLiteral("\"") : QString()) + m_db->name() + suffix;
        auto back = qScopeGuard([&] {
            closeStore();
            qunsetenv("TK52K_DB_USER");
            m_db->exec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)")
                           .arg(RecordSchema::quotedIdentifier(name)));
            m_db->exec(QStringLiteral("DROP ROLE IF EXISTS %1").arg(role));
            m_db->select();
        });
        if (!mayCreate) {
            QVERIFY2(
                m_db->exec(
                    QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'").arg(role, DbSettings().password)),
                qPrintable(m_db->error()));
            qputenv("TK52K_DB_USER", role.toUtf8());
            QTest::ignoreMessage(
                QtWarningMsg, QRegularExpression(QStringLiteral("CREATE DATABASE .* failed: .*permission")));
        }
        qputenv("TK52K_DB_NAME", name.toUtf8());

        m_store = std::make_unique<database>();
        QCOMPARE(m_store->openDatabase(), 1);
        if (!mayCreate) {
            QTRY_VERIFY_WITH_TIMEOUT(m_store->statusText().contains(QStringLiteral("permission denied")),
                                     20000);
            QVERIFY2(m_store->statusText().startsWith(
                         QStringLiteral("数据库未连接：数据库不存在（待写入 0 条）；CREATE DATABASE ")),
                     qPrintable(m_store->statusText()));
            return;
        }
        const QDateTime t(kDay, QTime(15, 0, 0));
        insert(QStringLiteral("7"), t);
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(storedValues(t, t), QStringList{"7"});
        QStringList expected{m_db->name(), name};
        expected.sort();
        QCOMPARE(
            m_db->column(QStringLiteral("SELECT datname FROM pg_database WHERE strpos(datname, '%1') > 0 "
                                        "ORDER BY datname COLLATE \"C\"")
                             .arg(m_db->name())),
            expected.join(','));
    }

    // While the journal cannot be written the status bar says the readings
    // are not safe on the disk; they are still stored once each, and the
    // journal never holds readings the server already has.
    void journalOnAFullDisk()
    {
        // Nothing fits beyond the journal file's header.
        FullDisk disk(QByteArray("tk52k-journal\t1\n").size());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot write the journal")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no longer safe on the disk")));
        const QDateTime t(kDay, QTime(16, 0, 0));
        for (int i = 0; i < 500; ++i)
            insert(QString::number(i), t.addSecs(i));
        QTRY_VERIFY_WITH_TIMEOUT(m_store->statusText().endsWith(QStringLiteral("；读数未能保存到磁盘")),
                                 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(storedValues(t, t.addSecs(499)).size(), 500);

        // Space again: the journal takes readings again.
        QVERIFY(disk.lift());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("can be written again")));
        insert(QStringLiteral("500"), t.addSecs(500));
        QTRY_COMPARE_WITH_TIMEOUT(m_store->statusText(), QStringLiteral("数据库已连接"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(storedValues(t, t.addSecs(500)).size(), 501);
    }

    // A full disk while the server is away: the journal is written anew from
    // memory as soon as the disk takes writes again, with no server, so it
    // holds every waiting reading; an end while the disk is still full says
    // exactly how many readings were not kept.
    void journalRepairsWithoutTheServer_data()
    {
        QTest::addColumn<bool>("room");
        QTest::newRow("room again before the end") << true;
        QTest::newRow("disk still full at the end") << false;
    }
    void journalRepairsWithoutTheServer()
    {
        QFETCH(bool, room);
        closeStore();
        QTemporaryDir temp;
        const QString spool = temp.filePath(QStringLiteral("journal")); // the store makes it
        DbSettings away = m_db->settings();
        away.port = 9; // nothing listens: refused at once
        database store(away, spool);
        QCOMPARE(store.openDatabase(), 1);
        const QDateTime t(kDay, QTime(17, 0, 0));
        TkDataDas reading;
        setDcVoltReading(reading, QStringLiteral("1"), t);
        QCOMPARE(store.insertRecord(&reading), 1);
        QTRY_VERIFY(store.isDurable());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot write the journal")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no longer safe on the disk")));
        FullDisk disk(QByteArray("tk52k-journal\t1\n").size());
        for (int i = 2; i <= 40; ++i) {
            setDcVoltReading(reading, QString::number(i), t.addSecs(i));
            store.insertRecord(&reading);
        }
        QTRY_VERIFY_WITH_TIMEOUT(store.statusText().endsWith(QStringLiteral("；读数未能保存到磁盘")), 20000);
        if (room) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("can be written again")));
            QVERIFY(disk.lift());
            QTRY_VERIFY_WITH_TIMEOUT(!store.statusText().contains(QStringLiteral("读数未能保存到磁盘")), 20000);
            QVERIFY(store.isDurable());
        }
        const database::Ending end = store.shutdown(0);
        QCOMPARE(end.inJournal, room ? 40 : 0);
        QCOMPARE(end.notKept, room ? 0 : 40);
        disk.lift();

        RecordJournal next;
        JournalBacklog backlog;
        QString error;
        QVERIFY2(next.open(spool, &backlog, &error), qPrintable(error));
        QCOMPARE(backlog.records.size(), room ? 40 : 0);
        if (room)
            QCOMPARE(backlog.records.last().record.valueText, QStringLiteral("40"));
        // Kept from every other user of the computer.
        QCOMPARE(QFileInfo(spool).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
        QCOMPARE(QFileInfo(next.filePath()).permissions() & (QFile::ReadGroup | QFile::ReadOther),
                 QFile::Permissions());
    }

    // An archived table (renamed away) keeps its partitions' and index's
    // names; the new table's must not collide with them. A row that finds no
    // partition is a fault of the table, not of the row: it waits, is never
    // quarantined, and goes in once the table is mended.
    void archivedTableAndMissingPartition()
    {
        const QDateTime now = QDateTime::currentDateTime();
        insert(QStringLiteral("1"), now);
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        closeStore();
        QVERIFY2(m_db->exec(QStringLiteral("ALTER TABLE invoice RENAME TO invoice_old")), qPrintable(m_db->error()));
        auto back = qScopeGuard([this] {
            closeStore();
            m_db->exec(QStringLiteral("DROP TABLE IF EXISTS invoice"));
            m_db->exec(QStringLiteral("ALTER TABLE invoice_old RENAME TO invoice"));
        });

        openStore();
        const QDateTime old(kDay, QTime(9, 0, 0)); // outside every month partition
        insert(QStringLiteral("2"), now);
        insert(QStringLiteral("3"), old);
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(m_db->column("SELECT datavaluestr FROM invoice ORDER BY id"), QStringLiteral("2,3"));
        QCOMPARE(m_db->column("SELECT count(*) FROM pg_indexes WHERE tablename = 'invoice'"), QStringLiteral("1"));

        // The default partition goes, with row 3, while the program runs.
        const QString defaultPartition = m_db->column(
            "SELECT c.relname FROM pg_inherits h JOIN pg_class c ON c.oid = h.inhrelid "
            "WHERE h.inhparent = 'invoice'::regclass AND pg_get_expr(c.relpartbound, c.oid) = 'DEFAULT'");
        QVERIFY(!defaultPartition.isEmpty());
        QVERIFY2(m_db->exec(QStringLiteral("DROP TABLE %1").arg(defaultPartition)), qPrintable(m_db->error()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("has no partition")));
        insert(QStringLiteral("4"), old.addSecs(1));
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(m_store->rejectedCount(), 0);
        QCOMPARE(m_db->column("SELECT datavaluestr FROM invoice ORDER BY id"), QStringLiteral("2,4"));
        QCOMPARE(m_db->column("SELECT count(*) FROM invoice_old"), QStringLiteral("1"));
    }

    // The table the program makes keeps each month in a partition of its
    // own, made ahead; readings across a month's end are stored in both.
    // The table's layout recorded as one that only a newer program writes
    // rightly: the store writes nothing and says why, keeping the reading
    // until the record lets this version write again.
    void newerLayoutWaits()
    {
        closeStore();
        QVERIFY2(m_db->exec(QStringLiteral("UPDATE tk52k_schema_version SET oldest_writer = '99.1', "
                                           "recorded_by = '99.1' WHERE part = 'invoice'")),
                 qPrintable(m_db->error()));
        m_store = std::make_unique<database>();
        QCOMPARE(m_store->openDatabase(), 1);
        insert(QStringLiteral("4.321"), QDateTime(kDay, QTime(8, 0)));
        QTRY_VERIFY2_WITH_TIMEOUT(m_store->statusText().contains(QLatin1String("99.1")),
                                  qPrintable(m_store->statusText()), 20000);
        QCOMPARE(m_db->column(QStringLiteral("SELECT count(*) FROM invoice")), QStringLiteral("0"));
        QVERIFY2(m_db->exec(QStringLiteral("UPDATE tk52k_schema_version SET oldest_writer = '2.0' "
                                           "WHERE part = 'invoice'")),
                 qPrintable(m_db->error()));
        QTRY_COMPARE_WITH_TIMEOUT(m_db->column(QStringLiteral("SELECT datavaluestr FROM invoice")),
                                  QStringLiteral("4.321"), 60000);
    }

    void monthlyPartitions()
    {
        const QDate today = QDate::currentDate();
        const QDateTime boundary(QDate(today.year(), today.month(), 1).addMonths(1), QTime(0, 0));
        // The last second of the furthest month made ahead, too.
        const QDateTime furthest = boundary.addMonths(2).addSecs(-1);
        for (const QDateTime &t : {boundary.addSecs(-2), boundary.addSecs(-1), boundary, furthest})
            insert(QStringLiteral("1"), t);
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);

        const QString before = RecordSchema::partitionName(boundary.date().addDays(-1));
        const QString last = RecordSchema::partitionName(furthest.date());
        QCOMPARE(m_db->column("SELECT tableoid::regclass::text FROM invoice ORDER BY create_time"),
                 QStringList({before, before, RecordSchema::partitionName(boundary.date()), last}).join(','));
    }

    // Readings gathered for the next transaction are not shown as waiting;
    // a writer held up by a connected server shows what waits.
    void aBacklogShowsWhileConnected()
    {
        QSqlDatabase holder = m_db->connection();
        QVERIFY(holder.transaction());
        QSqlQuery lock(holder);
        QVERIFY2(lock.exec(QStringLiteral("LOCK TABLE invoice IN ACCESS EXCLUSIVE MODE")),
                 qPrintable(lock.lastError().text()));
        for (int i = 0; i < 3; ++i)
            insert(QString::number(i), QDateTime(kDay, QTime(18, 0, i)));
        QTRY_COMPARE_WITH_TIMEOUT(m_store->statusText(), QStringLiteral("数据库已连接（待写入 3 条）"), 20000);
        QVERIFY(holder.rollback());
        QTRY_COMPARE_WITH_TIMEOUT(m_store->pendingCount(), 0, 20000);
        QCOMPARE(m_store->statusText(), QStringLiteral("数据库已连接"));
    }
};

QTEST_GUILESS_MAIN(TestRecordStore)
#include "tst_recordstore.moc"
