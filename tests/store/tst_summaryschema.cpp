// The summaries stay what a build from the rows makes, whatever writes the
// table: row by row, out of order, COPY, updates, deletes, TRUNCATE, DDL on
// the partitions, a build while writers insert.

#include "scratchdatabase.h"

#include "core/store/rangequeries.h"
#include "core/store/recordschema.h"
#include "core/store/summaryschema.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <atomic>
#include <cmath>
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

// Every summary row of every level, in key order.
QVector<QSqlRecord> dump(QSqlDatabase db)
{
    QVector<QSqlRecord> out;
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

} // namespace

class TestSummarySchema : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScratchDatabase> m_db;

    bool build(QString *error)
    {
        QSqlDatabase c = m_db->connection();
        return SummarySchema::build(c, {}, error) == SummarySchema::BuildOutcome::Built;
    }
    // What the triggers kept against what a build from the rows makes.
    void compareWithFreshBuild()
    {
        QSqlDatabase c = m_db->connection();
        const QVector<QSqlRecord> kept = dump(c);
        QString error;
        QVERIFY2(SummarySchema::uninstall(c, &error), qPrintable(error));
        QVERIFY2(build(&error), qPrintable(error));
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
        QTest::newRow("summaries of a version without a level")
            << QStringLiteral("DROP TABLE invoice_summary_10s CASCADE; UPDATE invoice_summary_state SET levels = '1s'")
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

    // A writer that may only insert into the table still keeps the
    // summaries: the triggers write them with their owner's rights.
    void writerWithInsertRightOnly()
    {
        const QString role = QStringLiteral("tk52k_t_inserter_%1").arg(QCoreApplication::applicationPid());
        struct Drop
        {
            ScratchDatabase &db;
            QString role;
            ~Drop()
            {
                db.exec(QStringLiteral("DROP OWNED BY %1").arg(role));
                db.exec(QStringLiteral("DROP ROLE IF EXISTS %1").arg(role));
            }
        } drop{*m_db, role};
        QVERIFY2(
            m_db->exec(QStringLiteral("DROP ROLE IF EXISTS %1; CREATE ROLE %1 LOGIN PASSWORD 'insert-only'; "
                                      "GRANT INSERT ON invoice TO %1; GRANT USAGE ON ALL SEQUENCES IN SCHEMA "
                                      "public TO %1")
                           .arg(role)),
            qPrintable(m_db->error()));
        DbSettings settings = m_db->settings();
        settings.userName = role;
        settings.password = QStringLiteral("insert-only");
        const QString name = QStringLiteral("summary-inserter");
        {
            QSqlDatabase w = settings.addConnection(name);
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

    // A table made elsewhere is read as rows; rows added by another session
    // move the change mark, with an id sequence and without.
    void foreignTableAndChangeMark()
    {
        ScratchDatabase foreign(QStringLiteral("summaryforeign"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(foreign.exec(
                     QStringLiteral("CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, "
                                    "frastr integer, create_time timestamp)")),
                 qPrintable(foreign.error()));
        QSqlDatabase f = foreign.connection();
        const SummarySchema::Status status = SummarySchema::probe(f);
        QCOMPARE(status.state, State::Unavailable);
        QVERIFY(!status.canBuild);
        QVERIFY2(status.reason.contains(QLatin1String("id")), qPrintable(status.reason));
        QString error;
        QCOMPARE(SummarySchema::build(f, {}, &error), SummarySchema::BuildOutcome::Failed);
        QVERIFY(!error.isEmpty());

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
