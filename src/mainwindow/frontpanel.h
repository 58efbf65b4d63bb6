#pragma once

#include <QString>

#include <array>

namespace Ui {
class TK52KCommClass;
}
struct MeterReading;
struct PanelBits;
class maxdatabase;
class QPushButton;

/// The main window's mimic of the meter's display, built from widgets that
/// are shown for a lit segment and hidden for a dark one.
class FrontPanel
{
public:
    /// Takes the panel widgets of the window's form; every segment starts lit,
    /// as the meter's display does for a moment when it is switched on.
    explicit FrontPanel(Ui::TK52KCommClass &ui);

    /// Annunciators, bar graph and value minus sign of a frame that decoded.
    void applyFrame(const PanelBits &panel, bool negative);
    /// Digits, extremes, function and unit of a reading; `rangeChanged`
    /// leaves the minus sign to applyFrame().
    void showReading(const MeterReading &reading, const maxdatabase &extremes, bool rangeChanged);
    /// The link annunciator: lit while bytes arrive.
    void showLink(bool on);
    /// Greys the big digits while they show a reading the meter no longer
    /// sends (a resuming run waiting for its meter); off restores them.
    void showStale(bool stale);

    /// Bar-graph segments and their ticks, left to right.
    const std::array<QPushButton *, 61> &barCells() const { return m_cells; }
    const std::array<QPushButton *, 61> &barTicks() const { return m_ticks; }

private:
    /// on: ticks and scale numbers shown, every segment and sign hidden
    /// (ready for setBarLevel); off: the whole bar graph dark.
    void showBarGraph(bool on);
    /// Lights segments 0..level; a level above 60 lights all and the plus mark.
    void setBarLevel(int level);

    Ui::TK52KCommClass &ui;
    QString m_digitsStyle; // the digits' own style while they are greyed
    bool m_stale = false;
    std::array<QPushButton *, 61> m_cells{};
    std::array<QPushButton *, 61> m_ticks{};
};
