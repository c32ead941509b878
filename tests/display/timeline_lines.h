// What the timeline tests share: a read handed to a live list as the read order hands it, every
// record a source holds, and a record as the combined capture's or the frame log's line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decode/frame_line.h"
#include "display/timeline_records.h"
#include "record/combined_record.h"

inline void takeRead(TimelineRecords& records, int channel, const std::string& bytes, int64_t wall,
                     int64_t monotonic) {
    records.onRead(channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ReadTime{wall, monotonic});
}

inline std::vector<TimelineRecord> readAll(const TimelineSource& source) {
    std::vector<TimelineRecord> out;
    source.read(source.extent().first, SIZE_MAX, out);
    return out;
}

inline std::string recordLine(const TimelineRecord& r) {
    std::string line;
    appendCombinedRecord(line, r.local, r.micros, r.gapMicros, r.channel,
                         reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size());
    return line;
}

inline std::string frameLine(const TimelineRecord& r) {
    std::string line;
    appendFrameLine(line, r.local, r.micros, r.gapMicros, r.channel, reinterpret_cast<const uint8_t*>(r.bytes.data()),
                    r.bytes.size(), r.verdict, r.summary);
    return line;
}
