#include "meterwalk.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>

namespace {

bool signedRange(int range)
{
    // Direct voltage and current and temperature go below zero; the rest
    // of the functions show magnitudes.
    return (range >= 0 && range <= 4) || (range >= 9 && range <= 14) || range == 42 || range == 43;
}

bool autoRanging(int range)
{
    return range <= 26 || (range >= 29 && range <= 40);
}

constexpr int kBarCells = 60;

} // namespace

MeterWalk::MeterWalk(quint32 seed, int fixedRange, int dwell, Pace pace)
    : m_random(seed)
    , m_fixedRange(fixedRange)
    , m_dwell(std::max(1, dwell))
    , m_pace(pace)
{
    enterRange(fixedRange >= 0 ? fixedRange : 0);
}

int MeterWalk::fullScale() const
{
    // The largest count the meter shows before it reads overload.
    return meterOverloadCount(m_range) - 1;
}

bool MeterWalk::isSigned() const
{
    return signedRange(m_range);
}

void MeterWalk::enterRange(int rangeIndex)
{
    m_range = rangeIndex;
    m_framesInRange = 0;
    // Turning the dial releases HOLD.
    m_holdFrames = 0;
    const double fs = fullScale();
    switch (m_range) {
    case 27: // a silicon junction
        m_target = 550 + m_random.bounded(150);
        break;
    case 28: // a closed switch, a few ohms
        m_target = 20 + m_random.bounded(80);
        break;
    case 41: // a square wave near 50 %
        m_target = 450 + m_random.bounded(100);
        break;
    case 42: // room temperature in ℃
        m_target = 18 + m_random.bounded(10);
        break;
    case 43:
        m_target = 64 + m_random.bounded(18);
        break;
    case 44: // a small-signal transistor
        m_target = 100 + m_random.bounded(250);
        break;
    default:
        m_target = fs * (0.1 + 0.7 * m_random.generateDouble());
        if (isSigned() && m_random.bounded(2) == 0)
            m_target = -m_target;
    }
    m_count = m_target;
    // Resistance ranges begin with open test leads.
    m_overloadFrames = (m_range >= 21 && m_range <= 28) ? 3 + m_random.bounded(4) : 0;
    m_rel = m_random.bounded(10) == 0;
    const int extreme = m_random.bounded(10);
    m_max = extreme == 0;
    m_min = extreme == 1;
}

FrameContent MeterWalk::next()
{
    if (m_fixedRange < 0 && m_framesInRange >= m_dwell)
        enterRange((m_range + 1) % kRangeCount);
    ++m_framesInRange;

    const double fs = fullScale();
    const bool quick = m_pace == Pace::Quick;
    if (m_holdFrames > 0) {
        // HOLD freezes the reading the meter showed when it was pressed.
        --m_holdFrames;
        FrameContent held = m_last;
        held.panel.hold = m_holdFrames > 0;
        return m_last = held;
    }
    if (m_random.bounded(quick ? 100 : 600) == 0)
        m_holdFrames = 5 + m_random.bounded(10);
    if (m_batFrames > 0)
        --m_batFrames;
    else if (m_random.bounded(400) == 0)
        m_batFrames = 20 + m_random.bounded(40);

    // The target wanders and now and then jumps; signed quantities may
    // swing through zero. A steady walk jumps rarely and instead swings
    // slowly (a period of some 40 s at 3 frames a second) around where it
    // wanders, so the plot shows a curve rather than noise.
    if (m_random.bounded(quick ? 25 : 400) == 0) {
        m_target = fs * (0.05 + 0.85 * m_random.generateDouble());
        if (isSigned() && m_random.bounded(3) == 0)
            m_target = m_count < 0 ? m_target : -m_target;
        else if (m_count < 0)
            m_target = -m_target;
    } else if (quick) {
        m_target += fs * 0.01 * (m_random.generateDouble() - 0.5);
    } else {
        const double before = std::sin(m_phase);
        m_phase += 2.0 * M_PI / 120.0;
        m_target += fs * (0.004 * (m_random.generateDouble() - 0.5) + 0.08 * (std::sin(m_phase) - before));
    }
    if (!isSigned())
        m_target = std::max(0.0, m_target);
    m_count += (m_target - m_count) * 0.2 + fs * 0.004 * (m_random.generateDouble() - 0.5);
    if (!isSigned())
        m_count = std::max(0.0, m_count);
    if (m_overloadFrames == 0 && m_random.bounded(quick ? 60 : 900) == 0)
        m_overloadFrames = 2 + m_random.bounded(4);

    FrameContent frame;
    frame.rangeIndex = m_range;
    const int count = static_cast<int>(std::lround(m_count));
    frame.negative = count < 0;
    frame.count = std::abs(count);
    if (m_overloadFrames > 0 || frame.count > fs) {
        if (m_overloadFrames > 0)
            --m_overloadFrames;
        frame.overload = true;
        frame.count = 0;
    }
    PanelBits &panel = frame.panel;
    panel.autoRange = autoRanging(m_range);
    panel.rel = m_rel;
    panel.max = m_max;
    panel.min = m_min;
    panel.apo = true;
    panel.bat = m_batFrames > 0;
    panel.hold = m_holdFrames > 0;
    panel.barOn = m_range != 27 && m_range != 28 && m_range != 44;
    panel.barNegative = frame.negative;
    panel.barLevel = frame.overload
        ? kBarCells + 1
        : std::min(kBarCells, static_cast<int>(std::lround(frame.count / fs * kBarCells)));
    return m_last = frame;
}
