// The record-line reader on any input: a line it reads is the line the writer writes for what it
// read (less one CR before the line end); and a record the writer writes from fields taken from
// the same input reads back to those fields, while a cut of its line does not read at all.
// Every line is read from a buffer of just its size, so that a read past it is caught.
#include <cstring>
#include <memory>

#include "display/timeline_file.h"
#include "record/combined_record.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool parseExact(const char* data, size_t size, TimelineRecord& record) {
    const std::unique_ptr<char[]> line(new char[size == 0 ? 1 : size]);
    if (size > 0) std::memcpy(line.get(), data, size);
    return parseTimelineRecord(line.get(), size, record);
}

std::string written(const TimelineRecord& r) {
    std::string line;
    appendCombinedRecord(line, r.local, r.micros, r.gapMicros, r.channel, reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size());
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    // A record reused from an earlier line, as the indexer and the window reuse theirs.
    static TimelineRecord record;
    if (parseExact(text, size, record)) {
        const size_t length = size > 0 && text[size - 1] == '\r' ? size - 1 : size;
        FUZZ_REQUIRE(written(record) == std::string(text, length) + "\n");
    }

    // The writer's line is exact in every field it writes, so a line that reads back to the same
    // line read back to the same fields.
    FuzzedDataProvider in(data, size);
    TimelineRecord want;
    std::tm& t = want.local;
    t.tm_year = in.ConsumeIntegralInRange(0, 9999) - 1900, t.tm_mon = in.ConsumeIntegralInRange(0, 11);
    t.tm_mday = in.ConsumeIntegralInRange(1, 31), t.tm_hour = in.ConsumeIntegralInRange(0, 23);
    t.tm_min = in.ConsumeIntegralInRange(0, 59), t.tm_sec = in.ConsumeIntegralInRange(0, 60);
    want.micros = in.ConsumeIntegralInRange(0, 999999);
    want.gapMicros = in.ConsumeIntegralInRange<int64_t>(0, INT64_MAX);
    want.channel = in.ConsumeBool() ? 2 : 1;
    const size_t cut = in.ConsumeIntegral<size_t>();
    want.bytes = in.ConsumeRemainingBytesAsString();
    if (want.bytes.empty()) return 0;
    const std::string line = written(want);
    TimelineRecord got;
    FUZZ_REQUIRE(parseExact(line.data(), line.size() - 1, got) && written(got) == line);
    FUZZ_REQUIRE(!parseExact(line.data(), cut % (line.size() - 1), got));
    return 0;
}
