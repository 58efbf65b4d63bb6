#pragma once

#include <QPoint>
#include <QSize>

/// The main window opens at four fifths of the desktop in each direction,
/// both products truncated toward zero.
QSize initialWindowSize(const QSize &desktop);

/// Top-left corner that centres a window of the given size on the desktop;
/// integer halves, truncated toward zero (so a window larger than the desktop
/// gets a negative coordinate, exactly as the arithmetic says).
QPoint centredWindowPosition(const QSize &desktop, const QSize &window);

class QMargins;
class QRect;

/// Where a window asking for `size` (at least `minimum`) goes on a screen
/// whose free area is `available`, its frame (title bar, borders) adding
/// `frame` around it: the size asked for, cut to what fits, centred, and
/// never past the area's top or left edge. Returns the window's own
/// geometry, frame excluded.
QRect windowWithin(const QRect &available, const QSize &size, const QSize &minimum, const QMargins &frame);
