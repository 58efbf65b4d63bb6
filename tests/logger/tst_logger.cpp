#include "core/meter/frameencoder.h"
#include "privatepgserver.h"
#include "scratchdatabase.h"
#include "toolrun.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

/// The service manager's end of sd_notify(3): a datagram socket whose path
/// goes to the logger in NOTIFY_SOCKET.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path) : m_path(path)
    {
        // Read as the messages come, as the service manager does: a full
        // socket would block the logger's sd_notify().
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        qstrncpy(address.sun_path, name.constData(), sizeof address.sun_path);
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd >= 0) {
            m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
        }
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        QFile::remove(m_path);
    }
    bool isValid() const { return m_fd >= 0; }
    QString path() const { return m_path; }
    /// Whether a message so far held the assignment `line` ("READY=1").
    bool received(const QByteArray &line)
    {
        drain();
        return m_lines.contains(line);
    }

private:
    void drain()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0) {
            for (const QByteArray &l : QByteArray(buffer, int(n)).split('\n')) {
                if (!m_lines.contains(l))
                    m_lines << l;
            }
        }
    }

    std::unique_ptr<QSocketNotifier> m_notifier;
    QString m_path;
    int m_fd = -1;
    QList<QByteArray> m_lines;
};

/// The priority of the first line of `err` holding `text`: the N of its
/// "<N>" prefix, 0 for a line without one, -1 when no line holds `text`.
int priorityOf(const QString &err, const QString &text)
{
    static const QRegularExpression marked(QStringLiteral("^<([0-7])>"));
    for (const QString &line : err.split(QLatin1Char('\n'))) {
        if (!line.contains(text))
            continue;
        const QRegularExpressionMatch m = marked.match(line);
        return m.hasMatch() ? m.captured(1).toInt() : 0;
    }
    return -1;
}

/// The lines of `err` that journald would file without a priority of theirs.
QStringList unmarked(const QString &err)
{
    QStringList lines;
    for (const QString &line : err.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (priorityOf(line, line) == 0)
            lines << line;
    }
    return lines;
}

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
    /// The logger starts as systemd starts it: its stderr is the journal
    /// (JOURNAL_STREAM names that pipe), so each line must carry a priority.
    void start(const QStringList &args, const QString &name = QStringLiteral("tk52k-logger"))
    {
        const QString program = qEnvironmentVariable("TK52K_BIN_DIR") + '/' + name;
        if (name != QLatin1String("tk52k-logger")) {
            process.start(program, args);
            return;
        }
        process.start(QStringLiteral("sh"),
                      QStringList{"-c",
                                  "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\"",
                                  program} +
                          args);
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

/// The metrics page on `port` as curl fetches it, empty when none came
/// within 30 seconds. Events are handled meanwhile (a ConnectionFlood's
/// clients go on trickling).
QByteArray scrape(int port)
{
    QProcess curl;
    QSignalSpy finished(&curl, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    curl.start(QStringLiteral("curl"),
               {"-s", "-m", "30", QStringLiteral("http://127.0.0.1:%1/metrics").arg(port)});
    finished.wait(40000);
    return curl.readAllStandardOutput();
}

/// Clients of a metrics port that take descriptors and workers: idle
/// connections that never send, and slow ones that send their request a
/// byte every half second, each in time for the server's read timeout.
class ConnectionFlood
{
public:
    ConnectionFlood(int port, int idle, int slow)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The slow ones first, while the server's queue has room for them.
        for (int i = 0; i < slow + idle; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (i < slow ? 0 : SOCK_NONBLOCK), 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            if (i < slow) {
                ::send(fd, "GET /metrics HTTP/1.1\r\nX-Slow: ", 31, MSG_NOSIGNAL);
                m_slow << fd;
            } else {
                m_idle << fd;
            }
        }
        m_trickle.setInterval(500);
        QObject::connect(&m_trickle, &QTimer::timeout, [this] {
            for (const int fd : qAsConst(m_slow))
                ::send(fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        m_trickle.start();
    }
    ~ConnectionFlood()
    {
        for (const int fd : m_idle + m_slow)
            ::close(fd);
    }

private:
    QVector<int> m_idle;
    QVector<int> m_slow;
    QTimer m_trickle;
};

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
        QTest::newRow("limits in two units") << null + L{"--alarm-low", "550mV", "--alarm-high", "5.5A"}
                                             << L() << 2 << B("--alarm-high is in A");
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
        // One stray byte amid good UTF-8 (测 and ASCII) spoils the name too.
        const QString stray = QString::fromLatin1("\xe6\xb5\x8b\xff 7");
        QTest::newRow("--source with a stray byte")
            << null + L{"--source", stray} << L() << 2 << B("--source \"\\xe6\\xb5\\x8b\\xff 7\" is not");
        QTest::newRow("TK52K_SOURCE with a stray byte")
            << null << L{"TK52K_SOURCE=" + stray} << 2 << B("TK52K_SOURCE \"\\xe6\\xb5\\x8b\\xff 7\" is not");
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
        // Exactly as given, spaces and all, like TK52K_SOURCE.
        QTest::newRow("--source") << QStringList{"--source", " bench-7 "} << bench
                                  << QStringLiteral(" bench-7 ");
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

        // Watchdog pings every 0.1 s.
        NotifySocket notify(m_dir.filePath("notify"));
        QVERIFY(notify.isValid());
        QMap<QString, QString> env{{"TK52K_SPOOL_DIR", m_dir.filePath("spool-replug")},
                                   {"NOTIFY_SOCKET", notify.path()},
                                   {"WATCHDOG_USEC", "300000"}};
        if (!variable.isNull())
            env.insert("TK52K_SOURCE", QString::fromLatin1(variable.toUtf8())); // its UTF-8, byte for byte
        Program logger(env);
        {
            const BytesAsLatin1 bytes;
            logger.start(QStringList{"--port", link} + args);
            QVERIFY(logger.process.waitForStarted(30000));
        }
        QTRY_VERIFY2_WITH_TIMEOUT(logger.err.contains("logging"), qPrintable(logger.err), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(notify.received("READY=1"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(notify.received("WATCHDOG=1"), 20000);
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
        QVERIFY(notify.received("STOPPING=1"));
        // Every reading accounted for: the first of the range is not stored.
        QVERIFY2(
            logger.err.contains("stopped: taken 10 = written 9 + waiting 0 + quarantined 0 + not stored 1"),
            qPrintable(logger.err));
        QCOMPARE(priorityOf(logger.err, "logging"), 6);
        QCOMPARE(priorityOf(logger.err, "went away"), 4);
        QCOMPARE(priorityOf(logger.err, "is back"), 6);
        QVERIFY2(unmarked(logger.err).isEmpty(), qPrintable(unmarked(logger.err).join('\n')));
    }

    // A terminal the user may not open is a permission error naming its
    // cause: the dialout group where joining it helps, the device's rights
    // where the user is in the group already. Only root can drop to another
    // user here.
    void portTheUserMayNotOpen_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("groups"); // setpriv's
        QTest::addColumn<QByteArray>("says");
        QTest::newRow("not in dialout") << "0660"
                                        << "--clear-groups" << QByteArray("group dialout");
        QTest::newRow("in dialout, owner only") << "0600"
                                                << "--groups=dialout" << QByteArray("0600 with owner");
    }
    void portTheUserMayNotOpen()
    {
        QFETCH(QString, mode);
        QFETCH(QString, groups);
        QFETCH(QByteArray, says);
        if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("needs root and setpriv to run the logger as another user");
        MeterPty meter(m_dir.filePath("ttyForbidden"));
        QVERIFY(meter.plug());
        QCOMPARE(QProcess::execute("chown", {"root:dialout", meter.device()}), 0);
        QCOMPARE(QProcess::execute("chmod", {mode, meter.device()}), 0);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TK52K_DB_PORT", "1"); // no server; its journal lives in memory
        p.setProcessEnvironment(env);
        p.start("setpriv",
                {"--reuid=65534", "--regid=65534", groups, "--",
                 qEnvironmentVariable("TK52K_BIN_DIR") + "/tk52k-logger", "--port", meter.device()});
        QVERIFY(p.waitForFinished(30000));
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(p.exitCode() == 3 && err.contains(says) && !err.contains("busy"), err.constData());
        QCOMPARE(err.contains("add the current user"), !groups.startsWith("--groups"));
    }

    // The lock on the port dies with its holder: a logger killed on a
    // pseudo-terminal leaves nothing that keeps the next start out, while a
    // live one is still reported busy, by name. Run as a user without
    // rights, since root opens a terminal another program holds all the same.
    void portFreedWithAKilledHolder()
    {
        if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("needs root and setpriv to run the logger as another user");
        MeterPty meter(m_dir.filePath("ttyKilled"));
        QVERIFY(meter.plug());
        QVERIFY(::chmod(QFile::encodeName(meter.device()).constData(), 0666) == 0);
        // Journal folders of that user, outside the test's private folder.
        QTemporaryDir shared(QDir::tempPath() + QStringLiteral("/tk52k-port-XXXXXX"));
        QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 0755) == 0);
        const auto start = [&](Program &logger, const QString &name) {
            const QString spool = shared.filePath(name);
            QDir().mkdir(spool);
            QVERIFY(::chown(QFile::encodeName(spool).constData(), 65534, 65534) == 0);
            QProcessEnvironment env = logger.process.processEnvironment();
            env.insert("TK52K_SPOOL_DIR", spool);
            env.insert("TK52K_DB_PORT", "1");
            logger.process.setProcessEnvironment(env);
            logger.process.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                             qEnvironmentVariable("TK52K_BIN_DIR") + "/tk52k-logger",
                                             "--port", meter.device(), "--quiet"});
        };
        Program killed({});
        start(killed, QStringLiteral("killed"));
        QTRY_VERIFY2_WITH_TIMEOUT(killed.err.contains("logging"), qPrintable(killed.err), 20000);
        QCOMPARE(killed.stop(SIGKILL), -1);

        Program next({});
        start(next, QStringLiteral("next"));
        QTRY_VERIFY2_WITH_TIMEOUT(next.err.contains("logging"), qPrintable(next.err), 20000);
        Program third({});
        start(third, QStringLiteral("third"));
        QVERIFY(third.process.waitForFinished(30000));
        third.err += QString::fromUtf8(third.process.readAllStandardError());
        QCOMPARE(third.process.exitCode(), 3);
        const QString holder = QStringLiteral("tk52k-logger (pid %1)").arg(next.process.processId());
        QVERIFY2(third.err.contains("busy") && third.err.contains(holder), qPrintable(third.err));
        QCOMPARE(next.stop(), 0);
    }

    // A second logger given the metrics port of another is refused it with
    // an error line and logs all the same (the two would otherwise share the
    // port, each answering half the scrapes).
    void metricsPortOfAnother()
    {
        const int port = 20000 + int(::getpid() % 20000) + 2;
        MeterPty first(m_dir.filePath("ttyFirst")), second(m_dir.filePath("ttySecond"));
        QVERIFY(first.plug() && second.plug());
        Program a({{"TK52K_SPOOL_DIR", m_dir.filePath("spool-first")}, {"TK52K_DB_PORT", "1"}});
        a.start({"--port", m_dir.filePath("ttyFirst"), "--quiet", "--metrics", QString::number(port)});
        QTRY_VERIFY2_WITH_TIMEOUT(a.err.contains("metrics on"), qPrintable(a.err), 20000);
        Program b({{"TK52K_SPOOL_DIR", m_dir.filePath("spool-second")}, {"TK52K_DB_PORT", "1"}});
        b.start({"--port", m_dir.filePath("ttySecond"), "--quiet", "--metrics", QString::number(port)});
        const QString refused =
            QStringLiteral("no metrics: cannot listen on 127.0.0.1 port %1: address already in use")
                .arg(port);
        QTRY_VERIFY2_WITH_TIMEOUT(priorityOf(b.err, refused) == 3, qPrintable(b.err), 20000);
        QVERIFY2(b.err.contains("logging"), qPrintable(b.err));
        QCOMPARE(b.stop(), 0);
        QCOMPARE(a.stop(), 0);
    }

    // Idle connections by the hundred and clients that trickle their request
    // (more than the server has workers) take neither the metrics page nor
    // the descriptors the database needs:
    // after a server restart the logger reconnects, and a scrape is served.
    // A logger that does run out of descriptors says so.
    void metricsFloodAndDescriptors()
    {
        PrivatePgServer server;
        QString error;
        QVERIFY2(server.create(&error), qPrintable(error));
        const QString link = m_dir.filePath("ttyFlood");
        MeterPty meter(link);
        QVERIFY(meter.plug());
        const int port = 20000 + int(::getpid() % 20000) + 3;
        Program logger({{"TK52K_SPOOL_DIR", m_dir.filePath("spool-flood")},
                        {"TK52K_DB_HOST", server.socketDir()},
                        {"TK52K_DB_NAME", "logger_flood"}});
        logger.start({"--port", link, "--quiet", "--metrics", QString::number(port)});
        QTRY_VERIFY2_WITH_TIMEOUT(priorityOf(logger.err, "connected") == 6 &&
                                      logger.err.contains("metrics on"),
                                  qPrintable(logger.err), 30000);
        const QString pid = QString::number(logger.process.processId());
        // Room for what a logger holds, not for the flood.
        QCOMPARE(QProcess::execute("prlimit", {"--pid", pid, "--nofile=128:"}), 0);
        const auto restartServer = [&] {
            QVERIFY2(server.stop(true, &error), qPrintable(error));
            QVERIFY2(server.start(&error), qPrintable(error));
            // Readings waiting send the store to the server again.
            QVERIFY(meter.send(frames(700, 3)));
        };
        {
            ConnectionFlood flood(port, 700, 6);
            restartServer();
            QTRY_VERIFY2_WITH_TIMEOUT(priorityOf(logger.err, "is back") == 6, qPrintable(logger.err), 30000);
            QVERIFY(scrape(port).contains("\ntk52k_database_up 1\n"));
        }

        // No descriptor left for the next connection.
        const int inUse = QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                              .entryList(QDir::System | QDir::NoDotAndDotDot)
                              .size();
        QCOMPARE(QProcess::execute("prlimit", {"--pid", pid, QStringLiteral("--nofile=%1:").arg(inUse - 1)}),
                 0);
        logger.err.clear();
        restartServer();
        QTRY_VERIFY2_WITH_TIMEOUT(logger.err.contains("too many open files", Qt::CaseInsensitive),
                                  qPrintable(logger.err), 30000);
        QCOMPARE(QProcess::execute("prlimit", {"--pid", pid, "--nofile=1024:"}), 0);
        QTRY_VERIFY2_WITH_TIMEOUT(priorityOf(logger.err, "is back") == 6, qPrintable(logger.err), 30000);
        QCOMPARE(logger.stop(), 0);
    }

    // As a service the logger takes its password from the credential the
    // unit hands it (a file in CREDENTIALS_DIRECTORY), not from its
    // environment, which other processes of its user may read.
    void passwordFromACredential()
    {
        ScratchDatabase db(QStringLiteral("logger_credential"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        const QString role = QStringLiteral("tk52k_credential_%1").arg(::getpid());
        const QString password = QStringLiteral("from the credential %1").arg(::getpid());
        QVERIFY2(db.addLogin(role, password,
                             QStringLiteral("GRANT ALL ON ALL TABLES IN SCHEMA public TO %1; "
                                            "GRANT ALL ON ALL SEQUENCES IN SCHEMA public TO %1")),
                 qPrintable(db.error()));
        const QString credentials = m_dir.filePath("credentials");
        QVERIFY(QDir().mkdir(credentials));
        QFile file(credentials + "/db-password");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(password.toUtf8() + '\n') > 0);
        file.close();

        const QString link = m_dir.filePath("ttyCredential");
        MeterPty meter(link);
        QVERIFY(meter.plug());
        Program logger({{"TK52K_SPOOL_DIR", m_dir.filePath("spool-credential")},
                        {"TK52K_DB_USER", role},
                        {"CREDENTIALS_DIRECTORY", credentials}});
        QProcessEnvironment env = logger.process.processEnvironment();
        env.remove("TK52K_DB_PASSWORD");
        logger.process.setProcessEnvironment(env);
        logger.start({"--port", link, "--quiet"});
        QTRY_VERIFY2_WITH_TIMEOUT(priorityOf(logger.err, "connected") == 6, qPrintable(logger.err), 20000);
        QVERIFY(meter.send(frames(800, 3)));
        QTRY_COMPARE_WITH_TIMEOUT(db.column("SELECT count(*) FROM invoice"), QStringLiteral("2"), 20000);
        QCOMPARE(logger.stop(), 0);
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
            QTRY_COMPARE_WITH_TIMEOUT(priorityOf(logger.err, "readings are not safe on the disk"), 3, 20000);
            QCOMPARE(logger.stop(), 1);
            QVERIFY2(unmarked(logger.err).isEmpty(), qPrintable(unmarked(logger.err).join('\n')));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(journaled(spool), 6, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(priorityOf(logger.err, "cannot reach the database"), 4, 20000);
        QCOMPARE(logger.stop(), 0);
        QVERIFY2(logger.err.contains("6 readings wait in the journal"), qPrintable(logger.err));
        QVERIFY2(
            logger.err.contains("stopped: taken 7 = written 0 + waiting 6 + quarantined 0 + not stored 1"),
            qPrintable(logger.err));
        QVERIFY2(unmarked(logger.err).isEmpty(), qPrintable(unmarked(logger.err).join('\n')));
        QCOMPARE(journaled(spool), 6);
    }

    // A server that goes away is announced as a warning with the reason the
    // connection gave, and its return as news.
    void serverLostAndBack()
    {
        PrivatePgServer server;
        QString error;
        QVERIFY2(server.create(&error), qPrintable(error));
        const QString link = m_dir.filePath("ttyOutage");
        MeterPty meter(link);
        QVERIFY(meter.plug());
        Program logger({{"TK52K_SPOOL_DIR", m_dir.filePath("spool-outage")},
                        {"TK52K_DB_HOST", server.socketDir()},
                        {"TK52K_DB_NAME", "logger_outage"}});
        logger.start({"--port", link, "--quiet"});
        QTRY_VERIFY2_WITH_TIMEOUT(priorityOf(logger.err, "connected") == 6, qPrintable(logger.err), 30000);

        // Readings on the server first: the database and its table exist.
        QVERIFY(meter.send(frames(500, 3)));
        const auto rows = [&server] {
            QProcess psql;
            psql.start(QStringLiteral("psql"), {"-h", server.socketDir(), "-U", "postgres", "-d",
                                                "logger_outage", "-Atc", "SELECT count(*) FROM invoice"});
            psql.waitForFinished(20000);
            return psql.readAllStandardOutput().trimmed();
        };
        QTRY_COMPARE_WITH_TIMEOUT(rows(), QByteArray("2"), 20000);
        QVERIFY2(server.stop(true, &error), qPrintable(error));
        QTRY_VERIFY2_WITH_TIMEOUT(priorityOf(logger.err, "lost the database") == 4, qPrintable(logger.err),
                                  30000);
        const QRegularExpression withReason(
            QStringLiteral("lost the database [^\\n]*5432: [^;\\n]+; readings wait"));
        QVERIFY2(withReason.match(logger.err).hasMatch(), qPrintable(logger.err));

        QVERIFY2(server.start(&error), qPrintable(error));
        // Readings waiting send the store to the server again.
        QVERIFY(meter.send(frames(600, 2)));
        QTRY_VERIFY2_WITH_TIMEOUT(priorityOf(logger.err, "is back") == 6, qPrintable(logger.err), 30000);
        QCOMPARE(logger.stop(), 0);
        QVERIFY2(unmarked(logger.err).isEmpty(), qPrintable(unmarked(logger.err).join('\n')));
        // One line per event: Qt's own notes on the broken connection are
        // details below the warnings.
        for (const QString &line : logger.err.split('\n')) {
            QVERIFY2(priorityOf(line, line) > 4 ||
                         !(line.contains("QSqlQuery") || line.contains("Unable to free statement")),
                     qPrintable(logger.err));
        }
    }

    // Debian's Prometheus scrapes the logger's page and reads its figures:
    // a meter name and a port with the characters the page escapes come back
    // as they are, and the readings add up with one the server refused
    // among them.
    void metricsScrapedByPrometheus()
    {
        ScratchDatabase db(QStringLiteral("logger_metrics"));
        QVERIFY2(db.isReady(), qPrintable(db.error()));
        QVERIFY2(db.exec("ALTER TABLE invoice ADD CONSTRAINT not_4_03 CHECK (datavaluestr <> '4.03')"),
                 qPrintable(db.error()));
        const QString link = m_dir.filePath("ttyMetrics \\\"7\"\nB");
        MeterPty meter(link);
        QVERIFY(meter.plug());
        const int port = 20000 + int(::getpid() % 20000);
        Program logger({{"TK52K_SPOOL_DIR", m_dir.filePath("spool-metrics")}});
        const QString name = QStringLiteral("meter \\\"7\"");
        logger.start({"--port", link, "--source", name, "--quiet", "--metrics",
                      QStringLiteral("127.0.0.1:%1").arg(port)});
        QTRY_VERIFY2_WITH_TIMEOUT(logger.err.contains("metrics on"), qPrintable(logger.err), 20000);
        QVERIFY(meter.send(frames(400, 6)));
        QTRY_COMPARE_WITH_TIMEOUT(db.column("SELECT count(*) FROM invoice"), QStringLiteral("4"), 20000);

        const QString config = m_dir.filePath("prometheus.yml");
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tk52k\n"
                                  "    static_configs:\n      - targets: ['127.0.0.1:%1']\n")
                       .arg(port)
                       .toUtf8());
        file.close();
        const QString web = QStringLiteral("127.0.0.1:%1").arg(port + 1);
        QProcess prometheus;
        prometheus.setProcessChannelMode(QProcess::MergedChannels);
        prometheus.start(QStringLiteral("prometheus"),
                         {"--config.file=" + config, "--storage.tsdb.path=" + m_dir.filePath("tsdb"),
                          "--web.listen-address=" + web});
        QVERIFY2(prometheus.waitForStarted(),
                 "Debian's prometheus is not installed (scripts/packages.txt has it)");
        const auto query = [&web](const QString &expression,
                                  const QString &format = QStringLiteral("promql")) {
            QProcess promtool;
            promtool.start(QStringLiteral("promtool"),
                           {"query", "instant", "-o", format, "http://" + web, expression});
            promtool.waitForFinished(20000);
            return QString::fromUtf8(promtool.readAllStandardOutput()).trimmed();
        };
        // A page that does not parse is a failed scrape: up is 0.
        QTRY_VERIFY_WITH_TIMEOUT(query("up").contains(" => "), 60000);
        QVERIFY2(query("up").contains(" => 1 @"), "the page did not parse");
        // Every reading taken has settled, then the figures add up.
        QTRY_VERIFY2_WITH_TIMEOUT(
            query("tk52k_readings_taken_total - tk52k_readings_waiting").contains(" => 6 @"),
            qPrintable(logger.err), 60000);
        QVERIFY2(query("tk52k_database_up").contains(" => 1 @"), qPrintable(logger.err));
        // Prometheus lets a raw line feed inside a label pass; the text
        // format's own parser does not (exit 1; 3 would be advice on names).
        QProcess page, check;
        page.start(QStringLiteral("curl"), {"-sf", QStringLiteral("http://127.0.0.1:%1/metrics").arg(port)});
        QVERIFY(page.waitForFinished(20000));
        const QByteArray text = page.readAllStandardOutput();
        QVERIFY2(text.contains("tk52k_logger_info{"), text.constData());
        check.setProcessChannelMode(QProcess::MergedChannels);
        check.start(QStringLiteral("promtool"), {"check", "metrics"});
        check.write(text);
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(20000));
        QVERIFY2(check.exitCode() != 1, check.readAll().constData());
        const QString readings = query("{__name__=~\"tk52k_readings.*\"}");
        QVERIFY2(query("tk52k_readings_written_total").contains(" => 4 @"), qPrintable(readings));
        QVERIFY2(query("tk52k_readings_quarantined_total").contains(" => 1 @"), qPrintable(readings));
        QVERIFY2(query("tk52k_readings_taken_total - tk52k_readings_written_total - tk52k_readings_waiting - "
                       "tk52k_readings_quarantined_total - tk52k_readings_not_stored_total")
                     .contains(" => 0 @"),
                 qPrintable(readings));
        QVERIFY(query("tk52k_last_value").contains("function=\"DCV\""));
        const QJsonObject labels = QJsonDocument::fromJson(query("tk52k_logger_info", "json").toUtf8())
                                       .array()
                                       .at(0)["metric"]
                                       .toObject();
        QCOMPARE(labels["source"].toString(), name);
        QCOMPARE(labels["port"].toString(), link);
        QVERIFY2(query("tk52k_last_reading_timestamp_seconds > 1.5e9").contains(" => "),
                 qPrintable(query("tk52k_last_reading_timestamp_seconds")));
        // The meter ranges down to millivolts: the series stays the one of
        // volts, its value in volts.
        QVERIFY(meter.send(encodeMeterFrame(FrameContent{0, -1, 1772, false, false, {}}).repeated(3)));
        QTRY_VERIFY2_WITH_TIMEOUT(query("tk52k_last_value").contains("unit=\"V\"} => 0.1772 @"),
                                  qPrintable(query("tk52k_last_value")), 30000);
        QVERIFY2(!query("count_over_time(tk52k_last_value[1h])").contains("mV"),
                 qPrintable(query("count_over_time(tk52k_last_value[1h])")));
        prometheus.terminate();
        prometheus.waitForFinished();
        QCOMPARE(logger.stop(), 0);
        QVERIFY2(
            logger.err.contains("stopped: taken 9 = written 6 + waiting 0 + quarantined 1 + not stored 2"),
            qPrintable(logger.err));
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
