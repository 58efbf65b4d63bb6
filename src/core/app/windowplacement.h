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
