#include "scratchdatabase.h"
#include "tablemodels.h"
#include "toolrun.h"

#include "core/store/recordschema.h"

#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// tk52k-export against a database of its own.
class TstExportTool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_db = std::make_unique<ScratchDatabase>(QStringLiteral("exporttool"));
        QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
        const QDateTime t0 = QDateTime::fromString("2024-05-01 10:00:00", Qt::ISODate);
        QVERIFY(m_db->insert(t0, "1.234"));
        QVERIFY(m_db->insert(t0.addSecs(1), "+ OL ", "V", QStringLiteral("直流电压"), "2"));
        QVERIFY(m_db->insert(t0.addSecs(2), "12.5", QStringLiteral("kΩ"), QStringLiteral("电阻"), "20"));
        QVERIFY(m_db->insert(t0.addSecs(3600), "9.999")); // the last second of a range below

        // Two meters and one reading of a program that named none, around the
        // end of July, in July's and August's partitions, written out of order.
        QSqlDatabase db = m_db->connection();
        QString error;
        QVERIFY2(RecordSchema::ensurePartitions(db, QDate(2024, 7, 1), 1, &error), qPrintable(error));
        QVERIFY2(
            m_db->exec(
                "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) VALUES "
                "('F', 'b1', 'A', '2', '2024-07-31 23:59:59.750', 'meter-b'), "
                "('F', 'a1', 'V', '2', '2024-07-31 23:59:59.250', 'meter-a'), "
                "('F', 'n1', 'V', '2', '2024-08-01 00:00:00.500', NULL), "
                "('F', 'a2', 'V', '2', '2024-08-01 00:00:00.000', 'meter-a'), "
                "('F', 'b2', 'A', '2', '2024-08-01 00:00:01.000', 'meter-b')"),
            qPrintable(m_db->error()));
        QCOMPARE(
            m_db->column("SELECT count(DISTINCT tableoid) FROM invoice WHERE create_time >= '2024-07-31'"),
            QStringLiteral("2"));

        m_plain = std::make_unique<ScratchDatabase>(QStringLiteral("exporttool_plain"),
                                                    ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(
            m_plain->exec("CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, frastr numeric, "
                          "create_time timestamp(0))"),
            qPrintable(m_plain->error()));
        m_db->select();
    }

    // A name without suffix gets the format's; the range ends with the whole of
    // its last second; CSV times carry the offset in force then; the rows
    // written are told.
    void filesNamedWithoutSuffix()
    {
        const QString chosen = m_dir.filePath("range");
        for (const QString format : {"csv", "xlsx"}) {
            const ToolRun r = run({"--from", "2024-05-01 10:00:00", "--to", "2024-05-01 11:00:00", "--format",
                                   format, "--output", chosen},
                                  {"TZ=CST-8"});
            QVERIFY2(r.status == 0, r.err.constData());
            // Counted as they were streamed: no count of the range before.
            QVERIFY2(r.out.startsWith("tk52k-export: 4 rows written to "), r.out.constData());
        }
        QFile f(chosen + ".csv");
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("time,value,overload,unit,function,range,source\r\n"
                                         "2024-05-01T10:00:00.000+08:00,1.234,,V,直流电压,2,\r\n"
                                         "2024-05-01T10:00:01.000+08:00,,+ OL ,V,直流电压,2,\r\n"
                                         "2024-05-01T10:00:02.000+08:00,12.5,,kΩ,电阻,20,\r\n"
                                         "2024-05-01T11:00:00.000+08:00,9.999,,V,直流电压,2,\r\n"));
#ifdef Q_OS_WIN // the workbook reader is a Linux Python program, which Wine starts but cannot wait for
        QVERIFY(QFileInfo::exists(chosen + ".xlsx"));
#else
        const QList<QStringList> rows = workbookRows(inspectWorkbook(chosen + ".xlsx"));
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows.at(2),
                 (QStringList{"2024-05-01 10:00:02", "12.5", QStringLiteral("kΩ"), QStringLiteral("电阻")}));
#endif
    }

    // The text export, rows numbered from 1, each with its own unit. The range
    // ends with the whole of its last second; readings of one second keep their
    // order to the millisecond whichever meter wrote them.
    void sourcesAcrossAMonthEnd_data()
    {
        QTest::addColumn<QStringList>("source");
        QTest::addColumn<QByteArray>("rows");

        QTest::newRow("all") << QStringList()
                             << QByteArray("1\t2024-07-31 23:59:59\ta1\tV\tF\n"
                                           "2\t2024-07-31 23:59:59\tb1\tA\tF\n"
                                           "3\t2024-08-01 00:00:00\ta2\tV\tF\n"
                                           "4\t2024-08-01 00:00:00\tn1\tV\tF\n");
        QTest::newRow("one meter") << QStringList{"--source", "meter-a"}
                                   << QByteArray("1\t2024-07-31 23:59:59\ta1\tV\tF\n"
                                                 "2\t2024-08-01 00:00:00\ta2\tV\tF\n");
        QTest::newRow("unknown meter") << QStringList{"--source", "meter-c"} << QByteArray();
    }

    void sourcesAcrossAMonthEnd()
    {
        QFETCH(QStringList, source);
        QFETCH(QByteArray, rows);
        const ToolRun r = run(
            QStringList{"--from", "2024-07-31 23:59:59", "--to", "2024-08-01 00:00:00", "--format", "txt"} +
            source);
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(r.out, QByteArray("序号\t时间\t数据\t单位\t功能\n") + rows);
    }

    // Standard output redirected by the shell for appending keeps what the
    // file held, and the file stays the one the shell opened.
    void standardOutputIsAppendedTo_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("firstLine");
        QTest::newRow("txt") << "txt" << QByteArray("1\t2024-05-01 10:00:00\t1.234\tV\t");
        QTest::newRow("csv") << "csv" << QByteArray("2024-05-01T10:00:00.000");
    }
    void standardOutputIsAppendedTo()
    {
#ifdef Q_OS_WIN
        QSKIP("a POSIX shell's redirection and inode numbers; Windows runs the same code");
#endif
        QFETCH(QString, format);
        QFETCH(QByteArray, firstLine);
        const QString file = m_dir.filePath("appended-" + format);
        const QString script = QStringLiteral(
            "printf 'x\\n' > \"$1\"; stat -c %i \"$1\"; "
            "{ \"$2\" --from '2024-05-01 10:00:00' --to '2024-05-01 10:00:02' --format \"$3\" || exit 9; "
            "printf 'end\\n'; } >> \"$1\" && stat -c %i \"$1\"");
        QProcess sh;
        sh.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sh.start(QStringLiteral("/bin/sh"),
                 {"-c", script, "sh", file, qEnvironmentVariable("TK52K_BIN_DIR") + "/tk52k-export", format});
        QVERIFY(sh.waitForFinished(60000));
        QCOMPARE(sh.exitCode(), 0);
        const QList<QByteArray> inodes = sh.readAllStandardOutput().split('\n');
        QVERIFY(inodes.size() >= 2);
        QCOMPARE(inodes.at(1), inodes.at(0));
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray content = f.readAll();
        QVERIFY2(content.startsWith("x\n") && content.endsWith("end\n"), content.constData());
        QVERIFY2(content.contains(firstLine), content.constData());
    }

    // Times far from today keep their millisecond on the way out of the
    // server: in the rows, in the statistics' times and in the range's ends.
    void distantTimesKeepTheirMillisecond_data()
    {
        QTest::addColumn<QString>("time");
        QTest::newRow("1684") << "1684-08-07 10:17:07.859";
        QTest::newRow("2250") << "2250-01-01 12:00:00.001";
    }
    void distantTimesKeepTheirMillisecond()
    {
        QFETCH(QString, time);
        const auto back = qScopeGuard([this] { m_db->select(); });
        ScratchDatabase db(QStringLiteral("exporttool_distant"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.exec("CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, frastr text, "
                         "create_time timestamp(3))") &&
                     db.exec(QStringLiteral("INSERT INTO invoice VALUES ('F', '1', 'V', '2', '%1'), "
                                            "('F', '0', 'V', '2', '%1'::timestamp - interval '1 ms')")
                                 .arg(time)),
                 qPrintable(db.error()));
        const QString second = time.left(19);
        const QStringList range{"--from", second, "--to", second};
        const QStringList env{"TK52K_DB_NAME=" + db.name(), "TZ=UTC"};
        const ToolRun csv = run(range + QStringList{"--format", "csv"}, env);
        QVERIFY2(csv.status == 0, csv.err.constData());
        QString iso = time;
        iso[10] = 'T';
        QVERIFY2(csv.out.contains((iso + "+00:00,1,").toUtf8()), csv.out.constData());
        const ToolRun stats = run(range + QStringList{"--format", "stats"}, env);
        QVERIFY2(stats.status == 0, stats.err.constData());
        QVERIFY2(stats.out.contains(("\"max_time\":\"" + time + '"').toUtf8()), stats.out.constData());
    }

    // Rows a logger in another zone stored in the hour Berlin's clocks skip:
    // each keeps its time as stored, and a range may end inside that hour.
    void timesTheLocalZoneSkips_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("txt") << "txt"
                             << QByteArray("1\t2024-03-31 01:59:59\t1\tV\tF\n"
                                           "2\t2024-03-31 02:00:00\t2\tV\tF\n"
                                           "3\t2024-03-31 02:30:00\t3\tV\tF\n");
        QTest::newRow("csv") << "csv"
                             << QByteArray("2024-03-31T01:59:59.500+01:00,1,,V,F,2,\r\n"
                                           "2024-03-31T02:00:00.000+01:00,2,,V,F,2,\r\n"
                                           "2024-03-31T02:30:00.999+01:00,3,,V,F,2,\r\n");
    }
    void timesTheLocalZoneSkips()
    {
        QFETCH(QString, format);
        QFETCH(QByteArray, expected);
        const auto back = qScopeGuard([this] { m_db->select(); });
        ScratchDatabase db(QStringLiteral("exporttool_skipped"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.exec("CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, frastr text, "
                         "create_time timestamp(3))") &&
                     db.exec("INSERT INTO invoice VALUES ('F', '1', 'V', '2', '2024-03-31 01:59:59.500'), "
                             "('F', '2', 'V', '2', '2024-03-31 02:00:00'), "
                             "('F', '3', 'V', '2', '2024-03-31 02:30:00.999'), "
                             "('F', '4', 'V', '2', '2024-03-31 02:30:01')"),
                 qPrintable(db.error()));
        const ToolRun r =
            run({"--from", "2024-03-31 01:00:00", "--to", "2024-03-31 02:30:00", "--format", format},
                {"TK52K_DB_NAME=" + db.name(), "TZ=Europe/Berlin"});
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(r.out.endsWith(expected), r.out.constData());
        QCOMPARE(r.lines().size(), 4);
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("mustNotExist");

        using L = QStringList;
        using B = QByteArray;
        const QString out = m_dir.filePath("refused.txt");
        const L range{"--from", "2024-05-01 10:00:00", "--to", "2024-05-01 10:00:02"};
        const L txt = range + L{"--format", "txt", "--output", out};
        QTest::newRow("no range") << L{"--format", "txt", "--output", out} << L() << 2 << B("--from") << out;
        QTest::newRow("range backwards") << L{"--from",   "2024-05-01 10:00:02",
                                              "--to",     "2024-05-01 10:00:00",
                                              "--format", "txt",
                                              "--output", out}
                                         << L() << 2 << B("--from lies after --to") << out;
        // Settings it cannot use are not replaced by the default database's.
        QTest::newRow("database port not a number")
            << txt << L{"TK52K_DB_PORT=abc"} << 4 << B("TK52K_DB_PORT \"abc\"") << out;
        QTest::newRow("database name set but empty")
            << txt << L{"TK52K_DB_NAME="} << 4 << B("TK52K_DB_NAME") << out;
        QTest::newRow("database unreachable") << txt << L{"TK52K_DB_PORT=1"} << 1 << B("cannot read") << out;
#ifndef Q_OS_WIN
        QTest::newRow("disk full") << range + L{"--format", "txt", "--output", "/dev/full"} << L() << 1
                                   << B("failed") << QString();
#endif
        const QString lostBook = m_dir.filePath("gone/x.xlsx");
        QTest::newRow("workbook folder missing") << range + L{"--format", "xlsx", "--output", lostBook} << L()
                                                 << 1 << B("cannot write") << lostBook;
        QTest::newRow("source asked of a table without sources")
            << range + L{"--source", "meter-a", "--format", "txt", "--output", out}
            << L{"TK52K_DB_NAME=" + m_plain->name()} << 1 << B("no source column") << out;
        // The reason in the tool's language, while its files keep their titles.
        QTest::newRow("summaries of a column they cannot read")
            << L{"--build-summaries"} << L{"TK52K_DB_NAME=" + m_plain->name()} << 1
            << B("cannot read the columns") << QString();
#ifndef Q_OS_WIN
        QTest::newRow("no printer") << range + L{"--format", "print"}
                                    << L{"CUPS_SERVER=/nonexistent/cups.sock"} << 1 << B("no default printer")
                                    << QString();
#endif
    }

    void refusals()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, env);
        QFETCH(int, status);
        QFETCH(QByteArray, message);
        QFETCH(QString, mustNotExist);

        const ToolRun r = run(args, env);
        QCOMPARE(r.status, status);
        QVERIFY2(r.err.contains(message), r.err.constData());
        QVERIFY(!r.out.contains("written") && !r.out.contains("sent"));
        if (!mustNotExist.isEmpty())
            QVERIFY(!QFileInfo::exists(mustNotExist));
    }

    // Under another session's lock the tool says who holds the table and
    // what it waits for, and reads the range once the lock is gone.
    void waitsForALockedTableAndSaysSo()
    {
        QSqlDatabase holder = m_db->connection();
        QVERIFY(holder.transaction());
        QSqlQuery q(holder);
        QVERIFY(q.exec(QStringLiteral("LOCK TABLE invoice IN ACCESS EXCLUSIVE MODE")));
        QVERIFY(q.exec(QStringLiteral("SELECT pg_backend_pid()")) && q.next());
        const QString pid = q.value(0).toString();

        QProcess tool;
        QByteArray err;
        connect(&tool, &QProcess::readyReadStandardError, [&] { err += tool.readAllStandardError(); });
        tool.start(qEnvironmentVariable("TK52K_BIN_DIR") + "/tk52k-export",
                   {"--from", "2024-05-01 10:00:00", "--to", "2024-05-01 10:00:02", "--format", "txt"});
        QTRY_VERIFY2_WITH_TIMEOUT(err.contains("locked"), err.constData(), 20000);
        QVERIFY2(err.contains("invoice") && err.contains(pid.toLatin1()) && err.contains("waiting"),
                 err.constData());
        QVERIFY(holder.rollback());
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(tool.readAllStandardOutput().count('\n'), 4);
    }

    // Rows loaded with the triggers disabled: the statistics count them
    // (read from the rows, saying so once), and --build-summaries mends the
    // summaries so later exports use them again with the same figures.
    void loadPastTheSummaries()
    {
        ScratchDatabase db(QStringLiteral("exporttool_bypass"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        const QString load = QStringLiteral(
            "INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) SELECT 'DCV', "
            "to_char(i % 50 / 10.0, 'FM0.0'), 'V', '2', timestamp '2024-05-02' + i * interval '1 second' "
            "FROM generate_series(%1, %2) i");
        ToolRun r = run({"--build-summaries"});
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(db.exec(load.arg(0).arg(99)), qPrintable(db.error()));
        QVERIFY2(
            db.exec(QStringLiteral("ALTER TABLE invoice DISABLE TRIGGER ALL; %1; ALTER TABLE invoice ENABLE "
                                   "TRIGGER ALL")
                        .arg(load.arg(100).arg(249))),
            qPrintable(db.error()));
        const QStringList stats{"--from", "2024-05-02 00:00:00", "--to", "2024-05-03 00:00:00", "--format",
                                "stats"};
        r = run(stats);
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(r.out.contains("\"count\":250,"), r.out.constData());
        QCOMPARE(r.err.count("reading the rows, not the summaries"), 1);

        r = run({"--build-summaries"});
        QVERIFY2(r.status == 0, r.err.constData());
        r = run(stats);
        QVERIFY2(r.status == 0 && r.err.isEmpty(), r.err.constData());
        QVERIFY2(r.out.contains("\"count\":250,"), r.out.constData());
        m_db->select();
    }

private:
    static ToolRun run(const QStringList &args, const QStringList &env = {})
    {
        return runTool(QStringLiteral("tk52k-export"), args, {}, env);
    }

    std::unique_ptr<ScratchDatabase> m_db;
    std::unique_ptr<ScratchDatabase> m_plain; // a five-column table made elsewhere
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TstExportTool)
#include "tst_exporttool.moc"
