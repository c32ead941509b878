#include "relay/relay_channel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <system_error>
#include <vector>

#include "relay/local_time.h"
#include "relay/port_io.h"
#include "relay/worker_wait.h"

namespace {

constexpr int kInputWaitMs = 100;
constexpr int kHoldStepMs = 100;
constexpr int kOutputWaitMs = 1000;
constexpr int kSuspendLookMs = 10;
constexpr int kWindowLookMs = 1;
constexpr int kLongestStamp = 22;

// The count is reset only by a rate update, which RATE 0 or below never makes and a huge RATE
// makes rarely: it stops at the largest value rather than wrap to a negative figure or to 0,
// which would blank the arrows while bytes flow. One exchange, so the meter's reset is kept.
void addRateBytes(RelayChannel& channel, int32_t length) {
    std::atomic<int32_t>& count = channel.rateByteCount;
    int32_t value = count.load(std::memory_order_relaxed);
    while (!count.compare_exchange_weak(value, value > INT32_MAX - length ? INT32_MAX : value + length,
                                        std::memory_order_relaxed)) {
    }
    if (value == 0 && channel.trafficResumed) channel.trafficResumed();
}

bool stopAsked(const RelayChannel& channel) {
    return channel.stopRequested.load(std::memory_order_acquire) == 1;
}

void drainWakeUps(RelayChannel& channel) { clearWake(channel.wake); }

// Sleeps up to timeoutMs, or less when the worker is asked to stop.
void waitForStopRequest(RelayChannel& channel, int timeoutMs) { sleepUnlessWoken(channel.wake, timeoutMs); }

// A worker whose source is gone has nothing to read until the owner reopens the port, which
// begins with a stop request: it waits for that alone, without a timeout.
void waitUntilStopAsked(RelayChannel& channel) {
    while (!stopAsked(channel)) {
        sleepUnlessWoken(channel.wake, -1);
        if (!stopAsked(channel)) drainWakeUps(channel);
    }
}

void countUndelivered(RelayChannel& channel, size_t count) {
    channel.undeliveredBytes.fetch_add(static_cast<int64_t>(count), std::memory_order_relaxed);
}

// Holding the left button in the display's text stops this direction, so that the user can
// read or select while nothing new arrives; the bytes wait in the source's input queue.
void pauseWhileHeld(RelayChannel& channel) {
    while (channel.displayMouseHeld.load(std::memory_order_relaxed) == 1 &&
           channel.context.leftMouseButtonDown.load(std::memory_order_relaxed) != 0 && !stopAsked(channel)) {
        waitForStopRequest(channel, kHoldStepMs);
    }
}

// How long the destination needs to send what it still holds, as a step of the output wait.
int drainStepMs(const SerialPort& destination, PortHandle handle, int queued) {
    const uint32_t baud = portLineRate(destination, handle);
    if (baud == 0) return kOutputWaitMs;
    const uint64_t ms = static_cast<uint64_t>(queued) * 10 * 1000 / baud + 1;
    return static_cast<int>(std::min<uint64_t>(ms, kOutputWaitMs));
}

// Sends every byte of the chunk to the destination, in order, or stops early when the
// destination is gone (not open, unplugged, refusing). A stop request does not cut a chunk
// that the destination still takes: the bytes were read from the source already and exist
// nowhere else. When the destination would make a stopping worker wait, the rest is kept for
// the channel's next worker.
void relayChunk(RelayChannel& channel, const uint8_t* chunk, size_t length) {
    SerialPort& destination = channel.destination;
    size_t offset = 0;
    while (offset < length) {
        const PortHandle fd = destination.handle.load(std::memory_order_acquire);
        // Not open, or its device is gone: nothing can be sent, the rest of the chunk is counted
        // as not delivered. A lost device is not written again, so the owner may close it.
        if (fd < 0 || destination.presence.load(std::memory_order_acquire) != PortPresent) {
            countUndelivered(channel, length - offset);
            return;
        }
        const bool stopping = stopAsked(channel);
        const bool network = portIsNetwork(destination);

        // No write to a device starts while it still holds bytes of an earlier write. The
        // writable signal comes long before the queue is empty, so the wait is a sleep sized
        // to what is queued. A network port keeps a window in flight instead: its write takes
        // what fits and refuses while the window is full.
        if (!stopping && !network) {
            const int queued = portOutputQueued(destination, fd);
            if (queued > 0) {
                waitForStopRequest(channel, drainStepMs(destination, fd, queued));
                continue;
            }
        }

        const ssize_t written = portWrite(destination, fd, chunk + offset, length - offset, channel.wake);
        if (written > 0) {
            offset += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (stopping && (written == 0 || (written < 0 && errno == EAGAIN))) {
            channel.unsentRest.assign(chunk + offset, chunk + length);
            return;
        }
        if (written < 0 && errno == EAGAIN) {
            // Full (flow control holds it back, or the far end does not read): wait for room,
            // in steps, without counting anything as sent.
            if (network && portHeldOutput(destination) == 0) {
                // Nothing held back, so the socket has room: the window in flight is full, and
                // drains as the peer acknowledges, which no wait is told of; or the server asked
                // to suspend sending, and its resume comes on the reading worker. Look again
                // shortly.
                const bool paused = destination.network && destination.network->sendingPaused();
                waitForStopRequest(channel, paused ? kSuspendLookMs : kWindowLookMs);
                continue;
            }
            const int events = waitForRoom(destination, fd, channel.wake, kOutputWaitMs);
            if (events > 0 && (events & (WaitError | WaitHangUp))) {
                // The next write tells whether the device is really gone; wait a step first so
                // that a device that keeps signalling cannot make this loop spin.
                waitForStopRequest(channel, kInputWaitMs);
            }
            continue;
        }
        if (written == 0) {
            waitForStopRequest(channel, kInputWaitMs);
            continue;
        }
        // Failed outright: the rest of the chunk cannot be delivered; an unplugged device (any
        // failed connection) is left to the owner to close and reopen.
        if (written < 0 && (network || deviceGoneError(errno)) && markPortLost(destination) && channel.portLost)
            channel.portLost();
        countUndelivered(channel, length - offset);
        return;
    }
    // A network port keeps what its socket did not take of the last write: it is sent on now,
    // not left waiting for a next chunk that may never come.
    while (portHeldOutput(destination) > 0 && !stopAsked(channel) &&
           destination.presence.load(std::memory_order_acquire) == PortPresent) {
        const PortHandle fd = destination.handle.load(std::memory_order_acquire);
        if (fd < 0) break;
        waitForRoom(destination, fd, channel.wake, kOutputWaitMs);
        portFlushHeld(destination);
        if (destination.network && destination.network->lost()) {
            if (markPortLost(destination) && channel.portLost) channel.portLost();
            break;
        }
    }
}

}  // namespace

int formatTimeStamp(const RelayChannel& channel, char* out, size_t size) {
    const bool displayHoldsText = channel.displaySink != nullptr && channel.displaySink->holdsText();

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localTimeOf(now, local);
    const int length = std::snprintf(out, size, "%s%d/%02d/%02d %02d:%02d:%02d\n",
                                     displayHoldsText ? "\n\n" : "", local.tm_year + 1900,
                                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                     local.tm_sec);
    return std::clamp(length, 0, static_cast<int>(size) - 1);
}

void relayWorker(RelayChannel& channel) {
    // Owned by this worker for its whole run: nothing is allocated per chunk.
    std::vector<uint8_t> buffer(static_cast<size_t>(channel.readLimit));
    std::vector<uint8_t> stamped(static_cast<size_t>(channel.readLimit) + kLongestStamp + 64);

    // The rest of a chunk that the previous worker could not write goes first, in order.
    if (!channel.unsentRest.empty()) {
        std::vector<uint8_t> rest;
        rest.swap(channel.unsentRest);
        relayChunk(channel, rest.data(), rest.size());
    }

    // Set when the last read filled a whole chunk: the source likely holds more, so the next
    // read goes ahead without waiting. Only a source that has been drained is waited on.
    bool moreLikely = false;
    for (;;) {
        const PortHandle source = channel.source.handle.load(std::memory_order_acquire);
        int sourceEvents = 0;
        if (source >= 0 && !moreLikely) {
            // Wait for input or for the stop request, which writes the wake descriptor: nothing
            // else needs a periodic look (a held mouse button matters only once data is here;
            // a hung-up or failing source is paced by the step wait below), so no timeout.
            const int events = waitForInput(channel.source, source, channel.wake, portReadWaitMs(channel.source));
            if (events < 0) {
                waitForStopRequest(channel, kInputWaitMs);  // cannot wait on these: keep a pace
            } else {
                sourceEvents = events & ~WaitWoken;
            }
            // A wake-up that was not a stop request (left from an earlier stop) would keep the
            // wait from ever waiting again.
            if (events > 0 && (events & WaitWoken) && !stopAsked(channel)) drainWakeUps(channel);
        }
        moreLikely = false;

        if (source < 0 || stopAsked(channel)) return;
        // Found gone by either worker: no more reads of it, in step with the writer.
        if (channel.source.presence.load(std::memory_order_acquire) != PortPresent) {
            waitUntilStopAsked(channel);
            return;
        }

        pauseWhileHeld(channel);

        // The source is non-blocking: a read that finds nothing ends with EAGAIN.
        const size_t count = static_cast<size_t>(channel.readLimit);
        bool sourceFailed = false;
        size_t received = 0;
        std::memset(buffer.data(), 0, count);
        ssize_t n;
        do {
            n = portRead(channel.source, source, buffer.data(), count);
        } while (n < 0 && errno == EINTR);
        const bool network = portIsNetwork(channel.source);
        // A server's commands, taken in whole: nothing to wait for before the next look.
        const bool onlyCommands = network && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (n > 0) {
            received = static_cast<size_t>(n);
            moreLikely = received == count;
            // Here, right after the read, so that both directions are recorded in the
            // order they were read, whatever the worker does with the chunk afterwards.
            ChunkSink* const readSink = channel.readSink;
            if (readSink != nullptr && readSink->takesChunks()) {
                readSink->onChunk(buffer.data(), static_cast<int32_t>(n), 0);
            }
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            sourceFailed = true;
            // Unplugged (a hung-up line reads as end of file, a vanished one fails): stop
            // reading it, so that the owner can close it once the other worker stops writing it.
            if ((n < 0 && deviceGoneError(errno)) || network ||
                (n == 0 && (sourceEvents & (WaitHangUp | WaitError)))) {
                if (markPortLost(channel.source) && channel.portLost) channel.portLost();
                waitUntilStopAsked(channel);
                return;
            }
        }

        pauseWhileHeld(channel);

        if (received == 0) {
            // The device signalled but gave nothing (unplugged, hung up, in error): it would
            // keep signalling at once, so keep a quiet rhythm instead.
            if (sourceFailed || (!onlyCommands && sourceEvents != 0)) {
                waitForStopRequest(channel, kInputWaitMs);
            }
            continue;
        }

        const uint8_t* chunk = buffer.data();
        const int32_t length = static_cast<int32_t>(received);
        addRateBytes(channel, length);
        channel.readByteCount.fetch_add(length, std::memory_order_relaxed);

        ChunkSink* const display = channel.displaySink;
        ChunkSink* const log = channel.logSink;
        const bool displayOpen = display != nullptr && display->takesChunks();
        const bool logEnabled = log != nullptr && log->takesChunks();
        const bool stampDue = channel.context.options.DATETIME.load(std::memory_order_relaxed) == 1 &&
                              channel.stampCountdown.load(std::memory_order_relaxed) == 0 &&
                              (displayOpen || logEnabled);

        if (!stampDue) {
            if (channel.chunkObserver) channel.chunkObserver(chunk, length, 0);
            if (displayOpen) display->onChunk(chunk, length, 0);
            if (logEnabled) log->onChunk(chunk, length, 0);
        } else {
            char stamp[kLongestStamp + 16];
            const int formatted = formatTimeStamp(channel, stamp, sizeof stamp);
            const size_t stampLength = std::min(static_cast<size_t>(formatted), stamped.size() - received);
            std::memcpy(stamped.data(), stamp, stampLength);
            std::memcpy(stamped.data() + stampLength, chunk, received);
            const int32_t stampedLength = static_cast<int32_t>(stampLength + received);
            const int32_t L = static_cast<int32_t>(stampLength);

            if (channel.chunkObserver) channel.chunkObserver(chunk, length, L);
            if (displayOpen) display->onChunk(stamped.data(), stampedLength, L);
            if (logEnabled) log->onChunk(stamped.data(), stampedLength, L);
        }

        channel.stampCountdown.store(channel.context.options.DATETIMEVAL.load(std::memory_order_relaxed),
                                     std::memory_order_relaxed);

        // The chunk as it was read, never the stamp.
        relayChunk(channel, chunk, received);
    }
}

void requestWorkerStop(RelayChannel& channel) {
    channel.stopRequested.store(1, std::memory_order_release);
    raiseWake(channel.wake);
}

void joinRelayWorker(RelayChannel& channel) {
    if (channel.worker.joinable()) channel.worker.join();
    drainWakeUps(channel);
}

RelayChannel::~RelayChannel() {
    if (worker.joinable()) {
        requestWorkerStop(*this);
        joinRelayWorker(*this);
    }
    closeWake(wake);
}

int startRelayWorker(RelayChannel& channel) {
    if (channel.context.opensRefused.load()) return 0;  // shut down: nothing may relay any more
    // One worker per channel, ever: a previous one is ended and joined before the next starts.
    if (channel.worker.joinable()) {
        requestWorkerStop(channel);
        joinRelayWorker(channel);
    }
    if (const int error = makeWake(channel.wake); error != 0) {
        channel.startError = error;
        return channel.startError;
    }
    // A wake-up left over from an earlier stop must not end the new worker's first wait early.
    drainWakeUps(channel);

    channel.stopRequested.store(0, std::memory_order_release);
    try {
        channel.worker = std::thread(relayWorker, std::ref(channel));
    } catch (const std::system_error& error) {
        channel.stopRequested.store(1, std::memory_order_release);
        channel.startError = error.code().value() != 0 ? error.code().value() : EAGAIN;
        return channel.startError;
    }
    channel.startError = 0;
    // Named before this returns, so that tools (top -H, gdb, /proc) tell the directions apart.
    nameWorkerThread(channel.worker, channel.number == 2 ? "vx-relay2" : "vx-relay1");
    return 0;
}
