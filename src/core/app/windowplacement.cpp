#include "windowplacement.h"

QSize initialWindowSize(const QSize &desktop)
{
    return QSize(static_cast<int>(desktop.width() * 0.8), static_cast<int>(desktop.height() * 0.8));
}

QPoint centredWindowPosition(const QSize &desktop, const QSize &window)
{
    return QPoint((desktop.width() - window.width()) / 2, (desktop.height() - window.height()) / 2);
}
