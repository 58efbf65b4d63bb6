#include "meter/alarmrule.h"
#include "meter/alarmwatch.h"
#include "meter/meterreading.h"

#include <QtTest>

#include <cmath>

class TestAlarmRule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { QSettings().clear(); }
    void sequences_data();
    void sequences();
    void eventsCarryTheReading();
    void limitsAreRememberedPerQuantity();
    void watchFollowsTheQuantity();
};

using Values = QVector<double>;

void TestAlarmRule::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("tk52k-test"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_alarmrule"));
    QSettings().clear();
}

void TestAlarmRule::sequences_data()
{
    // Events written as "+H@3": high raised by the reading at index 3,
    // "-L@5": low cleared by the reading at index 5.
    QTest::addColumn<AlarmLimits>("limits");
    QTest::addColumn<Values>("values");
    QTest::addColumn<QStringList>("events");

    const AlarmLimits band{1.0, 5.0, 0.5};
    const double inf = HUGE_VAL;
    QTest::newRow("inside only") << band << Values{1, 3, 5, 1} << QStringList{};
    QTest::newRow("chatter at high") << band << Values{4.9, 5.1, 4.9, 5.2, 4.6, 5.01, 4.5, 3}
                                     << QStringList{"+H@1", "-H@6"};
    QTest::newRow("chatter at low") << band << Values{1.1, 0.9, 1.1, 0.8, 1.4, 1.5, 0.99}
                                    << QStringList{"+L@1", "-L@5", "+L@6"};
    QTest::newRow("jump high to low") << band << Values{6, 0} << QStringList{"+H@0", "-H@1", "+L@1"};
    QTest::newRow("no hysteresis") << AlarmLimits{1.0, 5.0, 0.0} << Values{5.1, 5.0, 5.1}
                                   << QStringList{"+H@0", "-H@1", "+H@2"};
    QTest::newRow("overloads") << band << Values{inf, 3, -inf} << QStringList{"+H@0", "-H@1", "+L@2"};
    QTest::newRow("nan ignored") << band << Values{6, std::nan(""), 3} << QStringList{"+H@0", "-H@2"};
    QTest::newRow("high only") << AlarmLimits{std::nullopt, 5.0, 1.0} << Values{-1e9, 7, 4.5, 4}
                               << QStringList{"+H@1", "-H@3"};
}

void TestAlarmRule::sequences()
{
    QFETCH(AlarmLimits, limits);
    QFETCH(Values, values);
    QFETCH(QStringList, events);

    AlarmRule rule(limits);
    const QDateTime t0(QDate(2026, 3, 1), QTime(10, 0));
    QStringList seen;
    for (int i = 0; i < values.size(); ++i) {
        for (const AlarmEvent &e :
             rule.feed(values[i], t0.addSecs(i), QStringLiteral("DCV"), QStringLiteral("V"))) {
            QCOMPARE(e.time, t0.addSecs(i));
            seen << QStringLiteral("%1%2@%3")
                        .arg(e.raised ? '+' : '-')
                        .arg(e.limit == AlarmEvent::Limit::High ? 'H' : 'L')
                        .arg(i);
        }
    }
    QCOMPARE(seen, events);
}

void TestAlarmRule::eventsCarryTheReading()
{
    AlarmRule rule(AlarmLimits{std::nullopt, 5.0, 0.5});
    const QDateTime t0(QDate(2026, 3, 1), QTime(10, 0, 0, 125));
    QVector<AlarmEvent> events = rule.feed(5.25, t0, QStringLiteral("直流电压"), QStringLiteral("V"));
    QCOMPARE(events.size(), 1);
    QCOMPARE(rule.statusText(QStringLiteral("V")), QStringLiteral("报警：高于上限 5 V（10:00:00 起）"));
    QCOMPARE(events[0].text(), QStringLiteral("2026-03-01 10:00:00.125 raised high 5 V (直流电压) at 5.25"));

    // The clear names the limit that was crossed, even when the limits
    // changed meanwhile.
    rule.setLimits(AlarmLimits{std::nullopt, 8.0, 0.5});
    events = rule.feed(4.0, t0.addSecs(1), QStringLiteral("直流电压"), QStringLiteral("V"));
    QCOMPARE(events.size(), 1);
    QCOMPARE(events[0].text(), QStringLiteral("2026-03-01 10:00:01.125 cleared high 5 V (直流电压) at 4"));
    QVERIFY(rule.statusText(QStringLiteral("V")).isEmpty());
}

void TestAlarmRule::limitsAreRememberedPerQuantity()
{
    const QString ohm = QStringLiteral("电阻");
    AlarmLimits{0.5, 10.0, 0.25}.save(ohm, QStringLiteral("kΩ"));
    AlarmLimits{std::nullopt, 2.0, 0.0}.save(ohm, QStringLiteral("MΩ"));
    const AlarmLimits kohm = AlarmLimits::load(ohm, QStringLiteral("kΩ"));
    QVERIFY(kohm.low == 0.5 && kohm.high == 10.0 && kohm.hysteresis == 0.25);
    const AlarmLimits mohm = AlarmLimits::load(ohm, QStringLiteral("MΩ"));
    QVERIFY(!mohm.low && mohm.high == 2.0);
    QVERIFY(AlarmLimits::load(ohm, QStringLiteral("Ω")).isEmpty());
    // Limits that cannot work are refused.
    QVERIFY(!(AlarmLimits{5.0, 4.0, 0.0}.isValid()) && !(AlarmLimits{4.0, 4.0, 0.0}.isValid()) &&
            !(AlarmLimits{1.0, 4.0, -1.0}.isValid()));
}

// The watch judges each quantity by its own band: a change of unit forgets
// the raised alarm without a clear that never happened, a negative overload
// lies below every low limit, and limits given for another quantity wait.
void TestAlarmRule::watchFollowsTheQuantity()
{
    AlarmLimits{-1.0, 1.0, 0.0}.save(QStringLiteral("DCV"), QStringLiteral("V"));
    AlarmWatch watch;
    QStringList seen;
    QObject::connect(&watch, &AlarmWatch::eventOccurred, [&](const AlarmEvent &e) {
        seen << QStringLiteral("%1 %2 %3").arg(e.raised ? "raise" : "clear", e.unit).arg(e.value);
    });
    const auto feed = [&](double value, const char *unit, bool overload = false) {
        MeterReading r;
        r.funcStr = QStringLiteral("DCV");
        r.unitStr = QString::fromUtf8(unit);
        r.value = value;
        r.overload = overload;
        r.negative = value < 0;
        r.time = QDateTime::currentDateTime();
        watch.feed(r);
    };
    feed(0.5, "V");
    feed(-0.1, "V", true);
    QVERIFY(watch.isRaised());
    feed(2000.0, "mV"); // no band for millivolts
    QVERIFY(!watch.isRaised());
    watch.setLimits(QStringLiteral("DCV"), QStringLiteral("V"), AlarmLimits{std::nullopt, 0.1, 0.0});
    feed(5000.0, "mV");
    watch.setLimits(QStringLiteral("DCV"), QStringLiteral("mV"), AlarmLimits{std::nullopt, 10000.0, 0.0});
    feed(20000.0, "mV");
    QCOMPARE(seen, (QStringList{"raise V -inf", "raise mV 20000"}));
}

QTEST_GUILESS_MAIN(TestAlarmRule)
#include "tst_alarmrule.moc"
