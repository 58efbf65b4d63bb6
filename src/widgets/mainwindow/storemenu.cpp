#include "storemenu.h"

#include "core/store/database.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTimer>

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

QLabel *addStoreStateLabel(QStatusBar *bar, database *db)
{
    auto *label = new QLabel(db->statusText(), bar);
    label->setObjectName(QStringLiteral("dbStateLabel"));
    bar->addWidget(label);
    // While the store writes, its state flips twice a reading (one pending,
    // none); the label follows at a reading pace of a few a second, which
    // spares the window a status-bar relayout for every flip.
    auto *refresh = new QTimer(label);
    refresh->setSingleShot(true);
    refresh->setInterval(250);
    QObject::connect(refresh, &QTimer::timeout, label, [label, db] { label->setText(db->statusText()); });
    QObject::connect(db, &database::stateChanged, refresh, [refresh] {
        if (!refresh->isActive())
            refresh->start();
    });
    return label;
}
