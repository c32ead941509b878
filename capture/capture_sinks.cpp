#include "capture/capture_sinks.h"

#include <ctime>

#include "capture/capture_log.h"
#include "record/stamped_chunk.h"
#include "relay/local_time.h"
#include "relay/relay_channel.h"

bool CaptureLogSink::takesChunks() const {
    return captures_.captureLog(channel_.number).logEnabled.load(std::memory_order_acquire) == 1;
}

void CaptureLogSink::onChunk(const uint8_t* chunk, int32_t length, const ChunkStamp* stamp) {
    if (stamp == nullptr) {
        captures_.writeCaptureLog(channel_, chunk, length, 0);
        return;
    }
    if (length < 0) return;
    // The file's queue takes one block: the stamp, then the chunk as read.
    std::tm local{};
    localTimeOf(stamp->when, local);
    const StampedChunk stamped(local, stamp->afterText, chunk, length);
    captures_.writeCaptureLog(channel_, stamped.data(), stamped.length(), stamped.stampLength());
}
