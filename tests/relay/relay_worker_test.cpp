// Both relay workers through two real pseudo-terminal cables: the test holds the far ends.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_log.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

using namespace std::chrono_literals;

// Relay workers alive in this process, found by their thread names.
int liveWorkerCount(const char* name = "vx-relay") {
    int count = 0;
    DIR* d = opendir("/proc/self/task");
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName.rfind(name, 0) == 0) ++count;
    }
    closedir(d);
    return count;
}

// Waits (generously) until the condition holds; false when it never did.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

struct Chunk {
    std::string bytes;
    int32_t stampLength;
};

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        setBoxFunction([](const BoxRequest& box) { FAIL() << "unexpected box: " << box.text; });
        dir.write("Vorlinex.ini",
                  "[DATA1]\r\nCOM=0\r\nBPS=115200\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
                  "[DATA2]\r\nCOM=1\r\nBPS=115200\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
                  "[DATA]\r\nRATE=1\r\nDMODE=0\r\nCRLF=0\r\nDATETIME=0\r\nDATETIMEVAL=60\r\n" +
                      devicesSection({cable1.slavePath(), cable2.slavePath(), "", "", "", ""}));
        loadConfig();
        for (RelayChannel* channel : {&relayChannel1, &relayChannel2}) {
            // As start-up leaves them, also when several tests share one process.
            channel->rateByteCount = 0;
            channel->stampCountdown = 0;
            channel->displayOpen = 0;
            channel->displayMouseHeld = 0;
            channel->logEnabled = 0;
            channel->chunkObserver = [this, channel](const uint8_t* bytes, int32_t length,
                                                     int32_t stampLength) {
                std::lock_guard<std::mutex> hold(chunksLock);
                chunks[channel->number - 1].push_back(
                    {std::string(reinterpret_cast<const char*>(bytes), length), stampLength});
            };
        }
    }

    void TearDown() override {
        stopBoth();
        closePort(serialPort1);
        closePort(serialPort2);
        relayChannel1.chunkObserver = nullptr;
        relayChannel2.chunkObserver = nullptr;
        leftMouseButtonDown = 0;
        setBoxFunction(nullptr);
    }

    // As start-up does it: open, configure, and a worker for each port that opened.
    void openBoth() {
        for (SerialPort* port : {&serialPort1, &serialPort2}) {
            const int32_t comIndex = port->settings.comIndex;
            ASSERT_EQ(openPort(portDeviceNameAt(comIndex), comIndex + 1, *port), 0);
            configurePort(*port);
        }
    }
    void startBoth() {
        startRelayWorker(relayChannel1);
        startRelayWorker(relayChannel2);
    }
    void stopBoth() {
        requestWorkerStop(relayChannel1);
        requestWorkerStop(relayChannel2);
        joinRelayWorker(relayChannel1);
        joinRelayWorker(relayChannel2);
    }

    // Holds until the port's input queue has all `count` bytes, so a worker started now
    // finds them queued together.
    static void waitQueued(SerialPort& port, int count) {
        ASSERT_TRUE(eventually([&] {
            int queued = 0;
            ioctl(port.handle.load(), FIONREAD, &queued);
            return queued == count;
        }));
    }

    std::vector<Chunk> chunksOf(int channel) {
        std::lock_guard<std::mutex> hold(chunksLock);
        return chunks[channel - 1];
    }
    std::vector<size_t> chunkSizes(int channel) {
        std::vector<size_t> sizes;
        for (const Chunk& c : chunksOf(channel)) sizes.push_back(c.bytes.size());
        return sizes;
    }

    ScratchDir dir;
    PtyCable cable1, cable2;
    std::mutex chunksLock;
    std::vector<Chunk> chunks[2];
};

TEST_F(RelayTest, QueuedInputIsReadInChunksOfEachChannelsLimit) {
    openBoth();
    const std::string toPort2 = randomBytes(300, 1);
    const std::string toPort1 = randomBytes(300, 2);
    cable1.send(toPort2);
    cable2.send(toPort1);
    waitQueued(serialPort1, 300);
    waitQueued(serialPort2, 300);
    startBoth();

    EXPECT_EQ(cable2.receive(300), toPort2);
    EXPECT_EQ(cable1.receive(300), toPort1);
    EXPECT_EQ(chunkSizes(1), (std::vector<size_t>{256, 44}));
    EXPECT_EQ(chunkSizes(2), (std::vector<size_t>{300}));
    EXPECT_EQ(relayChannel1.rateByteCount.load(), 300);
    EXPECT_EQ(relayChannel2.rateByteCount.load(), 300);
}

TEST_F(RelayTest, AMegabyteEachWayAtOnceArrivesIdentical) {
    openBoth();
    startBoth();
    const std::string forward = randomBytes(1 << 20, 11);
    const std::string backward = randomBytes(1 << 20, 12);
    std::string gotForward, gotBackward;
    std::thread send1([&] { cable1.send(forward); });
    std::thread send2([&] { cable2.send(backward); });
    std::thread receive1([&] { gotBackward = cable1.receive(backward.size(), 10000); });
    gotForward = cable2.receive(forward.size(), 10000);
    send1.join();
    send2.join();
    receive1.join();
    EXPECT_EQ(gotForward.size(), forward.size());
    EXPECT_TRUE(gotForward == forward) << "bytes changed, lost or reordered on channel 1";
    EXPECT_EQ(gotBackward.size(), backward.size());
    EXPECT_TRUE(gotBackward == backward) << "bytes changed, lost or reordered on channel 2";
}

TEST_F(RelayTest, ADestinationThatStopsReadingLosesNothing) {
    openBoth();
    startBoth();
    const std::string data = randomBytes(256 * 1024, 21);
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        cable1.send(data);
        sent = true;
    });
    // Nobody reads port 2's far end for three seconds: the cable fills up and the worker
    // has to wait for room instead of counting anything as sent.
    std::this_thread::sleep_for(3s);
    const std::string got = cable2.receive(data.size(), 10000);
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST_F(RelayTest, StopWhileTheDestinationIsFullEndsTheWorker) {
    openBoth();
    startBoth();
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        cable1.send(randomBytes(256 * 1024, 22));
        sent = true;
    });
    // Wait until the worker waits for room on a destination nobody reads: it takes no more.
    int32_t last = -1;
    ASSERT_TRUE(eventually([&] {
        const int32_t now = relayChannel1.rateByteCount.load();
        const bool settled = now > 0 && now == last;
        last = now;
        std::this_thread::sleep_for(100ms);
        return settled;
    }));
    int pending = 0;
    ioctl(cable2.master(), FIONREAD, &pending);
    EXPECT_GT(pending, 0);

    EXPECT_EQ(liveWorkerCount(), 2);
    stopBoth();
    EXPECT_EQ(liveWorkerCount(), 0);

    // Restarted, the channel carries the rest.
    startBoth();
    while (!sent) cable2.receive(1 << 20, 200);
    sender.join();
}

TEST_F(RelayTest, StopAndRestartNeverLeavesTwoWorkersOnAChannel) {
    openBoth();
    for (int round = 0; round < 10; ++round) {
        startBoth();
        EXPECT_EQ(liveWorkerCount("vx-relay1"), 1) << round;
        EXPECT_EQ(liveWorkerCount("vx-relay2"), 1) << round;
        // Starting again without a stop replaces the worker rather than adding one.
        startRelayWorker(relayChannel1);
        EXPECT_EQ(liveWorkerCount("vx-relay1"), 1) << round;

        const std::string forward = "round " + std::to_string(round) + " forward";
        const std::string backward = "round " + std::to_string(round) + " backward";
        cable1.send(forward);
        cable2.send(backward);
        EXPECT_EQ(cable2.receive(forward.size()), forward);
        EXPECT_EQ(cable1.receive(backward.size()), backward);

        // As the serial settings dialog does it: stop, wait for the end, close, reopen.
        stopBoth();
        EXPECT_EQ(liveWorkerCount(), 0) << round;
        EXPECT_EQ(relayChannel1.stopRequested.load(), 1);
        closePort(serialPort1);
        closePort(serialPort2);
        openBoth();
    }
}

TEST_F(RelayTest, AWorkerWithoutAnOpenSourceEndsAtOnce) {
    startRelayWorker(relayChannel1);
    joinRelayWorker(relayChannel1);
    EXPECT_EQ(liveWorkerCount(), 0);
    EXPECT_FALSE(relayChannel1.worker.joinable());
}

TEST_F(RelayTest, ChunksForADestinationThatIsNotOpenAreDroppedAndLaterOnesArrive) {
    ASSERT_EQ(openPort("com1", 1, serialPort1), 0);
    configurePort(serialPort1);
    startRelayWorker(relayChannel1);
    cable1.send("lost");
    ASSERT_TRUE(eventually([&] { return relayChannel1.rateByteCount.load() == 4; }));

    ASSERT_EQ(openPort("com2", 2, serialPort2), 0);
    configurePort(serialPort2);
    // The worker may still be handling the first chunk; wait until it took the next one.
    cable1.send("kept");
    ASSERT_TRUE(eventually([&] { return relayChannel1.rateByteCount.load() == 8; }));
    EXPECT_EQ(cable2.receiveUntilQuiet(), "kept");
}

// ---- time stamps ---------------------------------------------------------------------------

const std::regex stampForm("^(\n\n)?(\\d{4})/(\\d\\d)/(\\d\\d) (\\d\\d):(\\d\\d):(\\d\\d)\n$");

TEST(TimeStamp, TwentyBytesForAnEmptyOrMissingDisplayTwentyTwoWhenItHoldsText) {
    RelayChannel& channel = relayChannel1;
    const std::time_t before = std::time(nullptr);
    const std::string bare = formatTimeStamp(channel);  // no display window yet
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(bare.size(), 20u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(bare, m, stampForm)) << bare;
    EXPECT_FALSE(m[1].matched);

    // The local date and time of the moment, field by field.
    std::tm stamped{};
    stamped.tm_year = std::stoi(m[2]) - 1900;
    stamped.tm_mon = std::stoi(m[3]) - 1;
    stamped.tm_mday = std::stoi(m[4]);
    stamped.tm_hour = std::stoi(m[5]);
    stamped.tm_min = std::stoi(m[6]);
    stamped.tm_sec = std::stoi(m[7]);
    stamped.tm_isdst = -1;
    const std::time_t when = std::mktime(&stamped);
    EXPECT_LE(before, when);
    EXPECT_LE(when, after);

    TrafficTextControl control;
    channel.displayWindow = &control;
    EXPECT_EQ(formatTimeStamp(channel).size(), 20u);  // empty control

    control.setText("earlier traffic");
    ASSERT_GT(control.textLength(), 0);
    // Open or closed again, the window still counts with the text it holds.
    for (int32_t open : {1, 0}) {
        channel.displayOpen = open;
        const std::string led = formatTimeStamp(channel);
        EXPECT_EQ(led.size(), 22u);
        EXPECT_TRUE(std::regex_match(led, m, stampForm));
        EXPECT_TRUE(m[1].matched);
    }
    channel.displayWindow = nullptr;
    channel.displayOpen = 0;
}

class StampTest : public RelayTest {
protected:
    void SetUp() override {
        RelayTest::SetUp();
        openBoth();
        relayChannel1.displayWindow = &control;
    }
    void TearDown() override {
        RelayTest::TearDown();
        relayChannel1.displayWindow = nullptr;
        relayChannel1.displayOpen = 0;
    }

    // One chunk through channel 1, waited for at the far end so chunks never merge.
    void relayOne(const std::string& bytes) {
        cable1.send(bytes);
        EXPECT_EQ(cable2.receive(bytes.size()), bytes);
    }

    TrafficTextControl control;
};

TEST_F(StampTest, OnlyTheFirstChunkAfterAQuietPeriodIsStampedAndTheCountdownReloads) {
    appOptions.DATETIME = 1;
    appOptions.DATETIMEVAL = 60;
    relayChannel1.displayOpen = 1;
    startBoth();

    const std::string first = randomBytes(40, 31) + std::string(3, '\0') + "after zeros";
    relayOne(first);
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 60);
    relayOne("second");
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 60);

    const auto seen = chunksOf(1);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].bytes, first);  // zero bytes and all after them
    EXPECT_GE(seen[0].stampLength, 20);
    EXPECT_EQ(seen[1].stampLength, 0);
}

TEST_F(StampTest, AQuietPeriodOfZeroStampsEveryChunk) {
    appOptions.DATETIME = 1;
    appOptions.DATETIMEVAL = 0;
    relayChannel1.displayOpen = 1;
    startBoth();
    for (const char* text : {"one", "two", "three"}) relayOne(text);
    const auto seen = chunksOf(1);
    ASSERT_EQ(seen.size(), 3u);
    for (const Chunk& c : seen) EXPECT_GE(c.stampLength, 20) << c.bytes;
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 0);
}

struct NoStampCase {
    const char* name;
    int32_t dateTime;
    int32_t displayOpen;
    int32_t countdown;
};

class NoStampTest : public StampTest, public ::testing::WithParamInterface<NoStampCase> {};

TEST_P(NoStampTest, NoStampButTheCountdownStillReloads) {
    appOptions.DATETIME = GetParam().dateTime;
    appOptions.DATETIMEVAL = 45;
    relayChannel1.displayOpen = GetParam().displayOpen;
    relayChannel1.stampCountdown = GetParam().countdown;
    startBoth();
    relayOne("quiet");
    ASSERT_EQ(chunksOf(1).size(), 1u);
    EXPECT_EQ(chunksOf(1)[0].stampLength, 0);
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 45);
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, NoStampTest,
    ::testing::Values(NoStampCase{"NeitherDisplayNorLogOpen", 1, 0, 0},
                      NoStampCase{"StampSwitchedOff", 0, 1, 0},
                      NoStampCase{"StampSwitchOnlyCountsWhenExactlyOne", 2, 1, 0},
                      NoStampCase{"QuietPeriodNotOverYet", 1, 1, 7}),
    [](const auto& param) { return std::string(param.param.name); });

struct HandOffCase {
    const char* name;
    int32_t displayMode;
    bool displayShowsStamp;
};

class StampHandOffTest : public StampTest, public ::testing::WithParamInterface<HandOffCase> {};

TEST_P(StampHandOffTest, TheLogGetsTheStampTheLineNeverDoesTheDisplayOnlyInTextForm) {
    appOptions.DATETIME = 1;
    appOptions.DATETIMEVAL = 60;
    appOptions.CRLF = 0;
    relayChannel1.displayMode = GetParam().displayMode;
    relayChannel1.displayOpen = 1;
    ASSERT_EQ(openCaptureLog(1, dir.file("capture.bin")), 1);
    startBoth();

    relayOne("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd");  // 40 bytes, the line gets them alone
    relayOne("later");
    stopBoth();
    closeCaptureLog(1);

    // The display was empty when the stamp was built, so the stamp has no blank lines in front.
    const std::string log = dir.read("capture.bin");
    ASSERT_EQ(log.size(), 20u + 40u + 5u);
    EXPECT_TRUE(std::regex_match(log.substr(0, 20), stampForm)) << log;
    EXPECT_EQ(log.substr(20), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdlater");

    // The text form starts with the stamp's date and time; the hex form with the chunk's bytes.
    const std::string shown = control.text();
    const std::string expectedStart =
        GetParam().displayShowsStamp ? log.substr(0, 19) : "30 31 32 33 34 35 36 37";
    EXPECT_EQ(shown.substr(0, expectedStart.size()), expectedStart) << shown;
}

INSTANTIATE_TEST_SUITE_P(DisplayForms, StampHandOffTest,
                         ::testing::Values(HandOffCase{"Text", 0, true},
                                           HandOffCase{"Hexadecimal", 1, false}),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- pauses, lost devices ------------------------------------------------------------------

TEST_F(RelayTest, HoldingTheMouseInChannel1sDisplayPausesChannel1Only) {
    openBoth();
    relayChannel1.displayMouseHeld = 1;
    leftMouseButtonDown = 1;
    startBoth();

    cable1.send("held back");
    cable2.send("flows on");
    EXPECT_EQ(cable1.receive(8), "flows on");
    // Channel 1 has not taken its bytes: they still wait in port 1's input queue.
    std::this_thread::sleep_for(300ms);
    int queued = 0;
    ioctl(serialPort1.handle.load(), FIONREAD, &queued);
    EXPECT_EQ(queued, 9);
    EXPECT_TRUE(chunksOf(1).empty());

    leftMouseButtonDown = 0;
    EXPECT_EQ(cable2.receive(9), "held back");

    // A stop request ends a worker in the middle of a pause.
    leftMouseButtonDown = 1;
    cable1.send("again");
    waitQueued(serialPort1, 5);
    stopBoth();
    EXPECT_FALSE(relayChannel1.worker.joinable());
}

// CPU time the worker thread has used so far.
double workerCpuSeconds(RelayChannel& channel) {
    clockid_t clock;
    if (pthread_getcpuclockid(channel.worker.native_handle(), &clock) != 0) return -1;
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST_F(RelayTest, AVanishedDeviceDoesNotMakeTheWorkersSpinAndTheyStillEndWhenAsked) {
    openBoth();
    startBoth();
    cable1.send("before");
    EXPECT_EQ(cable2.receive(6), "before");

    // Port 1's device goes away: channel 1 loses its source, channel 2 its destination.
    cable1.hangUp();
    cable2.send("into the void");
    ASSERT_TRUE(eventually([&] { return relayChannel2.rateByteCount.load() == 13; }));

    // A stray wake-up that is no stop request must not make the wait stop waiting either.
    const uint64_t one = 1;
    ASSERT_EQ(::write(relayChannel2.wakeFd, &one, sizeof one), 8);

    const double start1 = workerCpuSeconds(relayChannel1);
    const double start2 = workerCpuSeconds(relayChannel2);
    std::this_thread::sleep_for(1s);
    // A sanity bound on work, not a speed figure: a worker that spins burns most of the second.
    EXPECT_LT(workerCpuSeconds(relayChannel1) - start1, 0.25);
    EXPECT_LT(workerCpuSeconds(relayChannel2) - start2, 0.25);

    // Channel 2 still reads its own port and goes on after the failed write.
    cable2.send("more");
    ASSERT_TRUE(eventually([&] { return relayChannel2.rateByteCount.load() == 17; }));

    EXPECT_EQ(liveWorkerCount(), 2);
    stopBoth();
    EXPECT_EQ(liveWorkerCount(), 0);
}

}  // namespace
