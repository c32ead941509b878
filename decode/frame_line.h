// One frame as a line of text: what the frame view's copy and a frame log write, and what OPEN
// reads back. The combined capture's record line for the frame's bytes (the read time of its
// first byte, the gap since the frame before), two spaces, the verdict in brackets, a space and
// the summary; an answer's summary ends with its response time. A timeout is a line with no bytes:
//   2026-12-07 14:03:27.123456 +0.004211 1>2  8  11 03 00 6B 00 03 76 87  |...k..v.|  [ok] unit 17 Read Holding Registers 107..109
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "decode/transactions.h"

// Appends the row's line, with its line end, to `out`.
void appendFrameLine(std::string& out, const FrameRow& row);
// The same line from its parts, as the timeline holds a frame row: the read time of the frame's
// first byte, the gap since the frame before, the direction, the bytes, the verdict and the
// summary (an answer's with its response time).
void appendFrameLine(std::string& out, const std::tm& local, int32_t micros, int64_t gapMicros, int channel,
                     const uint8_t* bytes, size_t length, Verdict verdict, std::string_view summary);
