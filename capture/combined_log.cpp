#include "capture/combined_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "relay/channel.h"

namespace {

// Records gather to this size before the writer is woken; a chunk's record is at most ~4.2 KB.
constexpr size_t kWriteOutSize = 16384;

// The records of one file, made by its writer: the gap is kept from the record before.
class CombinedFormat final : public CaptureFormat {
public:
    void format(const QueuedChunk& chunk, std::string& out) override {
        // The gap comes from the monotonic clock, so a change of the wall clock cannot make it
        // negative.
        const int64_t gap = first_ || chunk.monotonicMicros < lastMonotonic_ ? 0 : chunk.monotonicMicros - lastMonotonic_;
        first_ = false;
        lastMonotonic_ = chunk.monotonicMicros;
        const std::time_t second = static_cast<std::time_t>(chunk.wallMicros / 1000000);
        if (second != cachedSecond_) {
            localtime_r(&second, &cachedLocal_);
            cachedSecond_ = second;
        }
        appendCombinedRecord(out, cachedLocal_, static_cast<int32_t>(chunk.wallMicros % 1000000), gap,
                             chunk.tag, chunk.bytes + chunk.stampLength, chunk.length - chunk.stampLength);
    }
    bool wholeRecords() const override { return true; }

private:
    bool first_ = true;
    int64_t lastMonotonic_ = 0;
    std::time_t cachedSecond_ = -1;  // the wall second whose local time is in cachedLocal_
    std::tm cachedLocal_{};
};

}  // namespace

void appendCombinedRecord(std::string& out, const std::tm& local, int32_t micros,
                          int64_t gapMicros, int channel, const uint8_t* bytes, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    if (gapMicros < 0) gapMicros = 0;
    char head[128];
    const int headLength = std::snprintf(
        head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%06d +%" PRId64 ".%06" PRId64 " %s  %zu  ",
        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
        local.tm_sec, static_cast<int>(micros), gapMicros / 1000000, gapMicros % 1000000,
        channel == 2 ? "2>1" : "1>2", length);
    const size_t start = out.size();
    const size_t hexLength = length == 0 ? 0 : length * 3 - 1;
    out.resize(start + static_cast<size_t>(headLength) + hexLength + 3 + length + 2);
    char* p = out.data() + start;
    std::memcpy(p, head, static_cast<size_t>(headLength));
    p += headLength;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) *p++ = ' ';
        *p++ = kHex[bytes[i] >> 4];
        *p++ = kHex[bytes[i] & 0x0F];
    }
    *p++ = ' ';
    *p++ = ' ';
    *p++ = '|';
    for (size_t i = 0; i < length; ++i) {
        *p++ = bytes[i] >= 0x20 && bytes[i] <= 0x7E ? static_cast<char>(bytes[i]) : '.';
    }
    *p++ = '|';
    *p++ = '\n';
}

CombinedLog::CombinedLog()
    : file_([] { return std::unique_ptr<CaptureFormat>(std::make_unique<CombinedFormat>()); }, kWriteOutSize) {}

CombinedLog::~CombinedLog() { file_.closeAtExit(); }

void CombinedLog::write(int channel, const uint8_t* chunk, size_t length) {
    file_.append(chunk, length, 0, channelNumber(channel), static_cast<int64_t>(length), true);
}
