// The record store against a private server that is stopped and started.

#include "privatepgserver.h"
#include "scratchdatabase.h"
#include "testreading.h"

#include "core/meter/tkdatadas.h"
#include "core/store/database.h"
#include "core/store/storeworker.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestStoreOutage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_server.create(&error), qPrintable(error));
        QVERIFY(m_spoolDir.isValid());
        qputenv("TK52K_DB_HOST", QFile::encodeName(m_server.socketDir()));
        qputenv("TK52K_DB_PORT", "5432");
        qputenv("TK52K_DB_NAME", "outage");
        qputenv("TK52K_SPOOL_DIR", QFile::encodeName(m_spoolDir.path()));
    }

    void outageInTheMiddleOfAStream()
    {
        QString error;
        database store;
        QSignalSpy states(&store, &database::stateChanged);
        QCOMPARE(store.openDatabase(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(store.isConnected(), 20000);
        // The server dies like a crash while the writer works through a backlog.
        insertValues(store, 0, 1500);
        QTRY_VERIFY_WITH_TIMEOUT(store.pendingCount() < 1500, 20000);
        QVERIFY2(m_server.stop(true, &error), qPrintable(error));
        // More than memory may hold: the rest waits in the journal only.
        const int whileDown = StoreWorker::kMemoryLimit + 500;
        insertValues(store, 1500, whileDown);
        QTRY_VERIFY_WITH_TIMEOUT(!store.isConnected(), 20000);
        QVERIFY(store.pendingCount() >= whileDown);
        QVERIFY(store.inMemoryCount() <= StoreWorker::kMemoryLimit);
        QTRY_VERIFY(!store.state().connected && states.count() > 0);

        QVERIFY2(m_server.start(&error), qPrintable(error));
        insertValues(store, 1500 + whileDown, 100);
        QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 120000);
        // What the window is told follows.
        states.clear();
        QTRY_VERIFY(store.state().connected && store.state().pending == 0);
        // Every reading exactly once, in order.
        QStringList expected;
        for (int i = 0; i < 1600 + whileDown; ++i)
            expected << QString::number(i);
        QCOMPARE(storedValues(m_base, m_base.addSecs(expected.size())), expected);
    }

private:
    // Reading i: value text i at base + i seconds.
    void insertValues(database &store, int first, int count)
    {
        TkDataDas reading;
        for (int i = first; i < first + count; ++i) {
            setDcVoltReading(reading, QString::number(i), m_base.addSecs(i));
            QCOMPARE(store.insertRecord(&reading), 1);
        }
    }

    PrivatePgServer m_server;
    QTemporaryDir m_spoolDir;
    const QDateTime m_base{QDate(2024, 5, 1), QTime(13, 0, 0)};
};

QTEST_GUILESS_MAIN(TestStoreOutage)
#include "tst_storeoutage.moc"
