#pragma once

#include <QString>
#include <QTemporaryDir>

/// A PostgreSQL server of the test's own, in a temporary folder on a free
/// port, that the test may stop and start without disturbing anyone else.
/// Runs as the user postgres when the test runs as root (initdb refuses root).
class PrivatePgServer
{
public:
    PrivatePgServer();
    ~PrivatePgServer();

    /// Creates the cluster and starts it. False with `error` set on failure.
    bool create(QString *error);
    /// Starts or stops the server and waits until that is done.
    bool start(QString *error);
    /// `immediate` stops like a crash, otherwise connections are closed first.
    bool stop(bool immediate, QString *error);

    int port() const { return m_port; }

private:
    bool run(const QString &tool, const QStringList &args, QString *error);

    QTemporaryDir m_dir;
    int m_port = 0;
    bool m_running = false;
};
