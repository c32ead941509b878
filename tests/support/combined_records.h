// Reads a combined capture file back, for the tests and the benchmark that check one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

struct CombinedRecord {
    int64_t wallMicros;  // the read time, local, in microseconds since the epoch
    int64_t gapMicros;
    int channel;  // 1 for "1>2", 2 for "2>1"
    std::string bytes;
};

// Every record of the file, its bytes taken from the hex column. A line whose layout is off,
// whose hex and text columns disagree or whose count is wrong stops the reading: `error` says
// where, and the records before it are returned.
inline std::vector<CombinedRecord> parseCombinedRecords(const std::string& file, std::string& error) {
    std::vector<CombinedRecord> records;
    size_t at = 0;
    for (size_t line = 1; at < file.size(); ++line) {
        const size_t end = file.find('\n', at);
        const std::string text = file.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? file.size() : end + 1;
        auto fail = [&](const char* why) {
            error = "line " + std::to_string(line) + ": " + why + ": " + text.substr(0, 120);
            return records;
        };
        if (end == std::string::npos) return fail("no line end");
        std::tm local{};
        int micros = 0, from = 0, to = 0, headLength = 0;
        long long gapSeconds = 0, gapMicros = 0;
        size_t count = 0;
        if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%6d +%lld.%6lld %d>%d  %zu  %n",
                        &local.tm_year, &local.tm_mon, &local.tm_mday, &local.tm_hour, &local.tm_min,
                        &local.tm_sec, &micros, &gapSeconds, &gapMicros, &from, &to, &count,
                        &headLength) != 12 || headLength != 26 + 1 + static_cast<int>(
                            std::to_string(gapSeconds).size()) + 8 + 1 + 3 + 2 +
                            static_cast<int>(std::to_string(count).size()) + 2) {
            return fail("head");
        }
        if (!((from == 1 && to == 2) || (from == 2 && to == 1))) return fail("direction");
        if (count == 0 || text.size() != static_cast<size_t>(headLength) + count * 3 - 1 + 3 + count + 1)
            return fail("length");
        CombinedRecord record{};
        local.tm_year -= 1900;
        local.tm_mon -= 1;
        local.tm_isdst = -1;
        record.wallMicros = static_cast<int64_t>(std::mktime(&local)) * 1000000 + micros;
        record.gapMicros = gapSeconds * 1000000 + gapMicros;
        record.channel = from;
        const char* hex = text.c_str() + headLength;
        const char* shown = hex + count * 3 - 1 + 3;
        if (std::string(shown - 3, 3) != "  |" || text.back() != '|') return fail("columns");
        for (size_t i = 0; i < count; ++i) {
            unsigned value = 0;
            if ((i > 0 && hex[i * 3 - 1] != ' ') || std::sscanf(hex + i * 3, "%2X", &value) != 1 ||
                std::string(hex + i * 3, 2).find_first_not_of("0123456789ABCDEF") != std::string::npos)
                return fail("hex");
            const char expected = value >= 0x20 && value <= 0x7E ? static_cast<char>(value) : '.';
            if (shown[i] != expected) return fail("text column");
            record.bytes.push_back(static_cast<char>(value));
        }
        records.push_back(std::move(record));
    }
    return records;
}
