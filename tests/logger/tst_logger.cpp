#include "core/meter/frameencoder.h"
#include "scratchdatabase.h"
#include "toolrun.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <csignal>
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
    /// The terminal's own device (the link's target while plugged).
    QString device() const { return QString::fromLocal8Bit(ptsname(m_master)); }
    bool send(const QByteArray &bytes)
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

private:
    QString m_link;
    int m_master = -1;
};

/// One of the programs as a child process with its stderr collected.
struct Program
{
    QProcess process;
    QString err;

    explicit Program(const QMap<QString, QString> &env)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (auto it = env.cbegin(); it != env.cend(); ++it)
            e.insert(it.key(), it.value());
        process.setProcessEnvironment(e);
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += QString::fromUtf8(process.readAllStandardError()); });
    }
    void start(const QStringList &args, const QString &name = QStringLiteral("tk52k-logger"))
    {
        process.start(qEnvironmentVariable("TK52K_BIN_DIR") + '/' + name, args);
    }
    /// Sends `signal`; the exit code, or -1 when the program hangs or dies of it.
    int stop(int signal = SIGTERM)
    {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        if (!process.waitForFinished(30000))
            return -1;
        err += QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
};

/// While it lives, the texts handed to child processes (arguments and
/// environment) go out one byte per character, so a test can send bytes
/// that are no UTF-8, or the UTF-8 of a name whatever the test's locale.
struct BytesAsLatin1
{
    BytesAsLatin1() { QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1")); }
    ~BytesAsLatin1() { QTextCodec::setCodecForLocale(nullptr); }
};

// The readings the journal in `spool` holds, counted from its lines.
int journaled(const QString &spool)
{
    QFile file(spool + QStringLiteral("/pending-readings.journal"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().count("\nR\t") : 0;
}

} // namespace

class tst_Logger : public QObject
{
    Q_OBJECT

private slots:
    void exitStatus_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("env"); // "NAME=value"
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("says"); // on stderr
        using L = QStringList;
        using B = QByteArray;
        const L null{"--port", "/dev/null"};
        QTest::newRow("no port") << L{"--quiet"} << L() << 2 << B("--port");
        QTest::newRow("unknown option") << null + L{"--fast"} << L() << 2 << B("fast");
        QTest::newRow("interval 0") << null + L{"--interval", "0"} << L() << 2 << B("--interval");
        QTest::newRow("limits crossed")
            << null + L{"--alarm-low", "5", "--alarm-high", "1"} << L() << 2 << B("--alarm-low");
        QTest::newRow("missing port")
            << L{"--port", "/dev/tk52k-no-such-port"} << L() << 3 << B("No such file");
        QTest::newRow("database port not a number")
            << null << L{"TK52K_DB_PORT=abc"} << 4 << B("TK52K_DB_PORT");
        // A meter name that cannot be stored as it is given (each character
        // below goes out as one byte: \xe9 alone is no UTF-8).
        QTest::newRow("--source not UTF-8")
            << null + L{"--source", "caf\u00e9"} << L() << 2 << B("--source \"caf\\xe9\" is not UTF-8");
        QTest::newRow("--source with a tab")
            << null + L{"--source", "bench\t7"} << L() << 2 << B("--source \"bench\\t7\" holds a control");
        QTest::newRow("TK52K_SOURCE not UTF-8")
            << null << L{"TK52K_SOURCE=caf\u00e9"} << 2 << B("TK52K_SOURCE \"caf\\xe9\"");
        QTest::newRow("TK52K_SOURCE with a line feed")
            << null << L{"TK52K_SOURCE=bench\n7"} << 2 << B("TK52K_SOURCE \"bench\\n7\"");
    }

    void exitStatus()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, env);
        QFETCH(int, status);
        QFETCH(QByteArray, says);
        // No server is needed to fail; none is touched.
        const BytesAsLatin1 bytes;
        const ToolRun r = runTool(
            QStringLiteral("tk52k-logger"), args, {},
            QStringList{"TK52K_SPOOL_DIR=" + m_dir.filePath("spool-status"), "TK52K_DB_PORT=1"} + env);
        QCOMPARE(r.status, status);
        QVERIFY2(r.err.contains(says), r.err.constData());
    }

    // Every reading that continues a range becomes a row, under the meter's
    // name, before and after the meter's device vanishes and comes back at the
    // same path; SIGTERM ends the run with nothing left over. The name is
    // --source, else TK52K_SOURCE exactly as given, else HOST:PORT; a
    // TK52K_SOURCE set but empty is no name.
    void rowsOutAcrossAReplug_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("variable"); // TK52K_SOURCE; null: unset
        QTest::addColumn<QString>("stored");   // null: HOST:PORT
        const QString bench = QStringLiteral("测试台 7 ");
        QTest::newRow("--source") << QStringList{"--source", "bench-7"} << bench << QStringLiteral("bench-7");
        QTest::newRow("TK52K_SOURCE alone") << QStringList() << bench << bench;
        QTest::newRow("neither") << QStringList() << QString() << QString();
        QTest::newRow("TK52K_SOURCE empty") << QStringList() << QStringLiteral("") << QString();
    }

    void rowsOutAcrossAReplug()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, variable);
        QFETCH(QString, stored);
        ScratchDatabase db(QStringLiteral("logger"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        const QString link = m_dir.filePath("ttyMeter");
        MeterPty meter(link);
        QVERIFY(meter.plug());
        if (stored.isNull())
            stored = QSysInfo::machineHostName() + ':' + link;

        QMap<QString, QString> env{{"TK52K_SPOOL_DIR", m_dir.filePath("spool-replug")}};
        if (!variable.isNull())
            env.insert("TK52K_SOURCE", QString::fromLatin1(variable.toUtf8())); // its UTF-8, byte for byte
        Program logger(env);
        {
            const BytesAsLatin1 bytes;
            logger.start(QStringList{"--port", link} + args);
            QVERIFY(logger.process.waitForStarted(30000));
        }
        QTRY_VERIFY2_WITH_TIMEOUT(logger.err.contains("logging"), qPrintable(logger.err), 20000);
        const auto rows = [&db] {
            return db.column("SELECT count(*) || ' ' || string_agg(DISTINCT coalesce(source, '(null)'), '|') "
                             "FROM invoice");
        };
        // The first reading of a range is shown, not kept.
        QVERIFY(meter.send(frames(100, 6)));
        QTRY_COMPARE_WITH_TIMEOUT(rows(), "5 " + stored, 20000);

        // A second program on the port is told it is busy, and by whom.
        const ToolRun second =
            runTool(QStringLiteral("tk52k-logger"), {"--port", link}, {},
                    {"TK52K_SPOOL_DIR=" + m_dir.filePath("spool-second"), "TK52K_DB_PORT=1"});
        QCOMPARE(second.status, 3);
        const QByteArray holder = "tk52k-logger (pid " + QByteArray::number(logger.process.processId()) + ")";
        QVERIFY2(second.err.contains("busy") && second.err.contains(holder) &&
                     !second.err.contains("dialout"),
                 second.err.constData());

        meter.unplug();
        QTRY_VERIFY2_WITH_TIMEOUT(logger.err.contains("went away"), qPrintable(logger.err), 20000);
        QVERIFY(meter.plug());
        QTRY_VERIFY2_WITH_TIMEOUT(logger.err.contains("is back"), qPrintable(logger.err), 20000);
        QVERIFY(meter.send(frames(200, 4)));
        QTRY_COMPARE_WITH_TIMEOUT(rows(), "9 " + stored, 20000);

        QCOMPARE(logger.stop(), 0);
        QVERIFY2(!logger.err.contains("wait in the journal"), qPrintable(logger.err));
    }

    // A terminal the user may not open is a permission error, with the hint
    // to join the dialout group. Only root can drop to another user here.
    void portTheUserMayNotOpen()
    {
        if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("needs root and setpriv to run the logger as another user");
        MeterPty meter(m_dir.filePath("ttyForbidden"));
        QVERIFY(meter.plug());
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TK52K_DB_PORT", "1"); // no server; its journal lives in memory
        p.setProcessEnvironment(env);
        p.start("setpriv",
                {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                 qEnvironmentVariable("TK52K_BIN_DIR") + "/tk52k-logger", "--port", meter.device()});
        QVERIFY(p.waitForFinished(30000));
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitCode() == 3 && err.contains("dialout") && !err.contains("busy"), err.constData());
    }

    // With the server out of reach, the readings taken before SIGTERM stay in the
    // journal for the next start; when the journal cannot take them, the exit
    // status says they are not safe.
    void sigtermKeepsWaitingReadings_data()
    {
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("journal") << false;
        QTest::newRow("disk full past the journal's header") << true;
    }

    void sigtermKeepsWaitingReadings()
    {
        QFETCH(bool, diskFull);
        const QString spool = m_dir.filePath(diskFull ? "spool-full" : "spool-sigterm");
        const QString link = m_dir.filePath("ttyJournal");
        MeterPty meter(link);
        QVERIFY(meter.plug());

        Program logger({{"TK52K_SPOOL_DIR", spool}, {"TK52K_DB_PORT", "1"}});
        std::signal(SIGXFSZ, SIG_IGN); // inherited: past the limit a write fails instead
        logger.start({"--port", link, "--quiet"});
        QTRY_VERIFY2_WITH_TIMEOUT(logger.err.contains("logging"), qPrintable(logger.err), 20000);
        // The disk fills up once the journal has its header.
        const QString pid = QString::number(logger.process.processId());
        QVERIFY(!diskFull || QProcess::execute("prlimit", {"--pid", pid, "--fsize=16"}) == 0);
        QVERIFY(meter.send(frames(300, 7)));
        if (diskFull) {
            QTRY_VERIFY2_WITH_TIMEOUT(logger.err.contains("cannot write the journal"), qPrintable(logger.err),
                                      20000);
            QCOMPARE(logger.stop(), 1);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(journaled(spool), 6, 20000);
        QCOMPARE(logger.stop(), 0);
        QVERIFY2(logger.err.contains("6 readings wait in the journal"), qPrintable(logger.err));
        QCOMPARE(journaled(spool), 6);
    }

    // The window, too, leaves through its event loop on a signal (the logger's
    // runs above end on SIGTERM).
    void windowLeavesOnSigint()
    {
        const QString spool = m_dir.filePath("spool-window");
        // No server: the window must come up and leave all the same.
        Program window({{"TK52K_SPOOL_DIR", spool}, {"TK52K_DB_PORT", "1"}});
        window.start({}, QStringLiteral("tk52k"));
        // Its journal is opened after the handler is in place.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(spool + QStringLiteral("/pending-readings.journal")), 20000);
        QCOMPARE(window.stop(SIGINT), 0);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(tst_Logger)
#include "tst_logger.moc"
