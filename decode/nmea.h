// NMEA 0183 sentences: "$" or "!", the talker and sentence, fields, "*hh", CR LF.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/verdict.h"

// The checksum: every character between the start character and '*', exclusive-ored.
uint8_t nmeaChecksum(const uint8_t* bytes, size_t length);
// Reads one sentence, from its start character to its line end.
FrameReading readNmea(const uint8_t* bytes, size_t length);
