#include "meter/extremes.h"
#include "meter/tkdatadas.h"
#include "store/maxdatabase.h"

#include <QtTest>

namespace {

// One step of a test sequence, written the way the meter shows it:
//   "1.250"  a number (its decimals are those written)
//   "+OL2"   a positive overload with 2 decimals ("-OL" for 0 decimals)
//   "|…"     the reading starts a new range
//   "…@mV"   a unit other than "V"
struct Step
{
    bool rangeChanged = false;
    TkDataDas reading;
};

void parseStep(const QString &text, Step &step)
{
    QString s = text.trimmed();
    if (s.startsWith(QLatin1Char('|'))) {
        step.rangeChanged = true;
        s.remove(0, 1);
    }
    TkDataDas &r = step.reading;
    r.unitStr = QStringLiteral("V");
    const int at = s.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        r.unitStr = s.mid(at + 1);
        s.truncate(at);
    }
    r.negative = s.startsWith(QLatin1Char('-'));
    if (s.mid(1, 2) == QLatin1String("OL")) {
        r.overload = true;
        r.decimals = s.size() > 3 ? s.mid(3).toInt() : 0;
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

} // namespace

class tst_Extremes : public QObject
{
    Q_OBJECT

private slots:
    void sequence_data();
    void sequence();
    void overloadAtRangeChangeKeepsValues();
    void freshHolderIsEmpty();
    void panelValue_data();
    void panelValue();
};

void tst_Extremes::sequence_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("maxField");
    QTest::addColumn<QString>("minField");
    QTest::addColumn<int>("maxState");
    QTest::addColumn<int>("minState");

    QTest::newRow("numbers follow the largest and smallest")
        << "|1.000 3.000 2.000" << "3.000V" << "1.000V" << 0 << 0;
    QTest::newRow("first reading sets both") << "|4.56" << "4.56V" << "4.56V" << 0 << 0;
    QTest::newRow("negative numbers keep their sign")
        << "|-1.50 -2.25 -0.75" << "-0.75V" << "-2.25V" << 0 << 0;
    QTest::newRow("crossing zero") << "|0.00 -0.50 0.25" << "0.25V" << "-0.50V" << 0 << 0;
    // Equal readings must not replace the extreme: the first text and unit stay.
    QTest::newRow("equal value does not replace")
        << "|2.0 2.00@mV" << "2.0V" << "2.0V" << 0 << 0;
    QTest::newRow("range change restarts even with the same unit")
        << "|1.0 5.0 |3.0" << "3.0V" << "3.0V" << 0 << 0;
    QTest::newRow("range change to a new unit") << "|1.0 5.0 |120@mV 80@mV" << "120mV" << "80mV" << 0 << 0;

    QTest::newRow("positive overload takes the maximum for good")
        << "|1.000 +OL3 5.000 0.500" << "+ .OL V" << "0.500V" << 1 << 0;
    QTest::newRow("negative overload takes the minimum for good")
        << "|1.0 -OL1 -5.0 4.0" << "4.0V" << "- OL. V" << 0 << 2;
    QTest::newRow("range starting with a positive overload")
        << "|+OL 12 5 30" << "+ OL V" << "5V" << 1 << 0;
    QTest::newRow("range starting with a negative overload")
        << "|-OL 12 30 5" << "30V" << "- OL V" << 0 << 2;
    QTest::newRow("positive then negative overload")
        << "|+OL2 -OL2 3.00" << "+ O.L V" << "- O.L V" << 1 << 2;
    QTest::newRow("negative then positive overload")
        << "|-OL2 +OL2 3.00" << "+ O.L V" << "- O.L V" << 1 << 2;
    QTest::newRow("repeated overload keeps the first text")
        << "|1.0 +OL1 +OL0" << "+ OL. V" << "1.0V" << 1 << 0;
    QTest::newRow("number after an overload start takes its unit")
        << "|+OL@kΩ 1.500@MΩ" << "+ OL kΩ" << "1.500MΩ" << 1 << 0;
    QTest::newRow("overload replaced by the next range")
        << "|1.0 +OL1 |2.00 1.00" << "2.00V" << "1.00V" << 0 << 0;
    QTest::newRow("number range after an overload range")
        << "|-OL3 |0.001 0.002" << "0.002V" << "0.001V" << 0 << 0;
}

void tst_Extremes::sequence()
{
    QFETCH(QString, steps);
    maxdatabase m;
    for (const QString &text : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        Step step;
        parseStep(text, step);
        updateExtremes(m, step.reading, step.rangeChanged);
    }
    QTEST(maxFieldText(m), "maxField");
    QTEST(minFieldText(m), "minField");
    QTEST(m.maxState, "maxState");
    QTEST(m.minState, "minState");
}

void tst_Extremes::overloadAtRangeChangeKeepsValues()
{
    // An overload has no number: the values stay what the previous range left
    // and only the states and texts say "overload".
    maxdatabase m;
    Step a, b;
    parseStep(QStringLiteral("|7.5"), a);
    parseStep(QStringLiteral("|-OL1@mA"), b);
    updateExtremes(m, a.reading, true);
    updateExtremes(m, b.reading, true);
    QCOMPARE(m.maxValue, 7.5);
    QCOMPARE(m.minValue, 7.5);
    QCOMPARE(m.maxValueText, QStringLiteral("- OL. "));
    QCOMPARE(m.maxUnitText, QStringLiteral("mA"));
    QCOMPARE(m.maxState, 2);
    QCOMPARE(m.minState, 2);

    // The next number of that range becomes the maximum outright, even if it
    // is below the stale value.
    Step c;
    parseStep(QStringLiteral("-2.0@mA"), c);
    updateExtremes(m, c.reading, false);
    QCOMPARE(m.maxValue, -2.0);
    QCOMPARE(maxFieldText(m), QStringLiteral("-2.0mA"));
    QCOMPARE(minFieldText(m), QStringLiteral("- OL. mA"));
}

void tst_Extremes::freshHolderIsEmpty()
{
    maxdatabase m;
    QCOMPARE(maxFieldText(m), QString());
    QCOMPARE(minFieldText(m), QString());
    QCOMPARE(m.maxState, 0);
    QCOMPARE(m.minState, 0);
    QCOMPARE(m.maxValue, 0.0);
    QCOMPARE(m.minValue, 0.0);
}

void tst_Extremes::panelValue_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("shown");

    QTest::newRow("positive") << "5.00" << "5.00";
    QTest::newRow("negative shows the magnitude") << "-1.50" << "1.50";
    QTest::newRow("no decimals") << "1234" << "1234";
    QTest::newRow("three decimals") << "-0.001" << "0.001";
    QTest::newRow("overload 0 decimals") << "+OL0" << " OL ";
    QTest::newRow("overload 1 decimal") << "-OL1" << " OL. ";
    QTest::newRow("overload 2 decimals") << "+OL2" << " O.L ";
    QTest::newRow("overload 3 decimals") << "-OL3" << " .OL ";
}

void tst_Extremes::panelValue()
{
    QFETCH(QString, step);
    Step s;
    parseStep(step, s);
    QTEST(panelValueText(s.reading), "shown");
}

QTEST_GUILESS_MAIN(tst_Extremes)
#include "tst_extremes.moc"
