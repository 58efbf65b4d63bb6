#include "storetestsupport.h"

#include "store/dbsettings.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

QSqlDatabase StoreTest::adminConnection(const QString &name, int port)
{
    DbSettings s = DbSettings::fromEnvironment();
    s.databaseName = QStringLiteral("postgres");
    s.port = port;
    QSqlDatabase db = s.addConnection(name);
    db.open();
    return db;
}

bool StoreTest::dropDatabase(const QString &dbName, int port, QString *error)
{
    const QString name = QStringLiteral("tk52k-test-admin");
    bool ok = false;
    {
        QSqlDatabase db = adminConnection(name, port);
        if (!db.isOpen()) {
            *error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            ok = q.exec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)")
                            .arg(db.driver()->escapeIdentifier(dbName, QSqlDriver::TableName)));
            if (!ok)
                *error = q.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}
