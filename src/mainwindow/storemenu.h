#pragma once

class QAction;
class QMenu;
class database;

/// Adds "重新写入被拒绝的读数" to `menu` ahead of `before` (at the end when
/// null): it hands the readings the server refused back to the store, and is
/// enabled only while there are any.
QAction *addRetryRejectedAction(QMenu *menu, QAction *before, database *db);
