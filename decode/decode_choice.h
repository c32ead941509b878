// What the user chose to see frames by: a protocol, a quiet gap or a delimiter, and for Modbus
// the master's side and how long a request may wait for its answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decode/framer.h"
#include "relay/line_settings.h"

struct DecodeChoice {
    FrameRule rule = FrameRule::ModbusRtu;
    int64_t gapMicros = 0;  // a gap the user set; 0: 3.5 characters of the source port's line
    std::vector<uint8_t> delimiter;
    int master = 0;  // 1 or 2; 0: found from who answers whom
    int64_t timeoutMicros = 1'000'000;
};

// "modbus-rtu", "modbus-ascii", "nmea", "gap:MS" (1 to 60000 ms) or "delim:HEX" (1 to 8 bytes as
// hex digit pairs, e.g. 0D0A); false when the text is none of them.
bool parseDecodeChoice(const std::string& text, DecodeChoice& choice);
// The choice back as that text.
std::string decodeChoiceText(const DecodeChoice& choice);
// The framing of one direction whose source port has this line.
FramingOptions framingFor(const DecodeChoice& choice, const LineSettings& line);
