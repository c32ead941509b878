// Reads a combined capture file back, for the tests and the benchmark that check one.
#pragma once

#include <cstdio>
#include <vector>

#include "capture/combined_log.h"
#include "display/timeline_file.h"

struct CombinedRecord {
    int64_t wallMicros;  // the read time, local, in microseconds since the epoch
    int64_t gapMicros;
    int channel;  // 1 for "1>2", 2 for "2>1"
    std::string bytes;
};

// Every record, read by the program's own record-line reader; a line that does not render back exactly (no CR
// before its line end either: the capture writes none) ends the reading, and `error` says where.
inline std::vector<CombinedRecord> parseCombinedRecords(const std::string& file, std::string& error) {
    std::vector<CombinedRecord> records;
    TimelineRecord record;
    for (size_t at = 0, line = 1; at < file.size(); ++line) {
        const std::string text = file.substr(at, file.find('\n', at) + 1 - at);  // npos + 1: the rest
        at += text.size();
        std::string again;
        const bool ok = text.ends_with('\n') && parseTimelineRecord(text.data(), text.size() - 1, record);
        if (ok) appendCombinedRecord(again, record.local, record.micros, record.gapMicros, record.channel,
                                     reinterpret_cast<const uint8_t*>(record.bytes.data()), record.bytes.size());
        if (!ok || again != text) {
            error = "line " + std::to_string(line) + ": " + text.substr(0, 120);
            return records;
        }
        std::tm local = record.local;
        local.tm_isdst = -1;
        records.push_back(CombinedRecord{static_cast<int64_t>(std::mktime(&local)) * 1000000 + record.micros,
                                         record.gapMicros, record.channel, std::move(record.bytes)});
    }
    return records;
}
