#pragma once

#include <QByteArray>
#include <QString>

class QDateTime;
class QStringList;
struct MeterReading;

/// Size of one meter frame on the wire, line feed included.
constexpr int kFrameSize = 14;

/// Number of measuring functions (DCV … hFE) and of range indexes (0–44).
constexpr int kFunctionCount = 12;
constexpr int kRangeCount = 45;

/// Function text of a function index 0–11 ("DCV", "ACV", … "hFE"); an empty
/// string outside that span.
QString meterFunctionText(int funcIndex);

/// Range index 0–44 of a (function index, sub-range) pair; 0 for every pair
/// the meter never produces, including indexes outside 0–11 / 0–6.
int meterRangeIndex(int funcIndex, int subRange);

/// Function index 0–11 of a range index 0–44; -1 outside that span.
int meterRangeFunction(int rangeIndex);

/// The unit texts a function's ranges show, in the order of its ranges
/// ("mV", "V" for DCV); empty outside 0–11.
QStringList meterFunctionUnits(int funcIndex);

/// Unit text of a range index ("mV", "kΩ", "℃", " " for hFE …); an empty
/// string outside 0–44.
QString meterRangeUnit(int rangeIndex);

/// The count that stands for an overload in a range (8000, 1200, 800 …), not
/// a bound on the counts the range shows; 0 outside 0–44.
int meterOverloadCount(int rangeIndex);

/// What a frame switches on the front panel besides the reading itself.
struct PanelBits
{
    bool autoRange = false;   ///< AUTO annunciator
    bool rel = false;         ///< REL annunciator
    bool hold = false;        ///< HOLD annunciator
    bool barOn = false;       ///< bar graph shown (byte 11 applies)
    bool barNegative = false; ///< bar-graph minus sign
    int barLevel = 0;         ///< bar length 0–127
    bool max = false;         ///< the meter's own MAX annunciator
    bool min = false;         ///< the meter's own MIN annunciator
    bool apo = false;         ///< auto power-off annunciator
    bool bat = false;         ///< low battery annunciator
};

/// A frame turned into plain data; `valid` false means "no reading".
struct DecodedFrame
{
    bool valid = false;
    int funcIndex = 0;
    QString funcStr;
    int subRange = 0;
    int rangeIndex = 0;
    double value = 0.0;
    QString valueStr;
    QString unitStr;
    int decimals = 0;
    bool overload = false;
    bool negative = false;
    PanelBits panel;
};

/// Decodes one 14-byte frame. Pure: no clock, no locale, no side effects.
///
/// A frame is valid only when it holds at least 14 bytes, byte 5 is a space,
/// byte 12 a carriage return and bytes 1–4 four ASCII digits or the overload
/// pattern "?0:?"; anything else (line noise, a short array) gives
/// `valid == false` and every other field at its default. The status bits,
/// the decimals and the count are never held against each other: whatever
/// they combine to decodes by the selection rules, any count 0–9999 in any
/// range. Byte 13 and any bytes past it are not examined. For a valid frame
/// every field is set, `panel` included (`barNegative` and `barLevel` are
/// copied from byte 11 whether or not the bar graph is on; the panel applies
/// them only when `barOn` is set).
DecodedFrame decodeMeterFrame(const QByteArray &frame);

/// The validity test of decodeMeterFrame() on the first 14 bytes at `frame`:
/// byte 5 a space, byte 12 a carriage return, bytes 1–4 four ASCII digits or
/// the overload pattern.
bool hasFrameShape(const char *frame);

/// Copies the decoded fields into a reading and stamps it with `time`.
void fillReading(const DecodedFrame &frame, const QDateTime &time, MeterReading &reading);

/// The meter's overload pattern for a number of decimals 0–3: " OL ", " OL. ",
/// " O.L ", " .OL "; other counts are treated as 0 decimals.
QString overloadText(int decimals);

/// The overload pattern with its sign in front: "+ OL ", "- O.L " and so on.
QString signedOverloadText(bool negative, int decimals);

/// The value text a reading is recorded and tabulated with: the signed
/// overload pattern for an overload, otherwise `valueStr`.
QString recordedValueText(const MeterReading &reading);
