#include "capture/capture_sinks.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "capture/capture_log.h"
#include "relay/local_time.h"
#include "relay/relay_channel.h"

namespace {

// A blank line pair, "YYYY/MM/DD hh:mm:ss" and its line end.
constexpr int kLongestStamp = 22;

// The stamp as the display shows it, so that a log reads as the window did.
int formatLogStamp(const ChunkStamp& stamp, char* out, size_t size) {
    std::tm local{};
    localTimeOf(stamp.when, local);
    const int length = std::snprintf(out, size, "%s%d/%02d/%02d %02d:%02d:%02d\n", stamp.afterText ? "\n\n" : "",
                                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                     local.tm_min, local.tm_sec);
    return std::clamp(length, 0, static_cast<int>(size) - 1);
}

}  // namespace

bool CaptureLogSink::takesChunks() const {
    return captures_.captureLog(channel_.number).logEnabled.load(std::memory_order_acquire) == 1;
}

void CaptureLogSink::onChunk(const uint8_t* chunk, int32_t length, const ChunkStamp* stamp) {
    if (stamp == nullptr) {
        captures_.writeCaptureLog(channel_, chunk, length, 0);
        return;
    }
    // The file's queue takes one block: the stamp, then the chunk as read.
    std::array<uint8_t, kLongestStamp + 1024> fixed;
    std::vector<uint8_t> larger;
    uint8_t* stamped = fixed.data();
    if (length < 0) return;
    if (static_cast<size_t>(length) + kLongestStamp > fixed.size()) {
        larger.resize(static_cast<size_t>(length) + kLongestStamp);
        stamped = larger.data();
    }
    char text[kLongestStamp + 1];
    const int stampLength = formatLogStamp(*stamp, text, sizeof text);
    std::memcpy(stamped, text, static_cast<size_t>(stampLength));
    std::memcpy(stamped + stampLength, chunk, static_cast<size_t>(length));
    captures_.writeCaptureLog(channel_, stamped, stampLength + length, stampLength);
}
