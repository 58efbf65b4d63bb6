#pragma once

class QMenu;
class QWidget;

/// Adds the 语言 submenu to \a settingsMenu: one checkable entry a language,
/// the remembered one checked. Picking another stores it and tells the user
/// (through a message box owned by \a owner) that it applies at the next start.
void addLanguageMenu(QMenu *settingsMenu, QWidget *owner);
