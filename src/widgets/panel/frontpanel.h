#pragma once

#include <QWidget>

#include <array>
#include <memory>

namespace Ui {
class FrontPanel;
}
struct MeterReading;
struct PanelBits;
class QPushButton;

/// The mimic of the meter's display, built from widgets that are shown for
/// a lit segment and hidden for a dark one on a black group box.
class FrontPanel : public QWidget
{
    Q_OBJECT

public:
    /// Every segment starts lit, as the meter's display does for a moment
    /// when it is switched on.
    explicit FrontPanel(QWidget *parent = nullptr);
    ~FrontPanel() override;

    /// Annunciators, bar graph and value minus sign of a frame that decoded.
    void applyFrame(const PanelBits &panel, bool negative);
    /// Digits, function and unit of a reading; `rangeChanged` leaves the
    /// minus sign to applyFrame().
    void showReading(const MeterReading &reading, bool rangeChanged);
    /// The link annunciator: lit while bytes arrive.
    void showLink(bool on);
    /// The digits in red while an alarm is raised, in their own green otherwise.
    void showAlarm(bool raised);
    /// Greys the big digits while they show a reading the meter no longer
    /// sends (a resuming run waiting for its meter); off restores them.
    void showStale(bool stale);

    /// Bar-graph segments and their ticks, left to right.
    const std::array<QPushButton *, 61> &barCells() const { return m_cells; }
    const std::array<QPushButton *, 61> &barTicks() const { return m_ticks; }

private:
    /// on: ticks and scale numbers shown, segments 0..level lit (a level
    /// above 60 lights all and the plus mark), the minus mark as `negative`;
    /// off: the whole bar graph dark.
    void showBarGraph(bool on, bool negative = false, int level = -1);
    /// Colours the digits (and the minus sign) for the stale and alarm states.
    void colourDigits();

    std::unique_ptr<Ui::FrontPanel> ui;
    bool m_stale = false;
    bool m_alarm = false;
    std::array<QPushButton *, 61> m_cells{};
    std::array<QPushButton *, 61> m_ticks{};
};
