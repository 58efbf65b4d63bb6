#include "scratchdatabase.h"

#include "core/store/alarmeventstore.h"

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
            {t0, dcv, "V", AlarmEvent::Limit::High, 5.0, 5.25, true},
            {t0.addMSecs(875), dcv, "V", AlarmEvent::Limit::High, 5.0, 4.5, false},
            {t0.addSecs(1), QStringLiteral("电阻"), QStringLiteral("kΩ"), AlarmEvent::Limit::High, 10,
             HUGE_VAL, true},
            {t0.addSecs(2), dcv, "V", AlarmEvent::Limit::Low, -0.001, -0.0015, true},
        };
        {
            AlarmEventStore store(db.settings());
            for (const AlarmEvent &e : events)
                store.record(e);
            QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 20000);
        }

        const AlarmEventLoad all = loadAlarmEvents(db.settings(), t0, t0.addSecs(2));
        QVERIFY2(all.ok, qPrintable(all.error));
        QCOMPARE(all.events, events);

        // Bounds hold to the millisecond.
        const AlarmEventLoad inner = loadAlarmEvents(db.settings(), t0.addMSecs(1), t0.addMSecs(1875));
        QVERIFY(inner.ok);
        QCOMPARE(inner.events, events.mid(1, 2));

        // Settings found unusable address no server, not even the one the
        // rest of them names.
        DbSettings unusable = db.settings();
        unusable.problem = QStringLiteral("TK52K_DB_PORT \"abc\" is not a port number");
        QCOMPARE(loadAlarmEvents(unusable, t0, t0.addSecs(2)).error, unusable.problem);
        AlarmEventStore store(unusable);
        store.record(events.first());
        store.shutdown(1000);
        QCOMPARE(store.pendingCount(), 1);
        QCOMPARE(loadAlarmEvents(db.settings(), t0, t0.addSecs(2)).events, events);
    }

    // Past the bound of waiting events the oldest go, never the latest.
    void aLongOutageKeepsTheNewest()
    {
        ScratchDatabase db(QStringLiteral("alarmbound"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QVERIFY2(db.exec(QLatin1String(AlarmEventSchema::kCreateTable)), qPrintable(db.error()));
        QSqlDatabase holder = db.connection();
        QVERIFY(holder.transaction());
        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("LOCK TABLE alarm_event IN ACCESS EXCLUSIVE MODE")));

        const QDateTime t0(QDate(2026, 3, 2), QTime(0, 0));
        const int n = AlarmEventStore::kMaxPending + 50;
        AlarmEventStore store(db.settings());
        for (int i = 0; i < n; ++i)
            store.record(
                {t0.addSecs(i), QStringLiteral("直流电压"), "V", AlarmEvent::Limit::High, 5.0, 6.0, true});
        QCOMPARE(store.pendingCount(), AlarmEventStore::kMaxPending);
        QVERIFY(holder.rollback());
        QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 60000);

        const AlarmEventLoad stored = loadAlarmEvents(db.settings(), t0, t0.addSecs(n));
        QVERIFY2(stored.ok, qPrintable(stored.error));
        QVERIFY(stored.events.size() >= AlarmEventStore::kMaxPending);
        QCOMPARE(stored.events.last().time, t0.addSecs(n - 1));
    }
};

QTEST_GUILESS_MAIN(tst_AlarmEventStore)
#include "tst_alarmeventstore.moc"
