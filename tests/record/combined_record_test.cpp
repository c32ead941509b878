// The combined capture's record line: time, gap, direction, count, hex and text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <tuple>

#include "record/combined_record.h"

using namespace std::string_literals;

namespace {

TEST(CombinedRecord, OneLinePerChunkWithTimeGapDirectionCountHexAndText) {
    const std::string longest(1024, 'A');
    std::string longestHex = "41";
    for (int i = 1; i < 1024; ++i) longestHex += " 41";
    const std::tuple<const char*, int32_t, int64_t, int, std::string, std::string> cases[] = {
        {"2026-12-07 14:03:27", 123456, 4211, 1, "*IDN?\r\n\0\x1f ~\x7f\x80\xff|A"s,
         "2026-12-07 14:03:27.123456 +0.004211 1>2  16  2A 49 44 4E 3F 0D 0A 00 1F 20 7E 7F 80 FF 7C 41"
         "  |*IDN?.... ~...|A|\n"},
        {"2027-01-01 00:00:00", 0, 0, 2, "\0"s, "2027-01-01 00:00:00.000000 +0.000000 2>1  1  00  |.|\n"},
        // The clock set back: the gap is none, never a negative one.
        {"2027-01-01 00:00:00", 0, -5000000, 1, "A", "2027-01-01 00:00:00.000000 +0.000000 1>2  1  41  |A|\n"},
        {"2026-12-31 23:59:59", 999999, 3723000001, 2, longest,
         "2026-12-31 23:59:59.999999 +3723.000001 2>1  1024  " + longestHex + "  |" + longest + "|\n"},
    };
    for (const auto& [local, micros, gapMicros, channel, bytes, line] : cases) {
        std::tm t{};
        std::sscanf(local, "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec);
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        std::string out = "kept";
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        appendCombinedRecord(out, t, micros, gapMicros, channel, data, bytes.size());
        EXPECT_EQ(out, "kept" + line);
    }
}

}  // namespace
