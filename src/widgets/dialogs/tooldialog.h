#pragma once

class QSize;
class QWidget;

/// Shows one of the main window's small dialogs the way they all appear: a
/// fixed size, only a close button, above the other windows, modal for the
/// application, deleted when closed, and never what keeps the program
/// running once the main window has gone.
void showToolDialog(QWidget *dialog, const QSize &size);
