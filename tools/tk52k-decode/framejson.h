#pragma once

#include <string>

class QByteArray;
struct DecodedFrame;

/// Appends one decoded frame as a single-line JSON object, line feed
/// included. A valid frame lists its fields in a fixed order; an invalid one
/// is {"valid": false}. Both end with "raw", the frame's bytes in hex.
void appendFrameJson(std::string &out, const DecodedFrame &frame, const QByteArray &raw);
