// The summaries stay what a build from the rows makes, whatever writes the
// table: row by row, out of order, COPY, updates, deletes, TRUNCATE, DDL on
// the partitions, a build while writers insert.

#include "scratchdatabase.h"

#include "core/store/rangequeries.h"
#include "core/store/recordschema.h"
#include "core/store/schemaversion.h"
#include "core/store/summaryschema.h"

#include <QCoreApplication>
#include <QProcess>
#include <QScopeGuard>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

using SummarySchema::State;

namespace {

const char *const kRows = R"(
INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source)
SELECT 'DCV', CASE WHEN i % 101 = 0 THEN '- .OL ' ELSE to_char(sin(i / 30.0 + s) * 3, 'FM0.000') END,
       CASE WHEN i % 700 < 50 THEN 'mV' ELSE 'V' END, '1',
       timestamp '%1' + (i * %2 + s * 7) * interval '1 millisecond', 'meter-' || s
  FROM generate_series(0, %3) i, generate_series(0, 1) s)";

QString rows(const char *start, int spacingMs, int count)
{
    return QString::fromLatin1(kRows).arg(QLatin1String(start)).arg(spacingMs).arg(count - 1);
}

// Every summary row of every level, in key order, the tail rolled up first.
QVector<QSqlRecord> dump(QSqlDatabase db)
{
    QVector<QSqlRecord> out;
    QString error;
    if (!SummarySchema::rollUp(db, 0, &error))
        qWarning("%s", qPrintable(error));
    for (size_t level = 0; level < SummarySchema::levels().size(); ++level) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(
                QStringLiteral("SELECT '%1' AS level, * FROM %1 ORDER BY source, funcstr, unitstr, bucket")
                    .arg(SummarySchema::levelTable(SummarySchema::probe(db).tag, int(level)))))
            qWarning("%s", qPrintable(q.lastError().text()));
        while (q.next())
            out << q.record();
    }
    return out;
}

// Mean and M2 merge in another order than a build adds them up; all else is exact.
QString difference(const QVector<QSqlRecord> &got, const QVector<QSqlRecord> &want)
{
    if (got.size() != want.size())
        return QStringLiteral("%1 summary rows, a build makes %2").arg(got.size()).arg(want.size());
    for (int i = 0; i < got.size(); ++i) {
        for (int c = 0; c < want[i].count(); ++c) {
            const QString name = want[i].fieldName(c);
            const QVariant g = got[i].value(c);
            const QVariant w = want[i].value(c);
            const bool same =
                (name == QLatin1String("mean") || name == QLatin1String("m2")) && !w.isNull()
                    ? std::abs(g.toDouble() - w.toDouble()) <= 1e-9 * std::abs(w.toDouble()) + 1e-12
                    : g.toString() == w.toString() && g.isNull() == w.isNull();
            if (!same)
                return QStringLiteral("%1 %2 %3 %4 %5: %6 is %7, a build makes %8")
                    .arg(want[i].value(0).toString(), want[i].value(1).toString(),
                         want[i].value(2).toString(), want[i].value(3).toString(),
                         want[i].value(4).toString(), name, g.toString(), w.toString());
        }
    }
    return QString();
}

// The program's table with summaries from the start and rows of two
// meters across the end of July into August.
bool programTable(ScratchDatabase &db, QString *error)
{
    QSqlDatabase c = db.connection();
    RecordSchema::TableShape shape;
    if (!RecordSchema::ensureTable(c, &shape, error) ||
        !RecordSchema::ensurePartitions(c, QDate(2024, 7, 1), 1, error))
        return false;
    if (!db.exec(rows("2024-07-31 23:00", 500, 10000))) {
        *error = db.error();
        return false;
    }
    return true;
}

// Whether what a reader counts over everything (rows, and the numbers of
// the statistics), with the table inspected before the last write as an
// open window has it, is what the table holds.
QString readersAgainstRows(ScratchDatabase &db, const RangeQueries::Table &table)
{
    QSqlDatabase c = db.connection();
    const RangeQueries::Range all{0, Q_INT64_C(4102444800000)};
    const RangeQueries::Quantity dcv{QStringLiteral("DCV"),
                                     {{QStringLiteral("V"), 1.0}, {QStringLiteral("mV"), 0.001}}};
    qint64 rows = -1;
    RangeQueries::Statistics statistics;
    QString error;
    if (!RangeQueries::rowCount(c, table, all, QString(), &rows, &error) ||
        !RangeQueries::statistics(c, table, all, QString(), dcv, &statistics, &error))
        return error;
    const QString got = QStringLiteral("%1 rows, %2 numbers").arg(rows).arg(statistics.count);
    const QString want = db.column(QStringLiteral("SELECT count(create_time) || ' rows, ' || count(*) FILTER "
                                                  "(WHERE funcstr = 'DCV' AND datavaluestr !~ 'OL') "
                                                  "|| ' numbers' FROM invoice"));
    return got == want ? QString() : QStringLiteral("readers count %1, the table holds %2").arg(got, want);
}

// Where the summaries of every level differ from PostgreSQL's own
// aggregates of the rows, rows of equal time in the order the reads of rows
// take them (by id, or by their place in the table); empty where they agree.
// The tail is rolled up first.
QString againstRawAggregates(ScratchDatabase &db, bool hasId)
{
    QSqlDatabase c = db.connection();
    QString error;
    if (!SummarySchema::rollUp(c, 0, &error))
        return error;
    const QString tag = SummarySchema::probe(c).tag;
    for (size_t level = 0; level < SummarySchema::levels().size(); ++level) {
        const QString diff = db.column(
            QStringLiteral(
                "WITH r AS (SELECT %1 AS us, %5 AS k, %2 AS cv, %3 AS nv, * FROM invoice WHERE create_time IS NOT NULL), "
                "raw AS (SELECT coalesce(funcstr, ''), coalesce(unitstr, ''), us - us % %4, count(*), "
                "(array_agg(cv ORDER BY us, k))[1], (array_agg(cv ORDER BY us, k))[count(*)], min(cv), max(cv), "
                "min(nv), max(nv) FROM r GROUP BY 1, 2, 3), kept AS (SELECT funcstr, unitstr, bucket, n_rows, "
                "first_v, last_v, lo_v, hi_v, min_v, max_v FROM %6), d AS ((TABLE raw EXCEPT TABLE kept) UNION ALL "
                "(TABLE kept EXCEPT TABLE raw)) SELECT string_agg(d::text, ' ') FROM (TABLE d LIMIT 4) d")
                .arg(SummarySchema::timeUsSql(QStringLiteral("create_time")),
                     SummarySchema::curveValueSql(QStringLiteral("datavaluestr"), QStringLiteral("frastr::text")),
                     SummarySchema::numberSql(QStringLiteral("datavaluestr")))
                .arg(SummarySchema::levels()[level].us)
                .arg(hasId ? QStringLiteral("coalesce(id, 0)") : QStringLiteral("ctid"),
                     SummarySchema::levelTable(tag, int(level))));
        if (!diff.isEmpty() || !db.error().isEmpty())
            return QStringLiteral("%1: %2%3").arg(QLatin1String(SummarySchema::levels()[level].name), diff, db.error());
    }
    return QString();
}

} // namespace

class TestSummarySchema : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScratchDatabase> m_db;
    std::unique_ptr<ScratchDatabase> m_bypass; ///< bypassNoticed()'s, one table through its cases

    bool build(QString *error)
    {
        QSqlDatabase c = m_db->connection();
        return SummarySchema::build(c, {}, error) == SummarySchema::BuildOutcome::Built;
    }
    // What the triggers kept against what a build from the rows makes.
    void compareWithFreshBuild(ScratchDatabase *db = nullptr)
    {
        QSqlDatabase c = (db ? db : m_db.get())->connection();
        const QVector<QSqlRecord> kept = dump(c);
        QString error;
        QVERIFY2(SummarySchema::uninstall(c, &error), qPrintable(error));
        QCOMPARE(SummarySchema::build(c, {}, &error), SummarySchema::BuildOutcome::Built);
        const QString diff = difference(kept, dump(c));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }

private slots:
    void initTestCase()
    {
        m_db = std::make_unique<ScratchDatabase>(QStringLiteral("summaryschema"),
                                                 ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
    }

    // The operations run one after the other on one table; after each the
    // summaries are usable at once (or after a repair where DDL went round
    // them) and equal to a build from the rows.
    void keptExact_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("usableAfter");
        QTest::newRow("bulk insert") << rows("2024-07-31 23:00", 250, 20000) << true;
        QTest::newRow("backfill inside buckets")
            << rows("2024-07-31 23:10:00.003", 5013, 300) + QStringLiteral(" ORDER BY random()") << true;
        QTest::newRow("rows of equal times")
            << QStringLiteral(
                   "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) "
                   "SELECT funcstr, '7.777', unitstr, frastr, create_time, source FROM invoice "
                   "WHERE id % 333 = 0")
            << true;
        QTest::newRow("update across the month's end")
            << QStringLiteral("UPDATE invoice SET create_time = create_time + interval '40 minutes', "
                              "datavaluestr = '-1.500' WHERE id % 17 = 0")
            << true;
        QTest::newRow("delete a stretch and from a partition")
            << QStringLiteral("DELETE FROM invoice WHERE create_time BETWEEN '2024-07-31 23:20' AND "
                              "'2024-07-31 23:21:30'; DELETE FROM invoice_y2024m08 WHERE id % 5 = 0")
            << true;
        QTest::newRow("insert into a partition, row outside every partition")
            << rows("2024-08-01 00:30:00.5", 900, 100)
                       .replace(QStringLiteral("INTO invoice "), QStringLiteral("INTO invoice_y2024m08 ")) +
                   QStringLiteral(
                       "; INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) "
                       "VALUES ('DCV', '1.000', 'V', '1', '2031-01-01 10:00')")
            << true;
        QTest::newRow("truncate the default partition") << QStringLiteral("TRUNCATE invoice_default") << true;
        // The overload figures the functions read, changed or gone: made anew.
        QTest::newRow("overload figures changed")
            << QStringLiteral("UPDATE invoice_summary_range_scale SET overload = 1 WHERE range = 1") << false;
        QTest::newRow("overload figures dropped") << QStringLiteral("DROP TABLE invoice_summary_range_scale") << false;
        QTest::newRow("summaries of a version without a level")
            << QStringLiteral(
                   "DROP TABLE invoice_summary_10s CASCADE; UPDATE invoice_summary_state SET levels = '1s'")
            << false;
        QTest::newRow("partition dropped") << QStringLiteral("DROP TABLE invoice_y2024m08") << false;
        QTest::newRow("partition attached with rows")
            << QStringLiteral("CREATE TABLE september (LIKE invoice INCLUDING DEFAULTS); ") +
                   rows("2024-09-03", 1000, 50)
                       .replace(QStringLiteral("INTO invoice "), QStringLiteral("INTO september ")) +
                   QStringLiteral(
                       "; ALTER TABLE invoice ATTACH PARTITION september FOR VALUES FROM ('2024-09-01') "
                       "TO ('2024-10-01')")
            << false;
        QTest::newRow("truncate a partition") << QStringLiteral("TRUNCATE invoice_y2024m07") << true;
    }
    void keptExact()
    {
        QFETCH(QString, sql);
        QFETCH(bool, usableAfter);
        QSqlDatabase c = m_db->connection();
        if (QString(QTest::currentDataTag()) == QLatin1String("bulk insert")) {
            // The table as the program makes it: with its summaries from the start.
            RecordSchema::TableShape shape;
            QString error;
            QVERIFY2(RecordSchema::ensureTable(c, &shape, &error), qPrintable(error));
            QVERIFY2(RecordSchema::ensurePartitions(c, QDate(2024, 7, 1), 1, &error), qPrintable(error));
            QCOMPARE(SummarySchema::probe(c).state, State::Usable);
        }
        QVERIFY2(m_db->exec(sql), qPrintable(m_db->error()));
        const SummarySchema::Status status = SummarySchema::probe(c);
        QCOMPARE(status.state == State::Usable, usableAfter);
        if (!usableAfter) {
            QCOMPARE(status.state, State::Incomplete);
            QVERIFY(status.canBuild);
            QString error;
            QVERIFY2(build(&error), qPrintable(error));
        }
        compareWithFreshBuild();
    }

    // Rows sent with COPY, one statement per row as the writer sends them,
    // and rows for a partition made later by the program.
    void copyRowByRowAndLaterPartition()
    {
        QSqlDatabase c = m_db->connection();
        QString error;
        QVERIFY2(RecordSchema::ensurePartitions(c, QDate(2024, 10, 1), 0, &error), qPrintable(error));
#ifndef Q_OS_WIN // the COPY goes through this machine's psql, which a Windows program cannot run
        QByteArray lines;
        for (int i = 0; i < 5000; ++i)
            lines += QStringLiteral("DCV\t%1\tV\t1\t2024-10-02 08:%2:%3.%4\tmeter-c\n")
                         .arg(std::sin(i / 40.0), 0, 'f', 3)
                         .arg(i / 600, 2, 10, QLatin1Char('0'))
                         .arg(i / 10 % 60, 2, 10, QLatin1Char('0'))
                         .arg(i % 10 * 100, 3, 10, QLatin1Char('0'))
                         .toLatin1();
        QProcess psql;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const DbSettings s = m_db->settings();
        env.insert(QStringLiteral("PGPASSWORD"), s.password);
        psql.setProcessEnvironment(env);
        psql.start(QStringLiteral("psql"),
                   {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", s.host, "-p", QString::number(s.port), "-U",
                    s.userName, "-d", s.databaseName, "-c",
                    "\\copy invoice_y2024m10 (funcstr, datavaluestr, unitstr, frastr, "
                    "create_time, source) FROM STDIN"});
        QVERIFY(psql.waitForStarted());
        psql.write(lines);
        psql.closeWriteChannel();
        QVERIFY(psql.waitForFinished(60000));
        QVERIFY2(psql.exitCode() == 0, psql.readAllStandardError().constData());
#endif
        QSqlQuery insert(c);
        QVERIFY(insert.prepare(RecordSchema::insertStatement({true, true, true, true, "text", 3})));
        for (int i = 0; i < 50; ++i) {
            for (const QString &v :
                 {QStringLiteral("DCV"), QString::number(i % 7), QStringLiteral("V"), QStringLiteral("1"),
                  QStringLiteral("2024-10-02 09:00:%1").arg(i, 2, 10, QLatin1Char('0')),
                  QStringLiteral("meter-c")})
                insert.addBindValue(v);
            QVERIFY2(insert.exec(), qPrintable(insert.lastError().text()));
        }
        QCOMPARE(SummarySchema::probe(c).state, State::Usable);
        compareWithFreshBuild();

        // Writers that made the same month at once each give it its triggers.
        std::atomic_int refused{0};
        for (const QString month : {"2024-11", "2024-12", "2025-01", "2025-02"}) {
            const QString partition = QStringLiteral("invoice_m") + QString(month).remove('-');
            QVERIFY(QSqlQuery(c).exec(QStringLiteral("CREATE TABLE %1 PARTITION OF invoice FOR VALUES FROM "
                                                     "('%2-01') TO (date '%2-01' + interval '1 month')")
                                          .arg(partition, month)));
            std::vector<std::thread> adopters;
            for (int w = 0; w < 6; ++w)
                adopters.emplace_back([&, w] {
                    const QString name = QStringLiteral("adopter-%1").arg(w);
                    {
                        QSqlDatabase d = m_db->settings().addConnection(name);
                        QString why;
                        if (!d.open() || !SummarySchema::adoptPartition(d, partition, &why))
                            ++refused;
                    }
                    QSqlDatabase::removeDatabase(name);
                });
            for (std::thread &t : adopters)
                t.join();
        }
        QCOMPARE(refused.load(), 0);
        QCOMPARE(SummarySchema::probe(c).state, State::Usable);
    }

    // A table archived by renaming keeps its summaries, and they keep
    // counting its own rows; the new table of the old name gets summaries of
    // its own under other names.
    void archivedTable()
    {
        QSqlDatabase c = m_db->connection();
        const QString oldTag = SummarySchema::probe(c).tag;
        QVERIFY2(m_db->exec(QStringLiteral("ALTER TABLE invoice RENAME TO invoice_old")),
                 qPrintable(m_db->error()));
        RecordSchema::TableShape shape;
        QString error;
        QVERIFY2(RecordSchema::ensureTable(c, &shape, &error), qPrintable(error));
        QVERIFY2(RecordSchema::ensurePartitions(c, QDate(2024, 7, 1), 1, &error), qPrintable(error));
        QVERIFY2(m_db->exec(rows("2024-07-31 23:59", 300, 2000)), qPrintable(m_db->error()));
        const SummarySchema::Status status = SummarySchema::probe(c);
        QCOMPARE(status.state, State::Usable);
        QVERIFY(status.tag != oldTag);
        // Rows the archived table loses are recomputed from its own rows.
        QVERIFY2(m_db->exec(QStringLiteral("DELETE FROM invoice_old WHERE id % 3 = 0")),
                 qPrintable(m_db->error()));
        QVERIFY2(SummarySchema::rollUp(c, 0, &error), qPrintable(error));
        const QString oldLevel = SummarySchema::levelTable(oldTag, 0);
        QCOMPARE(m_db->column(QStringLiteral("SELECT sum(n_rows) FROM %1").arg(oldLevel)),
                 m_db->column(QStringLiteral("SELECT count(create_time) FROM invoice_old")));
        QCOMPARE(
            m_db->column(
                QStringLiteral("SELECT sum(n_rows) FROM %1").arg(SummarySchema::levelTable(status.tag, 0))),
            QStringLiteral("4000"));
        compareWithFreshBuild();
    }

    // A build of a table that existed before, while a writer keeps adding
    // rows to the stretches being built and after them.
    void buildWhileWriting()
    {
        ScratchDatabase db(QStringLiteral("summarybuild"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QSqlDatabase c = db.connection();
        QString error;
        QVERIFY2(RecordSchema::ensurePartitions(c, QDate(2024, 7, 1), 1, &error), qPrintable(error));
        QVERIFY2(db.exec(rows("2024-07-31 20:00", 200, 100000)), qPrintable(db.error()));
        QCOMPARE(SummarySchema::probe(c).state, State::NotInstalled);

        std::atomic_bool stop{false};
        std::atomic_int written{0};
        QString writeError;
        std::thread writer([&] {
            const QString name = QStringLiteral("summary-writer");
            {
                QSqlDatabase w = db.settings().addConnection(name);
                QSqlQuery q(w);
                for (int i = 0; !stop && w.isOpen() | w.open(); ++i) {
                    // Across the whole day, so into chunks built, being built and still to come.
                    if (!q.exec(
                            QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, "
                                           "create_time, source) VALUES ('DCV', '%1', 'V', '1', "
                                           "timestamp '2024-07-31 19:30' + %2 * interval '1 millisecond', "
                                           "'meter-%3')")
                                .arg(i % 9)
                                .arg(qint64(i) * 7919 % 36000000)
                                .arg(i % 3))) {
                        writeError = q.lastError().text();
                        break;
                    }
                    ++written;
                }
            }
            QSqlDatabase::removeDatabase(name);
        });
        QTRY_VERIFY_WITH_TIMEOUT(written > 20 || !writeError.isEmpty(), 30000);
        const int before = written;
        // Stopped after its first chunk, then run again to the end.
        std::atomic_bool cancel{false};
        SummarySchema::BuildControl control;
        control.cancel = &cancel;
        int chunks = 0;
        control.progress = [&](double, qint64) { cancel = ++chunks == 1; };
        QCOMPARE(SummarySchema::build(c, control, &error), SummarySchema::BuildOutcome::Cancelled);
        QCOMPARE(SummarySchema::probe(c).state, State::Incomplete);
        cancel = false;
        const SummarySchema::BuildOutcome outcome = SummarySchema::build(c, control, &error);
        const int during = written - before;
        stop = true;
        writer.join();
        QVERIFY2(writeError.isEmpty(), qPrintable(writeError));
        QVERIFY2(outcome == SummarySchema::BuildOutcome::Built, qPrintable(error));
        QVERIFY(chunks > 1);
        QVERIFY2(during > 20, qPrintable(QString::number(during)));
        QCOMPARE(SummarySchema::probe(c).state, State::Usable);
        const QVector<QSqlRecord> kept = dump(c);
        QVERIFY2(SummarySchema::uninstall(c, &error), qPrintable(error));
        QCOMPARE(SummarySchema::build(c, {}, &error), SummarySchema::BuildOutcome::Built);
        const QString diff = difference(kept, dump(c));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }

    // A table an older logger made (five columns, the range index an
    // integer, no index) and one with an id but no meter column: the build
    // says what it will do, stops and carries on, adds nothing the earlier
    // program's statements see, and the summaries stay PostgreSQL's own
    // aggregates of the rows through that program's writes at seconds that
    // already hold readings, and through rows landing in freed space.
    void otherLayouts_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("insert");
        QTest::newRow("five columns")
            << QStringLiteral("CREATE TABLE invoice (funcstr varchar(20), datavaluestr varchar(20), "
                              "unitstr varchar(10), frastr integer, create_time timestamp(0))")
            << QStringLiteral("INSERT INTO invoice VALUES ('DCV', '9.999', 'V', '2', '2024-03-01 12:46:39')");
        QTest::newRow("id, no meter")
            << QStringLiteral("CREATE TABLE invoice (id bigserial, funcstr text, datavaluestr text, unitstr text, "
                              "frastr text, create_time timestamp)")
            << QStringLiteral("INSERT INTO invoice VALUES (DEFAULT, 'DCV', '9.999', 'V', '2', "
                              "'2024-03-01 12:46:39')");
    }
    void otherLayouts()
    {
        QFETCH(QString, table);
        QFETCH(QString, insert);
        const bool hasId = table.contains(QLatin1String("id bigserial"));
        ScratchDatabase db(QStringLiteral("summarylayout"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QSqlDatabase c = db.connection();
        // Three readings to a second, stamped to the second as the earlier
        // program does; the rows' text, columns and all, is kept.
        QVERIFY2(db.exec(table + QStringLiteral(
                                     "; INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) "
                                     "SELECT CASE WHEN i % 500 <> 7 THEN 'DCV' END, CASE WHEN i % 97 = 0 THEN "
                                     "'+ O.L ' ELSE to_char(sin(i / 7.0) * 3, 'FM0.000') END, CASE WHEN i % 900 < "
                                     "60 THEN 'mV' ELSE 'V' END, '2', timestamp '2024-03-01 10:00' + (i / 3) * "
                                     "interval '1 second' FROM generate_series(0, 29999) i")),
                 qPrintable(db.error()));
        const QString rowsBefore = QStringLiteral("SELECT md5(string_agg(t::text, ',' ORDER BY t::text)) FROM invoice t");
        const QString before = db.column(rowsBefore);
        QCOMPARE(SummarySchema::probe(c).state, State::NotInstalled);

        std::atomic_bool cancel{false};
        SummarySchema::BuildControl control;
        control.cancel = &cancel;
        int chunks = 0;
        control.progress = [&](double, qint64) { cancel = ++chunks == 1; };
        // Declined when its plan is shown: nothing is made, not even the index.
        control.announce = [](const QString &) { return false; };
        QString error;
        QCOMPARE(SummarySchema::build(c, control, &error), SummarySchema::BuildOutcome::Cancelled);
        QCOMPARE(db.column(QStringLiteral("SELECT count(*) FROM pg_indexes WHERE tablename = 'invoice'")),
                 QStringLiteral("0"));
        QCOMPARE(SummarySchema::probe(c).state, State::NotInstalled);
        control.announce = [](const QString &plan) { return !plan.isEmpty(); };
        QCOMPARE(SummarySchema::build(c, control, &error), SummarySchema::BuildOutcome::Cancelled);
        QCOMPARE(SummarySchema::probe(c).state, State::Incomplete);
        cancel = false;
        QVERIFY2(SummarySchema::build(c, control, &error) == SummarySchema::BuildOutcome::Built, qPrintable(error));
        QVERIFY(chunks > 2);
        QCOMPARE(db.column(rowsBefore), before);
        QString diff = againstRawAggregates(db, hasId);
        QVERIFY2(diff.isEmpty(), qPrintable(diff));

        const QStringList writes{
            // The earlier program's statement, at a second of three readings.
            QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr,frastr, create_time) VALUES ( "
                           "'DCV','-9.999','V','2','2024-03-01 10:00:05')"),
            insert,
            QStringLiteral("DELETE FROM invoice WHERE create_time < '2024-03-01 10:20' AND datavaluestr LIKE '%1%'"),
            QStringLiteral("VACUUM invoice"),
            // Into the space the deleted rows left, so before rows of the same
            // second, and, in the same statement, seconds of their own.
            QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) SELECT funcstr, "
                           "reverse(datavaluestr), unitstr, frastr, create_time + h FROM invoice, (VALUES (interval "
                           "'0'), (interval '4 hours')) v(h) WHERE create_time BETWEEN '2024-03-01 11:00' AND "
                           "'2024-03-01 11:30'"),
            QStringLiteral("UPDATE invoice SET datavaluestr = '4.25' WHERE create_time BETWEEN '2024-03-01 12:00' AND "
                           "'2024-03-01 12:00:30' AND datavaluestr LIKE '%2%'"),
        };
        for (const QString &sql : writes) {
            QVERIFY2(db.exec(sql), qPrintable(db.error()));
            QCOMPARE(SummarySchema::probe(c).state, State::Usable);
            diff = againstRawAggregates(db, hasId);
            QVERIFY2(diff.isEmpty(), qPrintable(sql + QStringLiteral(": ") + diff));
        }
        compareWithFreshBuild(&db);
        // Rows without ids written anew in an order of the server's are
        // summarized again; a TRUNCATE leaves nothing to reorder.
        QVERIFY2(db.exec(QStringLiteral("VACUUM FULL invoice")), qPrintable(db.error()));
        QCOMPARE(SummarySchema::probe(c).state == State::Usable, hasId);
        QVERIFY2(SummarySchema::build(c, {}, &error) == SummarySchema::BuildOutcome::Built, qPrintable(error));
        QVERIFY2(db.exec(QStringLiteral("TRUNCATE invoice")), qPrintable(db.error()));
        QCOMPARE(SummarySchema::probe(c).state, State::Usable);
    }

    // A writer that may only insert into the table still keeps the
    // summaries: the triggers write them with their owner's rights.
    void writerWithInsertRightOnly()
    {
        const QString role = QStringLiteral("tk52k_t_inserter_%1").arg(QCoreApplication::applicationPid());
        QVERIFY2(m_db->addLogin(role, QStringLiteral("insert-only"),
                                QStringLiteral("GRANT INSERT ON invoice TO %1; GRANT USAGE ON ALL SEQUENCES IN "
                                               "SCHEMA public TO %1")),
                 qPrintable(m_db->error()));
        const QString name = QStringLiteral("summary-inserter");
        {
            QSqlDatabase w = m_db->settingsAs(role, QStringLiteral("insert-only")).addConnection(name);
            QVERIFY2(w.open(), qPrintable(w.lastError().text()));
            QSqlQuery q(w);
            QVERIFY2(q.exec(QStringLiteral(
                         "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, "
                         "source) VALUES ('DCV', '2.5', 'V', '1', '2024-07-31 23:59:59', 'meter-r')")),
                     qPrintable(q.lastError().text()));
        }
        QSqlDatabase::removeDatabase(name);
        QSqlDatabase c = m_db->connection();
        QCOMPARE(m_db->column(QStringLiteral("SELECT sum(n_rows) FROM %1 WHERE source = 'meter-r'")
                                  .arg(SummarySchema::levelTable(SummarySchema::probe(c).tag, 2))),
                 QStringLiteral("1"));
    }

    // Triggers of a table of one's own calling the summaries' functions, or
    // the functions called directly, change nothing: a role without rights
    // may not run them, and the owner of the table, who may, finds them
    // doing nothing for any table but invoice.
    void foreignTriggersChangeNothing_data()
    {
        QTest::addColumn<bool>("asOwner");
        QTest::addColumn<QString>("sql");
        const QString temp = QStringLiteral(
            "CREATE TEMP TABLE t (id bigint, funcstr text, datavaluestr text, unitstr text, frastr text, "
            "create_time timestamp, source text);\nGRANT SELECT ON t TO PUBLIC;\n");
        const QString empty = temp + QStringLiteral("CREATE TRIGGER x AFTER TRUNCATE ON t FOR EACH STATEMENT "
                                                    "EXECUTE FUNCTION public.tk52k_summary_truncated();\n"
                                                    "TRUNCATE t");
        const QString forge =
            temp +
            QStringLiteral("CREATE TRIGGER x AFTER INSERT ON t REFERENCING NEW TABLE AS new_rows FOR EACH "
                           "STATEMENT EXECUTE FUNCTION public.tk52k_summary_inserted();\n"
                           "INSERT INTO t SELECT i, 'DCV', '999.9', 'V', '1', timestamp '2024-08-01 00:10' + "
                           "i * interval '1 second', 'meter-0' FROM generate_series(1, 500) i");
        QTest::newRow("stranger empties them") << false << empty;
        QTest::newRow("stranger forges readings") << false << forge;
        QTest::newRow("stranger recomputes from a table of its own")
            << false
            << temp + QStringLiteral(
                          "SELECT public.tk52k_summary_redo_1s(ARRAY(SELECT ROW('meter-0', 'DCV', 'V', "
                          "b)::public.tk52k_summary_key FROM generate_series(1722470400000000, "
                          "1722474000000000, 1000000) b), 't'::regclass)");
        QTest::newRow("owner empties them") << true << empty;
        QTest::newRow("owner forges readings") << true << forge;
    }
    void foreignTriggersChangeNothing()
    {
        QFETCH(bool, asOwner);
        QFETCH(QString, sql);
        const qint64 pid = QCoreApplication::applicationPid();
        const QStringList roles{QStringLiteral("tk52k_t_owner_%1").arg(pid),
                                QStringLiteral("tk52k_t_stranger_%1").arg(pid)};
        ScratchDatabase db(QStringLiteral("summaryowner"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QVERIFY2(db.addLogin(roles[0], QStringLiteral("pw"), QStringLiteral("GRANT CREATE ON SCHEMA public TO %1")) &&
                     db.addLogin(roles[1], QStringLiteral("pw")),
                 qPrintable(db.error()));
        const auto as = [&](const QString &role, const std::function<void(QSqlDatabase &)> &work) {
            {
                QSqlDatabase c = db.settingsAs(role, QStringLiteral("pw")).addConnection(role);
                if (c.open())
                    work(c);
                else
                    QFAIL(qPrintable(c.lastError().text()));
            }
            QSqlDatabase::removeDatabase(role);
        };
        // The table and its summaries as a site's owner role makes them.
        as(roles[0], [&](QSqlDatabase &c) {
            RecordSchema::TableShape shape;
            QString error;
            QVERIFY2(RecordSchema::ensureTable(c, &shape, &error), qPrintable(error));
            QVERIFY2(RecordSchema::ensurePartitions(c, QDate(2024, 7, 1), 1, &error), qPrintable(error));
            QSqlQuery q(c);
            QVERIFY2(q.exec(rows("2024-07-31 23:00", 500, 10000)), qPrintable(q.lastError().text()));
        });
        QSqlDatabase c = db.connection();
        QCOMPARE(SummarySchema::probe(c).state, State::Usable);
        RangeQueries::Table table;
        QString error;
        QVERIFY2(RangeQueries::inspect(c, &table, &error), qPrintable(error));
        const QVector<QSqlRecord> before = dump(c);

        // As an attacker would: each statement tried, whatever the last one did.
        as(roles[asOwner ? 0 : 1], [&](QSqlDatabase &attacker) {
            for (const QString &statement : sql.split(QStringLiteral(";\n")))
                QSqlQuery(attacker).exec(statement);
        });
        QCOMPARE(SummarySchema::probe(c).state, State::Usable);
        const QString diff = difference(dump(c), before);
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
        const QString counts = readersAgainstRows(db, table);
        QVERIFY2(counts.isEmpty(), qPrintable(counts));
        // Nor could it have run any of them.
        QCOMPARE(
            db.column(QStringLiteral("SELECT count(*) FROM pg_proc WHERE proname LIKE 'tk52k\\_summary%' AND "
                                     "has_function_privilege('%1', oid, 'EXECUTE')")
                          .arg(roles[1])),
            QStringLiteral("0"));
    }

    // Writes the triggers never saw: readers notice before they use the
    // summaries and count the rows instead, and a build mends what was
    // missed, not saying "complete" over stale buckets.
    void bypassNoticed_data()
    {
        QTest::addColumn<QString>("sql");
        const auto into = [](const char *table, const char *start, int count) {
            return rows(start, 700, count)
                .replace(QStringLiteral("INTO invoice "),
                         QLatin1String("INTO ") + QLatin1String(table) + QLatin1Char(' '));
        };
        QTest::newRow("load with the table's triggers disabled")
            << QStringLiteral("ALTER TABLE invoice DISABLE TRIGGER ALL; %1; "
                              "ALTER TABLE invoice ENABLE TRIGGER ALL")
                   .arg(rows("2024-08-03 10:00", 700, 300));
        QTest::newRow("load with a partition's triggers disabled")
            << QStringLiteral("ALTER TABLE invoice_y2024m08 DISABLE TRIGGER ALL; %1; "
                              "ALTER TABLE invoice_y2024m08 ENABLE TRIGGER ALL")
                   .arg(into("invoice_y2024m08", "2024-08-04 10:00", 300));
        QTest::newRow("writes in the replica role")
            << QStringLiteral("SET session_replication_role = replica; %1; "
                              "UPDATE invoice SET datavaluestr = '-1.500' WHERE id % 7 = 0; "
                              "DELETE FROM invoice WHERE id % 11 = 0; RESET session_replication_role")
                   .arg(rows("2024-08-05 10:00", 700, 300));
        QTest::newRow("partition detached, kept, emptied and written")
            << QStringLiteral(
                   "ALTER TABLE invoice DETACH PARTITION invoice_y2024m07; TRUNCATE invoice_y2024m07; %1")
                   .arg(into("invoice_y2024m07", "2024-08-20 10:00", 100));
        QTest::newRow("partition truncated in the replica role")
            << QStringLiteral("SET session_replication_role = replica; TRUNCATE invoice_y2024m08; "
                              "RESET session_replication_role");
    }
    void bypassNoticed()
    {
        QFETCH(QString, sql);
        std::unique_ptr<ScratchDatabase> &db = m_bypass;
        if (!db) {
            db = std::make_unique<ScratchDatabase>(QStringLiteral("summarybypass"),
                                                   ScratchDatabase::Content::EmptyDatabase);
            QVERIFY2(db->isReady(), qPrintable(db->error()));
            QString error;
            QVERIFY2(programTable(*db, &error), qPrintable(error));
        }
        QSqlDatabase c = db->connection();
        RangeQueries::Table table;
        QString error;
        QVERIFY2(RangeQueries::inspect(c, &table, &error), qPrintable(error));
        QVERIFY(table.summaries);
        QVERIFY2(db->exec(sql), qPrintable(db->error()));

        const SummarySchema::Status status = SummarySchema::probe(c);
        QVERIFY(status.state == State::Usable || !status.reason.isEmpty());
        QString counts = readersAgainstRows(*db, table);
        QVERIFY2(counts.isEmpty(), qPrintable(counts));

        QCOMPARE(SummarySchema::build(c, {}, &error), SummarySchema::BuildOutcome::Built);
        QCOMPARE(SummarySchema::probe(c).state, State::Usable);
        QVERIFY2(RangeQueries::inspect(c, &table, &error), qPrintable(error));
        counts = readersAgainstRows(*db, table);
        QVERIFY2(counts.isEmpty(), qPrintable(counts));
        compareWithFreshBuild(db.get());
    }

    // The buckets hold the rows before the watermark; readers add the rows
    // after it (a meter with rows only there too). A writer whose snapshot
    // predates a rollup is told to try again, not let past it; writers that
    // roll the tail up while others write behind and ahead of the watermark
    // lose and double nothing.
    void watermark()
    {
        ScratchDatabase db(QStringLiteral("summarywatermark"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QString error;
        QVERIFY2(programTable(db, &error), qPrintable(error));
        QSqlDatabase c = db.connection();
        const QString insert = QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, "
                                              "source) VALUES ('DCV', '%1', 'V', '1', %2, '%3')");
        QVERIFY2(db.exec(insert.arg(QStringLiteral("1.5"), QStringLiteral("'2024-08-01 00:23:19.5'"),
                                    QStringLiteral("meter-tail")) +
                         QStringLiteral(", ('DCV', '-2.5', 'V', '1', '2024-07-31 23:30:00.25', 'meter-0')")),
                 qPrintable(db.error()));
        const QString tail = QStringLiteral("SELECT count(*) FROM invoice, invoice_summary_watermark WHERE "
                                            "create_time >= %1")
                                 .arg(SummarySchema::timestampSql(QStringLiteral("us")));
        QVERIFY(db.column(tail).toInt() > 1);
        RangeQueries::Table table;
        QVERIFY2(RangeQueries::inspect(c, &table, &error), qPrintable(error));
        QVERIFY(table.summaries);
        QString counts = readersAgainstRows(db, table);
        QVERIFY2(counts.isEmpty(), qPrintable(counts));

        const QString name = QStringLiteral("summary-repeatable-read");
        {
            QSqlDatabase rr = db.settings().addConnection(name);
            QSqlQuery q(rr);
            const QString late = insert.arg(QStringLiteral("7"), QStringLiteral("'2024-08-01 00:24:30'"),
                                            QStringLiteral("meter-rr"));
            QVERIFY(rr.open() && q.exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ")) &&
                    q.exec(QStringLiteral("SELECT count(*) FROM invoice")));
            QVERIFY2(db.exec(insert.arg(QStringLiteral("3"), QStringLiteral("'2024-08-01 00:25:00'"),
                                        QStringLiteral("meter-0"))),
                     qPrintable(db.error()));
            QVERIFY2(SummarySchema::rollUp(c, 0, &error), qPrintable(error));
            QVERIFY(!q.exec(late));
            QCOMPARE(q.lastError().nativeErrorCode(), QStringLiteral("40001"));
            QVERIFY(q.exec(QStringLiteral("ROLLBACK")) &&
                    q.exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ")) && q.exec(late) &&
                    q.exec(QStringLiteral("COMMIT")));
        }
        QSqlDatabase::removeDatabase(name);

        std::vector<std::thread> writers;
        std::atomic_int failures{0};
        for (int w = 0; w < 3; ++w) {
            writers.emplace_back([&, w] {
                const QString name = QStringLiteral("summary-writer-%1").arg(w);
                {
                    QSqlDatabase d = db.settings().addConnection(name);
                    QSqlQuery q(d);
                    // In time order, 0.4 s apart, now and then a minute late.
                    for (int i = 0; i < 150 && (d.isOpen() || d.open()); ++i) {
                        const qint64 ms = qint64(i) * 400 + w * 130 - (i % 25 == 0 ? 60000 : 0);
                        if (!q.exec(insert.arg(i % 11).arg(QStringLiteral("timestamp '2024-08-01 00:30' + %1 * "
                                                                          "interval '1 millisecond'")
                                                               .arg(ms))
                                        .arg(w)))
                            ++failures;
                    }
                }
                QSqlDatabase::removeDatabase(name);
            });
        }
        for (std::thread &t : writers)
            t.join();
        QCOMPARE(failures.load(), 0);
        QVERIFY(db.column(tail).toInt() > 0);
        counts = readersAgainstRows(db, table);
        QVERIFY2(counts.isEmpty(), qPrintable(counts));
        compareWithFreshBuild(&db);
    }

    // The schema record: made with the table and its summaries; an older
    // program's record never lowers a newer one's, and summaries a newer
    // program laid out are not made anew by this one.
    void schemaRecord()
    {
        ScratchDatabase db(QStringLiteral("schemarecord"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QString error;
        QVERIFY2(programTable(db, &error), qPrintable(error));
        const QString record =
            QStringLiteral("SELECT string_agg(part || ' ' || version || ' ' || oldest_writer, "
                           "', ' ORDER BY part) FROM tk52k_schema_version");
        const QString made = db.column(record);
        QVERIFY2(made.startsWith(QLatin1String("invoice 1 ")) && made.contains(QLatin1String("summaries 4 ")),
                 qPrintable(made));
        QSqlDatabase c = db.connection();
        QVERIFY2(SchemaVersion::record(c, {QStringLiteral("summaries"), 2, QStringLiteral("1.0")}, &error),
                 qPrintable(error));
        QCOMPARE(db.column(record), made);
        // The record says what version the summaries are; their state says
        // so only for summaries made before the record.
        QVERIFY2(db.exec(QStringLiteral("UPDATE tk52k_schema_version SET version = 3 WHERE part = 'summaries'")),
                 qPrintable(db.error()));
        QVERIFY(SummarySchema::probe(c).otherVersion);
        QVERIFY2(db.exec(QStringLiteral("DELETE FROM tk52k_schema_version WHERE part = 'summaries'")),
                 qPrintable(db.error()));
        QCOMPARE(SummarySchema::probe(c).state, State::Usable);
        QVERIFY2(SchemaVersion::record(c, {QStringLiteral("summaries"), 4, QStringLiteral("2.0")}, &error),
                 qPrintable(error));

        QVERIFY2(
            db.exec(QStringLiteral("UPDATE tk52k_schema_version SET version = 5, oldest_writer = '99.1' "
                                   "WHERE part = 'summaries'; UPDATE invoice_summary_state SET version = 5")),
            qPrintable(db.error()));
        QCOMPARE(SummarySchema::build(c, {}, &error), SummarySchema::BuildOutcome::Failed);
        QVERIFY2(error.contains(QLatin1String("99.1")), qPrintable(error));
        QCOMPARE(db.column(QStringLiteral("SELECT version FROM invoice_summary_state")), QStringLiteral("5"));
    }

    // Rows added by another session move the change mark, with an id
    // sequence and without.
    void foreignTableAndChangeMark()
    {
        ScratchDatabase foreign(QStringLiteral("summaryforeign"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(foreign.exec(
                     QStringLiteral("CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, "
                                    "frastr integer, create_time timestamp)")),
                 qPrintable(foreign.error()));
        QString error;

        for (ScratchDatabase *db : {&foreign, m_db.get()}) {
            QSqlDatabase c = db->connection();
            RangeQueries::Table table;
            QVERIFY2(RangeQueries::inspect(c, &table, &error), qPrintable(error));
            qint64 before = -1, after = -1;
            QVERIFY2(RangeQueries::changeMark(c, table, &before, &error), qPrintable(error));
            const QString other = QStringLiteral("summary-other-writer");
            {
                QSqlDatabase w = db->settings().addConnection(other);
                QVERIFY(w.open());
                QSqlQuery q(w);
                QVERIFY2(q.exec(QStringLiteral("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, "
                                               "create_time) VALUES ('DCV', '1', 'V', 1, '2031-10-05')")),
                         qPrintable(q.lastError().text()));
            }
            QSqlDatabase::removeDatabase(other);
            QVERIFY2(RangeQueries::changeMark(c, table, &after, &error), qPrintable(error));
            QVERIFY2(after != before, qPrintable(QString::number(after)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSummarySchema)
#include "tst_summaryschema.moc"
