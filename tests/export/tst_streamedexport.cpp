#include "scratchdatabase.h"
#include "tablemodels.h"

#include "core/store/database.h"
#include "core/store/historyreads.h"
#include "export/exportprogress.h"
#include "export/readingcsvwriter.h"
#include "export/tabletextwriter.h"
#include "export/tableworkbookwriter.h"
#include "models/historytablemodel.h"

#include <QIdentityProxyModel>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <memory>

#include <ctime>

// The exports of a history range stream its rows from the server and make
// each line from the row's bytes. Whatever the rows hold, the files must be
// the ones the table model's own texts give, which the same writers produce
// for any other model (here the history model seen through a proxy).
class TstStreamedExport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A zone with clock changes, and rows inside both.
        qputenv("TZ", "Europe/Berlin");
        tzset();
        m_db = std::make_unique<ScratchDatabase>(QStringLiteral("streamedexport"));
        QVERIFY2(m_db->isReady(), qPrintable(m_db->error()));
        const bool inserted = m_db->exec(QStringLiteral(R"(
INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time, source) VALUES
 ('直流电压', '1.234', 'V', '2', '2024-05-01 10:00:00.007', 'meter-a'),
 ('直流电压', '+12.50 ', 'mV', ' 07 ', '2024-05-01 10:00:00.007', NULL),
 ('F', E'tab\there', E'new\nline', E'back\\slash', '2024-05-01 10:00:01', 'x''y'),
 ('F', 'say "OL", twice', E'cr\r', '-1', '2024-05-01 10:00:01.999', 'a$1'),
 (NULL, NULL, NULL, NULL, '2024-05-01 10:00:02', NULL),
 ('', '', '', '', '2024-05-01 10:00:03', ''),
 ('F', '\N', 'kΩ', 'x', '2024-05-01 10:00:04', 'meter-a'),
 ('F', '.5', 'µA', '+3', '2024-05-01 10:00:05', 'meter-a'),
 ('F', '1e3', 'A', '99999999999', '2024-05-01 10:00:06', 'meter-a'),
 ('F', '1.', 'A', '-0', '2024-05-01 10:00:07', 'meter-a'),
 ('F', 'inf', 'A', '4', '2024-05-01 10:00:08', 'meter-a'),
 ('F', E'\uFEFF2.5', E'\u00A0V', E'5\u00A0', '2024-05-01 10:00:09', 'meter-a'),
 ('F', E'\x01\x7F', 'V', '6', '2024-05-01 10:00:10', 'meter-a'),
 ('F', '-0.000', 'V', '7', '1969-12-31 23:59:59.500', 'meter-a'),
 ('F', '3', 'V', '8', '2024-03-31 02:30:00', 'meter-a'),
 ('F', '4', 'V', '8', '2024-10-27 02:30:00.250', 'meter-a'),
 ('F', '5', 'V', '8', '0999-12-31 23:59:59', 'meter-a'),
 ('F', '6', 'V', '8', '2024-02-29 23:59:59.999', 'meter-a')
)"));
        QVERIFY2(inserted, qPrintable(m_db->error()));
        m_store = std::make_unique<database>(m_db->settings(), QString());
        QCOMPARE(m_store->openForReading(), 1);
    }

    void sameBytesAsTheModelGives_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("withSource");
        QTest::addColumn<QByteArray>("codec");

        QTest::newRow("txt, every meter") << "txt" << QString() << false << QByteArray("UTF-8");
        QTest::newRow("txt, the meter column") << "txt" << QString() << true << QByteArray("UTF-8");
        QTest::newRow("txt, GB18030") << "txt" << QString() << true << QByteArray("GB18030");
        QTest::newRow("txt, Latin-1 falls back to UTF-8")
            << "txt" << QString() << false << QByteArray("ISO-8859-1");
        QTest::newRow("txt, a meter with a quote") << "txt"
                                                   << "x'y" << false << QByteArray("UTF-8");
        QTest::newRow("csv, every meter") << "csv" << QString() << false << QByteArray();
        QTest::newRow("csv, no meter named") << "csv"
                                             << "" << false << QByteArray();
        QTest::newRow("csv, a meter spelt like a parameter") << "csv"
                                                             << "a$1" << false << QByteArray();
        QTest::newRow("xlsx, the meter column") << "xlsx" << QString() << true << QByteArray();
    }

    void sameBytesAsTheModelGives()
    {
        QFETCH(QString, format);
        QFETCH(QString, source);
        QFETCH(bool, withSource);
        QFETCH(QByteArray, codec);

        const QDateTime from(QDate(900, 1, 1), QTime(0, 0));
        const QDateTime to(QDate(2030, 1, 1), QTime(0, 0));
        auto overview = std::make_shared<HistoryReads::OverviewRead>(from, to, source);
        m_store->readNow(overview);
        QVERIFY2(!overview->failed(), qPrintable(overview->error()));
        QVERIFY(overview->rows > 0);

        HistoryTableModel model;
        model.setRange(m_store.get(), overview->table, HistoryReads::rangeOf(from, to), source,
                       overview->rows, withSource);
        model.setBlocking(true, 3); // several pages on the model's way
        QIdentityProxyModel plain;  // not a history model: read row by row
        plain.setSourceModel(&model);

        const auto write = [&](const QAbstractItemModel &m, const QString &path) {
            if (format == QLatin1String("xlsx")) // a few rows a sheet
                return writeTableWorkbook(m, "T", {100}, path, nullptr, 7) ? TextWriteResult::Written
                                                                           : TextWriteResult::WriteFailed;
            if (format == QLatin1String("csv"))
                return writeReadingsCsv(m, path);
            return writeTableText(m, path, QTextCodec::codecForName(codec));
        };
        const QString streamed = m_dir.filePath("streamed." + format);
        const QString paged = m_dir.filePath("paged." + format);
        QCOMPARE(write(model, streamed), TextWriteResult::Written);
        QVERIFY2(model.readError().isEmpty(), qPrintable(model.readError()));
        QCOMPARE(write(plain, paged), TextWriteResult::Written);
        if (format == QLatin1String("xlsx")) {
#ifndef Q_OS_WIN // the workbook reader is a Linux Python program, which Wine starts but cannot wait for
            const QJsonArray sheets = inspectWorkbook(streamed);
            QCOMPARE(sheets.size(), 4);
            QCOMPARE(sheets, inspectWorkbook(paged));
#endif
        } else {
            QCOMPARE(readAll(streamed), readAll(paged));
        }
    }

    // An export stopped while the server still streams keeps nothing, and
    // the store's connection serves the next read.
    void stoppedExportKeepsNothing()
    {
        QVERIFY2(m_db->exec("INSERT INTO invoice (funcstr, datavaluestr, unitstr, frastr, create_time) "
                            "SELECT 'F', i::text, 'V', '1', timestamp '2024-06-01' + i * interval '1 second' "
                            "FROM generate_series(1, 20000) i"),
                 qPrintable(m_db->error()));
        const QDateTime from(QDate(2024, 6, 1), QTime(0, 0));
        const QDateTime to(QDate(2024, 6, 2), QTime(0, 0));
        auto overview = std::make_shared<HistoryReads::OverviewRead>(from, to, QString());
        m_store->readNow(overview);
        HistoryTableModel model;
        model.setRange(m_store.get(), overview->table, HistoryReads::rangeOf(from, to), QString(),
                       overview->rows, false);
        const QString path = m_dir.filePath("stopped.txt");
        {
            const ExportProgressScope stop([](qint64 done, qint64) { return done < 4096; });
            QCOMPARE(writeTableText(model, path), TextWriteResult::WriteFailed);
        }
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(writeTableText(model, path), TextWriteResult::Written);
        QVERIFY(readAll(path).endsWith("20000\t2024-06-01 05:33:20\t20000\tV\tF\n"));
    }

    // A table without id: rows of one time come in the order of where they
    // lie, which its descending index, read backwards, reverses; so across
    // batches, from a time shared by more rows than are held at once, and
    // where the rows shown end among rows of one time.
    void rowsOfOneTimeWithoutId()
    {
        ScratchDatabase db(QStringLiteral("streamedexport_noid"), ScratchDatabase::Content::EmptyDatabase);
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QVERIFY2(
            db.exec(
                "CREATE TABLE invoice (funcstr text, datavaluestr text, unitstr text, frastr text, "
                "create_time timestamp(3)); CREATE INDEX ON invoice (create_time DESC) WITH "
                "(deduplicate_items = off); "
                "INSERT INTO invoice SELECT 'F', i::text, 'V', '1', CASE WHEN i <= 10000 THEN "
                "timestamp '2024-06-01' + i / 3 * interval '1 millisecond' ELSE timestamp '2024-06-02' "
                "+ (i / 30000) * interval '1 second' END FROM generate_series(1, 30005) i; ANALYZE invoice"),
            qPrintable(db.error()));
        database store(db.settings(), QString());
        QCOMPARE(store.openForReading(), 1);
        const QDateTime from(QDate(2024, 6, 1), QTime(0, 0));
        const QDateTime to(QDate(2024, 6, 3), QTime(0, 0));
        auto overview = std::make_shared<HistoryReads::OverviewRead>(from, to, QString());
        store.readNow(overview);
        QCOMPARE(overview->rows, 30005);
        for (const qint64 rows : {qint64(30005), qint64(5001)}) {
            HistoryTableModel model;
            model.setRange(&store, overview->table, HistoryReads::rangeOf(from, to), QString(), rows, false);
            model.setBlocking(true, 20000);
            QIdentityProxyModel plain;
            plain.setSourceModel(&model);
            const QString streamed = m_dir.filePath("noid-streamed.txt");
            const QString paged = m_dir.filePath("noid-paged.txt");
            QCOMPARE(writeTableText(model, streamed), TextWriteResult::Written);
            QVERIFY2(model.readError().isEmpty(), qPrintable(model.readError()));
            QCOMPARE(model.streamedRows(), rows);
            QCOMPARE(writeTableText(plain, paged), TextWriteResult::Written);
            QCOMPARE(readAll(streamed), readAll(paged));
        }
    }

private:
    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    std::unique_ptr<ScratchDatabase> m_db;
    std::unique_ptr<database> m_store;
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TstStreamedExport)
#include "tst_streamedexport.moc"
