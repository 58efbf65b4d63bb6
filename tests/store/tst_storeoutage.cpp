// The record store against a private server that is stopped and started.

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

#include <pwd.h>
#include <unistd.h>

namespace {
const QString kPgBin = QStringLiteral("/usr/lib/postgresql/15/bin/");

// A server of this test's own that it may stop and start, reached only
// through a socket in its own folder. As root it runs as the user postgres,
// since initdb refuses root.
class PrivatePgServer
{
public:
    ~PrivatePgServer()
    {
        if (m_running)
            stop(true, nullptr);
    }
    bool create(QString *error)
    {
        const passwd *pw = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
        if (!m_dir.isValid() || (::geteuid() == 0 && (!pw || ::chown(QFile::encodeName(m_dir.path()).constData(),
                                                                     pw->pw_uid, pw->pw_gid) != 0))) {
            *error = QStringLiteral("no temporary folder for the server");
            return false;
        }
        return run("initdb", {"-D", m_dir.filePath("data"), "-U", "postgres", "-A", "trust", "-E", "UTF8",
                              "--no-locale", "--no-sync"}, error)
            && start(error);
    }
    bool start(QString *error)
    {
        const QString options = QStringLiteral("-k %1 -c listen_addresses= -c fsync=off").arg(m_dir.path());
        m_running = run("pg_ctl", {"-D", m_dir.filePath("data"), "-w", "-o", options, "-l", m_dir.filePath("log"),
                                   "-t", "60", "start"}, error);
        return m_running;
    }
    /// `immediate` stops like a crash.
    bool stop(bool immediate, QString *error)
    {
        m_running = false;
        return run("pg_ctl", {"-D", m_dir.filePath("data"), "-w", "-m", immediate ? "immediate" : "fast", "stop"},
                   error);
    }
    QString socketDir() const { return m_dir.path(); }

private:
    bool run(const QString &tool, const QStringList &args, QString *error)
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        if (::geteuid() == 0)
            p.start(QStringLiteral("runuser"), QStringList{"-u", "postgres", "--", kPgBin + tool} + args);
        else
            p.start(kPgBin + tool, args);
        if (p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return true;
        if (error)
            *error = QStringLiteral("%1 failed: %2").arg(tool, QString::fromLocal8Bit(p.readAll()));
        return false;
    }

    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/tk52k-pg-XXXXXX")};
    bool m_running = false;
};
} // namespace

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
