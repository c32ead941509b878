// The combined capture's record line, as the writer makes it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "record/combined_record.h"

using namespace std::string_literals;

namespace {

TEST(CombinedRecord, OneLinePerChunkWithTimeGapDirectionCountHexAndText) {
    const std::string longest(1024, 'A');
    std::string longestHex = "41";
    for (int i = 1; i < 1024; ++i) longestHex += " 41";
    std::string out = "kept";
    const auto append = [&out](const char* local, int32_t micros, int64_t gap, int channel, const std::string& bytes) {
        std::tm t{};
        std::sscanf(local, "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec);
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        appendCombinedRecord(out, t, micros, gap, channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    };
    append("2026-12-07 14:03:27", 123456, 4211, 1, "*IDN?\r\n\0\x1f ~\x7f\x80\xff|A"s);
    append("2027-01-01 00:00:00", 0, 0, 2, "\0"s);
    append("2026-12-31 23:59:59", 999999, 3723000001, 2, longest);
    EXPECT_EQ(out, "kept2026-12-07 14:03:27.123456 +0.004211 1>2  16  "
                   "2A 49 44 4E 3F 0D 0A 00 1F 20 7E 7F 80 FF 7C 41  |*IDN?.... ~...|A|\n"
                   "2027-01-01 00:00:00.000000 +0.000000 2>1  1  00  |.|\n"
                   "2026-12-31 23:59:59.999999 +3723.000001 2>1  1024  " + longestHex + "  |" + longest + "|\n");
}

}  // namespace
