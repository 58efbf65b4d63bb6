#include "scratchdatabase.h"

#include "store/alarmeventstore.h"

#include <QtTest>

#include <cmath>

class tst_AlarmEventStore : public QObject
{
    Q_OBJECT

private slots:
    void writtenEventsReadBackByRange();
};

void tst_AlarmEventStore::writtenEventsReadBackByRange()
{
    ScratchDatabase db(QStringLiteral("alarmevents"));
    QVERIFY2(db.isReady(), qPrintable(db.error()));

    const QDateTime t0(QDate(2026, 3, 1), QTime(10, 0, 0, 125));
    const QString dcv = QStringLiteral("直流电压");
    const QVector<AlarmEvent> events{
        {t0, dcv, "V", AlarmEvent::Limit::High, 5.0, 5.25, true},
        {t0.addMSecs(875), dcv, "V", AlarmEvent::Limit::High, 5.0, 4.5, false},
        {t0.addSecs(1), QStringLiteral("电阻"), QStringLiteral("kΩ"), AlarmEvent::Limit::High, 10, HUGE_VAL,
         true},
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
}

QTEST_GUILESS_MAIN(tst_AlarmEventStore)
#include "tst_alarmeventstore.moc"
