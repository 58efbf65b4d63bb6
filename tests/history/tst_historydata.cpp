// The pure parts of the history: where a stored reading is drawn, real time
// on the curve's axis, the quick ranges, the live table's texts.
#include "export/readingcsvwriter.h"
#include "core/history/curvevalue.h"
#include "core/history/historyrange.h"
#include "core/meter/meterreading.h"
#include "core/store/historyreads.h"
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
    void curveValues_data()
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

    // The reference the tests hold the server's summaries to.
    void curveValues()
    {
        QFETCH(QString, text);
        QFETCH(QString, frastr);
        QFETCH(double, y);
        QCOMPARE(curveValueOf(text, frastr), y);
    }

    // Rows are stored in local wall-clock time; the curve's seconds must not
    // jump by the hour the clocks skip or repeat.
    void axisFollowsTheClockChange()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows takes its zone from the system, not from a POSIX TZ rule");
#endif
        const QByteArray savedTz = qgetenv("TZ");
        qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        tzset();
        const auto seconds = [](const char *from, const char *to) {
            const qint64 a = HistoryReads::naiveMs(at(QLatin1String(from)));
            const qint64 b = HistoryReads::naiveMs(QDateTime::fromString(QLatin1String(to), "yyyy-MM-dd hh:mm:ss.zzz"));
            return double(HistoryReads::utcOfNaive(b) - HistoryReads::utcOfNaive(a)) / 1000.0;
        };
        const double spring = seconds("2024-03-31 01:59:59", "2024-03-31 03:30:00.250");
        const double autumn = seconds("2024-10-27 01:30:00", "2024-10-27 03:00:00.000");
        const qint64 naive = HistoryReads::naiveMs(at("2024-03-31 03:30:00"));
        const QString csv = csvTime(HistoryReads::timeOfNaiveMs(naive));
        const qint64 back = HistoryReads::naiveOfUtc(HistoryReads::utcOfNaive(naive));
        if (savedTz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", savedTz);
        tzset();
        QCOMPARE(spring, 1801.25);
        QCOMPARE(autumn, 9000.0);
        QCOMPARE(csv, QStringLiteral("2024-03-31T03:30:00.000+02:00"));
        QCOMPARE(back, naive);
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
