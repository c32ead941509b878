#include "capture/combined_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "relay/channel.h"

namespace {

// Chunks gather to this size before the writer is woken (else it looks once a second): a
// combined capture at full speed on both ports is woken ten times a second, not a hundred.
constexpr size_t kWriteOutSize = 262144;

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

CombinedLog::CombinedLog()
    : CombinedLog([] { return std::unique_ptr<CaptureFormat>(std::make_unique<CombinedFormat>()); }) {}

CombinedLog::CombinedLog(std::function<std::unique_ptr<CaptureFormat>()> newFormat)
    : file_(std::move(newFormat), kWriteOutSize) {}

CombinedLog::~CombinedLog() { file_.closeAtExit(); }

void CombinedLog::onRead(int channel, const uint8_t* chunk, size_t length, const ReadTime& time) {
    file_.append(chunk, length, 0, channelNumber(channel), static_cast<int64_t>(length), &time);
}
