#pragma once

// Runs one of the project's programs to its end, the way a user's shell
// would: from the build's bin folder, in a UTF-8 locale.
#include <QProcess>
#include <QStringList>

struct ToolRun
{
    int status = -1; ///< the exit code; -1 when the program did not start, hung or crashed
    QByteArray out;
    QByteArray err;

    /// The lines of standard output, empty ones left out.
    QList<QByteArray> lines() const
    {
        QList<QByteArray> all = out.split('\n');
        all.removeAll(QByteArray());
        return all;
    }
};

/// `input` goes to the program's standard input; `env` ("VAR=value") is
/// added to the environment.
inline ToolRun runTool(const QString &name, const QStringList &args, const QByteArray &input = {},
                       const QStringList &env = {})
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    for (const QString &kv : env)
        e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    p.setProcessEnvironment(e);
    p.start(qEnvironmentVariable("TK52K_BIN_DIR") + '/' + name, args);
    if (!p.waitForStarted(30000))
        return {};
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(120000))
        return {};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}
