#include "storemenu.h"

#include "core/store/recordstore.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QTimer>

QAction *addRetryRejectedAction(QMenu *menu, QAction *before, RecordStore *store)
{
    auto *action = new QAction(QCoreApplication::translate("StoreMenu", "重新写入被拒绝的读数(&W)"), menu);
    action->setObjectName(QStringLiteral("actionRetryRejected"));
    menu->insertAction(before, action);
    // Quarantined readings stay put until the user has mended the cause on
    // the server and asks for them.
    QObject::connect(action, &QAction::triggered, store, &RecordStore::retryRejected);
    const auto update = [action, store] { action->setEnabled(store->state().quarantined > 0); };
    QObject::connect(store, &RecordStore::stateChanged, action, update);
    update();
    return action;
}

QLabel *addStoreStateLabel(QStatusBar *bar, RecordStore *store)
{
    auto *label = new QLabel(store->statusText(), bar);
    label->setObjectName(QStringLiteral("dbStateLabel"));
    bar->addWidget(label);
    // While the store writes, its state flips twice a reading (one pending,
    // none); the label follows at a reading pace of a few a second, which
    // spares the window a status-bar relayout for every flip.
    auto *refresh = new QTimer(label);
    refresh->setSingleShot(true);
    refresh->setInterval(250);
    // The server's own words on why it cannot be reached go in the tooltip,
    // the status bar keeps the short state.
    const auto show = [label, store] {
        const StoreState state = store->state();
        label->setText(StoreStatus::statusText(state));
        label->setToolTip(state.connected || state.serverError.isEmpty()
                              ? QString()
                              : QCoreApplication::translate("StoreMenu", "服务器：%1").arg(state.serverError));
    };
    show();
    QObject::connect(refresh, &QTimer::timeout, label, show);
    QObject::connect(store, &RecordStore::stateChanged, refresh, [refresh] {
        if (!refresh->isActive())
            refresh->start();
    });
    return label;
}
