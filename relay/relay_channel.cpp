#include "relay/relay_channel.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>
#include <vector>

#include "relay/port_device.h"
#include "relay/worker_wait.h"

namespace {

constexpr int kInputWaitMs = 100;
constexpr int kHoldStepMs = 100;
constexpr int kOutputWaitMs = 1000;
// A read takes up to this many bytes, whole chunks of the channel's size: about what a tty's
// input queue holds, so a held-back destination keeps little more in the worker than one chunk.
constexpr size_t kGatherBytes = 4096;

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

bool present(const SerialPort& port) { return port.presence.load(std::memory_order_acquire) == PortPresent; }

// The port's device while it is open. The handle is set after the device (and cleared before
// it goes), so the device read after it is whole.
PortDevice* deviceOf(const SerialPort& port) {
    return port.handle.load(std::memory_order_acquire) >= 0 ? port.device.get() : nullptr;
}

// The port's device is gone: the owner is told once, closes it when both workers have stopped
// and watches for it to come back.
void reportLost(RelayChannel& channel, SerialPort& port) {
    if (markPortLost(port) && channel.portLost) channel.portLost();
}

// Holding the left button in the display's text stops this direction, so that the user can
// read or select while nothing new arrives; the bytes wait in the source's input queue.
bool held(const RelayChannel& channel) {
    return channel.displayMouseHeld.load(std::memory_order_relaxed) == 1 &&
           channel.context.leftMouseButtonDown.load(std::memory_order_relaxed) != 0;
}

void pauseWhileHeld(RelayChannel& channel) {
    while (held(channel) && !stopAsked(channel)) {
        waitForStopRequest(channel, kHoldStepMs);
    }
}

// Waits for input or for the stop request, which raises the wake-up: nothing else needs a
// periodic look (a held mouse button matters only once data is here; a hung-up or failing
// source is paced after its read), so no timeout unless the device asks for one. The events
// found at the source.
int waitForSource(RelayChannel& channel, PortDevice& source) {
    const int events = source.waitForInput(channel.wake, source.readWaitMs());
    if (events < 0) {
        waitForStopRequest(channel, kInputWaitMs);  // cannot wait on it: keep a pace
        return 0;
    }
    // A wake-up that was not a stop request (left from an earlier stop) would keep the wait from
    // ever waiting again.
    if ((events & WaitWoken) && !stopAsked(channel)) drainWakeUps(channel);
    return events & ~WaitWoken;
}

// The length of the chunk at `at` of `received` bytes read: the channel's read size but the last.
int32_t chunkLength(const RelayChannel& channel, size_t received, size_t at) {
    return static_cast<int32_t>(std::min(static_cast<size_t>(channel.readLimit), received - at));
}

// What one read of the source gave.
struct ReadStep {
    size_t received = 0;  // data bytes in the buffer
    bool lost = false;    // the source is gone: the worker reads no more
};

// Reads what the source holds, up to the buffer's size, from the non-blocking source; a read
// that finds nothing ends with EAGAIN. The read sink takes it at once in chunks of the channel's
// read size, so that both directions are recorded in the order they were read, whatever the
// worker does with them afterwards.
ReadStep readSource(RelayChannel& channel, PortDevice& source, uint8_t* buffer, size_t capacity, int waitEvents) {
    ReadStep step;
    ssize_t n;
    do {
        n = source.read(buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        step.received = static_cast<size_t>(n);
        ChunkSink* const readSink = channel.readSink;
        if (readSink != nullptr && readSink->takesChunks()) {
            for (size_t at = 0; at < step.received; at += static_cast<size_t>(channel.readLimit))
                readSink->onChunk(buffer + at, chunkLength(channel, step.received, at), nullptr);
        }
        return step;
    }
    switch (source.endOfRead(n, n < 0 ? errno : 0, waitEvents)) {
        case ReadEnd::Lost:
            // Stop reading it, so that the owner can close it once the other worker stops writing it.
            reportLost(channel, channel.source);
            step.lost = true;
            break;
        case ReadEnd::Quiet:
            pauseWhileHeld(channel);
            waitForStopRequest(channel, kInputWaitMs);
            break;
        case ReadEnd::Nothing:
            pauseWhileHeld(channel);
            break;
    }
    return step;
}

// Counts the chunk and hands it to the display and the log, with a stamp when one is due: the
// DATETIME option on, the quiet countdown at 0, and someone taking the chunk. The countdown is
// reloaded after every chunk; the tick counts it down.
void handChunkUp(RelayChannel& channel, const uint8_t* chunk, int32_t length) {
    addRateBytes(channel, length);
    channel.readByteCount.fetch_add(length, std::memory_order_relaxed);

    ChunkSink* const display = channel.displaySink;
    ChunkSink* const log = channel.logSink;
    const bool displayOpen = display != nullptr && display->takesChunks();
    const bool logEnabled = log != nullptr && log->takesChunks();
    const AppOptions& options = channel.context.options;
    ChunkStamp stamp{};
    const ChunkStamp* due = nullptr;
    if (options.DATETIME.load(std::memory_order_relaxed) == 1 &&
        channel.stampCountdown.load(std::memory_order_relaxed) == 0 && (displayOpen || logEnabled)) {
        stamp = ChunkStamp{std::time(nullptr), display != nullptr && display->holdsText()};
        due = &stamp;
    }
    if (channel.chunkObserver) channel.chunkObserver(chunk, length, due);
    if (displayOpen) display->onChunk(chunk, length, due);
    if (logEnabled) log->onChunk(chunk, length, due);
    channel.stampCountdown.store(options.DATETIMEVAL.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

// A full destination (flow control holds it back, the far end does not read, a window in
// flight is full): wait for room, without counting anything as sent.
void waitForDestinationRoom(RelayChannel& channel, PortDevice& destination) {
    const int events = destination.waitForRoom(channel.wake, kOutputWaitMs);
    if (events > 0 && (events & (WaitError | WaitHangUp))) {
        // The next write tells whether the device is really gone; wait a step first so that a
        // device that keeps signalling cannot make the writer spin.
        waitForStopRequest(channel, kInputWaitMs);
    }
}

// What the destination holds that its system did not take of the last write is sent on now,
// not left waiting for a next chunk that may never come.
void sendHeldOutput(RelayChannel& channel) {
    SerialPort& destination = channel.destination;
    for (;;) {
        PortDevice* const device = deviceOf(destination);
        if (device == nullptr || device->heldOutput() == 0 || stopAsked(channel) || !present(destination)) return;
        device->waitForRoom(channel.wake, kOutputWaitMs);
        device->flushHeld();
        if (device->lost()) {
            reportLost(channel, destination);
            return;
        }
    }
}

// Sends every byte of the chunk to the destination, in order, or stops early when the
// destination is gone (not open, unplugged, refusing): the rest is counted as not delivered,
// and a lost device is not written again, so that the owner may close it. A stop request does
// not cut a chunk that the destination still takes: the bytes were read from the source
// already and exist nowhere else. When the destination would make a stopping worker wait, the
// rest is kept for the channel's next worker.
void relayChunk(RelayChannel& channel, const uint8_t* chunk, size_t length) {
    SerialPort& destination = channel.destination;
    size_t offset = 0;
    while (offset < length) {
        PortDevice* const device = deviceOf(destination);
        if (device == nullptr || !present(destination)) {
            countUndelivered(channel, length - offset);
            return;
        }
        const bool stopping = stopAsked(channel);
        // No write starts while the device still holds bytes of an earlier one.
        if (!stopping) {
            if (const int ms = device->drainWaitMs(); ms > 0) {
                waitForStopRequest(channel, ms);
                continue;
            }
        }
        const ssize_t written = device->write(chunk + offset, length - offset, channel.wake);
        if (written > 0) {
            offset += static_cast<size_t>(written);
            continue;
        }
        const int error = written < 0 ? errno : 0;
        if (error == EINTR) continue;
        if (stopping && (written == 0 || error == EAGAIN)) {
            channel.unsentRest.assign(chunk + offset, chunk + length);
            return;
        }
        if (error == EAGAIN) {
            waitForDestinationRoom(channel, *device);
            continue;
        }
        if (written == 0) {
            waitForStopRequest(channel, kInputWaitMs);
            continue;
        }
        // Failed outright: the rest of the chunk cannot be delivered.
        if (device->goneAfterWrite(error)) reportLost(channel, destination);
        countUndelivered(channel, length - offset);
        return;
    }
    sendHeldOutput(channel);
}

}  // namespace

void relayWorker(RelayChannel& channel) {
    // Owned by this worker for its whole run: nothing is allocated per chunk. Room for several
    // chunks: a small read costs the tty a wake-up of its own to refill, so a flood is read and
    // written in a few KiB at a time.
    const size_t readLimit = static_cast<size_t>(channel.readLimit);
    std::vector<uint8_t> buffer(std::max(readLimit, kGatherBytes / readLimit * readLimit));

    // The rest of a chunk that the previous worker could not write goes first, in order.
    if (!channel.unsentRest.empty()) {
        std::vector<uint8_t> rest;
        rest.swap(channel.unsentRest);
        relayChunk(channel, rest.data(), rest.size());
    }

    // Set when the last read filled the whole buffer: the source likely holds more, so the next
    // read goes ahead without waiting. Only a source that has been drained is waited on.
    bool moreLikely = false;
    for (;;) {
        PortDevice* const source = deviceOf(channel.source);
        const int events = source != nullptr && !moreLikely ? waitForSource(channel, *source) : 0;
        if (source == nullptr || stopAsked(channel)) return;
        // Found gone by either worker: no more reads of it, in step with the writer.
        if (!present(channel.source)) return waitUntilStopAsked(channel);

        pauseWhileHeld(channel);
        const ReadStep read = readSource(channel, *source, buffer.data(), buffer.size(), events);
        if (read.lost) return waitUntilStopAsked(channel);
        moreLikely = read.received == buffer.size();
        if (read.received == 0) continue;

        // Handed up in chunks of the channel's read size, as that many reads would have given
        // them, then written at once.
        size_t sent = 0;
        for (size_t at = 0; at < read.received; at += readLimit) {
            if (held(channel) && at > sent) {
                // What was handed up before the hold goes out now: the pause holds back only
                // what nobody has seen.
                relayChunk(channel, buffer.data() + sent, at - sent);
                sent = at;
            }
            pauseWhileHeld(channel);
            handChunkUp(channel, buffer.data() + at, chunkLength(channel, read.received, at));
        }
        // The chunks as they were read, never the stamp.
        relayChunk(channel, buffer.data() + sent, read.received - sent);
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
