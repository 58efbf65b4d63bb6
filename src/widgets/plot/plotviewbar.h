#pragma once

#include <QToolBar>

#include <optional>

class QAction;
class QLabel;
class QwtPlot;

/// The controls that make a trend plot something to look at: pause and
/// follow (live plots), "fit" to undo zooming and panning, an automatic y
/// scale beside the range's fixed one, and a read-out of the time and value
/// under the mouse. A window creates one beside its plot and adds it to a
/// layout or as a tool bar; the plot keeps working without it.
///
/// A live plot follows by default: x spans the whole run up to the newest
/// reading. Pausing freezes both axes where they stand while the curve keeps
/// collecting; zooming or panning with the mouse pauses as well (a plain
/// click does not), so new readings never drag a view the user is studying.
/// Following again, or a new range, jumps back to the newest readings.
class PlotViewBar : public QToolBar
{
    Q_OBJECT

public:
    enum class Kind { Live, History };

    PlotViewBar(QwtPlot *plot, Kind kind, QWidget *parent = nullptr);

    /// The fixed y scale of the current range, shown unless the automatic
    /// scale is chosen. Call it instead of setting the plot's y scale. A
    /// paused view follows again: its axes were the old range's.
    void setRangeScale(double lower, double upper, double step);
    /// No fixed y scale (the range is unknown): y follows the data.
    void clearRangeScale();

    bool isFollowing() const { return m_following; }
    bool isAutoYScale() const { return m_autoY; }
    /// "hh:mm:ss  value unit" under the mouse; empty when the mouse is elsewhere.
    QString readout() const;
    /// The unit of the curve's values, as the read-out shows them.
    void setReadoutUnit(const QString &unit) { m_unit = unit; }

    QAction *followAction() const { return m_followAction; }
    QAction *fitAction() const { return m_fitAction; }
    QAction *autoYAction() const { return m_autoYAction; }

public slots:
    void setFollowing(bool follow);
    /// Shows all the data again: x over the whole curve, y at the range's
    /// scale (or the data's, with the automatic scale). A paused live plot
    /// stays paused at the fitted view.
    void fit();
    void setAutoYScale(bool autoY);

signals:
    void followingChanged(bool following);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Scale
    {
        double lower, upper, step;
    };

    void applyDefaultAxes();
    void freezeAxes();
    void updateReadout(const QPoint &canvasPos);

    QwtPlot *m_plot;
    Kind m_kind;
    bool m_following = true;
    bool m_autoY = false;
    std::optional<Scale> m_rangeScale;
    QAction *m_followAction;
    QAction *m_fitAction;
    QAction *m_autoYAction;
    QLabel *m_readout;
    QString m_unit;
};
