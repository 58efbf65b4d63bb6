#pragma once

#include <QByteArray>
#include <QString>

class QDateTime;
class TkDataDas;

/// Size of one meter frame on the wire, line feed included.
constexpr int kFrameSize = 14;

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

/// Decodes one 14-byte frame. A frame is valid only when byte 5 is a space
/// and bytes 1–4 are four ASCII digits or the overload pattern; anything else
/// (line noise, a short array) gives `valid == false`.
DecodedFrame decodeMeterFrame(const QByteArray &frame);

/// Copies the decoded fields into a reading and stamps it with `time`.
void fillReading(const DecodedFrame &frame, const QDateTime &time, TkDataDas &reading);

/// The meter's overload pattern for a number of decimals 0–3: " OL ", " OL. ",
/// " O.L ", " .OL ".
QString overloadText(int decimals);

/// The overload pattern with its sign in front: "+ OL ", "- O.L " and so on.
QString signedOverloadText(bool negative, int decimals);

/// The value text a reading is recorded and tabulated with: the signed
/// overload pattern for an overload, otherwise `valueStr`.
QString recordedValueText(const TkDataDas &reading);
