#include "scratchdatabase.h"

#include "core/store/alarmschema.h"
#include "core/store/database.h"
#include "core/store/storeworker.h"

#include <QTemporaryDir>

#include <QSqlQuery>
#include <QtTest>

#include <cmath>

class tst_AlarmEventStore : public QObject
{
    Q_OBJECT

private slots:
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
        const AlarmSchema::Load inner = AlarmSchema::select(reader, t0.addMSecs(1), t0.addMSecs(1875), "bench 3");
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
            store.recordAlarm({t0.addSecs(i), QStringLiteral("直流电压"), "V", AlarmEvent::Limit::High, 5.0, 6.0,
                               true, QString()});
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
