#include "meter/extremes.h"
#include "meter/tkdatadas.h"
#include "meter/maxdatabase.h"

#include <QtTest>

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

class tst_Extremes : public QObject
{
    Q_OBJECT

private slots:
    void sequence_data();
    void sequence();
    void panelValue();
};

void tst_Extremes::sequence_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("maxField");
    QTest::addColumn<QString>("minField");
    QTest::addColumn<int>("maxState");
    QTest::addColumn<int>("minState");
    auto row = [](const char *name, const char *steps, const QString &max, const QString &min, int maxState,
                  int minState) { QTest::newRow(name) << steps << max << min << maxState << minState; };

    row("nothing yet", "", "", "", 0, 0);
    row("numbers follow the largest and smallest", "|1.000 3.000 2.000", "3.000V", "1.000V", 0, 0);
    row("crossing zero", "|0.00 -0.50 0.25", "0.25V", "-0.50V", 0, 0);
    // Equal readings must not replace the extreme: the first text and unit stay.
    row("equal value does not replace", "|2.0 2.00@mV", "2.0V", "2.0V", 0, 0);
    row("range change restarts even with the same unit", "|1.0 5.0 |3.0", "3.0V", "3.0V", 0, 0);
    row("positive overload takes the maximum for good", "|1.000 +OL3 5.000 0.500", "+ .OL V", "0.500V", 1, 0);
    row("negative overload takes the minimum for good", "|1.0 -OL1 -5.0 4.0", "4.0V", "- OL. V", 0, 2);
    row("range starting with a positive overload", "|+OL 12 5 30", "+ OL V", "5V", 1, 0);
    row("positive then negative overload", "|+OL2 -OL2 3.00", "+ O.L V", "- O.L V", 1, 2);
    row("repeated overload keeps the first text", "|1.0 +OL1 +OL0", "+ OL. V", "1.0V", 1, 0);
    row("number after an overload start takes its unit", "|+OL@kΩ 1.500@MΩ", "+ OL kΩ", "1.500MΩ", 1, 0);
    row("overload replaced by the next range", "|1.0 +OL1 |2.00 1.00", "2.00V", "1.00V", 0, 0);
    row("number range after an overload range", "|-OL3 |0.001 0.002", "0.002V", "0.001V", 0, 0);
    // An overload at a range change leaves the values stale; the next number
    // must become the maximum outright even though it is below them.
    row("number below stale values after an overload start", "|7.5 |-OL1@mA -2.0@mA", "-2.0mA", "- OL. mA", 0, 2);
}

void tst_Extremes::sequence()
{
    QFETCH(QString, steps);
    maxdatabase m;
    run(m, steps);
    QTEST(maxFieldText(m), "maxField");
    QTEST(minFieldText(m), "minField");
    QTEST(m.maxState, "maxState");
    QTEST(m.minState, "minState");
}

void tst_Extremes::panelValue()
{
    // The big digits show the magnitude; the sign is shown apart.
    const QStringList cases = {"5.00=5.00", "-1.50=1.50", "1234=1234", "-0.001=0.001",
                               "+OL0= OL ", "-OL1= OL. ", "+OL2= O.L ", "-OL3= .OL "};
    for (const QString &c : cases) {
        TkDataDas r;
        parseReading(c.section('=', 0, 0), r);
        QCOMPARE(panelValueText(r), c.section('=', 1));
    }
}

QTEST_GUILESS_MAIN(tst_Extremes)
#include "tst_extremes.moc"
