#include "dbsettings.h"

#include "core/store/recordschema.h"

#include <QSqlDatabase>
#include <QSysInfo>

DbSettings DbSettings::fromEnvironment()
{
    DbSettings s;
    const auto text = [](const char *name, QString &field) {
        if (qEnvironmentVariableIsSet(name))
            field = qEnvironmentVariable(name);
    };
    text("TK52K_DB_HOST", s.host);
    QStringList problems;
    if (qEnvironmentVariableIsSet("TK52K_DB_NAME")) {
        const QString name = qEnvironmentVariable("TK52K_DB_NAME");
        if (RecordSchema::quotedIdentifier(name).isEmpty())
            problems << QStringLiteral("TK52K_DB_NAME \"%1\" is not a usable database name").arg(name);
        else
            s.databaseName = name;
    }
    text("TK52K_DB_USER", s.userName);
    s.source = QSysInfo::machineHostName();
    text("TK52K_SOURCE", s.source);
    text("TK52K_DB_PASSWORD", s.password);
    if (qEnvironmentVariableIsSet("TK52K_DB_PORT")) {
        const QString portText = qEnvironmentVariable("TK52K_DB_PORT");
        bool ok = false;
        const int port = portText.trimmed().toInt(&ok);
        if (ok && port > 0 && port < 65536)
            s.port = port;
        else
            problems << QStringLiteral("TK52K_DB_PORT \"%1\" is not a port number").arg(portText);
    }
    s.problem = problems.join(QLatin1String("; "));
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
