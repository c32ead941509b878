#include "capture/capture_log.h"

#include <algorithm>

#include "capture/capture_file.h"
#include "capture/combined_log.h"
#include "relay/channel.h"
#include "relay/relay.h"

namespace {

constexpr int kCombined = 3;
constexpr int kFrames = 4;
constexpr int kPcap = 5;

// One direction's file: the bytes as handed over, stamp included, less those the CR/LF mode
// they were captured under removes: 0 keeps every byte, 2 removes every CR, any other value
// every LF. Byte by byte, without looking at pairs.
class DirectionFormat final : public CaptureFormat {
public:
    void format(const QueuedChunk& chunk, std::string& out) override {
        const char* bytes = reinterpret_cast<const char*>(chunk.bytes);
        if (chunk.tag == 0) {
            out.append(bytes, chunk.length);
            return;
        }
        const char removed = chunk.tag == 2 ? '\r' : '\n';
        std::copy_if(bytes, bytes + chunk.length, std::back_inserter(out), [removed](char c) { return c != removed; });
    }
};

std::unique_ptr<CaptureFormat> newDirectionFormat() { return std::make_unique<DirectionFormat>(); }

}  // namespace

// What gathers before the writer is woken rather than at its timed look: at full pty speed a few
// wake-ups a second instead of a hundred, and never more than a second's worth waits.
constexpr size_t kWriteOutSize = 262144;

CaptureLog::CaptureLog() : file(newDirectionFormat, kWriteOutSize) {}

Captures::Captures(Relay& relay) : appOptions(relay.appOptions) {}

CaptureLog& Captures::captureLog(int channel) { return captureLogs[channelSlot(channel)]; }
const CaptureLog& Captures::captureLog(int channel) const { return captureLogs[channelSlot(channel)]; }

int Captures::captureWriting(int self, const FileIdentity& file) const {
    for (int other = 1; other <= 2; ++other) {
        if (other != self && captureLogs[other - 1].file.writes(file)) return other;
    }
    if (self != kCombined && combinedCapture.writes(file)) return kCombined;
    if (self != kFrames && frameCapture.writes(file)) return kFrames;
    return self != kPcap && pcapCapture.writes(file) ? kPcap : 0;
}

int Captures::openCaptureLog(int channel, const std::string& fullPath, CaptureOpenFailure* failure,
                             CaptureOpenMode mode) {
    const int number = channelNumber(channel);
    CaptureLog& log = captureLog(number);
    CaptureFile& file = log.file;
    // One log per channel: the worker hands nothing more to the one still open.
    log.logEnabled.store(0, std::memory_order_release);
    CaptureOpenFailure refused;
    if (!file.open(fullPath, [this, number](const FileIdentity& f) { return captureWriting(number, f); }, refused,
                   mode)) {
        if (failure != nullptr) *failure = refused;
        return 0;
    }
    log.logName = file.name();
    // Last, so that the worker never sees an enabled log whose file is not yet open.
    log.logEnabled.store(1, std::memory_order_release);
    return 1;
}

int Captures::openCombinedCapture(const std::string& fullPath, CaptureOpenFailure* failure, CaptureOpenMode mode) {
    return openCombinedLog(combinedCapture, kCombined, fullPath, failure, mode);
}

int Captures::openFrameCapture(const std::string& fullPath, CaptureOpenFailure* failure, CaptureOpenMode mode) {
    return openCombinedLog(frameCapture, kFrames, fullPath, failure, mode);
}

int Captures::openPcapCapture(const std::string& fullPath, const PcapNaming& naming, CaptureOpenFailure* failure,
                              CaptureOpenMode mode) {
    pcapNaming_ = naming;
    return openCombinedLog(pcapCapture, kPcap, fullPath, failure, mode);
}

int Captures::openCombinedLog(CombinedLog& log, int which, const std::string& fullPath,
                              CaptureOpenFailure* failure, CaptureOpenMode mode) {
    CaptureOpenFailure refused;
    if (!log.open(fullPath, [this, which](const FileIdentity& f) { return captureWriting(which, f); }, refused, mode)) {
        if (failure != nullptr) *failure = refused;
        return 0;
    }
    return 1;
}

void Captures::writeCaptureLog(RelayChannel& channel, const uint8_t* block, int32_t length,
                               int32_t logStampLength) {
    if (block == nullptr || length <= 0) return;
    CaptureLog& log = captureLog(channel.number);
    if (log.logEnabled.load(std::memory_order_acquire) == 0) return;
    CaptureFile& file = log.file;
    const int32_t stamp = std::clamp(logStampLength, 0, length);
    const int32_t crlf = appOptions.CRLF.load(std::memory_order_relaxed);
    file.append(block, static_cast<size_t>(length), static_cast<uint32_t>(stamp), crlf, length - stamp);
    // A file that fell behind has ended the capture.
    if (!file.accepting()) log.logEnabled.store(0, std::memory_order_release);
}

void Captures::requestCaptureLogClose(int channel) {
    // At once: the worker hands no further block to this log, whatever its file is doing.
    captureLog(channel).logEnabled.store(0, std::memory_order_release);
    fileOf(channel).requestClose();
}

bool Captures::captureLogClosed(int channel) { return fileOf(channel).closed(); }

void Captures::closeCaptureLog(int channel) {
    captureLog(channel).logEnabled.store(0, std::memory_order_release);
    fileOf(channel).close();
}

std::vector<std::pair<int, CaptureFailure>> Captures::closeAllCaptureLogs() {
    // Every writer starts on its tail at once; then one second for all of them together.
    for (int channel = 1; channel <= 2; ++channel) requestCaptureLogClose(channel);
    combinedCapture.requestClose();
    frameCapture.requestClose();
    pcapCapture.requestClose();
    const int64_t deadline = CaptureFile::nowMs() + CaptureFile::kExitWaitMs;
    std::vector<std::pair<int, CaptureFailure>> lost;
    for (int which = 1; which <= kPcap; ++which) {
        CaptureFailure failure;
        if (which >= kCombined) {
            CombinedLog& log = which == kPcap ? pcapCapture : which == kFrames ? frameCapture : combinedCapture;
            log.closeBy(deadline);
            failure = log.takeFailure();
        } else {
            fileOf(which).closeBy(deadline);
            failure = takeCaptureFailure(which);
        }
        if (failure) lost.emplace_back(which, std::move(failure));
    }
    return lost;
}

void Captures::reopenAllCaptures() {
    // A capture that is closed or has ended takes no reopen.
    for (CaptureLog& log : captureLogs) log.file.reopen();
    combinedCapture.reopen();
    frameCapture.reopen();
    pcapCapture.reopen();
}

std::vector<std::pair<int, int>> Captures::takeReopenResults() {
    std::vector<std::pair<int, int>> results;
    for (int which = 1; which <= kPcap; ++which) {
        const std::optional<int> result = which == kPcap       ? pcapCapture.takeReopenResult()
                                          : which == kFrames   ? frameCapture.takeReopenResult()
                                          : which == kCombined ? combinedCapture.takeReopenResult()
                                                               : fileOf(which).takeReopenResult();
        if (result) results.emplace_back(which, *result);
    }
    return results;
}

CaptureFailure Captures::takeCaptureFailure(int channel) { return fileOf(channel).takeFailure(); }

int64_t Captures::captureByteCount(int channel) { return fileOf(channel).byteCount(); }

int64_t Captures::capturePeakQueued(int channel) { return fileOf(channel).peakQueued(); }
