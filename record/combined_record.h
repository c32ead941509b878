// One record of the read-order timeline as text: the line a combined capture writes for each
// chunk, and the line a copy from the timeline window gives. One writer, so the two never differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// One record, with its line end, appended to `out`:
//   2026-12-07 14:03:27.123456 +0.004211 1>2  16  2A 49 44 ...  |*ID...|
// `local` and `micros` are the read time, `gapMicros` the time since the previous record (0 for
// the first), `channel` 1 (port 1 to port 2) or 2. Every byte appears in both columns: the hex
// as two upper-case digits, the text as itself when printable ASCII, else '.'.
void appendCombinedRecord(std::string& out, const std::tm& local, int32_t micros,
                          int64_t gapMicros, int channel, const uint8_t* bytes, size_t length);

// The printable-ASCII column's character for a byte.
constexpr char recordTextChar(uint8_t byte) { return byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.'; }
