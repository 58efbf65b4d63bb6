#pragma once

class QAbstractButton;
class QSize;
class QWidget;

/// Shows one of the main window's small dialogs the way they all appear: a
/// fixed size (grown where a text would be cut, see fitTextsToWidth()), only
/// a close button, above the other windows, modal for the application,
/// deleted when closed, and never what keeps the program running once the
/// main window has gone.
void showToolDialog(QWidget *dialog, const QSize &size);

/// Gives a dialog made of a plain widget the keys of a dialog: Enter clicks
/// the push button that has the focus, else `accept`; Escape clicks
/// `reject`, or closes the dialog when there is none. Keys a field uses
/// itself (Enter in a list that is open) stay the field's.
void setDialogKeys(QWidget *dialog, QAbstractButton *accept, QAbstractButton *reject = nullptr);

/// Widens the texts of a form laid out at fixed positions wherever a
/// label, check box, button, group box title, combo box or date field is
/// narrower than its text needs: each such widget grows, what stands to its
/// right on the same line moves right by as much, and its parent grows to
/// keep its right margin. A form whose texts fit is left exactly as it is.
/// Returns the width the form gained.
int fitTextsToWidth(QWidget *form);
