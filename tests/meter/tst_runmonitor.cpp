// What a run keeps of its readings besides the readings themselves: the
// panel's extremes, the statistics box's figures and the alarm rules.

#include "core/meter/alarmrule.h"
#include "core/meter/alarmwatch.h"
#include "core/meter/baseunit.h"
#include "core/meter/extremes.h"
#include "core/meter/maxdatabase.h"
#include "core/meter/meterreading.h"
#include "core/meter/runstatistics.h"
#include "core/meter/tkdatadas.h"

#include <QtTest>

#include <cmath>

namespace {

// A reading written the way the meter shows it:
//   "1.250"  a number (its decimals are those written)
//   "+OL2"   a positive overload with 2 decimals ("-OL" for 0 decimals)
//   "…@mV"   a unit other than "V"
void parseReading(QString s, TkDataDas &r)
{
    r.unitStr = QStringLiteral("V");
    const int at = s.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        r.unitStr = s.mid(at + 1);
        s.truncate(at);
    }
    r.negative = s.startsWith(QLatin1Char('-'));
    r.overload = s.mid(1, 2) == QLatin1String("OL");
    if (r.overload) {
        r.decimals = s.mid(3).toInt();
        // The decoder sets the overload count as value; it must not matter.
        r.value = r.negative ? -8000 : 8000;
        r.valueStr = QString::number(r.value, 'f', r.decimals);
        return;
    }
    const int point = s.indexOf(QLatin1Char('.'));
    r.decimals = point < 0 ? 0 : s.size() - point - 1;
    r.value = s.toDouble();
    r.valueStr = s;
}

// Folds readings separated by spaces into `m`; "|" in front of a reading
// starts a new range.
void run(maxdatabase &m, const QString &steps)
{
    for (QString text : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const bool rangeChanged = text.startsWith(QLatin1Char('|'));
        TkDataDas r;
        parseReading(text.remove(QLatin1Char('|')), r);
        updateExtremes(m, r, rangeChanged);
    }
}

} // namespace

using Values = QVector<double>;
const QDateTime t0(QDate(2026, 3, 1), QTime(10, 0));

class TestRunMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("tk52k-test"));
        QSettings().clear();
    }
    void cleanup() { QSettings().clear(); }

    void extremes_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("maxField");
        QTest::addColumn<QString>("minField");
        QTest::addColumn<int>("maxState");
        QTest::addColumn<int>("minState");
        auto row = [](const char *name, const char *steps, const QString &max, const QString &min,
                      int maxState,
                      int minState) { QTest::newRow(name) << steps << max << min << maxState << minState; };

        row("nothing yet", "", "", "", 0, 0);
        row("crossing zero", "|0.00 -0.50 0.25", "0.25V", "-0.50V", 0, 0);
        // Equal readings must not replace the extreme: the first text and unit stay.
        row("equal value does not replace", "|2.0 2.00@mV", "2.0V", "2.0V", 0, 0);
        row("range change restarts even with the same unit", "|1.0 5.0 |3.0", "3.0V", "3.0V", 0, 0);
        row("positive overload takes the maximum for good", "|1.000 +OL3 5.000 0.500", "+ .OL V", "0.500V", 1,
            0);
        row("negative overload takes the minimum for good", "|1.0 -OL1 -5.0 4.0", "4.0V", "- OL. V", 0, 2);
        row("range starting with a positive overload", "|+OL 12 5 30", "+ OL V", "5V", 1, 0);
        row("positive then negative overload", "|+OL2 -OL2 3.00", "+ O.L V", "- O.L V", 1, 2);
        row("repeated overload keeps the first text", "|1.0 +OL1 +OL0", "+ OL. V", "1.0V", 1, 0);
        row("number after an overload start takes its unit", "|+OL@kΩ 1.500@MΩ", "+ OL kΩ", "1.500MΩ", 1, 0);
        row("overload replaced by the next range", "|1.0 +OL1 |2.00 1.00", "2.00V", "1.00V", 0, 0);
        row("number range after an overload range", "|-OL3 |0.001 0.002", "0.002V", "0.001V", 0, 0);
        // An overload at a range change leaves the values stale; the next number
        // must become the maximum outright even though it is below them.
        row("number below stale values after an overload start", "|7.5 |-OL1@mA -2.0@mA", "-2.0mA",
            "- OL. mA", 0, 2);
    }

    void extremes()
    {
        QFETCH(QString, steps);
        maxdatabase m;
        run(m, steps);
        QTEST(maxFieldText(m), "maxField");
        QTEST(minFieldText(m), "minField");
        QTEST(m.maxState, "maxState");
        QTEST(m.minState, "minState");
    }

    void panelValue()
    {
        // The big digits show the magnitude; the sign is shown apart.
        const QStringList cases = {"5.00=5.00", "-1.50=1.50", "1234=1234",  "-0.001=0.001",
                                   "+OL0= OL ", "-OL1= OL. ", "+OL2= O.L ", "-OL3= .OL "};
        for (const QString &c : cases) {
            TkDataDas r;
            parseReading(c.section('=', 0, 0), r);
            QCOMPARE(panelValueText(r), c.section('=', 1));
        }
    }

    void figures_data()
    {
        QTest::addColumn<Values>("values");
        QTest::addColumn<double>("mean");
        QTest::addColumn<double>("stddev"); // NaN: not defined
        QTest::addColumn<double>("min");
        QTest::addColumn<double>("max");

        const double nan = std::nan("");
        QTest::newRow("one reading") << Values{3.5} << 3.5 << nan << 3.5 << 3.5;
        QTest::newRow("small set") << Values{2, 4, 4, 4, 5, 5, 7, 9} << 5.0 << std::sqrt(32.0 / 7) << 2.0
                                   << 9.0;
        // A sum of squares around 1e18 keeps no digit of a variance of 30.
        QTest::newRow("large offset, tiny spread") << Values{1e9 + 4, 1e9 + 7, 1e9 + 13, 1e9 + 16} << 1e9 + 10
                                                   << std::sqrt(30.0) << 1e9 + 4 << 1e9 + 16;
        QTest::newRow("all equal") << Values{0.1, 0.1, 0.1} << 0.1 << 0.0 << 0.1 << 0.1;
    }

    void figures()
    {
        QFETCH(Values, values);
        QFETCH(double, mean);
        QFETCH(double, stddev);
        QFETCH(double, min);
        QFETCH(double, max);

        RunStatistics stats;
        for (int i = 0; i < values.size(); ++i)
            QVERIFY(stats.add(values[i], t0.addSecs(i)));
        QVERIFY(std::abs(stats.mean() - mean) <= 1e-12 * std::abs(mean));
        if (std::isnan(stddev))
            QVERIFY(std::isnan(stats.stddev()));
        else
            QVERIFY2(std::abs(stats.stddev() - stddev) <= 1e-9 * std::max(stddev, 1e-300) + 1e-15,
                     qPrintable(QString::number(stats.stddev(), 'g', 17)));
        QCOMPARE(stats.min(), min);
        QCOMPARE(stats.max(), max);
    }

    // The extremes carry the time they were first seen; overloads and values
    // that are not finite take no part, and a reset forgets everything.
    void statisticsKeepFirstTimes()
    {
        RunStatistics stats;
        const Values values{5, 1, 9, 1, 9, 4};
        for (int i = 0; i < values.size(); ++i)
            stats.add(values[i], t0.addSecs(i));
        QVERIFY(!stats.add(std::nan(""), t0));
        stats.addOverload();
        QVERIFY(stats.minTime() == t0.addSecs(1) && stats.maxTime() == t0.addSecs(2));
        QVERIFY(stats.count() == 6 && stats.overloads() == 1 && stats.mean() == 29.0 / 6);
        stats.reset();
        QVERIFY(stats.count() == 0 && stats.overloads() == 0 && std::isnan(stats.mean()));
        stats.add(-3, t0);
        QCOMPARE(stats.max(), -3.0); // not the 9 of before the reset
    }

    void alarmSequences_data()
    {
        // Events written as "+H@3": high raised by the reading at index 3,
        // "-L@5": low cleared by the reading at index 5.
        QTest::addColumn<AlarmLimits>("limits");
        QTest::addColumn<Values>("values");
        QTest::addColumn<QStringList>("events");

        const AlarmLimits band{1.0, 5.0, 0.5};
        QTest::newRow("inside only") << band << Values{1, 3, 5, 1} << QStringList{};
        QTest::newRow("chatter at high")
            << band << Values{4.9, 5.1, 4.9, 5.2, 4.6, 5.01, 4.5, 3} << QStringList{"+H@1", "-H@6"};
        QTest::newRow("chatter at low")
            << band << Values{1.1, 0.9, 1.1, 0.8, 1.4, 1.5, 0.99} << QStringList{"+L@1", "-L@5", "+L@6"};
        QTest::newRow("jump high to low") << band << Values{6, 0} << QStringList{"+H@0", "-H@1", "+L@1"};
        QTest::newRow("no hysteresis")
            << AlarmLimits{1.0, 5.0, 0.0} << Values{5.1, 5.0, 5.1} << QStringList{"+H@0", "-H@1", "+H@2"};
        QTest::newRow("nan ignored") << band << Values{6, std::nan(""), 3} << QStringList{"+H@0", "-H@2"};
        QTest::newRow("high only") << AlarmLimits{std::nullopt, 5.0, 1.0} << Values{-1e9, 7, 4.5, 4}
                                   << QStringList{"+H@1", "-H@3"};
    }

    void alarmSequences()
    {
        QFETCH(AlarmLimits, limits);
        QFETCH(Values, values);
        QFETCH(QStringList, events);

        AlarmRule rule(limits);
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

    void eventsCarryTheReading()
    {
        AlarmRule rule(AlarmLimits{std::nullopt, 5.0, 0.5});
        const QDateTime at = t0.addMSecs(125);
        QVector<AlarmEvent> events = rule.feed(5.25, at, QStringLiteral("直流电压"), QStringLiteral("V"));
        QCOMPARE(events.size(), 1);
        QCOMPARE(rule.statusText(QStringLiteral("V")), QStringLiteral("报警：高于上限 5 V（10:00:00 起）"));
        QCOMPARE(events[0].text(),
                 QStringLiteral("2026-03-01 10:00:00.125 raised high 5 V (直流电压) at 5.25"));

        // The clear names the limit that was crossed, even when the limits
        // changed meanwhile.
        rule.setLimits(AlarmLimits{std::nullopt, 8.0, 0.5});
        events = rule.feed(4.0, at.addSecs(1), QStringLiteral("直流电压"), QStringLiteral("V"));
        QCOMPARE(events.size(), 1);
        QCOMPARE(events[0].text(),
                 QStringLiteral("2026-03-01 10:00:01.125 cleared high 5 V (直流电压) at 4"));
        QVERIFY(rule.statusText(QStringLiteral("V")).isEmpty());
    }

    // Bands are remembered per function and base unit; those an earlier
    // version kept per displayed unit come over once, scaled, and a band of
    // the base unit's own wins over them.
    void limitsAreRememberedPerQuantity()
    {
        const auto oldBand = [](const QString &key, double low, double high, double hysteresis) {
            QSettings settings;
            settings.beginGroup(QStringLiteral("alarm/") + QString::fromLatin1(QUrl::toPercentEncoding(key)));
            settings.setValue(QStringLiteral("low"), low);
            settings.setValue(QStringLiteral("high"), high);
            settings.setValue(QStringLiteral("hysteresis"), hysteresis);
        };
        oldBand(QStringLiteral("DCV|mV"), 2500, 5500, 10);
        oldBand(QStringLiteral("OHM|kΩ"), 1, 2, 0);
        oldBand(QStringLiteral("OHM|Ω"), 100, 200, 0);
        oldBand(QStringLiteral("TEMP|℉"), 32, 90, 0);

        const AlarmLimits dcv = AlarmLimits::load(QStringLiteral("DCV"), QStringLiteral("V"));
        QVERIFY(dcv.low == 2.5 && dcv.high == 5.5 && dcv.hysteresis == 0.01);
        const AlarmLimits ohm = AlarmLimits::load(QStringLiteral("OHM"), QStringLiteral("Ω"));
        QVERIFY(ohm.low == 100.0 && ohm.high == 200.0);
        QCOMPARE(AlarmLimits::load(QStringLiteral("TEMP"), QStringLiteral("℉")).high,
                 std::optional<double>(90));
        QVERIFY(AlarmLimits::load(QStringLiteral("TEMP"), QStringLiteral("℃")).isEmpty());
        // Once: a band set since is not overwritten by the old one again.
        AlarmLimits{std::nullopt, 12.0, 0.0}.save(QStringLiteral("DCV"), QStringLiteral("V"));
        QCOMPARE(AlarmLimits::carryOverDisplayUnitBands(), 0);
        const AlarmLimits later = AlarmLimits::load(QStringLiteral("DCV"), QStringLiteral("V"));
        QVERIFY(!later.low && later.high == 12.0);

        // Limits that cannot work are refused.
        QVERIFY(!(AlarmLimits{5.0, 4.0, 0.0}.isValid()) && !(AlarmLimits{4.0, 4.0, 0.0}.isValid()) &&
                !(AlarmLimits{1.0, 4.0, -1.0}.isValid()));
    }

    // A 5 V rail collapsing through the meter's autoranging into millivolts:
    // one raise at the first reading under 2.5 V, kept while the range
    // changes, whether the band was remembered by the window or given for
    // every quantity by the logger ("2.5V"); a reading that starts in mV is
    // judged in volts as well, and a band for volts says nothing of ohms.
    void bandHoldsAcrossRanges_data()
    {
        QTest::addColumn<bool>("forAll");
        QTest::newRow("remembered") << false;
        QTest::newRow("for every quantity") << true;
    }
    void bandHoldsAcrossRanges()
    {
        QFETCH(bool, forAll);
        const AlarmLimits band{2.5, 5.5, 0.1, QStringLiteral("V")};
        AlarmWatch watch;
        if (forAll)
            watch.setLimitsForAll(band);
        else
            band.save(QStringLiteral("DCV"), QStringLiteral("V"));
        QStringList seen;
        QObject::connect(&watch, &AlarmWatch::eventOccurred, [&](const AlarmEvent &e) {
            seen << QStringLiteral("%1 %2 %3 %4 at %5")
                        .arg(e.raised ? "raise" : "clear", e.limit == AlarmEvent::Limit::Low ? "low" : "high")
                        .arg(e.limitValue)
                        .arg(e.unit)
                        .arg(e.value);
        });
        const auto feed = [&](const char *function, double value, const char *unit) {
            MeterReading r;
            r.funcStr = QString::fromLatin1(function);
            r.unitStr = QString::fromUtf8(unit);
            r.value = value;
            r.time = t0;
            watch.feed(r);
        };
        for (const double v : {5.02, 4.98, 4.1, 3.2, 2.61, 2.47, 1.9, 0.8})
            feed("DCV", v, "V");
        for (const double v : {799.9, 420.0, 177.2, 12.3, 0.1})
            feed("DCV", v, "mV");
        feed("DCV", 0.0, "V");
        QCOMPARE(seen, QStringList{"raise low 2.5 V at 2.47"});
        QVERIFY(watch.isRaised());
        QCOMPARE(watch.statusText(), QStringLiteral("报警：低于下限 2.5 V（10:00:00 起）"));

        // Back up through the ranges: cleared once above 2.6 V, and a high
        // limit of 5.5 V is not crossed by 5400 mV.
        for (const double v : {2550.0, 2605.0, 5400.0})
            feed("DCV", v, "mV");
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.last(), QStringLiteral("clear low 2.5 V at 2.605"));

        // Another quantity: a new start, and a band in volts has no say.
        feed("OHM", 1.0, "kΩ");
        feed("DCV", 177.2, "mV");
        QCOMPARE(seen.mid(2), QStringList{"raise low 2.5 V at 0.1772"});
    }

    void quantitiesTypedWithUnits_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("unit");
        QTest::newRow("bare") << "2.5" << true << 2.5 << "";
        QTest::newRow("millivolts") << "550mV" << true << 0.55 << "V";
        QTest::newRow("spaced") << " 2.5 V " << true << 2.5 << "V";
        QTest::newRow("negative micro") << "-4.7uA" << true << -4.7e-6 << "A";
        QTest::newRow("kilo-ohm") << "10kΩ" << true << 1e4 << "Ω";
        QTest::newRow("kilo-ohm typed") << "10kOhm" << true << 1e4 << "Ω";
        QTest::newRow("not a unit") << "5m" << false << 0.0 << "";
        QTest::newRow("unprefixed scale") << "20k℃" << false << 0.0 << "";
        QTest::newRow("no number") << "V" << false << 0.0 << "";
        QTest::newRow("trailing junk") << "2.5 V x" << false << 0.0 << "";
    }
    void quantitiesTypedWithUnits()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(double, value);
        QFETCH(QString, unit);
        double parsed = 0;
        QString parsedUnit;
        QCOMPARE(parseQuantity(text, &parsed, &parsedUnit), ok);
        if (ok) {
            QCOMPARE(parsed, value);
            QCOMPARE(parsedUnit, unit);
        }
    }
};

QTEST_GUILESS_MAIN(TestRunMonitor)
#include "tst_runmonitor.moc"
