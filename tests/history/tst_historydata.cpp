// The compact row storage of a history result: texts, points, base time and
// y-scale choice, and its size.
#include "export/readingcsvwriter.h"
#include "core/history/historydata.h"
#include "core/history/historyrange.h"
#include "core/meter/meterreading.h"
#include "models/historytablemodel.h"
#include "models/livereadingmodel.h"
#include "models/readingroles.h"

#include <QtTest>

#include <ctime>

static QDateTime at(const QString &text)
{
    return QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

class TestHistoryData : public QObject
{
    Q_OBJECT

private slots:
    void valueTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("y");
        QTest::addColumn<QString>("frastr");

        QTest::newRow("leading plus, blanks around") << " +12.5 " << 12.5 << "0";
        // Overloads sit at the end of their own row's range, as on the live curve.
        QTest::newRow("negative overload") << "- O.L " << -80.0 << "0";
        QTest::newRow("temperature overload") << "+ OL. " << 1500.0 << "42";
        QTest::newRow("overload of no known range") << "+ OL " << 0.0 << "99";
        QTest::newRow("trailing junk") << "1.5V" << 0.0 << "0";
        QTest::newRow("not finite") << "inf" << 0.0 << "0";
    }

    // The value is listed as stored and plotted as its number.
    void valueTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, frastr);
        QFETCH(double, y);
        HistoryData rows;
        rows.appendText(u"2024-05-01 10:00:00", QStringLiteral("0"), u"V", u"F", u"0");
        rows.appendText(u"2024-05-01 10:00:01", text, u"V", u"F", frastr);
        QCOMPARE(rows.valueText(1), text);
        QCOMPARE(rows.yPoints().at(1), y);
    }

    void timeTextsRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("leap day") << "2024-02-29 23:59:59";
        QTest::newRow("before 1970") << "1969-12-31 23:59:58";
    }

    void timeTextsRoundTrip()
    {
        QFETCH(QString, text);
        HistoryData fromText, fromDateTime;
        fromText.appendText(text, u"1", u"V", u"F", u"0");
        fromDateTime.append(at(text), "1", "V", "F", "0");
        QCOMPARE(fromText.timeText(0), text);
        QCOMPARE(fromDateTime.timeText(0), text);
        QCOMPARE(fromText.time(0), at(text));
    }

    void firstRangeIndex_data()
    {
        QTest::addColumn<QString>("frastr");
        QTest::addColumn<int>("index");
        QTest::newRow("last, blanks around") << " 44 " << 44;
        QTest::newRow("past the table") << "45" << int(HistoryData::kNoRangeIndex);
        QTest::newRow("text") << "abc" << int(HistoryData::kNoRangeIndex);
    }

    // Only row 0 picks the scale; later rows of other ranges change nothing.
    void firstRangeIndex()
    {
        QFETCH(QString, frastr);
        QFETCH(int, index);
        HistoryData rows;
        QCOMPARE(rows.firstRangeIndex(), 0);
        rows.appendText(u"2024-05-01 10:00:00", u"1", u"V", u"F", frastr);
        rows.appendText(u"2024-05-01 10:00:01", u"1", u"V", u"F", u"5");
        QCOMPARE(rows.firstRangeIndex(), index);
    }

    void invalidTimes()
    {
        // A row without a time (NULL in the database) plots at 0 and gives no base.
        HistoryData invalidFirst;
        invalidFirst.append(QDateTime(), "1", "V", "F", "0");
        invalidFirst.append(at("2024-05-01 10:00:10"), "2", "V", "F", "0");
        QVERIFY(!invalidFirst.baseTime().isValid());
        QCOMPARE(invalidFirst.xPoints(), (QVector<double>{0, 0}));
    }

    // Rows are stored in local wall-clock time; the plot's seconds must not jump
    // by the hour the clocks skip or repeat.
    void axisFollowsTheClockChange()
    {
        const QByteArray savedTz = qgetenv("TZ");
        qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        tzset();
        HistoryData spring, autumn;
        for (const char16_t *t : {u"2024-03-31 01:59:59", u"2024-03-31 03:00:00", u"2024-03-31 03:30:00",
                                  u"2024-03-31 03:30:00.25"})
            spring.appendText(t, u"1", u"V", u"F", u"0");
        for (const char16_t *t : {u"2024-10-27 01:30:00", u"2024-10-27 03:00:00"})
            autumn.appendText(t, u"1", u"V", u"F", u"0");
        if (savedTz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", savedTz);
        tzset();
        QCOMPARE(spring.xPoints(), (QVector<double>{0, 1, 1801, 1801.25}));
        QCOMPARE(csvTime(spring.timeWithOffset(3)), QStringLiteral("2024-03-31T03:30:00.250+02:00"));
        QCOMPARE(spring.timeText(3), QStringLiteral("2024-03-31 03:30:00"));
        QCOMPARE(autumn.xPoints(), (QVector<double>{0, 9000}));
    }

    void liveTableTexts()
    {
        LiveReadingModel model;
        const QDateTime t(QDate(2024, 5, 1), QTime(9, 5, 7, 250));
        MeterReading volts;
        volts.funcStr = QStringLiteral("DCV");
        volts.unitStr = QStringLiteral("V");
        volts.rangeIndex = 2;
        volts.value = 3.0;
        volts.decimals = 2;
        volts.time = t;
        QVERIFY(model.append(volts));
        MeterReading overload;
        overload.funcStr = QStringLiteral("OHM");
        overload.unitStr = QStringLiteral("kΩ");
        overload.rangeIndex = 24;
        overload.overload = true;
        overload.time = t.addSecs(1);
        QVERIFY(model.append(overload));
        QCOMPARE(model.columnCount(), 3);
        QStringList shown;
        for (int r = 0; r < model.rowCount(); ++r) {
            for (int c = 0; c < 3; ++c)
                shown << model.data(model.index(r, c)).toString();
        }
        QCOMPARE(shown, (QStringList{"09:05:07", "3.00 V", "DCV", "09:05:08", "+ OL  kΩ", "OHM"}));
        QCOMPARE(model.index(0, 1).data(ReadingTimeRole).toDateTime(), t);
    }

    void presets_data()
    {
        QTest::addColumn<int>("preset");
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<QDateTime>("stop");
        // At 00:30 on the first of March of a leap year.
        QTest::newRow("last hour") << int(HistoryPreset::LastHour) << at("2024-02-29 23:30:00")
                                   << at("2024-03-01 00:30:00");
        QTest::newRow("today") << int(HistoryPreset::Today) << at("2024-03-01 00:00:00")
                               << at("2024-03-01 00:30:00");
        QTest::newRow("yesterday") << int(HistoryPreset::Yesterday) << at("2024-02-29 00:00:00")
                                   << at("2024-02-29 23:59:59");
        QTest::newRow("last 7 days") << int(HistoryPreset::LastSevenDays) << at("2024-02-23 00:30:00")
                                     << at("2024-03-01 00:30:00");
    }

    void presets()
    {
        QFETCH(int, preset);
        QFETCH(QDateTime, start);
        QFETCH(QDateTime, stop);
        const auto range = historyPresetRange(HistoryPreset(preset), at("2024-03-01 00:30:00"));
        QCOMPARE(range.first, start);
        QCOMPARE(range.second, stop);
    }
};

QTEST_GUILESS_MAIN(TestHistoryData)
#include "tst_historydata.moc"
