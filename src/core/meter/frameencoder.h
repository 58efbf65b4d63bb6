#pragma once

#include "core/meter/framedecoder.h"

#include <QByteArray>

/// What one meter frame is to show. The inverse of what the decoder reads:
/// the range index picks the function, prefix and unit bits, the count goes
/// into the four digit bytes.
struct FrameContent
{
    int rangeIndex = 0;   ///< range 0–44
    int decimals = -1;    ///< -1: the decimals the meter shows in that range
    int count = 0;        ///< digits shown, magnitude 0–9999 (clamped); unused on overload
    bool negative = false;
    bool overload = false;
    PanelBits panel;      ///< annunciators and bar graph
};

/// The number of decimals the meter shows in a range, i.e. the decimals that,
/// together with the range's status bits, make the decoder pick that range.
/// Ranges whose selection ignores the decimals get the meter's usual ones.
/// Returns -1 for an index outside 0–44.
int rangeDecimals(int rangeIndex);

/// Builds the 14-byte frame the meter sends for `content`, line feed last.
/// Decoding the result gives back the range index, the count (as value),
/// the sign, the overload flag and the panel bits, as long as `decimals` is
/// left at -1 or the range ignores the decimals. A range index outside 0–44
/// gives an empty array.
QByteArray encodeMeterFrame(const FrameContent &content);
