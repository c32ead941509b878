#include "capture/capture_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "capture/combined_log.h"
#include "relay/app_options.h"
#include "relay/relay_channel.h"

namespace {

// The largest block a worker hands over: channel 2's read limit and the longest stamp.
constexpr int32_t kLargestBlock = 1024 + 22;
// The stream's buffer, ours rather than the library's so that its size is known: a block that
// would not fit is preceded by an explicit flush, and every flush is one we account for.
constexpr size_t kStreamBufferSize = 16384;
constexpr int64_t kFlushIntervalMs = 1000;

// What the capture keeps per channel beside the channel's own log fields. Everything but the
// atomics and the failure report is guarded by the channel's logLock.
struct CaptureState {
    std::string fullPath;
    size_t buffered = 0;     // bytes in the stream buffer since the last flush
    int64_t committed = 0;   // the counter as it stood at the last successful flush
    std::atomic<int64_t> count{0};
    char streamBuffer[kStreamBufferSize];

    std::atomic<int32_t> failed{0};
    std::mutex failureLock;  // never held around file work
    std::string failure;

    // The capture's own thread: the timed flush and the final flush and close, so that no
    // file work is ever done on the UI thread, which must not wait for a slow file system or a
    // pipe whose reader has stalled. Started by the open; the thread object is the UI thread's.
    std::thread flusher;
    std::mutex wakeLock;
    std::condition_variable wake;
    bool closeRequested = false;          // under wakeLock
    std::atomic<bool> closed{true};       // the file is closed and the flusher has ended
};

CaptureState captureStates[2];

int channelNumber(int channel) { return channel == 2 ? 2 : 1; }
CaptureState& stateOf(int channel) { return captureStates[channelNumber(channel) - 1]; }

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string systemReason(int error) {
    char text[256];
    // The GNU form: returns the text, which may or may not live in the buffer.
    return strerror_r(error, text, sizeof text);
}

void setCounter(CaptureState& state, int64_t value) {
    state.count.store(value, std::memory_order_relaxed);
}

// Ends the capture after the file refused bytes (under logLock): the counter falls back to what
// the last good flush wrote, the file is closed, and the report waits for the log window,
// which runs on the UI thread. The caller may be the worker, which must not show a box.
void failCapture(RelayChannel& channel, CaptureState& state, int error) {
    channel.logEnabled.store(0, std::memory_order_release);
    if (channel.logFile != nullptr) {
        std::fclose(channel.logFile);  // tries the buffer once more; its result adds nothing
        channel.logFile = nullptr;
    }
    state.buffered = 0;
    setCounter(state, state.committed);
    std::string report = "File Write Error。\n" + state.fullPath + "\n" +
                         systemReason(error != 0 ? error : EIO) + "\nThe capture has been closed.";
    {
        std::lock_guard<std::mutex> hold(state.failureLock);
        state.failure = std::move(report);
    }
    state.failed.store(1, std::memory_order_release);
}

// Under logLock, with the file open. false when the flush failed and ended the capture.
bool flushLog(RelayChannel& channel, CaptureState& state) {
    if (std::fflush(channel.logFile) != 0) {
        failCapture(channel, state, errno);
        return false;
    }
    state.buffered = 0;
    state.committed = state.count.load(std::memory_order_relaxed);
    channel.logLastFlushMs = nowMs();
    return true;
}

// Under logLock: flushes and closes the open file of the channel; false when bytes were lost.
bool closeLog(RelayChannel& channel, CaptureState& state) {
    channel.logEnabled.store(0, std::memory_order_release);
    if (channel.logFile == nullptr) return true;
    if (!flushLog(channel, state)) return false;
    const int closed = std::fclose(channel.logFile);
    const int error = errno;
    channel.logFile = nullptr;
    if (closed != 0) {
        // Some file systems report a failed write only at close.
        failCapture(channel, state, error);
        return false;
    }
    return true;
}

// Opens the capture's file for writing without ever waiting: a FIFO that nobody reads is
// refused at once (ENXIO) instead of holding the caller until a reader comes, and a terminal
// does not wait for its carrier. Only a regular file is emptied; a FIFO or a device is written
// as it is. Writes then block as usual, on the worker. null with the reason on failure.
std::FILE* openForCapture(const std::string& fullPath, std::string& failure) {
    const int fd = ::open(fullPath.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        failure = systemReason(error);
        if (error == ENXIO && ::stat(fullPath.c_str(), &info) == 0 && S_ISFIFO(info.st_mode))
            failure += " (no program is reading from this pipe)";
        return nullptr;
    }
    struct stat info {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) ||
        flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        failure = systemReason(errno);
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        failure = systemReason(errno);
        ::close(fd);
    }
    return file;
}

// The flusher's body: every second, writes out what the worker left in the buffer; on a close
// request, flushes and closes the file. Taking logLock may wait for a worker in a slow write,
// which is why this is not the UI thread.
void runFlusher(RelayChannel& relay, CaptureState& state) {
    for (;;) {
        bool closing;
        {
            std::unique_lock<std::mutex> hold(state.wakeLock);
            state.wake.wait_for(hold, std::chrono::milliseconds(kFlushIntervalMs),
                                [&] { return state.closeRequested; });
            closing = state.closeRequested;
        }
        std::lock_guard<std::mutex> hold(relay.logLock);
        if (closing) {
            closeLog(relay, state);
            break;
        }
        if (relay.logFile == nullptr) break;  // a failed write has ended the capture
        if (state.buffered != 0 && nowMs() - relay.logLastFlushMs >= kFlushIntervalMs) {
            flushLog(relay, state);
        }
    }
    state.closed.store(true, std::memory_order_release);
}

}  // namespace

int openCaptureLog(int channel, const std::string& fullPath, std::string* failure) {
    RelayChannel& relay = relayChannel(channelNumber(channel));
    CaptureState& state = stateOf(channel);
    // One log per channel: a log still open is finished before the new file is opened, so no
    // stream is leaked and its bytes cannot land in the new file.
    closeCaptureLog(channel);
    std::string reason;
    std::FILE* file = openForCapture(fullPath, reason);
    if (file == nullptr) {
        if (failure != nullptr) *failure = std::move(reason);
        return 0;
    }

    std::lock_guard<std::mutex> hold(relay.logLock);
    std::setvbuf(file, state.streamBuffer, _IOFBF, kStreamBufferSize);
    relay.logFile = file;
    state.fullPath = fullPath;
    state.buffered = 0;
    state.committed = 0;
    setCounter(state, 0);
    relay.logLastFlushMs = nowMs();
    const size_t slash = fullPath.find_last_of('/');
    relay.logName = slash == std::string::npos ? fullPath : fullPath.substr(slash + 1);
    {
        // A report of an earlier capture that nobody took must not end this one.
        std::lock_guard<std::mutex> holdFailure(state.failureLock);
        state.failure.clear();
    }
    state.failed.store(0, std::memory_order_relaxed);
    state.closeRequested = false;  // the previous flusher has been joined
    state.closed.store(false, std::memory_order_relaxed);
    state.flusher = std::thread(runFlusher, std::ref(relay), std::ref(state));
    // Last, so that the worker never sees an enabled log whose fields are not yet set.
    relay.logEnabled.store(1, std::memory_order_release);
    return 1;
}

void writeCaptureLog(RelayChannel& channel, const uint8_t* block, int32_t length,
                     int32_t logStampLength) {
    if (block == nullptr || length <= 0) return;
    CaptureState& state = stateOf(channel.number);
    std::lock_guard<std::mutex> hold(channel.logLock);
    if (channel.logEnabled.load(std::memory_order_acquire) == 0 || channel.logFile == nullptr) {
        return;
    }

    // 0 keeps every byte; 2 removes every CR; any other value removes every LF. Byte by byte,
    // stamp included, without looking at pairs.
    const int32_t crlf = appOptions.CRLF.load(std::memory_order_relaxed);
    const int removed = crlf == 0 ? -1 : (crlf == 2 ? '\r' : '\n');
    uint8_t converted[kLargestBlock];

    // A block longer than the largest a worker reads is taken in pieces of that size, so the
    // fixed buffer is never overrun whatever the caller passes.
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
        if (outLength == 0) continue;
        if (state.buffered + outLength > kStreamBufferSize && !flushLog(channel, state)) return;
        if (std::fwrite(out, 1, outLength, channel.logFile) != outLength) {
            failCapture(channel, state, errno);
            return;
        }
        state.buffered += outLength;
    }

    const int32_t stamp = std::clamp(logStampLength, 0, length);
    setCounter(state, state.count.load(std::memory_order_relaxed) + (length - stamp));
    if (nowMs() - channel.logLastFlushMs >= kFlushIntervalMs) flushLog(channel, state);
}

void requestCaptureLogClose(int channel) {
    RelayChannel& relay = relayChannel(channelNumber(channel));
    CaptureState& state = stateOf(channel);
    // At once: the worker hands no further block to this log, whatever the flusher is doing.
    relay.logEnabled.store(0, std::memory_order_release);
    {
        std::lock_guard<std::mutex> hold(state.wakeLock);
        state.closeRequested = true;
    }
    state.wake.notify_all();
}

bool captureLogClosed(int channel) {
    return stateOf(channel).closed.load(std::memory_order_acquire);
}

void closeCaptureLog(int channel) {
    requestCaptureLogClose(channel);
    CaptureState& state = stateOf(channel);
    if (state.flusher.joinable()) state.flusher.join();
}

int closeAllCaptureLogs() {
    int lost = 0;
    for (int channel = 1; channel <= 2; ++channel) {
        closeCaptureLog(channel);
        const std::string failure = takeCaptureFailure(channel);
        if (!failure.empty()) {
            std::fprintf(stderr, "Vorlinex: %s\n", failure.c_str());
            ++lost;
        }
    }
    combinedCapture.close();
    if (const std::string failure = combinedCapture.takeFailure(); !failure.empty()) {
        std::fprintf(stderr, "Vorlinex: %s\n", failure.c_str());
        ++lost;
    }
    return lost;
}

std::string takeCaptureFailure(int channel) {
    CaptureState& state = stateOf(channel);
    if (state.failed.exchange(0, std::memory_order_acquire) == 0) return {};
    std::lock_guard<std::mutex> hold(state.failureLock);
    std::string report = std::move(state.failure);
    state.failure.clear();
    return report;
}

int64_t captureByteCount(int channel) {
    return stateOf(channel).count.load(std::memory_order_relaxed);
}
