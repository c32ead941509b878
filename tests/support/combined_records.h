// Reads a combined capture file back, for the tests and the benchmark that check one.
#pragma once

#include <cstdio>
#include <vector>

#include "capture/combined_log.h"

struct CombinedRecord {
    int64_t wallMicros;  // the read time, local, in microseconds since the epoch
    int64_t gapMicros;
    int channel;  // 1 for "1>2", 2 for "2>1"
    std::string bytes;
};

// Every record, its bytes from the hex column; a line that does not render back exactly (the format
// is the capture tests') ends the reading with the records before it, and `error` says where.
inline std::vector<CombinedRecord> parseCombinedRecords(const std::string& file, std::string& error) {
    std::vector<CombinedRecord> records;
    for (size_t at = 0, line = 1; at < file.size(); ++line) {
        const std::string text = file.substr(at, file.find('\n', at) + 1 - at);  // npos + 1: the rest
        at += text.size();
        std::tm local{};
        int micros = 0, hexAt = 0;
        long long gapSeconds = 0, gapMicros = 0;
        size_t count = 0;
        CombinedRecord r{};
        bool ok = std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%6d +%lld.%6lld %d>%*d  %zu  %n", &local.tm_year,
                              &local.tm_mon, &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec, &micros,
                              &gapSeconds, &gapMicros, &r.channel, &count, &hexAt) == 11 &&
                  hexAt > 0 && count > 0 && (r.channel == 1 || r.channel == 2) && count <= text.size() / 3;
        for (unsigned i = 0, value = 0; ok && i < count; r.bytes.push_back(static_cast<char>(value)), ++i)
            ok = std::sscanf(text.c_str() + hexAt + 3 * i, "%2X", &value) == 1;
        local.tm_year -= 1900, local.tm_mon -= 1;
        r.gapMicros = gapSeconds * 1000000 + gapMicros;
        std::string again;
        if (ok) appendCombinedRecord(again, local, micros, r.gapMicros, r.channel, reinterpret_cast<const uint8_t*>(r.bytes.data()), count);
        if (!ok || again != text) {
            error = "line " + std::to_string(line) + ": " + text.substr(0, 120);
            return records;
        }
        local.tm_isdst = -1;
        r.wallMicros = static_cast<int64_t>(std::mktime(&local)) * 1000000 + micros;
        records.push_back(std::move(r));
    }
    return records;
}
