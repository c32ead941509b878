// The relay worker against devices in memory; then the stamp and the read order on the application's real sinks.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "display/traffic_text_control.h"
#include "relay/local_time.h"
#include "relay/relay.h"
#include "shell/session.h"
#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"

namespace {

// What `f` gives, under `lock`.
template <typename F>
auto underLock(std::mutex& lock, F f) {
    std::lock_guard guard(lock);
    return f();
}

// A port device in memory: what the test feeds is read, what the worker writes is kept; its writes can stall
// (EAGAIN), take a few bytes each, or it can be unplugged (a read ends with a hang-up, a write fails: ENODEV).
class MemoryDevice final : public PortDevice {
public:
    // Put into the closed port as an open would; the port owns it.
    static MemoryDevice& attach(SerialPort& port) {
        port.device = std::make_unique<MemoryDevice>();
        port.presence.store(PortPresent);
        port.handle.store(0);
        return static_cast<MemoryDevice&>(*port.device);
    }
    void feed(const std::string& bytes) { underLock(lock_, [&] { input_ += bytes; }); }
    std::string written() const { return underLock(lock_, [&] { return written_; }); }
    void setStalled(bool stalled) { underLock(lock_, [&] { stalled_ = stalled; }); }
    void setWriteLimit(size_t bytes) { underLock(lock_, [&] { writeLimit_ = bytes; }); }
    void unplug() { underLock(lock_, [&] { gone_ = true; }); }
    size_t queuedInput() const { return underLock(lock_, [&] { return input_.size(); }); }
    int readyWaits() const { return underLock(lock_, [&] { return readyWaits_; }); }  // waits that found input

    PortHandle handle() const override { return 0; }
    ssize_t read(uint8_t* buffer, size_t capacity) override {
        std::lock_guard guard(lock_);
        if (gone_) return 0;
        if (input_.empty()) return failWith(EAGAIN);
        const size_t n = input_.copy(reinterpret_cast<char*>(buffer), capacity);
        input_.erase(0, n);
        return static_cast<ssize_t>(n);
    }
    ReadEnd endOfRead(ssize_t n, int error, int waitEvents) const override {  // as a tty's
        if (n == 0 && (waitEvents & WaitHangUp)) return ReadEnd::Lost;
        return n < 0 && error == EAGAIN && waitEvents == 0 ? ReadEnd::Nothing : ReadEnd::Quiet;
    }
    ssize_t write(const uint8_t* data, size_t n, WakeHandle) override {
        std::lock_guard guard(lock_);
        if (gone_ || stalled_) return failWith(gone_ ? ENODEV : EAGAIN);
        const size_t taken = std::min(n, writeLimit_);
        written_.append(reinterpret_cast<const char*>(data), taken);
        return static_cast<ssize_t>(taken);
    }
    bool goneAfterWrite(int error) const override { return error == ENODEV; }
    int outputQueued() const override { return 0; }
    int inputQueued() const override { return static_cast<int>(queuedInput()); }
    int waitForInput(WakeHandle wake, int timeoutMs) override {
        return waitUntil([this] { return !input_.empty() && ++readyWaits_ > 0; }, wake, timeoutMs);
    }
    int waitForRoom(WakeHandle wake, int timeoutMs) override {
        return waitUntil([this] { return !stalled_; }, wake, timeoutMs);
    }
    int configure(const PortSettings&, LineReadBack&, bool) override { return 0; }
    int close() override { return 0; }
    bool openedAs(const std::string&) const override { return false; }
    bool holdsDevice(const std::string&) const override { return false; }

private:
    static ssize_t failWith(int error) {
        errno = error;
        return -1;
    }
    // The events once `ready` holds, the device is gone or the wake-up raised (looked at every ms), or none at the
    // time-out.
    template <typename Ready>
    int waitUntil(Ready ready, WakeHandle wake, int timeoutMs) {
        const auto wait = std::chrono::milliseconds(timeoutMs < 0 ? 3600000 : timeoutMs);
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            std::lock_guard guard(lock_);
            const int events = (gone_ ? WaitHangUp : 0) | (ready() ? WaitReady : 0) | (wakeRaised(wake) ? WaitWoken : 0);
            if (events != 0 || std::chrono::steady_clock::now() >= deadline) return events;
        }
    }

    mutable std::mutex lock_;
    std::string input_, written_;
    bool stalled_ = false, gone_ = false;
    size_t writeLimit_ = SIZE_MAX;
    int readyWaits_ = 0;
};

// What a sink was handed: each chunk, its stamp and what the destination had got by then; the mouse held at any.
class RecordingSink final : public ChunkSink {
public:
    struct Taken { std::string chunk; std::optional<ChunkStamp> stamp; size_t sentBefore; };
    explicit RecordingSink(const Relay& relay) : relay_(relay) {}
    bool takesChunks() const override { return takes; }
    bool holdsText() const override { return text; }
    void onChunk(const uint8_t* chunk, int32_t length, const ChunkStamp* stamp) override {
        heldWhileTaking = heldWhileTaking || relay_.leftMouseButtonDown.load() != 0;
        std::lock_guard guard(lock_);
        taken_.push_back({std::string(reinterpret_cast<const char*>(chunk), static_cast<size_t>(length)),
                          stamp ? std::optional(*stamp) : std::nullopt, destination ? destination->written().size() : 0});
    }
    std::vector<Taken> taken() const { return underLock(lock_, [&] { return taken_; }); }
    std::vector<std::string> chunks() const {
        std::vector<std::string> chunks;
        for (const Taken& t : taken()) chunks.push_back(t.chunk);
        return chunks;
    }
    // Whether every chunk was taken before any of its bytes went on to the destination.
    bool takenBeforeSent() const {
        size_t before = 0;
        for (const Taken& t : taken())
            if (t.sentBefore > std::exchange(before, before + t.chunk.size())) return false;
        return true;
    }
    void clear() { underLock(lock_, [&] { taken_.clear(); }); }

    std::atomic<bool> takes{true}, text{false}, heldWhileTaking{false};
    const MemoryDevice* destination = nullptr;

private:
    const Relay& relay_;
    mutable std::mutex lock_;
    std::vector<Taken> taken_;
};

// A relay whose two ports are devices in memory, each channel handing its chunks to three recording sinks.
class RelayWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int n : {1, 2}) {
            device[n - 1] = &MemoryDevice::attach(relay.serialPort(n));
            RelayChannel& channel = relay.relayChannel(n);
            channel.readSink = &reads[n - 1];
            channel.displaySink = &display[n - 1];
            channel.logSink = &log[n - 1];
            channel.portLost = [this, n] { ++losses[n - 1]; };
            channel.trafficResumed = [this, n] { ++resumed[n - 1]; };
        }
    }
    // The sinks below go before the relay does: the workers that use them stop first.
    void TearDown() override { relay.stopRelayWorkers(); }
    void start(int channel) { ASSERT_EQ(startRelayWorker(relay.relayChannel(channel)), 0); }
    void startBoth() {
        start(1);
        start(2);
    }
    bool written(int port, size_t count) {
        return eventually([&] { return device[port - 1]->written().size() >= count; });
    }

    std::atomic<int> losses[2] = {0, 0}, resumed[2] = {0, 0};
    Relay relay;
    RecordingSink reads[2] = {RecordingSink(relay), RecordingSink(relay)},
                  display[2] = {RecordingSink(relay), RecordingSink(relay)},
                  log[2] = {RecordingSink(relay), RecordingSink(relay)};
    MemoryDevice* device[2] = {};
};

TEST_F(RelayWorkerTest, ReadsInChunksOfTheChannelsSizeAndHandsEachToEverySinkAndTheWire) {
    const std::string toPort2 = randomBytes(300, 1), toPort1 = randomBytes(1100, 2);
    device[0]->feed(toPort2);
    device[1]->feed(toPort1);
    relay.relayChannel2.rateByteCount = INT32_MAX - 100;  // as after hours with RATE 0: no wrap
    for (int n : {1, 2})
        for (RecordingSink* sinks : {reads, display, log}) sinks[n - 1].destination = device[2 - n];
    startBoth();
    ASSERT_TRUE(written(2, 300) && written(1, 1100));
    relay.stopRelayWorkers();
    EXPECT_TRUE(device[1]->written() == toPort2 && device[0]->written() == toPort1);
    const std::vector<std::string> chunks1{toPort2.substr(0, 256), toPort2.substr(256)},
        chunks2{toPort1.substr(0, 1024), toPort1.substr(1024)};
    for (const RecordingSink* sinks : {reads, display, log}) {
        EXPECT_TRUE(sinks[0].chunks() == chunks1 && sinks[1].chunks() == chunks2);
        // Recorded and shown before it goes on: both directions are recorded in read order.
        EXPECT_TRUE(sinks[0].takenBeforeSent() && sinks[1].takenBeforeSent());
    }
    EXPECT_TRUE(relay.relayChannel1.readByteCount.load() == 300 && relay.relayChannel2.readByteCount.load() == 1100);
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load(), 300);
    EXPECT_EQ(relay.relayChannel2.rateByteCount.load(), INT32_MAX);
    EXPECT_TRUE(resumed[0].load() == 1 && resumed[1].load() == 0) << "from 0 once; the full count never was 0";

    // A stalled destination holds the worker, and a stop keeps what it read and could not write.
    const std::string held = randomBytes(300, 4), more = randomBytes(5000, 3);
    device[1]->setStalled(true);
    device[0]->feed(held);
    start(1);
    ASSERT_TRUE(eventually([&] { return relay.relayChannel1.readByteCount.load() == 600; }));
    relay.stopRelayWorkers();
    EXPECT_EQ(std::string(relay.relayChannel1.unsentRest.begin(), relay.relayChannel1.unsentRest.end()), held);
    EXPECT_TRUE(relay.relayChannel1.undeliveredBytes.load() == 0 && losses[1].load() == 0);

    // The next worker writes the rest first, before anything it reads, to a destination that takes a few bytes
    // per write; a wake-up left from an earlier stop is cleared by the worker that finds it, or its every wait
    // would return at once.
    device[1]->setStalled(false);
    device[1]->setWriteLimit(7);
    start(1);
    raiseWake(relay.relayChannel1.wake);
    EXPECT_TRUE(eventually([&] { return !wakeRaised(relay.relayChannel1.wake); }));
    device[0]->feed(more);
    ASSERT_TRUE(written(2, 600 + more.size()));
    EXPECT_TRUE(device[1]->written() == toPort2 + held + more && relay.relayChannel1.unsentRest.empty());
    EXPECT_EQ(relay.relayChannel1.readByteCount.load(), 600 + 5000) << "the rest was read and shown once, not again";
}

// Bytes for a closed or gone destination are not delivered; a gone port is lost once, and a gone source's
// worker waits only for its stop.
TEST_F(RelayWorkerTest, ClosedOrGonePortsCountTheirBytesAsNotDeliveredAndAreLostOnce) {
    closePort(relay.serialPort2);
    start(1);
    device[0]->feed(randomBytes(500, 5));
    ASSERT_TRUE(eventually([&] { return relay.relayChannel1.undeliveredBytes.load() == 500; }));
    EXPECT_EQ(losses[0].load() + losses[1].load(), 0) << "nothing there to lose";
    EXPECT_EQ(relay.serialPort2.presence.load(), PortPresent);

    relay.stopRelayWorkers();
    device[1] = &MemoryDevice::attach(relay.serialPort2);
    device[1]->unplug();
    start(1);
    device[0]->feed(randomBytes(400, 6));
    ASSERT_TRUE(eventually([&] { return relay.relayChannel1.undeliveredBytes.load() == 900; }));
    EXPECT_EQ(relay.serialPort2.presence.load(), PortLost);
    device[0]->feed(randomBytes(100, 7));
    ASSERT_TRUE(eventually([&] { return relay.relayChannel1.undeliveredBytes.load() == 1000; }));
    EXPECT_EQ(losses[0].load(), 1) << "told once";
    EXPECT_EQ(reads[0].chunks().size(), display[0].chunks().size()) << "shown all the same";

    relay.stopRelayWorkers();
    device[1] = &MemoryDevice::attach(relay.serialPort2);
    startBoth();
    device[0]->unplug();
    ASSERT_TRUE(eventually([&] { return relay.serialPort1.presence.load() == PortLost; }) && losses[0].load() == 2);
    device[1]->feed("back");
    ASSERT_TRUE(eventually([&] { return relay.relayChannel2.undeliveredBytes.load() == 4; }));
    EXPECT_TRUE(relay.relayChannel1.worker.joinable()) << "waits for its stop";
    relay.stopRelayWorkers();
    EXPECT_EQ(losses[0].load() + losses[1].load(), 2);
}

TEST_F(RelayWorkerTest, AStampIsDueAfterQuietWhenSomeoneShowsOrLogsTheChunk) {
    const struct {
        int32_t dateTime, quietSeconds, countdown;
        bool displayTakes, logTakes, displayText, firstStamped, secondStamped;
    } rows[] = {{1, 60, 0, true, true, false, true, false},     // the first chunk after quiet only
                {1, 60, 0, true, false, true, true, false},     // after text on the display
                {1, 60, 0, false, true, true, true, false},     // the log alone; the display's text counts
                {1, 0, 0, true, true, false, true, true},       // quiet 0 stamps every chunk
                {1, 45, 0, false, false, false, false, false},  // neither display nor log takes it
                {2, 45, 0, true, true, false, false, false},    // the switch counts only when 1
                {1, 45, 1, true, true, false, false, false}};   // quiet not over: its last second still to tick
    for (const auto& row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        relay.appOptions.DATETIME = row.dateTime;
        relay.appOptions.DATETIMEVAL = row.quietSeconds;
        relay.relayChannel1.stampCountdown = row.countdown;
        display[0].takes = row.displayTakes;
        display[0].text = row.displayText;
        log[0].takes = row.logTakes;
        for (RecordingSink* sink : {&reads[0], &display[0], &log[0]}) sink->clear();
        const std::time_t earliest = std::time(nullptr);
        start(1);
        std::string sent = device[1]->written();
        for (const char* bytes : {"first", "second"}) {  // one chunk each: the first is through before the next
            device[0]->feed(bytes);
            sent += bytes;
            ASSERT_TRUE(eventually([&] { return device[1]->written() == sent; })) << "the wire never gets a stamp";
        }
        relay.stopRelayWorkers();
        EXPECT_EQ(relay.relayChannel1.stampCountdown.load(), row.quietSeconds) << "the countdown starts again";
        EXPECT_TRUE(display[0].chunks().size() == (row.displayTakes ? 2u : 0u) &&
                    log[0].chunks().size() == (row.logTakes ? 2u : 0u));
        for (const RecordingSink* sink : {&display[0], &log[0], &reads[0]}) {
            const auto taken = sink->taken();
            for (size_t i = 0; i < taken.size(); ++i) {
                const bool due = sink != &reads[0] && (i == 0 ? row.firstStamped : row.secondStamped);
                const std::optional<ChunkStamp>& stamp = taken[i].stamp;
                ASSERT_EQ(stamp.has_value(), due) << "chunk " << i;
                EXPECT_TRUE(!due || (stamp->afterText == row.displayText && earliest <= stamp->when &&
                                     stamp->when <= std::time(nullptr)));
            }
        }
    }
}

// Holding the left button in a channel's display pauses that channel alone: its bytes wait in
// the source and go on once the button is let go.
TEST_F(RelayWorkerTest, AHeldMouseButtonInTheDisplayPausesItsChannelOnly) {
    relay.relayChannel1.displayMouseHeld = 1;
    relay.leftMouseButtonDown = 1;
    startBoth();
    device[0]->feed("held");
    device[1]->feed("free");
    ASSERT_TRUE(written(1, 4));
    EXPECT_TRUE(eventually([&] { return device[0]->readyWaits() >= 1; }) && device[0]->queuedInput() == 4u);
    relay.leftMouseButtonDown = 0;
    ASSERT_TRUE(written(2, 4) && device[1]->written() == "held");
    EXPECT_FALSE(reads[0].heldWhileTaking || display[0].heldWhileTaking);

    // Pressed while one read of several chunks is handed up: what was handed up goes out at once,
    // the rest after the release, each byte once.
    const std::string flood = randomBytes(1000, 9);
    std::atomic<int> taken{0};
    relay.relayChannel1.chunkObserver = [&](const uint8_t*, int32_t, const ChunkStamp*) {
        if (taken++ == 0) relay.leftMouseButtonDown = 1;
    };
    device[0]->feed(flood);
    ASSERT_TRUE(written(2, 4 + 256));
    relay.leftMouseButtonDown = 0;
    ASSERT_TRUE(written(2, 4 + flood.size()));
    relay.stopRelayWorkers();
    EXPECT_TRUE(device[1]->written() == "held" + flood);
}

// The stamp on the real sinks: the local time on a line of its own in the log and in a text
// display (after a blank line pair once the display holds text), never in a hexadecimal one.
TEST(RelayWorkerRealSinks, TheStampIsTheLocalTimeInTheLogAndTheTextDisplay) {
    ScratchDir dir;
    Session app;
    Relay& relay = app.relay;
    MemoryDevice &source = MemoryDevice::attach(relay.serialPort1), &destination = MemoryDevice::attach(relay.serialPort2);
    relay.appOptions.DATETIME = 1;
    relay.appOptions.DATETIMEVAL = 0;
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        const auto text = std::make_shared<TrafficTextControl>();
        app.trafficDisplay1.displayWindow = text;
        app.trafficDisplay1.displayOpen = 1;
        app.trafficDisplay1.displayMode = mode;
        ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("log" + std::to_string(mode))), 1);
        const std::time_t earliest = std::time(nullptr);
        ASSERT_EQ(startRelayWorker(relay.relayChannel1), 0);
        for (const std::string bytes : {"ab", "cd"}) {
            source.feed(bytes);
            ASSERT_TRUE(eventually([&] { return destination.written().size() == (mode * 2u + (bytes == "cd") + 1) * 2; }));
        }
        relay.stopRelayWorkers();
        app.captures.closeCaptureLog(1);
        const std::string log = dir.read("log" + std::to_string(mode));
        ASSERT_EQ(log.size(), 20u + 2 + 22 + 2) << log;
        const auto stampOf = [](std::time_t moment) {
            std::tm local{};
            char stamp[32] = "";
            EXPECT_TRUE(localTimeOf(moment, local));
            return std::string(stamp, std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S\n", &local));
        };
        // The stamp is the local time of the read: between these two.
        EXPECT_TRUE(stampOf(earliest) <= log.substr(0, 20) && log.substr(0, 20) <= stampOf(std::time(nullptr))) << log;
        EXPECT_TRUE(log.substr(20, 2 + 2) == "ab\n\n" && log.substr(44) == "cd") << log;
        std::string shown = text->text();  // its lines end in CR LF
        for (size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.erase(at, 1);
        if (mode == 0) EXPECT_EQ(shown, log);
        else EXPECT_EQ(text->text().substr(0, 12), "61 62 63 64 ");
    }
}

// Requests and answers in turn: the combined capture has them in the order they were read, and
// its gaps add up to the time between its first and last record.
TEST(RelayWorkerRealSinks, TheCombinedCaptureHasBothDirectionsInReadOrder) {
    ScratchDir dir;
    Session app;
    MemoryDevice* device[2] = {&MemoryDevice::attach(app.relay.serialPort1), &MemoryDevice::attach(app.relay.serialPort2)};
    ASSERT_EQ(app.captures.openCombinedCapture(dir.file("both.log")), 1);
    ASSERT_TRUE(startRelayWorker(app.relay.relayChannel1) == 0 && startRelayWorker(app.relay.relayChannel2) == 0);
    std::vector<std::pair<int, std::string>> expected;
    std::string sent[2];
    for (uint32_t round = 0; round < 12; ++round) {
        for (int from : {1, 2}) {
            const std::string bytes = randomBytes(1 + round * (from == 1 ? 53 : 211) % 2500, round * 2 + from);
            device[from - 1]->feed(bytes);
            sent[from - 1] += bytes;
            ASSERT_TRUE(eventually([&] { return device[2 - from]->written() == sent[from - 1]; }));
            expected.emplace_back(from, bytes);
        }
    }
    app.relay.stopRelayWorkers();
    ASSERT_TRUE(app.captures.combinedCapture.close());
    std::string error;
    const auto records = parseCombinedRecords(dir.read("both.log"), error);
    ASSERT_EQ(error, "");
    std::vector<std::pair<int, std::string>> runs;  // the records of one direction in a row, joined
    int64_t gaps = 0;
    for (const CombinedRecord& r : records) {
        gaps += r.gapMicros;
        if (runs.empty() || runs.back().first != r.channel) runs.emplace_back(r.channel, r.bytes);
        else runs.back().second += r.bytes;
    }
    ASSERT_TRUE(runs == expected);  // and so records.front() is there
    // Wall time and gaps come from two clocks read one after the other: rounding, and a thread
    // switched out between the two readings, move a record's pair apart by up to a millisecond.
    EXPECT_NEAR(gaps, records.back().wallMicros - records.front().wallMicros, 1000);
}

}  // namespace
