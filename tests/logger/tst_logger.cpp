#include "meter/frameencoder.h"
#include "scratchdatabase.h"
#include "store/database.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray frames(int first, int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += encodeMeterFrame(FrameContent{2, -1, first + i, false, false, {}});
    return bytes;
}

/// The meter's end of a pseudo-terminal, reached by the logger through a
/// link that stays while the terminal behind it is replaced, as a USB
/// adapter's by-id link does when it is pulled and plugged back.
class MeterPty
{
public:
    explicit MeterPty(const QString &link) : m_link(link) {}
    ~MeterPty() { unplug(); }

    bool plug()
    {
        // Close-on-exec: a copy inherited by the logger would keep the
        // terminal alive after unplug().
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return false;
        return QFile::link(QString::fromLocal8Bit(ptsname(m_master)), m_link);
    }
    void unplug()
    {
        QFile::remove(m_link);
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }
    bool send(const QByteArray &bytes)
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

private:
    QString m_link;
    int m_master = -1;
};

/// The logger as a child process with its stderr collected.
struct Logger
{
    QProcess process;
    QString err;

    explicit Logger(const QMap<QString, QString> &env = {})
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (auto it = env.cbegin(); it != env.cend(); ++it)
            e.insert(it.key(), it.value());
        process.setProcessEnvironment(e);
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += QString::fromUtf8(process.readAllStandardError()); });
    }
    void start(const QStringList &args)
    {
        process.start(qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/tk52k-logger"), args);
    }
    /// Waits for `text` on stderr.
    bool says(const QString &text, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!err.contains(text) && !deadline.hasExpired() && process.state() != QProcess::NotRunning)
            QTest::qWait(50);
        return err.contains(text);
    }
    int terminate()
    {
        process.terminate();
        if (!process.waitForFinished(30000))
            return -1;
        err += QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }
};

qint64 folderBytes(const QString &dir)
{
    qint64 total = 0;
    QDirIterator it(dir, QDir::Files);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

} // namespace

class tst_Logger : public QObject
{
    Q_OBJECT

private slots:
    void exitStatus_data();
    void exitStatus();
    void rowsOutAcrossAReplug();
    void sigtermKeepsWaitingReadings();

private:
    QTemporaryDir m_dir;
};

void tst_Logger::exitStatus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("dbPort");
    QTest::addColumn<int>("status");
    QTest::newRow("no port") << QStringList{"--quiet"} << QString() << 2;
    QTest::newRow("unknown option") << QStringList{"--port", "/dev/null", "--fast"} << QString() << 2;
    QTest::newRow("interval 0") << QStringList{"--port", "/dev/null", "--interval", "0"} << QString() << 2;
    QTest::newRow("limits crossed") << QStringList{"--port", "/dev/null",    "--alarm-low",
                                                   "5",      "--alarm-high", "1"}
                                    << QString() << 2;
    QTest::newRow("missing port") << QStringList{"--port", "/dev/tk52k-no-such-port"} << QString() << 3;
    QTest::newRow("database port not a number")
        << QStringList{"--port", "/dev/null"} << QStringLiteral("abc") << 4;
}

void tst_Logger::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(QString, dbPort);
    QFETCH(int, status);
    // No server is needed to fail; none is touched.
    const QMap<QString, QString> env{{"TK52K_SPOOL_DIR", m_dir.filePath("spool-status")},
                                     {"TK52K_DB_PORT", dbPort.isEmpty() ? QStringLiteral("1") : dbPort}};
    Logger logger(env);
    logger.start(args);
    QVERIFY(logger.process.waitForFinished(30000));
    QCOMPARE(logger.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(logger.process.exitCode(), status);
}

// Every reading that continues a range becomes a row, before and after the
// meter's device vanishes and comes back at the same path; SIGTERM ends the
// run with nothing left over.
void tst_Logger::rowsOutAcrossAReplug()
{
    ScratchDatabase db(QStringLiteral("logger"));
    QVERIFY2(db.isReady(), qPrintable(db.error()));
    const QString link = m_dir.filePath("ttyMeter");
    MeterPty meter(link);
    QVERIFY(meter.plug());

    Logger logger({{"TK52K_SPOOL_DIR", m_dir.filePath("spool-replug")}});
    logger.start({"--port", link, "--source", "bench-7"});
    QVERIFY2(logger.says("logging"), qPrintable(logger.err));
    const auto rows = [&db] {
        QSqlQuery q(db.connection());
        return q.exec("SELECT count(*), count(*) FILTER (WHERE source = 'bench-7') FROM invoice") && q.next()
                   ? QString("%1/%2").arg(q.value(0).toInt()).arg(q.value(1).toInt())
                   : q.lastError().text();
    };
    // The first reading of a range is shown, not kept.
    QVERIFY(meter.send(frames(100, 6)));
    QTRY_COMPARE_WITH_TIMEOUT(rows(), QStringLiteral("5/5"), 20000);

    meter.unplug();
    QVERIFY2(logger.says("went away"), qPrintable(logger.err));
    QVERIFY(meter.plug());
    QVERIFY2(logger.says("is back"), qPrintable(logger.err));
    QVERIFY(meter.send(frames(200, 4)));
    QTRY_COMPARE_WITH_TIMEOUT(rows(), QStringLiteral("9/9"), 20000);

    QCOMPARE(logger.terminate(), 0);
    QVERIFY2(!logger.err.contains("wait in the journal"), qPrintable(logger.err));
}

// With the server out of reach, the readings taken before SIGTERM stay in the
// journal, and the next store to open it writes each of them once.
void tst_Logger::sigtermKeepsWaitingReadings()
{
    ScratchDatabase db(QStringLiteral("loggerjournal"));
    QVERIFY2(db.isReady(), qPrintable(db.error()));
    const QString spool = m_dir.filePath("spool-sigterm");
    const QString link = m_dir.filePath("ttyJournal");
    MeterPty meter(link);
    QVERIFY(meter.plug());

    Logger logger({{"TK52K_SPOOL_DIR", spool}, {"TK52K_DB_PORT", "1"}});
    logger.start({"--port", link, "--quiet"});
    QVERIFY2(logger.says("logging"), qPrintable(logger.err));
    const qint64 before = folderBytes(spool);
    QVERIFY(meter.send(frames(300, 7)));
    // The journal grows once the readings are taken.
    QTRY_VERIFY_WITH_TIMEOUT(folderBytes(spool) > before, 20000);
    QCOMPARE(logger.terminate(), 0);
    QVERIFY2(logger.err.contains("6 readings wait in the journal"), qPrintable(logger.err));

    qputenv("TK52K_SPOOL_DIR", spool.toLocal8Bit());
    database store;
    QCOMPARE(store.openDatabase(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(store.isConnected() && store.pendingCount() == 0, 20000);
    store.shutdown();
    qunsetenv("TK52K_SPOOL_DIR");
    QSqlQuery q(db.connection());
    QVERIFY(q.exec("SELECT string_agg(datavaluestr, ' ' ORDER BY datavaluestr) FROM invoice") && q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("3.01 3.02 3.03 3.04 3.05 3.06"));
}

QTEST_GUILESS_MAIN(tst_Logger)
#include "tst_logger.moc"
