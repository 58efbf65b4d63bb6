#pragma once

class QAction;
class QLabel;
class QMenu;
class QStatusBar;
class RecordStore;

/// Adds "重新写入被拒绝的读数" to `menu` ahead of `before` (at the end when
/// null): it hands the readings the server refused back to the store, and is
/// enabled only while there are any.
QAction *addRetryRejectedAction(QMenu *menu, QAction *before, RecordStore *store);

/// Adds the store's state ("数据库已连接", ...) to `bar` as a label that
/// follows the store at a few changes a second.
QLabel *addStoreStateLabel(QStatusBar *bar, RecordStore *store);
