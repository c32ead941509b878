#include "decode/frame_line.h"

#include "record/combined_record.h"
#include "relay/local_time.h"

void appendFrameLine(std::string& out, const FrameRow& row) {
    const int64_t micros = row.frame.firstMicros;
    std::time_t second = static_cast<std::time_t>(micros / 1'000'000 - (micros % 1'000'000 < 0 ? 1 : 0));
    const int32_t fraction = static_cast<int32_t>(micros - static_cast<int64_t>(second) * 1'000'000);
    std::tm local{};
    localTimeOf(second, local);
    appendFrameLine(out, local, fraction, row.gapMicros, row.frame.channel, row.frame.bytes.data(),
                    row.frame.bytes.size(), row.reading.verdict, row.line());
}

void appendFrameLine(std::string& out, const std::tm& local, int32_t micros, int64_t gapMicros, int channel,
                     const uint8_t* bytes, size_t length, Verdict verdict, std::string_view summary) {
    appendCombinedRecord(out, local, micros, gapMicros, channel, bytes, length);
    out.pop_back();  // the record's line end: the verdict and summary go on the same line
    out += "  ";
    out += verdictText(verdict);
    out += ' ';
    out += summary;
    out += '\n';
}
