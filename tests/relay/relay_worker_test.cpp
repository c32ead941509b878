// Both relay workers through two real pseudo-terminal cables: the test holds the far ends.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>

#include "capture/capture_log.h"
#include "capture/combined_log.h"
#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "shell/application.h"
#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"

namespace {

using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& condition) {
    for (auto giveUp = std::chrono::steady_clock::now() + 10s; !condition(); std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() > giveUp) return false;
    return true;
}

class RelayTest : public ::testing::Test {
protected:
    Application app;
    void SetUp() override {
        dir.write("Vorlinex.ini", "[DATA1]\nCOM=0\nBPS=115200\nBIT=8\n[DATA2]\nCOM=1\nBPS=115200\nBIT=8\n" +
                                      devicesSection({cable1.slavePath(), cable2.slavePath(), "", "", "", ""}));
        applyConfig(app.relay, loadConfig());
        for (SerialPort* port : {&app.relay.serialPort1, &app.relay.serialPort2}) {
            ASSERT_EQ(app.relay.openPort(portDeviceNameAt(port->settings.comIndex), *port), 0);
            configurePort(*port);
        }
        app.trafficDisplay1.displayOpen = app.trafficDisplay2.displayOpen = 0;
        for (RelayChannel* channel : {&app.relay.relayChannel1, &app.relay.relayChannel2}) {
            channel->rateByteCount = channel->stampCountdown = channel->logEnabled = 0;
            // Each worker fills its own record; the test reads them after the join.
            channel->chunkObserver = [this, channel](const uint8_t* bytes, int32_t length, int32_t stamp) {
                chunks[channel->number - 1].emplace_back(reinterpret_cast<const char*>(bytes), length);
                stamps[channel->number - 1].push_back(stamp);
            };
        }
    }
    void TearDown() override {
        stopBoth();
        closePort(app.relay.serialPort1), closePort(app.relay.serialPort2);
        app.relay.relayChannel1.chunkObserver = app.relay.relayChannel2.chunkObserver = nullptr;
        app.trafficDisplay1.displayWindow.store(nullptr);
    }
    void startBoth() { startRelayWorker(app.relay.relayChannel1), startRelayWorker(app.relay.relayChannel2); }
    void stopBoth() {
        requestWorkerStop(app.relay.relayChannel1), requestWorkerStop(app.relay.relayChannel2);
        joinRelayWorker(app.relay.relayChannel1), joinRelayWorker(app.relay.relayChannel2);
    }
    ScratchDir dir;
    PtyCable cable1, cable2;
    std::shared_ptr<TrafficTextControl> control = std::make_shared<TrafficTextControl>();  // channel 1's display in the stamp tests
    std::vector<std::string> chunks[2];
    std::vector<int32_t> stamps[2];
};

TEST_F(RelayTest, QueuedInputIsReadInChunksOfEachChannelsLimit) {
    const std::string toPort2 = randomBytes(300, 1), toPort1 = randomBytes(300, 2);
    cable1.send(toPort2), cable2.send(toPort1);
    ASSERT_TRUE(eventually([&] {  // both queued whole before the workers start
        int queued1 = 0, queued2 = 0;
        ioctl(app.relay.serialPort1.handle.load(), FIONREAD, &queued1);
        ioctl(app.relay.serialPort2.handle.load(), FIONREAD, &queued2);
        return queued1 == 300 && queued2 == 300;
    }));
    app.relay.relayChannel2.rateByteCount = INT32_MAX - 100;  // as after hours with RATE 0: no wrap
    startBoth();
    EXPECT_EQ(cable2.receive(300), toPort2);
    EXPECT_EQ(cable1.receive(300), toPort1);
    stopBoth();
    EXPECT_EQ(chunks[0], (std::vector<std::string>{toPort2.substr(0, 256), toPort2.substr(256)}));
    EXPECT_EQ(chunks[1], std::vector<std::string>{toPort1});
    EXPECT_EQ(app.relay.relayChannel1.rateByteCount.load(), 300);
    EXPECT_EQ(app.relay.relayChannel2.rateByteCount.load(), INT32_MAX);
}

// Port 2's side is not read for 3 seconds meanwhile: the worker must wait for room, not drop.
TEST_F(RelayTest, AMegabyteEachWayAtOnceArrivesIdenticalThoughOneSideIsNotReadForThreeSeconds) {
    startBoth();
    const std::string forward = randomBytes(1 << 20, 11), backward = randomBytes(1 << 20, 12);
    std::string gotBackward;
    std::thread send1([&] { cable1.send(forward); }), send2([&] { cable2.send(backward); });
    std::thread receive1([&] { gotBackward = cable1.receive(backward.size(), 10000); });
    std::this_thread::sleep_for(3s);
    const std::string gotForward = cable2.receive(forward.size(), 10000);
    send1.join(), send2.join(), receive1.join();
    EXPECT_TRUE(gotForward == forward) << gotForward.size() << " bytes on channel 1";
    EXPECT_TRUE(gotBackward == backward) << gotBackward.size() << " bytes on channel 2";
}

TEST_F(RelayTest, StopAndRestartNeverLeavesTwoWorkersAlive) {
    for (int round = 0; round < 3; ++round) {
        startBoth();
        startRelayWorker(app.relay.relayChannel1);  // again without a stop: replaces, never adds
        EXPECT_TRUE(eventuallyWorkers(1, 1)) << round;
        cable1.send("ping"), cable2.send("pong!");
        EXPECT_EQ(cable2.receive(4), "ping");
        EXPECT_EQ(cable1.receive(5), "pong!");
        // As the serial settings dialog does it: stop, wait for the end, close, reopen.
        stopBoth();
        EXPECT_TRUE(eventuallyWorkers(0, 0)) << round;
        closePort(app.relay.serialPort1), closePort(app.relay.serialPort2);
        ASSERT_EQ(app.relay.openPort("com1", app.relay.serialPort1), 0);
        ASSERT_EQ(app.relay.openPort("com2", app.relay.serialPort2), 0);
    }
    // A stop also ends a worker that waits for room on a destination nobody reads.
    startBoth();
    std::atomic<bool> sent{false};
    std::thread sender([&] { cable1.send(randomBytes(256 * 1024, 22)), sent = true; });
    std::this_thread::sleep_for(1s);  // the cable to port 2 fills up meanwhile
    stopBoth();
    EXPECT_TRUE(eventuallyWorkers(0, 0));
    startBoth();
    while (!sent) cable2.receive(1 << 20, 200);
    sender.join();
}

// firstStamp, secondStamp: stamp lengths of two chunks, 0: none.
struct StampCase {
    const char* name;
    int32_t dateTime, quietSeconds, countdown, displayOpen, displayMode, log, firstStamp, secondStamp;
};
class StampTest : public RelayTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(StampTest, StampsTheFirstChunkAfterQuietAndReloadsTheCountdown) {
    const StampCase& c = GetParam();
    app.relay.appOptions.DATETIME = c.dateTime;
    app.relay.appOptions.DATETIMEVAL = c.quietSeconds;
    app.trafficDisplay1.displayWindow = control;
    app.trafficDisplay1.displayOpen = c.displayOpen;
    app.trafficDisplay1.displayMode = c.displayMode;
    app.relay.relayChannel1.stampCountdown = c.countdown;
    ASSERT_TRUE(!c.log || app.captures.openCaptureLog(1, dir.file("capture.bin")) == 1);
    const std::time_t before = std::time(nullptr);
    startBoth();
    const std::string first("0123\0\0" "6789", 10), second = "later";
    for (const std::string& bytes : {first, second}) {  // the line never gets a stamp
        cable1.send(bytes);
        EXPECT_EQ(cable2.receive(bytes.size()), bytes);
    }
    stopBoth();
    EXPECT_EQ(stamps[0], (std::vector<int32_t>{c.firstStamp, c.secondStamp}));
    EXPECT_EQ(app.relay.relayChannel1.stampCountdown.load(), c.quietSeconds);
    if (!c.log) return;
    app.captures.closeCaptureLog(1);  // the log gets the stamp, the local time when the chunk came, in front
    const std::string log = dir.read("capture.bin");
    ASSERT_EQ(log.size(), c.firstStamp + first.size() + c.secondStamp + second.size());
    bool stampIsThen = false;
    for (std::time_t t = before; t <= std::time(nullptr); ++t) {
        std::tm local{};
        char text[32];
        std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S\n", localtime_r(&t, &local));
        stampIsThen |= log.substr(0, 20) == text;
    }
    EXPECT_TRUE(stampIsThen) << log;
    EXPECT_EQ(log.substr(c.firstStamp, first.size()), first);
    // A text display shows the stamp, a hexadecimal one only the bytes.
    EXPECT_EQ(control->text().substr(0, 17), c.displayMode ? "30 31 32 33 00 00" : log.substr(0, 17));
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, StampTest,
    ::testing::Values(StampCase{"TextDisplayAndLog", 1, 60, 0, 1, 0, 1, 20, 0},
                      StampCase{"HexDisplayAndLog", 1, 60, 0, 1, 1, 1, 20, 0},
                      StampCase{"QuietZeroStampsEveryChunk", 1, 0, 0, 1, 0, 0, 20, 22},
                      StampCase{"NeitherDisplayNorLog", 1, 45, 0, 0, 0, 0, 0, 0},
                      StampCase{"SwitchOnlyCountsWhenOne", 2, 45, 0, 1, 0, 0, 0, 0},
                      StampCase{"QuietNotOverYet", 1, 45, 7, 1, 0, 0, 0, 0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(RelayTest, AVanishedDeviceDoesNotMakeTheWorkersSpinAndTheyStillEndWhenAsked) {
    startBoth();
    cable1.send("before");
    EXPECT_EQ(cable2.receive(6), "before");
    // Port 1's device goes away: channel 1 loses its source, channel 2 its destination.
    cable1.hangUp();
    cable2.send("into the void");
    ASSERT_TRUE(eventually([&] { return app.relay.relayChannel2.rateByteCount.load() == 13; }));
    // A stray wake-up that is no stop request must not make the waits stop waiting.
    const uint64_t one = 1;
    ASSERT_EQ(::write(app.relay.relayChannel2.wakeFd, &one, sizeof one), 8);
    const std::clock_t cpuBefore = std::clock();  // the process's CPU time: the test thread sleeps
    std::this_thread::sleep_for(1s);
    // A bound on work, not a speed figure: a spinning worker burns most of the second.
    EXPECT_LT(static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.25);
    cable2.send("more");  // channel 2 goes on after the failed write
    ASSERT_TRUE(eventually([&] { return app.relay.relayChannel2.rateByteCount.load() == 17; }));
    stopBoth();
    EXPECT_TRUE(eventuallyWorkers(0, 0));
}

// The combined capture, read back: its records with runs of one direction joined, in file order.
std::vector<std::pair<int, std::string>> combinedRuns(const std::vector<CombinedRecord>& records) {
    std::vector<std::pair<int, std::string>> runs;
    for (const CombinedRecord& r : records) {
        if (runs.empty() || runs.back().first != r.channel) runs.emplace_back(r.channel, "");
        runs.back().second += r.bytes;
    }
    return runs;
}

// Each answer is sent only after its request came out at port 2, so the true order is known.
TEST_F(RelayTest, CombinedCaptureRecordsRequestsAndAnswersInTheOrderTheyWereRead) {
    ASSERT_EQ(app.captures.combinedCapture.open(dir.file("both.log")), 0);
    startBoth();
    std::vector<std::pair<int, std::string>> expected;
    for (uint32_t round = 0; round < 12; ++round) {
        const std::string request = randomBytes(1 + round * 53 % 600, 100 + round);
        const std::string answer = randomBytes(1 + round * 211 % 2500, 200 + round);
        cable1.send(request);
        ASSERT_EQ(cable2.receive(request.size()), request);
        cable2.send(answer);
        ASSERT_EQ(cable1.receive(answer.size()), answer);
        expected.emplace_back(1, request);
        expected.emplace_back(2, answer);
    }
    stopBoth();
    ASSERT_TRUE(app.captures.combinedCapture.close());

    std::string error;
    const auto records = parseCombinedRecords(dir.read("both.log"), error);
    ASSERT_EQ(error, "");
    EXPECT_TRUE(combinedRuns(records) == expected);
    int64_t bytes = 0, gaps = 0;
    for (const CombinedRecord& r : records) {
        EXPECT_LE(r.bytes.size(), r.channel == 1 ? 256u : 1024u);
        EXPECT_GE(r.gapMicros, 0);
        bytes += static_cast<int64_t>(r.bytes.size());
        gaps += r.gapMicros;
    }
    EXPECT_EQ(app.captures.combinedCapture.byteCount(), bytes);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().gapMicros, 0);
    // Wall time and gaps come from two clocks read together: they may differ by a microsecond
    // of rounding at either end.
    EXPECT_NEAR(gaps, records.back().wallMicros - records.front().wallMicros, 3);
    EXPECT_GT(gaps, 0);
}

// Every capture at once, both directions at full speed: the combined file holds, per direction,
// exactly what that direction's own capture holds, which is exactly what was sent.
TEST_F(RelayTest, CombinedCaptureBesideBothCapturesHoldsTheSameBytesPerDirection) {
    app.relay.appOptions.CRLF = 0;
    app.relay.appOptions.DATETIME = 0;
    ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("one.log")), 1);
    ASSERT_EQ(app.captures.openCaptureLog(2, dir.file("two.log")), 1);
    ASSERT_EQ(app.captures.combinedCapture.open(dir.file("both.log")), 0);
    startBoth();
    const std::string forward = randomBytes(1 << 20, 31), backward = randomBytes(1 << 20, 32);
    std::string gotForward, gotBackward;
    std::thread send1([&] { cable1.send(forward); }), send2([&] { cable2.send(backward); });
    std::thread receive1([&] { gotBackward = cable1.receive(backward.size(), 10000); });
    gotForward = cable2.receive(forward.size(), 10000);
    send1.join(), send2.join(), receive1.join();
    stopBoth();
    app.captures.closeCaptureLog(1), app.captures.closeCaptureLog(2);
    ASSERT_TRUE(app.captures.combinedCapture.close());
    ASSERT_TRUE(gotForward == forward && gotBackward == backward);

    std::string error, perDirection[2];
    for (const CombinedRecord& r : parseCombinedRecords(dir.read("both.log"), error)) {
        EXPECT_GE(r.gapMicros, 0);
        perDirection[r.channel - 1] += r.bytes;
    }
    ASSERT_EQ(error, "");
    EXPECT_TRUE(perDirection[0] == dir.read("one.log") && perDirection[0] == forward);
    EXPECT_TRUE(perDirection[1] == dir.read("two.log") && perDirection[1] == backward);
}

}  // namespace
