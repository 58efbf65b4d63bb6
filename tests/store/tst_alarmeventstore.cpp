#include "scratchdatabase.h"

#include "core/meter/framedecoder.h"
#include "core/meter/meterreading.h"
#include "core/store/alarmjournal.h"
#include "core/store/alarmschema.h"
#include "core/store/database.h"
#include "core/store/storeworker.h"

#include <QTemporaryDir>

#include <QScopeGuard>
#include <QSqlQuery>
#include <QtTest>

#include <cmath>

namespace {

// The store's warnings, as the logger would print them.
QStringList g_warnings;
QMutex g_warningsMutex;
QtMessageHandler g_previousHandler = nullptr;

void collectAlarmWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg) {
        QMutexLocker lock(&g_warningsMutex);
        g_warnings << message;
    }
    g_previousHandler(type, context, message);
}

QStringList warnings()
{
    QMutexLocker lock(&g_warningsMutex);
    return g_warnings;
}

} // namespace

class tst_AlarmEventStore : public QObject
{
    Q_OBJECT

private slots:
    // A site's least-privilege writer: INSERT on invoice and nothing else.
    // While alarm_event is missing the readings go on, the events wait in
    // the journal and the store says so once; across a restart, once the
    // owner has made the table (as an earlier version did, without `source`)
    // and granted INSERT on it, every event is written exactly once.
    void aLoginThatMayOnlyInsert()
    {
        ScratchDatabase db(QStringLiteral("alarminsertonly"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        const QString role = QStringLiteral("tk52k_writer_%1").arg(QCoreApplication::applicationPid());
        QVERIFY2(db.addLogin(role, QStringLiteral("w1"),
                             QStringLiteral("REVOKE CREATE ON SCHEMA public FROM PUBLIC; GRANT INSERT ON invoice TO "
                                            "%1; GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO %1")),
                 qPrintable(db.error()));
        const DbSettings writer = db.settingsAs(role, QStringLiteral("w1"));

        const QDateTime t0(QDate(2026, 3, 3), QTime(8, 0));
        const auto event = [&](int i) {
            return AlarmEvent{
                t0.addSecs(i), QStringLiteral("DCV"), "V", AlarmEvent::Limit::Low, 2.5, 0.1772, i % 2 == 0,
                QString()};
        };
        QTemporaryDir spool;
        g_previousHandler = qInstallMessageHandler(collectAlarmWarnings);
        const auto restore = qScopeGuard([] { qInstallMessageHandler(g_previousHandler); });
        {
            database store(writer, spool.path());
            QCOMPARE(store.openDatabase(), 1);
            store.recordAlarm(event(0));
            store.recordAlarm(event(1));
            MeterReading r;
            r.funcStr = meterFunctionText(0);
            r.rangeIndex = meterRangeIndex(0, 1);
            r.unitStr = meterRangeUnit(r.rangeIndex);
            r.valueStr = QStringLiteral("0.177");
            r.decimals = 3;
            r.time = QDateTime::currentDateTime();
            QCOMPARE(store.submit(r), 1);
            QTRY_COMPARE_WITH_TIMEOUT(db.column(QStringLiteral("SELECT count(*) FROM invoice")),
                                      QStringLiteral("1"), 20000);
            QCOMPARE(store.state().alarmsPending, 2);
        }
        // One line for the partitions it may not make, one for the events.
        const QStringList said = warnings();
        QVERIFY2(said.size() == 2 && said.filter("alarm events wait in the journal").size() == 1 &&
                     said.filter("permission denied").size() == 2,
                 qPrintable(said.join('\n')));

        QVERIFY2(db.exec(QStringLiteral("CREATE TABLE alarm_event (id bigint GENERATED ALWAYS AS IDENTITY, "
                                        "event_time timestamp(3) NOT NULL, funcstr text, unitstr text, "
                                        "limit_kind text NOT NULL, limit_value double precision, "
                                        "value double precision, raised boolean NOT NULL); "
                                        "GRANT INSERT ON alarm_event TO %1")
                             .arg(role)),
                 qPrintable(db.error()));
        {
            database store(writer, spool.path());
            QCOMPARE(store.openDatabase(), 1);
            store.recordAlarm(event(2));
            QTRY_COMPARE_WITH_TIMEOUT(store.state().alarmsPending, 0, 20000);
        }
        {
            // Nothing is left to write a second time.
            database store(writer, spool.path());
            QCOMPARE(store.openDatabase(), 1);
            QCOMPARE(store.state().alarmsPending, 0);
        }
        QCOMPARE(db.column(QStringLiteral(
                     "SELECT concat_ws(' ', to_char(event_time, 'SS'), raised::int, value) FROM alarm_event "
                     "ORDER BY id")),
                 QStringLiteral("00 1 0.1772,01 0 0.1772,02 1 0.1772"));
        QCOMPARE(warnings().size(), 2);
    }

    void writtenEventsReadBackByRange()
    {
        ScratchDatabase db(QStringLiteral("alarmevents"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));

        const QDateTime t0(QDate(2026, 3, 1), QTime(10, 0, 0, 125));
        const QString dcv = QStringLiteral("直流电压");
        const QVector<AlarmEvent> events{
            {t0, dcv, "V", AlarmEvent::Limit::High, 5.0, 5.25, true, QString()},
            {t0.addMSecs(875), dcv, "V", AlarmEvent::Limit::High, 5.0, 4.5, false, QString()},
            {t0.addSecs(1), QStringLiteral("电阻"), QStringLiteral("kΩ"), AlarmEvent::Limit::High, 10,
             HUGE_VAL, true, QString()},
            {t0.addSecs(2), dcv, "V", AlarmEvent::Limit::Low, -0.001, -0.0015, true, QString()},
        };
        {
            QTemporaryDir spool;
            database store(db.settings(), spool.path());
            store.setSource(QStringLiteral("bench 3"));
            QCOMPARE(store.openDatabase(), 1);
            for (const AlarmEvent &e : events)
                store.recordAlarm(e);
            QTRY_COMPARE_WITH_TIMEOUT(store.state().alarmsPending, 0, 20000);
        }
        QVector<AlarmEvent> named = events;
        for (AlarmEvent &e : named)
            e.source = QStringLiteral("bench 3");

        QSqlDatabase reader = db.connection();
        const AlarmSchema::Load all = AlarmSchema::select(reader, t0, t0.addSecs(2), QString());
        QVERIFY2(all.ok, qPrintable(all.error));
        QCOMPARE(all.events, named);

        // Bounds hold to the millisecond; another meter's events are not ours.
        const AlarmSchema::Load inner =
            AlarmSchema::select(reader, t0.addMSecs(1), t0.addMSecs(1875), "bench 3");
        QVERIFY(inner.ok);
        QCOMPARE(inner.events, named.mid(1, 2));
        QVERIFY(AlarmSchema::select(reader, t0, t0.addSecs(2), "bench 4").events.isEmpty());

        // Settings found unusable address no server, not even the one the
        // rest of them names.
        DbSettings unusable = db.settings();
        unusable.problem = QStringLiteral("TK52K_DB_PORT \"abc\" is not a port number");
        {
            QTemporaryDir spool;
            database store(unusable, spool.path());
            QCOMPARE(store.openDatabase(), -1);
            store.recordAlarm(events.first());
        }
        QCOMPARE(AlarmSchema::select(reader, t0, t0.addSecs(2), QString()).events.size(), events.size());
    }

    // A program that died once its COMMIT was out left the events and the
    // transaction's note in its journal: the next start asks the server and
    // writes them only where that transaction did not commit.
    void aCommitWhoseAnswerWasLost_data()
    {
        QTest::addColumn<bool>("committed");
        QTest::addColumn<bool>("elsewhere");
        QTest::addColumn<bool>("theirs"); // the transaction wrote the events
        QTest::newRow("committed") << true << false << true;
        QTest::newRow("rolled back") << false << false << true;
        // A transaction of that number committed in another database (as on
        // a server failed over to) is no answer for this one.
        QTest::newRow("committed elsewhere") << true << true << true;
        // Nor is one of a server that handed the number out again after a crash.
        QTest::newRow("number handed out again") << true << false << false;
    }
    void aCommitWhoseAnswerWasLost()
    {
        QFETCH(bool, committed);
        QFETCH(bool, elsewhere);
        QFETCH(bool, theirs);
        ScratchDatabase db(QStringLiteral("alarmuncertain"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        ScratchDatabase other(QStringLiteral("alarmuncertainother"));
        QVERIFY2(other.isReady(), qPrintable(other.error()));
        db.select();
        QSqlDatabase writer = elsewhere ? other.connection() : db.connection();
        QString error;
        QVERIFY2(AlarmSchema::ensureTable(writer, &error), qPrintable(error));
        const QDateTime t0(QDate(2026, 3, 4), QTime(9, 0));
        const QVector<AlarmEvent> events{
            {t0, QStringLiteral("DCV"), "V", AlarmEvent::Limit::High, 5.5, 5.6, true, QStringLiteral("m")},
            {t0.addSecs(1), QStringLiteral("DCV"), "V", AlarmEvent::Limit::High, 5.5, 5.0, false,
             QStringLiteral("m")}};
        const QString server = StoreWorker::serverIdentity(writer);
        QVERIFY(!server.isEmpty());
        QVERIFY(writer.transaction());
        for (const AlarmEvent &e : events)
            QVERIFY2(!theirs || AlarmSchema::insert(writer, e, &error), qPrintable(error));
        QSqlQuery ask(writer);
        QVERIFY(ask.exec(QStringLiteral("SELECT txid_current()")) && ask.next());
        const qint64 xid = ask.value(0).toLongLong();
        QVERIFY(committed ? writer.commit() : writer.rollback());

        QTemporaryDir spool;
        {
            AlarmJournal dead;
            AlarmBacklog none;
            QVERIFY2(dead.open(spool.path(), &none, &error) && dead.start({}, 0, 0, QString(), &error),
                     qPrintable(error));
            dead.append({1, events[0]});
            dead.append({2, events[1]});
            QVERIFY(dead.beginCommit(xid, 1, 2, server));
        }
        {
            database store(db.settings(), spool.path());
            QCOMPARE(store.openDatabase(), 1);
            QTRY_COMPARE_WITH_TIMEOUT(store.state().alarmsPending, 0, 20000);
        }
        QCOMPARE(db.column(QStringLiteral("SELECT count(*) FROM alarm_event")), QStringLiteral("2"));
    }

    // Two copies of the program beside each other, the server out of reach:
    // the second keeps its events in a file of its own, and the next start
    // takes over both.
    void eventsOfASecondCopyAreTakenOver()
    {
        ScratchDatabase db(QStringLiteral("alarmtwocopies"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        DbSettings away = db.settings();
        away.port = 1;
        const QDateTime t0(QDate(2026, 3, 5), QTime(7, 0));
        QTemporaryDir spool;
        {
            database first(away, spool.path());
            database second(away, spool.path());
            QCOMPARE(first.openDatabase(), 1);
            QCOMPARE(second.openDatabase(), 1);
            first.recordAlarm({t0, QStringLiteral("DCV"), "V", AlarmEvent::Limit::High, 5.5, 6, true, "a"});
            second.recordAlarm(
                {t0.addSecs(1), QStringLiteral("DCV"), "V", AlarmEvent::Limit::High, 5.5, 6, true, "b"});
        }
        QCOMPARE(QDir(spool.path()).entryList({"pending-alarms*.journal"}).size(), 2);
        {
            database next(db.settings(), spool.path());
            QCOMPARE(next.openDatabase(), 1);
            QTRY_COMPARE_WITH_TIMEOUT(next.state().alarmsPending, 0, 20000);
        }
        QCOMPARE(db.column(QStringLiteral("SELECT source FROM alarm_event ORDER BY event_time")),
                 QStringLiteral("a,b"));
        QVERIFY(QDir(spool.path()).entryList({"pending-alarms*.journal"}).isEmpty());
    }

    // Past the bound of waiting events the oldest go, never the latest.
    void aLongOutageKeepsTheNewest()
    {
        ScratchDatabase db(QStringLiteral("alarmbound"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QSqlDatabase holder = db.connection();
        QString error;
        QVERIFY2(AlarmSchema::ensureTable(holder, &error), qPrintable(error));
        QVERIFY(holder.transaction());
        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("LOCK TABLE alarm_event IN ACCESS EXCLUSIVE MODE")));

        const QDateTime t0(QDate(2026, 3, 2), QTime(0, 0));
        const int n = StoreWorker::kMaxAlarms + 50;
        QTemporaryDir spool;
        database store(db.settings(), spool.path());
        QCOMPARE(store.openDatabase(), 1);
        for (int i = 0; i < n; ++i)
            store.recordAlarm({t0.addSecs(i), QStringLiteral("直流电压"), "V", AlarmEvent::Limit::High, 5.0,
                               6.0, true, QString()});
        QVERIFY(store.state().alarmsPending <= StoreWorker::kMaxAlarms);
        QVERIFY(holder.rollback());
        QTRY_COMPARE_WITH_TIMEOUT(store.state().alarmsPending, 0, 60000);

        const AlarmSchema::Load stored = AlarmSchema::select(holder, t0, t0.addSecs(n), QString());
        QVERIFY2(stored.ok, qPrintable(stored.error));
        QVERIFY(stored.events.size() >= StoreWorker::kMaxAlarms);
        QCOMPARE(stored.events.last().time, t0.addSecs(n - 1));
    }
};

QTEST_GUILESS_MAIN(tst_AlarmEventStore)
#include "tst_alarmeventstore.moc"
