#include "capture/capture_sinks.h"

#include "capture/capture_log.h"
#include "relay/relay_channel.h"

bool CaptureLogSink::takesChunks() const {
    return captures_.captureLog(channel_.number).logEnabled.load(std::memory_order_acquire) == 1;
}

void CaptureLogSink::onChunk(const uint8_t* stamped, int32_t length, int32_t stampLength) {
    captures_.writeCaptureLog(channel_, stamped, length, stampLength);
}
