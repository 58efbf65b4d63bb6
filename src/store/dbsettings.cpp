#include "dbsettings.h"

#include <QSqlDatabase>

DbSettings DbSettings::fromEnvironment()
{
    DbSettings s;
    const auto text = [](const char *name, QString &field) {
        if (qEnvironmentVariableIsSet(name))
            field = qEnvironmentVariable(name);
    };
    text("TK52K_DB_HOST", s.host);
    text("TK52K_DB_NAME", s.databaseName);
    text("TK52K_DB_USER", s.userName);
    text("TK52K_DB_PASSWORD", s.password);
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("TK52K_DB_PORT", &ok);
    if (ok && port > 0 && port < 65536)
        s.port = port;
    return s;
}

QSqlDatabase DbSettings::addConnection(const QString &connectionName) const
{
    QSqlDatabase db = QSqlDatabase::contains(connectionName) ? QSqlDatabase::database(connectionName, false)
                                                             : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(host);
    db.setPort(port);
    db.setDatabaseName(databaseName);
    db.setUserName(userName);
    db.setPassword(password);
    // Without a timeout an unreachable host blocks open() for minutes.
    db.setConnectOptions(QStringLiteral("connect_timeout=2"));
    return db;
}
