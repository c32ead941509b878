// Both relay workers through two real pseudo-terminal cables: the test holds the far ends.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <thread>

#include "capture/capture_log.h"
#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "shell/relay_sinks.h"
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
    // The process-wide records this file touches, in one place.
    static RelayChannel& channel(int number) { return relayChannel(number); }
    AppOptions& options = appOptions;
    TrafficDisplay& display1 = trafficDisplay1;
    CombinedLog& combined = combinedCapture;

    void SetUp() override {
        setBoxFunction([](const BoxRequest& box) { FAIL() << "unexpected box: " << box.text; });
        dir.write("Vorlinex.ini", "[DATA1]\nCOM=0\nBPS=115200\nBIT=8\n[DATA2]\nCOM=1\nBPS=115200\nBIT=8\n" +
                                      devicesSection({cable1.slavePath(), cable2.slavePath(), "", "", "", ""}));
        loadConfig();
        connectRelaySinks();
        display1.displayOpen = trafficDisplay2.displayOpen = 0;
        for (int n : {1, 2}) {
            ASSERT_EQ(openPort(portDeviceNameAt(channel(n).source.settings.comIndex), channel(n).source), 0);
            configurePort(channel(n).source);
            channel(n).rateByteCount = channel(n).stampCountdown = channel(n).logEnabled = 0;
            // Each worker fills its own record; the test reads them after the join.
            channel(n).chunkObserver = [this, n](const uint8_t* bytes, int32_t length, int32_t stamp) {
                chunks[n - 1].emplace_back(reinterpret_cast<const char*>(bytes), length);
                stamps[n - 1].push_back(stamp);
            };
        }
    }
    void TearDown() override {
        stopBoth();
        for (int n : {1, 2}) {
            closePort(channel(n).source);
            channel(n).chunkObserver = nullptr;
        }
        display1.displayWindow.store(nullptr);
        setBoxFunction(nullptr);
    }
    void startBoth() {
        for (int n : {1, 2}) startRelayWorker(channel(n));
    }
    void stopBoth() {
        for (int n : {1, 2}) requestWorkerStop(channel(n));
        for (int n : {1, 2}) joinRelayWorker(channel(n));
    }
    ScratchDir dir;
    PtyCable cable1, cable2;
    std::vector<std::string> chunks[2];
    std::vector<int32_t> stamps[2];
};

TEST_F(RelayTest, QueuedInputIsReadInChunksOfEachChannelsLimit) {
    const std::string toPort2 = randomBytes(300, 1), toPort1 = randomBytes(300, 2);
    cable1.send(toPort2);
    cable2.send(toPort1);
    ASSERT_TRUE(eventually([&] {  // both queued whole before the workers start
        int queued1 = 0, queued2 = 0;
        ioctl(channel(1).source.handle.load(), FIONREAD, &queued1);
        ioctl(channel(2).source.handle.load(), FIONREAD, &queued2);
        return queued1 == 300 && queued2 == 300;
    }));
    channel(2).rateByteCount = INT32_MAX - 100;  // as after hours with RATE 0: no wrap
    startBoth();
    EXPECT_EQ(cable2.receive(300), toPort2);
    EXPECT_EQ(cable1.receive(300), toPort1);
    stopBoth();
    EXPECT_EQ(chunks[0], (std::vector<std::string>{toPort2.substr(0, 256), toPort2.substr(256)}));
    EXPECT_EQ(chunks[1], std::vector<std::string>{toPort1});
    EXPECT_EQ(channel(1).rateByteCount.load(), 300);
    EXPECT_EQ(channel(2).rateByteCount.load(), INT32_MAX);
}

// Port 2's side is not read for 3 seconds meanwhile: the worker must wait for room, not drop.
// Every capture is on: each direction's file and the combined one hold exactly what was sent.
TEST_F(RelayTest, AMegabyteEachWayArrivesAndIsCapturedWholeThoughOneSideIsNotReadForThreeSeconds) {
    options.CRLF = 0;
    options.DATETIME = 0;
    ASSERT_EQ(openCaptureLog(1, dir.file("one.log")), 1);
    ASSERT_EQ(openCaptureLog(2, dir.file("two.log")), 1);
    ASSERT_EQ(combined.open(dir.file("both.log")), 0);
    startBoth();
    const std::string forward = randomBytes(1 << 20, 11), backward = randomBytes(1 << 20, 12);
    std::string gotBackward;
    std::thread send1([&] { cable1.send(forward); }), send2([&] { cable2.send(backward); });
    std::thread receive1([&] { gotBackward = cable1.receive(backward.size(), 10000); });
    std::this_thread::sleep_for(3s);
    const std::string gotForward = cable2.receive(forward.size(), 10000);
    for (std::thread* t : {&send1, &send2, &receive1}) t->join();
    EXPECT_TRUE(gotForward == forward) << gotForward.size() << " bytes on channel 1";
    EXPECT_TRUE(gotBackward == backward) << gotBackward.size() << " bytes on channel 2";
    stopBoth();
    for (int n : {1, 2}) closeCaptureLog(n);
    ASSERT_TRUE(combined.close());
    std::string error, perDirection[2];
    for (const CombinedRecord& r : parseCombinedRecords(dir.read("both.log"), error)) perDirection[r.channel - 1] += r.bytes;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(perDirection[0] == forward && dir.read("one.log") == forward);
    EXPECT_TRUE(perDirection[1] == backward && dir.read("two.log") == backward);
}

// A second start replaces the worker; a stop ends it, and a vanished device makes none spin.
TEST_F(RelayTest, ARestartReplacesTheWorkerAndAVanishedDeviceMakesNoneSpin) {
    startBoth();
    startRelayWorker(channel(1));  // again without a stop: replaces, never adds
    EXPECT_TRUE(eventuallyWorkers(1, 1));
    cable1.send("ping");
    EXPECT_EQ(cable2.receive(4), "ping");
    // Port 1's device goes away: channel 1 loses its source, channel 2 its destination.
    cable1.hangUp();
    cable2.send("into the void");
    ASSERT_TRUE(eventually([&] { return channel(2).rateByteCount.load() == 13; }));
    // A stray wake-up that is no stop request must not make the waits stop waiting.
    const uint64_t one = 1;
    ASSERT_EQ(::write(channel(2).wakeFd, &one, sizeof one), 8);
    const std::clock_t cpuBefore = std::clock();  // the process's CPU time: the test thread sleeps
    std::this_thread::sleep_for(1s);
    // A bound on work, not a speed figure: a spinning worker burns most of the second.
    EXPECT_LT(static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.25);
    cable2.send("more");  // channel 2 goes on after the failed write
    ASSERT_TRUE(eventually([&] { return channel(2).rateByteCount.load() == 17; }));
    stopBoth();
    EXPECT_TRUE(eventuallyWorkers(0, 0));
}

// firstStamp, secondStamp: stamp lengths of two chunks, 0: none.
struct StampCase {
    const char* name;
    int32_t dateTime, quietSeconds, countdown, displayOpen, displayMode, log, firstStamp, secondStamp;
};
class StampTest : public RelayTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(StampTest, StampsTheFirstChunkAfterQuietAndReloadsTheCountdown) {
    const StampCase& c = GetParam();
    const auto control = std::make_shared<TrafficTextControl>();
    options.DATETIME = c.dateTime;
    options.DATETIMEVAL = c.quietSeconds;
    display1.displayWindow = control;
    display1.displayOpen = c.displayOpen;
    display1.displayMode = c.displayMode;
    channel(1).stampCountdown = c.countdown;
    ASSERT_TRUE(!c.log || openCaptureLog(1, dir.file("capture.bin")) == 1);
    const std::time_t before = std::time(nullptr);
    startBoth();
    const std::string first("0123\0\0" "6789", 10), second = "later";
    for (const std::string& bytes : {first, second}) {  // the line never gets a stamp
        cable1.send(bytes);
        EXPECT_EQ(cable2.receive(bytes.size()), bytes);
    }
    stopBoth();
    EXPECT_EQ(stamps[0], (std::vector<int32_t>{c.firstStamp, c.secondStamp}));
    EXPECT_EQ(channel(1).stampCountdown.load(), c.quietSeconds);
    if (!c.log) return;
    closeCaptureLog(1);  // the log gets the stamp, the local time when the chunk came, in front
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

// Each answer is sent only after its request came out at port 2, so the true order is known.
TEST_F(RelayTest, CombinedCaptureRecordsRequestsAndAnswersInTheOrderTheyWereRead) {
    ASSERT_EQ(combined.open(dir.file("both.log")), 0);
    startBoth();
    std::vector<std::pair<int, std::string>> expected, runs;  // runs of one direction, joined
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
    ASSERT_TRUE(combined.close());
    std::string error;
    const auto records = parseCombinedRecords(dir.read("both.log"), error);
    ASSERT_EQ(error, "");
    ASSERT_FALSE(records.empty());
    int64_t bytes = 0, gaps = 0;
    for (const CombinedRecord& r : records) {
        if (runs.empty() || runs.back().first != r.channel) runs.emplace_back(r.channel, "");
        runs.back().second += r.bytes;
        EXPECT_LE(r.bytes.size(), r.channel == 1 ? 256u : 1024u);
        bytes += static_cast<int64_t>(r.bytes.size());
        gaps += r.gapMicros;
    }
    EXPECT_TRUE(runs == expected);
    EXPECT_EQ(combined.byteCount(), bytes);
    EXPECT_EQ(records.front().gapMicros, 0);
    // Wall time and gaps come from two clocks read together: they may differ by a microsecond
    // of rounding at either end.
    EXPECT_NEAR(gaps, records.back().wallMicros - records.front().wallMicros, 3);
    EXPECT_GT(gaps, 0);
}

}  // namespace
