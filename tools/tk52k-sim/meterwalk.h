#pragma once

#include "core/meter/frameencoder.h"

#include <QRandomGenerator>

/// Plays a meter in use: walks through the functions and ranges, the value
/// drifting, changing sign where the function has one, running over the
/// range now and then, with the bar graph following the value and the
/// annunciators coming and going. Deterministic for a given seed.
class MeterWalk
{
public:
    /// How restless the reading is. Steady: a value that drifts slowly, with
    /// a jump or an overload only now and then, so a curve builds up. Quick:
    /// jumps, overloads and HOLD come every few seconds, to show off the
    /// whole display in a short time.
    enum class Pace { Steady, Quick };

    /// `fixedRange` 0–44 keeps the walk in one range; -1 walks through all of
    /// them, `dwell` frames each.
    MeterWalk(quint32 seed, int fixedRange, int dwell, Pace pace = Pace::Steady);

    /// The content of the next frame.
    FrameContent next();

private:
    void enterRange(int rangeIndex);
    int fullScale() const;
    bool isSigned() const;

    QRandomGenerator m_random;
    int m_fixedRange;
    int m_dwell;
    Pace m_pace;
    double m_phase = 0.0;
    int m_range = -1;
    int m_framesInRange = 0;
    double m_count = 0.0;
    double m_target = 0.0;
    int m_overloadFrames = 0;
    int m_holdFrames = 0;
    int m_batFrames = 0;
    bool m_rel = false;
    bool m_max = false;
    bool m_min = false;
    FrameContent m_last;
};
