// Both relay workers of an application's relay, through the fixture's two adapters, and the demo's
// simulated devices that talk through them.
#include <sys/ioctl.h>

#include <ctime>

#include "display/traffic_text_control.h"
#include "tests/relay/relay_fixture.h"
#include "tests/support/combined_records.h"
#include "tools/sim_devices.h"

namespace {

using namespace std::chrono_literals;

TEST_F(RelayTest, QueuedInputIsReadInChunksOfEachChannelsLimit) {
    const std::string toPort2 = randomBytes(300, 1), toPort1 = randomBytes(300, 2);
    cable(1).send(toPort2), cable(2).send(toPort1);
    ASSERT_TRUE(eventually([&] {  // both queued whole before the workers start
        int queued1 = 0, queued2 = 0;
        ioctl(relay.serialPort1.handle.load(), FIONREAD, &queued1);
        ioctl(relay.serialPort2.handle.load(), FIONREAD, &queued2);
        return queued1 == 300 && queued2 == 300;
    }));
    relay.relayChannel2.rateByteCount = INT32_MAX - 100;  // as after hours with RATE 0: no wrap
    startBoth();
    EXPECT_EQ(cable(2).receive(300), toPort2);
    EXPECT_EQ(cable(1).receive(300), toPort1);
    relay.stopRelayWorkers();
    EXPECT_EQ(chunks[0], (std::vector<std::string>{toPort2.substr(0, 256), toPort2.substr(256)}));
    EXPECT_EQ(chunks[1], std::vector<std::string>{toPort1});
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load(), 300);
    EXPECT_EQ(relay.relayChannel2.rateByteCount.load(), INT32_MAX);
}

// Port 2's side is not read for 3 seconds meanwhile: the worker must wait for room, not drop.
// The combined capture, which both workers write at once, holds exactly what was sent.
TEST_F(RelayTest, AMegabyteEachWayArrivesAndIsCapturedWholeThoughOneSideIsNotReadForThreeSeconds) {
    ASSERT_EQ(app.captures.combinedCapture.open(dir.file("both.log")), 0);
    startBoth();
    const std::string forward = randomBytes(1 << 20, 11), backward = randomBytes(1 << 20, 12);
    std::string gotBackward;
    std::thread send1([&] { cable(1).send(forward); }), send2([&] { cable(2).send(backward); });
    std::thread receive1([&] { gotBackward = cable(1).receive(backward.size(), 10000); });
    std::this_thread::sleep_for(3s);
    const std::string gotForward = cable(2).receive(forward.size(), 10000);
    for (std::thread* t : {&send1, &send2, &receive1}) t->join();
    EXPECT_TRUE(gotForward == forward) << gotForward.size() << " bytes on channel 1";
    EXPECT_TRUE(gotBackward == backward) << gotBackward.size() << " bytes on channel 2";
    relay.stopRelayWorkers();
    ASSERT_TRUE(app.captures.combinedCapture.close());
    std::string error, perDirection[2];
    for (const CombinedRecord& r : parseCombinedRecords(dir.read("both.log"), error)) perDirection[r.channel - 1] += r.bytes;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(perDirection[0] == forward && perDirection[1] == backward);
}

// A second start replaces the worker, and a vanished device makes none spin; after the
// shutdown's refusal nothing reopens.
TEST_F(RelayTest, ARestartReplacesTheWorkerAndAVanishedDeviceMakesNoneSpin) {
    startBoth();
    startRelayWorker(relay.relayChannel1);  // again without a stop: replaces, never adds
    EXPECT_TRUE(eventuallyWorkers(1, 1));
    cable(1).send("ping");
    EXPECT_EQ(cable(2).receive(4), "ping");
    // Port 1's device goes away: channel 1 loses its source, channel 2 its destination.
    adapter1.unplug();
    cable(2).send("into the void");
    ASSERT_TRUE(eventually([&] { return relay.relayChannel2.rateByteCount.load() == 13; }));
    // A stray wake-up that is no stop request must not make the waits stop waiting.
    const uint64_t one = 1;
    ASSERT_EQ(::write(relay.relayChannel2.wakeFd, &one, sizeof one), 8);
    const std::clock_t cpuBefore = std::clock();  // the process's CPU time: the test thread sleeps
    std::this_thread::sleep_for(1s);
    // A bound on work, not a speed figure: a spinning worker burns most of the second.
    EXPECT_LT(static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.25);
    cable(2).send("more");  // channel 2 goes on after the failed write
    ASSERT_TRUE(eventually([&] { return relay.relayChannel2.rateByteCount.load() == 17; }));
    // Once shutdown has begun, the device that comes back stays closed and no worker starts.
    relay.refusePortOpens();
    relay.stopRelayAndClosePorts();
    adapter1.plug();
    EXPECT_FALSE(reconnectPorts(relay));
    EXPECT_FALSE(relay.serialPort1.isOpen() || relay.serialPort2.isOpen());
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
    relay.appOptions.DATETIME = c.dateTime;
    relay.appOptions.DATETIMEVAL = c.quietSeconds;
    app.trafficDisplay1.displayWindow = control;
    app.trafficDisplay1.displayOpen = c.displayOpen;
    app.trafficDisplay1.displayMode = c.displayMode;
    relay.relayChannel1.stampCountdown = c.countdown;
    ASSERT_TRUE(!c.log || app.captures.openCaptureLog(1, dir.file("capture.bin")) == 1);
    const std::time_t before = std::time(nullptr);
    startBoth();
    const std::string first("0123\0\0" "6789", 10), second = "later";
    for (const std::string& bytes : {first, second}) {  // the line never gets a stamp
        cable(1).send(bytes);
        EXPECT_EQ(cable(2).receive(bytes.size()), bytes);
    }
    relay.stopRelayWorkers();
    EXPECT_EQ(stamps[0], (std::vector<int32_t>{c.firstStamp, c.secondStamp}));
    EXPECT_EQ(relay.relayChannel1.stampCountdown.load(), c.quietSeconds);
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

// Each answer is sent only after its request came out at port 2, so the true order is known.
TEST_F(RelayTest, CombinedCaptureRecordsRequestsAndAnswersInTheOrderTheyWereRead) {
    ASSERT_EQ(app.captures.combinedCapture.open(dir.file("both.log")), 0);
    startBoth();
    std::vector<std::pair<int, std::string>> expected, runs;  // runs of one direction, joined
    for (uint32_t round = 0; round < 12; ++round) {
        const std::string request = randomBytes(1 + round * 53 % 600, 100 + round);
        const std::string answer = randomBytes(1 + round * 211 % 2500, 200 + round);
        cable(1).send(request);
        ASSERT_EQ(cable(2).receive(request.size()), request);
        cable(2).send(answer);
        ASSERT_EQ(cable(1).receive(answer.size()), answer);
        expected.emplace_back(1, request);
        expected.emplace_back(2, answer);
    }
    relay.stopRelayWorkers();
    ASSERT_TRUE(app.captures.combinedCapture.close());
    std::string error;
    const auto records = parseCombinedRecords(dir.read("both.log"), error);
    ASSERT_EQ(error, "");
    ASSERT_FALSE(records.empty());
    int64_t gaps = 0;
    for (const CombinedRecord& r : records) {
        if (runs.empty() || runs.back().first != r.channel) runs.emplace_back(r.channel, "");
        runs.back().second += r.bytes;
        gaps += r.gapMicros;
    }
    EXPECT_TRUE(runs == expected);
    EXPECT_EQ(records.front().gapMicros, 0);
    // Wall time and gaps come from two clocks read together: they may differ by a microsecond
    // of rounding at either end.
    EXPECT_NEAR(gaps, records.back().wallMicros - records.front().wallMicros, 3);
    EXPECT_GT(gaps, 0);
}

// The demo's host and instrument talk through the relay: each receives what the other sent.
TEST_F(RelayTest, SimulatedHostAndInstrumentHoldAConversation) {
    std::atomic<size_t> answered{0};  // bytes channel 2 carried from the instrument to the host
    relay.relayChannel2.chunkObserver = [&](const uint8_t*, int32_t length, int32_t) { answered += length; };
    startBoth();
    // The instrument's answers to the host's first messages, up to its first binary frame.
    const std::string conversation = "SIMTECH,TM-100,00042,1.01\r\n+23.40 C\r\nBIN OK 160\r\n" +
                                     shiftJis("現在の温度は23.47度です\r\nOK 稼働中\r\n");
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    const DeviceTraffic traffic = runDevices(cable(1).master(), cable(2).master(), [&] {
        return answered >= conversation.size() || std::chrono::steady_clock::now() > giveUp;
    }, {50, 200});
    relay.stopRelayWorkers();
    EXPECT_EQ(traffic.instrumentSent.substr(0, conversation.size()), conversation);
    EXPECT_TRUE(receivedInOrder(traffic.hostSent, traffic.instrumentReceived));
    EXPECT_TRUE(receivedInOrder(traffic.instrumentSent, traffic.hostReceived));
    EXPECT_GE(traffic.framesReceived, 1);
}

// The instrument alone: it answers the same however its input is cut up.
TEST(SimDevices, TheInstrumentAnswersTheSameWhetherBytesComeAtOnceOrOneByOne) {
    std::string corrupted = binaryFrame();
    corrupted[corrupted.size() - 2] ^= 0x01;  // the checksum
    const std::string unknown = shiftJis("ERR 不明なコマンド\r\n");
    const std::pair<std::string, std::string> cases[] = {
        {"*IDN?\r\n", "SIMTECH,TM-100,00042,1.01\r\n"},
        {"MEAS?\rMEAS?\n", "+23.40 C\r\n+23.47 C\r\n"},  // a lone CR or LF ends a line too
        {shiftJis("温度を測定してください\r\n"), shiftJis("現在の温度は23.40度です\r\n")},
        {"HELLO\r\n\r\n\n", unknown},  // empty lines are no commands
        {binaryFrame("\r\n\r\n") + "*IDN?\r\n", "BIN OK 4\r\nSIMTECH,TM-100,00042,1.01\r\n"},
        {corrupted + "MEAS?\r\n", "BIN NG\r\n+23.40 C\r\n"},
    };
    for (const auto& [received, answers] : cases) {
        SCOPED_TRACE(received.substr(0, 20));
        InstrumentDevice atOnce, oneByOne;
        EXPECT_EQ(atOnce.feed(received), answers);
        std::string pieces;
        for (char byte : received) pieces += oneByOne.feed(std::string(1, byte));
        EXPECT_EQ(pieces, answers);
    }
}

// Either adapter goes away while both directions relay, twice: the other direction goes on and
// counts what it cannot deliver, the status says which port waits, and once the adapter is back
// every byte sent afterwards arrives, both ways.
class ReconnectEitherPort : public RelayTest, public ::testing::WithParamInterface<int> {};

TEST_P(ReconnectEitherPort, OtherDirectionGoesOnAndBothRelayAgainAfterTheReplug) {
    const int gone = GetParam(), stays = 3 - gone;
    PluggableCable& lost = gone == 1 ? adapter1 : adapter2;
    RelayChannel& onward = relay.relayChannel(stays);  // its destination is gone
    startBoth();
    expectBothWaysRelay(1);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        lost.unplug();
        ASSERT_TRUE(eventually([&] { return away(relay.serialPort(gone)); }, &relay));
        EXPECT_TRUE(eventuallyWorkers(gone == 1 ? 0 : 1, gone == 1 ? 1 : 0));
        cable(stays).send(randomBytes(12345, 10 + round));
        ASSERT_TRUE(eventually([&] { return onward.undeliveredBytes.load() == 12345; }, &relay))
            << onward.undeliveredBytes.load();
        const std::string name = "COM" + std::to_string(gone);
        EXPECT_EQ(reconnectStatusText(relay), name + ": " + lost.path() + " unplugged, waiting; 12,345 bytes not delivered to " + name);
        lost.plug();
        ASSERT_TRUE(eventually([&] { return back(relay.serialPort(gone)); }, &relay));
        EXPECT_TRUE(eventuallyWorkers(1, 1));
        EXPECT_EQ(onward.undeliveredBytes.load(), 0);
        expectBothWaysRelay(20 + round);
    }
}

INSTANTIATE_TEST_SUITE_P(Unplugged, ReconnectEitherPort, ::testing::Values(1, 2),
                         [](const auto& c) { return "Port" + std::to_string(c.param); });

}  // namespace
