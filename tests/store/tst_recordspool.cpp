// The spool file that keeps readings across a run without the server.

#include "meter/tkdatadas.h"
#include "store/database.h"
#include "store/recordspool.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

class TestRecordSpool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTripKeepsEveryText();
    void damagedFileIsKeptAside();

private:
    QTemporaryDir m_dir;
};

void TestRecordSpool::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("TK52K_SPOOL_DIR", QFile::encodeName(m_dir.filePath(QStringLiteral("not/yet/there"))));
    // Nothing listens on port 1: the store stays unconnected and keeps its queue.
    qputenv("TK52K_DB_PORT", "1");
}

void TestRecordSpool::roundTripKeepsEveryText()
{
    SpoolContents out;
    const QDateTime t(QDate(2025, 2, 1), QTime(9, 5, 3));
    out.records << MeasurementRecord{QStringLiteral("OHM"), QStringLiteral("- .OL "), QStringLiteral("kΩ"),
                                     16, t}
                << MeasurementRecord{QStringLiteral("hFE"), QStringLiteral("356"), QStringLiteral(" "), 44,
                                     t.addSecs(1)}
                << MeasurementRecord{QStringLiteral("TEMP"), QStringLiteral("-12"), QStringLiteral("℃"), 42,
                                     t.addSecs(2)};
    // Beyond a double's 53 bits: the transaction id must survive exactly.
    out.uncertainXid = (Q_INT64_C(1) << 60) + 1;
    out.uncertainCount = 2;

    // The folder does not exist yet; saving creates it.
    const QString path = database::spoolFilePath();
    QVERIFY(path.startsWith(m_dir.path()));
    QVERIFY(RecordSpool::save(path, out));
    SpoolContents in;
    QVERIFY(RecordSpool::load(path, &in));
    QCOMPARE(in.records, out.records);
    QCOMPARE(in.uncertainXid, out.uncertainXid);
    QCOMPARE(in.uncertainCount, 2);
    QVERIFY(QFile::remove(path));

    SpoolContents none;
    QVERIFY(RecordSpool::load(path, &none));
    QVERIFY(none.records.isEmpty());
}

void TestRecordSpool::damagedFileIsKeptAside()
{
    const QString path = database::spoolFilePath();
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile damaged(path);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("{\"format\": \"tk52k-pending-readings\", \"version\": 1, \"records\": [ {\"value\": ");
    damaged.close();
    SpoolContents ignored;
    QVERIFY(!RecordSpool::load(path, &ignored));

    {
        QSqlDatabase connection;
        database store(connection);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("kept as .*damaged")));
        QCOMPARE(store.openDatabase(connection), 1);
        QVERIFY(!QFile::exists(path));
        TkDataDas reading;
        reading.funcStr = QStringLiteral("DCV");
        reading.valueStr = QStringLiteral("1.000");
        reading.time = QDateTime::currentDateTime();
        QCOMPARE(store.insertRecord(&reading), 1);
        store.shutdown(0);
    }
    // The damaged file's bytes are still there, beside the new spool.
    const QStringList aside =
        QDir(QFileInfo(path).absolutePath()).entryList({QStringLiteral("*.damaged-*")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    SpoolContents fresh;
    QVERIFY(RecordSpool::load(path, &fresh));
    QCOMPARE(fresh.records.size(), 1);
    QCOMPARE(fresh.records.first().valueText, QStringLiteral("1.000"));
}

QTEST_GUILESS_MAIN(TestRecordSpool)
#include "tst_recordspool.moc"
