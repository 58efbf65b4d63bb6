#include "windowplacement.h"

#include <QMargins>
#include <QRect>

#include <algorithm>

QSize initialWindowSize(const QSize &desktop)
{
    return QSize(static_cast<int>(desktop.width() * 0.8), static_cast<int>(desktop.height() * 0.8));
}

QPoint centredWindowPosition(const QSize &desktop, const QSize &window)
{
    return QPoint((desktop.width() - window.width()) / 2, (desktop.height() - window.height()) / 2);
}

QRect windowWithin(const QRect &available, const QSize &size, const QSize &minimum, const QMargins &frame)
{
    const QRect inner = available.marginsRemoved(frame);
    const int w = std::max(minimum.width(), std::min(size.width(), inner.width()));
    const int h = std::max(minimum.height(), std::min(size.height(), inner.height()));
    const int x = inner.x() + std::max(0, (inner.width() - w) / 2);
    const int y = inner.y() + std::max(0, (inner.height() - h) / 2);
    return QRect(x, y, w, h);
}
