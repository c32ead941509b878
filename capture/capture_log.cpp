#include "capture/capture_log.h"

#include <algorithm>
#include <cstdio>

#include "capture/capture_file.h"
#include "capture/combined_log.h"
#include "relay/relay.h"

namespace {

// The largest block a worker hands over: channel 2's read limit and the longest stamp.
constexpr int32_t kLargestBlock = 1024 + 22;
int channelNumber(int channel) { return channel == 2 ? 2 : 1; }

}  // namespace

Captures::Captures(Relay& relay) : relay_(relay), appOptions(relay.appOptions) {}

CaptureFile& Captures::fileOf(int channel) { return captureFiles[channelNumber(channel) - 1]; }
RelayChannel& Captures::relayChannel(int number) { return relay_.relayChannel(number); }

int Captures::openCaptureLog(int channel, const std::string& fullPath, std::string* failure) {
    RelayChannel& relay = relayChannel(channelNumber(channel));
    CaptureFile& file = fileOf(channel);
    // One log per channel: the worker hands nothing more to the one still open.
    relay.logEnabled.store(0, std::memory_order_release);
    if (const int error = file.open(fullPath); error != 0) {
        if (failure != nullptr) *failure = captureOpenReason(error, fullPath);
        return 0;
    }
    relay.logName = file.name();
    // Last, so that the worker never sees an enabled log whose file is not yet open.
    relay.logEnabled.store(1, std::memory_order_release);
    return 1;
}

void Captures::writeCaptureLog(RelayChannel& channel, const uint8_t* block, int32_t length,
                               int32_t logStampLength) {
    if (block == nullptr || length <= 0) return;
    if (channel.logEnabled.load(std::memory_order_acquire) == 0) return;
    CaptureFile& file = fileOf(channel.number);

    // 0 keeps every byte; 2 removes every CR; any other value removes every LF. Byte by byte,
    // stamp included, without looking at pairs.
    const int32_t crlf = appOptions.CRLF.load(std::memory_order_relaxed);
    const int removed = crlf == 0 ? -1 : (crlf == 2 ? '\r' : '\n');
    uint8_t converted[kLargestBlock];
    const int64_t counted = length - std::clamp(logStampLength, 0, length);

    // A block longer than the largest a worker reads is taken in pieces of that size, so the
    // fixed buffer is never overrun whatever the caller passes. The last piece carries the
    // count, so that the counter never runs ahead of the bytes.
    for (int32_t done = 0; done < length;) {
        const int32_t piece = std::min(length - done, kLargestBlock);
        const uint8_t* out = block + done;
        size_t outLength = static_cast<size_t>(piece);
        if (removed >= 0) {
            outLength = 0;
            for (int32_t i = 0; i < piece; ++i) {
                if (out[i] != removed) converted[outLength++] = out[i];
            }
            out = converted;
        }
        done += piece;
        file.append(out, outLength, done == length ? counted : 0);
    }
    // A file that refused bytes has ended the capture.
    if (!file.accepting()) channel.logEnabled.store(0, std::memory_order_release);
}

void Captures::requestCaptureLogClose(int channel) {
    // At once: the worker hands no further block to this log, whatever its file is doing.
    relayChannel(channelNumber(channel)).logEnabled.store(0, std::memory_order_release);
    fileOf(channel).requestClose();
}

bool Captures::captureLogClosed(int channel) { return fileOf(channel).closed(); }

void Captures::closeCaptureLog(int channel) {
    relayChannel(channelNumber(channel)).logEnabled.store(0, std::memory_order_release);
    fileOf(channel).close();
}

int Captures::closeAllCaptureLogs() {
    int lost = 0;
    for (int channel = 1; channel <= 2; ++channel) {
        relayChannel(channel).logEnabled.store(0, std::memory_order_release);
        fileOf(channel).closeAtExit();
        const std::string failure = takeCaptureFailure(channel);
        if (!failure.empty()) {
            std::fprintf(stderr, "Vorlinex: %s\n", failure.c_str());
            ++lost;
        }
    }
    combinedCapture.closeAtExit();
    if (const std::string failure = combinedCapture.takeFailure(); !failure.empty()) {
        std::fprintf(stderr, "Vorlinex: %s\n", failure.c_str());
        ++lost;
    }
    return lost;
}

std::string Captures::takeCaptureFailure(int channel) { return fileOf(channel).takeFailure(); }

int64_t Captures::captureByteCount(int channel) { return fileOf(channel).byteCount(); }
