#include "storemenu.h"

#include "store/database.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>

QAction *addRetryRejectedAction(QMenu *menu, QAction *before, database *db)
{
    auto *action = new QAction(QCoreApplication::translate("StoreMenu", "重新写入被拒绝的读数"), menu);
    action->setObjectName(QStringLiteral("actionRetryRejected"));
    menu->insertAction(before, action);
    // Quarantined readings stay put until the user has mended the cause on
    // the server and asks for them.
    QObject::connect(action, &QAction::triggered, db, &database::retryRejected);
    const auto update = [action, db] { action->setEnabled(db->rejectedCount() > 0); };
    QObject::connect(db, &database::stateChanged, action, update);
    update();
    return action;
}
