#pragma once

class DecimatingCurve;
class QDateTime;
class QwtPlot;

/// Dresses a plot as the program's trend plots look, live or historical:
/// black canvas, wheel zoom and mouse panning, dotted yellow grid, clock-time
/// x axis counted in whole seconds from `base`, the axis titles, and a green
/// decimating curve attached to it. Returns the curve (owned by the plot).
DecimatingCurve *setUpTrendPlot(QwtPlot *plot, const QDateTime &base);

/// Restarts the x axis at `base` (a new time origin for the labels), the
/// labels showing the date too when `showDate` is set.
void setTrendPlotBase(QwtPlot *plot, const QDateTime &base, bool showDate = false);
