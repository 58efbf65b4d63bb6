// Loading a time range from a real PostgreSQL server into the history rows.
#include "scratchdatabase.h"

#include "store/recordschema.h"

#include "history/historyloader.h"

#include <QSqlQuery>
#include <QtTest>

namespace {
QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}
} // namespace

class TestHistoryLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ranges_data();
    void ranges();
    void awkwardTextsComeBackUnchanged();
    void largeRange();
    void integerRangeColumnAndLockedTable();

private:
    std::unique_ptr<ScratchDatabase> m_db;
};

void TestHistoryLoad::initTestCase()
{
    m_db = std::make_unique<ScratchDatabase>(QStringLiteral("historyload"));
    QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));

    // Inserted out of order, and with rows just outside the range.
    QVERIFY(m_db->insert(at("2024-05-01 10:00:20"), "3.000", "V", "直流电压", "14"));
    QVERIFY(m_db->insert(at("2024-05-01 10:00:00"), "1.000", "V", "直流电压", "14"));
    QVERIFY(m_db->insert(at("2024-05-01 09:59:59"), "9.000", "V", "直流电压", "14"));
    QVERIFY(m_db->insert(at("2024-05-01 10:00:05"), "-2.500", "V", "直流电压", "14"));
    QVERIFY(m_db->insert(at("2024-05-01 10:00:21"), "9.000", "V", "直流电压", "14"));
    // Two rows in one second keep the order they were recorded in.
    QVERIFY(m_db->insert(at("2024-05-01 11:00:00"), "+ OL. ", "V", "直流电压", "3"));
    QVERIFY(m_db->insert(at("2024-05-01 11:00:00"), "- OL. ", "V", "直流电压", "3"));
    QVERIFY(m_db->insert(at("2024-05-01 11:00:01"), "12.5", "mV", "交流电压", "3"));
    // Readings of one second keep their milliseconds (stored out of order;
    // the server prints ".25" for .250 and no fraction for .000).
    QVERIFY2(m_db->exec(RecordSchema::insertInto() +
                        QStringLiteral("VALUES ('直流电压', '3', 'V', '2', '2024-05-01 12:00:00.750'), "
                                       "('直流电压', '2', 'V', '2', '2024-05-01 12:00:00.250'), "
                                       "('直流电压', '1', 'V', '2', '2024-05-01 12:00:00')")),
             qPrintable(m_db->error()));

    // A large block of a quarter of a million rows, 17 a second.
    QVERIFY2(m_db->exec(RecordSchema::insertInto() + QStringLiteral(
                 "SELECT '直流电压', to_char(i % 8000 / 1000.0, 'FM0.000'), 'V', '2', "
                 "timestamp '2024-06-01 00:00:00' + (i / 17) * interval '1 second' "
                 "FROM generate_series(0, 249999) i")),
             qPrintable(m_db->error()));
}

void TestHistoryLoad::ranges_data()
{
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QVector<double>>("x");
    QTest::addColumn<QVector<double>>("y");

    QTest::newRow("bounds inclusive") << at("2024-05-01 09:59:59") << at("2024-05-01 10:00:21")
                                      << QStringList{"9.000", "1.000", "-2.500", "3.000", "9.000"}
                                      << QVector<double>{0, 1, 6, 21, 22} << QVector<double>{9, 1, -2.5, 3, 9};
    // Listed as stored, plotted at the ends of their range; one second keeps
    // the order of recording.
    QTest::newRow("overloads") << at("2024-05-01 11:00:00") << at("2024-05-01 11:00:01")
                               << QStringList{"+ OL. ", "- OL. ", "12.5"} << QVector<double>{0, 0, 1}
                               << QVector<double>{800, -800, 12.5};
    QTest::newRow("milliseconds") << at("2024-05-01 12:00:00") << at("2024-05-01 12:00:00")
                                  << QStringList{"1", "2", "3"} << QVector<double>{0, 0.25, 0.75}
                                  << QVector<double>{1, 2, 3};
    QTest::newRow("empty") << at("2023-01-01 00:00:00") << at("2023-12-31 00:00:00") << QStringList()
                           << QVector<double>() << QVector<double>();
}

void TestHistoryLoad::ranges()
{
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(QStringList, values);
    QFETCH(QVector<double>, x);
    QFETCH(QVector<double>, y);
    const HistoryLoadResult r = loadHistoryRange(m_db->settings(), from, to);
    QCOMPARE(r.status, HistoryLoadResult::Loaded);
    const HistoryData &rows = *r.rows;
    QStringList loaded;
    for (int i = 0; i < rows.rowCount(); ++i)
        loaded << rows.valueText(i);
    QCOMPARE(loaded, values);
    QCOMPARE(rows.xPoints(), x);
    QCOMPARE(rows.yPoints(), y);
    if (values.isEmpty()) {
        QVERIFY(!rows.baseTime().isValid());
        return;
    }
    QCOMPARE(rows.baseTime(), from);
}

// Texts no meter writes, but a shared database may hold: quotes, commas,
// backslashes, parentheses, blanks, tabs and line feeds (which the server
// escapes in the rows it streams), empty texts, NULLs and a unit separator.
void TestHistoryLoad::awkwardTextsComeBackUnchanged()
{
    const QString separated = QStringLiteral("x") + QChar(0x1f) + QStringLiteral("y");
    // Row 2 is all NULLs.
    const QList<QStringList> rows{{"a\"b,c\\d(e) ", "\"\"", "(x),\\"}, {"", "", ""}, {"", "", ""},
                                  {"1.5", "V", "直流 电压"}, {"2", separated, "f\tg\nh"}};
    const QDateTime t = at("2024-07-01 12:00:00");
    for (int i = 0; i < rows.size(); ++i) {
        QVERIFY(i == 2 ? m_db->exec(QStringLiteral("INSERT INTO invoice (create_time) VALUES ('2024-07-01 12:00:02')"))
                       : m_db->insert(t.addSecs(i), rows[i][0], rows[i][1], rows[i][2], "7"));
    }
    for (int last : {3, 4}) {
        const HistoryLoadResult r = loadHistoryRange(m_db->settings(), t, t.addSecs(last));
        QCOMPARE(r.status, HistoryLoadResult::Loaded);
        QCOMPARE(r.rows->rowCount(), last + 1);
        for (int i = 0; i <= last; ++i)
            QCOMPARE((QStringList{r.rows->valueText(i), r.rows->unitText(i), r.rows->funcText(i)}), rows[i]);
        QCOMPARE(r.rows->firstRangeIndex(), 7);
    }
}

// A quarter of a million rows through the loader thread, with progress.
void TestHistoryLoad::largeRange()
{
    HistoryLoader loader(m_db->settings(), at("2024-06-01 00:00:00"), at("2024-06-02 00:00:00"));
    QSignalSpy finished(&loader, &HistoryLoader::finished);
    QSignalSpy progress(&loader, &HistoryLoader::progress);
    loader.start();
    QVERIFY(finished.wait(60000));
    QCOMPARE(loader.result().status, HistoryLoadResult::Loaded);
    const HistoryData &rows = *loader.result().rows;
    QCOMPARE(rows.rowCount(), 250000);
    // Row 249999: second 14705 (04:05:05), value 249999 % 8000 / 1000.
    QCOMPARE(rows.timeText(249999), QStringLiteral("2024-06-01 04:05:05"));
    QCOMPARE(rows.valueText(249999), QStringLiteral("1.999"));
    QCOMPARE(rows.xPoints().last(), 14705.0);
    QVERIFY(progress.count() > 10 && progress.last().at(1).toInt() <= 1000);
    const double perRow = double(rows.storageBytes()) / rows.rowCount();
    qInfo("storage: %.1f bytes per row", perRow);
    QVERIFY2(perRow < 48, qPrintable(QString::number(perRow)));
}

// A table whose `frastr` is an integer column, then the same table held
// locked by another session for longer than the load waits.
void TestHistoryLoad::integerRangeColumnAndLockedTable()
{
    ScratchDatabase db(QStringLiteral("historyint"), ScratchDatabase::Content::EmptyDatabase);
    QVERIFY2(db.isReady(), qPrintable(db.error()));
    QVERIFY2(db.exec(QStringLiteral("CREATE TABLE invoice (id serial PRIMARY KEY, funcstr text, datavaluestr text, "
                                    "unitstr text, frastr integer, create_time timestamp)")),
             qPrintable(db.error()));
    QVERIFY2(db.exec(QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) "
                                    "VALUES ('电阻', '1.5', 'kΩ', 22, '2024-05-01 10:00:00'), "
                                    "('电阻', '+ OL ', 'kΩ', 22, '2024-05-01 10:00:01')")),
             qPrintable(db.error()));
    const QDateTime from = at("2024-05-01 10:00:00");
    HistoryLoadResult r = loadHistoryRange(db.settings(), from, from.addSecs(1));
    QVERIFY2(r.status == HistoryLoadResult::Loaded, qPrintable(r.error));
    QCOMPARE(r.rows->rowCount(), 2);
    QCOMPARE(r.rows->firstRangeIndex(), 22);
    QCOMPARE(r.rows->yPoints(), (QVector<double>{1.5, 8000}));

    QSqlDatabase holder = db.connection();
    QVERIFY(holder.transaction());
    QVERIFY(QSqlQuery(holder).exec(QStringLiteral("LOCK TABLE invoice IN ACCESS EXCLUSIVE MODE")));
    HistoryLoadControl control;
    control.timeoutMs = 500;
    r = loadHistoryRange(db.settings(), from, from.addSecs(1), control);
    holder.rollback();
    QCOMPARE(r.status, HistoryLoadResult::Failed);
    QVERIFY2(r.error.startsWith(QStringLiteral("读取超时")), qPrintable(r.error));
}

QTEST_GUILESS_MAIN(TestHistoryLoad)
#include "tst_historyload.moc"
