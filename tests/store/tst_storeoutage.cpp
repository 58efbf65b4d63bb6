// The record store against a private server that is stopped and started.

#include "testreading.h"

#include "meter/tkdatadas.h"
#include "store/database.h"
#include "store/recordwriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString kPgBin = QStringLiteral("/usr/lib/postgresql/15/bin/");

int freeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// A server of this test's own that it may stop and start. As root it runs as
// the user postgres, since initdb refuses root.
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
        m_port = freeTcpPort();
        return run("initdb", {"-D", m_dir.filePath("data"), "-U", "postgres", "-A", "trust", "-E", "UTF8",
                              "--no-locale", "--no-sync"}, error)
            && start(error);
    }
    bool start(QString *error)
    {
        const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                                    .arg(m_port).arg(m_dir.path());
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
    int port() const { return m_port; }

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
    int m_port = 0;
    bool m_running = false;
};
} // namespace

class TestStoreOutage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void outageInTheMiddleOfAStream();
    void killedWhileLogging_data();
    void killedWhileLogging();

private:
    void insertValues(database &store, int first, int count);
    void checkStoredExactlyOnce(int count);

    PrivatePgServer m_server;
    QTemporaryDir m_spoolDir;
    QDateTime m_base;
    int m_run = 0;
};

void TestStoreOutage::initTestCase()
{
    QString error;
    QVERIFY2(m_server.create(&error), qPrintable(error));
    QVERIFY(m_spoolDir.isValid());
    qputenv("TK52K_DB_PORT", QByteArray::number(m_server.port()));
    qputenv("TK52K_SPOOL_DIR", QFile::encodeName(m_spoolDir.path()));
}

void TestStoreOutage::init()
{
    // A database per test function; the store creates it.
    qputenv("TK52K_DB_NAME", QByteArray("outage") + QByteArray::number(++m_run));
    m_base = QDateTime(QDate(2024, 5, 1), QTime(13, 0, 0));
}

// Reading i: value text i at base + i seconds.
void TestStoreOutage::insertValues(database &store, int first, int count)
{
    TkDataDas reading;
    for (int i = first; i < first + count; ++i) {
        setDcVoltReading(reading, QString::number(i), m_base.addSecs(i));
        QCOMPARE(store.insertRecord(&reading), 1);
    }
}

void TestStoreOutage::checkStoredExactlyOnce(int count)
{
    QSqlDatabase db = DbSettings::fromEnvironment().addConnection(QStringLiteral("check"));
    auto removed = qScopeGuard([&db] {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("check"));
    });
    QVERIFY2(db.open(), qPrintable(db.lastError().text()));
    QSqlQuery q(db);
    QVERIFY2(q.exec(QStringLiteral("SELECT datavaluestr, create_time FROM invoice ORDER BY create_time, id")),
             qPrintable(q.lastError().text()));
    int i = 0;
    for (; q.next(); ++i) {
        QCOMPARE(q.value(0).toString(), QString::number(i));
        QCOMPARE(q.value(1).toDateTime(), m_base.addSecs(i));
    }
    QCOMPARE(i, count);
}

void TestStoreOutage::outageInTheMiddleOfAStream()
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
    const int whileDown = RecordWriter::kMemoryLimit + 500;
    insertValues(store, 1500, whileDown);
    QTRY_VERIFY_WITH_TIMEOUT(!store.isConnected(), 20000);
    QVERIFY(store.pendingCount() >= whileDown);
    QVERIFY(store.inMemoryCount() <= RecordWriter::kMemoryLimit);
    QCOMPARE(states.last().at(0).toBool(), false);

    QVERIFY2(m_server.start(&error), qPrintable(error));
    insertValues(store, 1500 + whileDown, 100);
    QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 120000);
    QTRY_COMPARE(states.last().at(1).toInt(), 0);
    QCOMPARE(states.last().at(0).toBool(), true);
    checkStoredExactlyOnce(1600 + whileDown);
}

// A program killed outright (as by a crash or a power failure) while its
// readings wait for the server, or while it writes them: the next start
// writes every one of them exactly once, in order.
void TestStoreOutage::killedWhileLogging_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::newRow("server down") << false;
    QTest::newRow("server up") << true;
}

void TestStoreOutage::killedWhileLogging()
{
    QFETCH(bool, serverUp);
    constexpr int kCount = 1000;
    QString error;
    if (serverUp) {
        // The logger finds its database in place and writes at once.
        database store;
        store.openDatabase();
        QTRY_VERIFY_WITH_TIMEOUT(store.isConnected(), 20000);
    } else {
        QVERIFY2(m_server.stop(false, &error), qPrintable(error));
    }

    QProcess logger;
    logger.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    logger.start(QCoreApplication::applicationDirPath() + QStringLiteral("/storelogger"),
                 {QString::number(kCount), m_base.toString(Qt::ISODate)});
    QVERIFY2(logger.waitForStarted(), qPrintable(logger.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(logger.canReadLine() || logger.state() != QProcess::Running, 30000);
    QCOMPARE(logger.readLine(), QByteArray("durable\n"));
    ::kill(static_cast<pid_t>(logger.processId()), SIGKILL);
    QVERIFY(logger.waitForFinished(10000));
    QCOMPARE(logger.exitStatus(), QProcess::CrashExit);

    if (!serverUp)
        QVERIFY2(m_server.start(&error), qPrintable(error));
    database store;
    store.openDatabase();
    if (!serverUp)
        QCOMPARE(store.pendingCount(), kCount);
    QTRY_COMPARE_WITH_TIMEOUT(store.pendingCount(), 0, 30000);
    checkStoredExactlyOnce(kCount);
}

QTEST_GUILESS_MAIN(TestStoreOutage)
#include "tst_storeoutage.moc"
