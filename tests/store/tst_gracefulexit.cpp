// SIGTERM and SIGINT end the program through its event loop, so the record
// store still finishes or saves its queue.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {
// Whether `pid` has a handler installed for `signalNumber`.
bool catchesSignal(qint64 pid, int signalNumber)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const int at = text.indexOf("SigCgt:");
    const QByteArray mask = at < 0 ? QByteArray() : text.mid(at + 7, text.indexOf('\n', at) - at - 7).trimmed();
    return (mask.toULongLong(nullptr, 16) >> (signalNumber - 1)) & 1;
}
} // namespace

class TestGracefulExit : public QObject
{
    Q_OBJECT

private slots:
    void programExitsNormallyOnSignal_data();
    void programExitsNormallyOnSignal();
};

void TestGracefulExit::programExitsNormallyOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestGracefulExit::programExitsNormallyOnSignal()
{
    QFETCH(int, signalNumber);
    QTemporaryDir spool;
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TK52K_SPOOL_DIR"), spool.path());
    // No server: the window must come up and leave all the same.
    env.insert(QStringLiteral("TK52K_DB_PORT"), QStringLiteral("1"));
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("TK52K_BIN_DIR") + QStringLiteral("/tk52k"), QStringList());
    QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(catchesSignal(program.processId(), signalNumber), 20000);
    ::kill(static_cast<pid_t>(program.processId()), signalNumber);
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestGracefulExit)
#include "tst_gracefulexit.moc"
