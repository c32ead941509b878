// The record-line reader on any input: a line it reads (a record line or a frame line) is what the writer writes for
// it (less one CR before its end), and so is each one-character change of it that still reads, while no prefix of it
// reads but a frame line's record or its summary cut short (whole records written and read back are the timeline
// source test's). Each line is read from a buffer of just its size, for the sanitizers.
#include <vector>

#include "decode/frame_line.h"
#include "display/timeline_file.h"
#include "record/combined_record.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool parseExact(const char* data, size_t size, TimelineRecord& record) {
    const std::vector<char> line(data, data + size);  // a buffer of just its size
    return parseTimelineRecord(line.data(), size, record);
}

std::string written(const TimelineRecord& r) {
    std::string line;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(r.bytes.data());
    if (r.frame) {
        appendFrameLine(line, r.local, r.micros, r.gapMicros, r.channel, bytes, r.bytes.size(), r.verdict, r.summary);
    } else {
        appendCombinedRecord(line, r.local, r.micros, r.gapMicros, r.channel, bytes, r.bytes.size());
    }
    return line;
}

// Read, `line` is what the writer writes, and its fields are ones the writer can be given.
bool readsAsWritten(const std::string& line, TimelineRecord& record) {
    if (!parseExact(line.data(), line.size(), record)) return false;
    const std::tm& t = record.local;
    FUZZ_REQUIRE(written(record) == line.substr(0, line.size() - (!line.empty() && line.back() == '\r')) + "\n");
    FUZZ_REQUIRE(t.tm_mon >= 0 && t.tm_mon <= 11 && t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_hour >= 0 && t.tm_hour <= 23);
    FUZZ_REQUIRE(t.tm_min >= 0 && t.tm_min <= 59 && t.tm_sec >= 0 && t.tm_sec <= 60);
    // Only a timeout has no bytes.
    FUZZ_REQUIRE(record.bytes.empty() == (record.frame && record.verdict == Verdict::Timeout));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // A record reused from an earlier line, as the indexer and the window reuse theirs.
    static TimelineRecord record;
    TimelineRecord other;
    if (readsAsWritten(text, record) && size < 400) {
        const size_t length = text.back() == '\r' ? size - 1 : size;
        for (size_t at = 0; at < length; ++at) {
            if (parseExact(text.data(), at, other)) {
                FUZZ_REQUIRE(record.frame && other.bytes == record.bytes);
                FUZZ_REQUIRE(!other.frame || (other.verdict == record.verdict &&
                                              record.summary.compare(0, other.summary.size(), other.summary) == 0));
            }
            for (char c : std::string("0129AFaf .:+-|>\r\n\x80")) {
                std::string changed = text.substr(0, length);
                changed[at] = c;
                readsAsWritten(changed, other);
            }
        }
    }

    return 0;
}
