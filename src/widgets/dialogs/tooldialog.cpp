#include "tooldialog.h"

#include <QWidget>

void showToolDialog(QWidget *dialog, const QSize &size)
{
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAttribute(Qt::WA_QuitOnClose, false);
    dialog->setFixedSize(size);
    dialog->setWindowFlags(Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->show();
}
