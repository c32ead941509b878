// The demo's simulated devices: the instrument's answers, and a whole conversation carried
// between the two devices over their pseudo-terminals by a small relay of the test's own.
#include "tools/sim_devices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/pty_cable.h"

namespace {

struct AnswerCase {
    const char* name;
    std::string received;
    std::string answers;
};

std::string corruptedFrame() {
    std::string frame = binaryFrame();
    frame[frame.size() - 2] ^= 0x01;  // the checksum
    return frame;
}

const AnswerCase answerCases[] = {
    {"Identity", "*IDN?\r\n", "SIMTECH,TM-100,00042,1.01\r\n"},
    {"MeasurementWithLoneCr", "MEAS?\r", "+23.40 C\r\n"},
    {"MeasurementsDrift", "MEAS?\nMEAS?\n", "+23.40 C\r\n+23.47 C\r\n"},
    {"StatusInShiftJis", "STAT?\r\n", shiftJis("OK 稼働中\r\n")},
    {"JapaneseTemperatureRequest", shiftJis("温度を測定してください\r\n"),
     shiftJis("現在の温度は23.40度です\r\n")},
    {"JapaneseStatusRequest", shiftJis("状態を教えてください\r\n"),
     shiftJis("状態：正常、異常はありません\r\n")},
    {"UnknownCommand", "HELLO\r\n", shiftJis("ERR 不明なコマンド\r\n")},
    {"EmptyLinesAreNoCommands", "\r\n\r\n\n", ""},
    {"LineLongerThanTheBuffer", std::string(300, 'X') + "\r\n", shiftJis("ERR 不明なコマンド\r\n")},
    {"BinaryFrame", binaryFrame(), "BIN OK 160\r\n"},
    {"FrameWithCrLfInsideThenCommand", binaryFrame("\r\n\r\n") + "*IDN?\r\n",
     "BIN OK 4\r\nSIMTECH,TM-100,00042,1.01\r\n"},
    {"CorruptedFrame", corruptedFrame() + "MEAS?\r\n", "BIN NG\r\n+23.40 C\r\n"},
};

class InstrumentAnswers : public testing::TestWithParam<AnswerCase> {};

TEST_P(InstrumentAnswers, SameAnswersWhetherBytesComeAtOnceOrOneByOne) {
    const AnswerCase& c = GetParam();
    InstrumentDevice atOnce;
    EXPECT_EQ(atOnce.feed(c.received), c.answers);

    InstrumentDevice oneByOne;
    std::string answers;
    for (char byte : c.received) answers += oneByOne.feed(std::string(1, byte));
    EXPECT_EQ(answers, c.answers);
}

INSTANTIATE_TEST_SUITE_P(Commands, InstrumentAnswers, testing::ValuesIn(answerCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(SimDevices, ShiftJisTextTakesTwoBytesPerJapaneseCharacter) {
    EXPECT_EQ(shiftJis("温度"), "\x89\xB7\x93\x78");
    EXPECT_EQ(shiftJis("OK 稼働中").size(), 3u + 3 * 2);
}

TEST(SimDevices, BinaryFrameCarriesEveryControlAndHighByte) {
    const std::string payload = binaryFramePayload();
    ASSERT_EQ(payload.size(), 32u + 128u);
    for (int b = 0x00; b <= 0x1F; ++b) EXPECT_NE(payload.find(static_cast<char>(b)), std::string::npos);
    for (int b = 0x80; b <= 0xFF; ++b) EXPECT_NE(payload.find(static_cast<char>(b)), std::string::npos);
}

struct OrderCase {
    const char* name;
    std::string received;
    bool inOrder;
};

class RelayCheck : public testing::TestWithParam<OrderCase> {};

TEST_P(RelayCheck, FindsDroppedRepeatedAndReorderedBytes) {
    EXPECT_EQ(receivedInOrder("ABCDEFGH", GetParam().received), GetParam().inOrder);
}

INSTANTIATE_TEST_SUITE_P(Streams, RelayCheck,
                         testing::Values(OrderCase{"Everything", "ABCDEFGH", true},
                                         OrderCase{"Nothing", "", true},
                                         OrderCase{"HeadMissing", "CDEFGH", true},
                                         OrderCase{"TailStillUnderway", "ABCDE", true},
                                         OrderCase{"Dropped", "ABDEFGH", false},
                                         OrderCase{"Repeated", "ABCCDEFGH", false},
                                         OrderCase{"Reordered", "ABDCEFGH", false},
                                         OrderCase{"Changed", "ABCdEFGH", false}),
                         [](const auto& param) { return std::string(param.param.name); });

// The program's side of both cables: opened raw, as the program opens its ports.
int openSlave(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

void forward(int from, int to, std::string& carried) {
    char buf[4096];
    ssize_t n = ::read(from, buf, sizeof buf);
    if (n <= 0) return;
    size_t done = 0;
    while (done < static_cast<size_t>(n)) {
        ssize_t w = ::write(to, buf + done, static_cast<size_t>(n) - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else {
            pollfd p{to, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
    carried.append(buf, static_cast<size_t>(n));
}

size_t occurrences(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

TEST(SimDevices, HostAndInstrumentHoldAConversationThroughTheCables) {
    PtyCable cableA;
    PtyCable cableB;
    std::atomic<bool> stop{false};
    DeviceTraffic traffic;
    std::thread devices([&] {
        traffic = runDevices(cableA.master(), cableB.master(), [&] { return stop.load(); },
                             HostPace{50, 200});
    });

    int portA = openSlave(cableA.slavePath());
    int portB = openSlave(cableB.slavePath());
    ASSERT_GE(portA, 0);
    ASSERT_GE(portB, 0);
    std::string aToB;
    std::string bToA;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // One whole round of the host holds two binary frames.
    while (occurrences(bToA, "BIN OK 160\r\n") < 2 && std::chrono::steady_clock::now() < deadline) {
        pollfd p[2] = {{portA, POLLIN, 0}, {portB, POLLIN, 0}};
        ::poll(p, 2, 100);
        if (p[0].revents & POLLIN) forward(portA, portB, aToB);
        if (p[1].revents & POLLIN) forward(portB, portA, bToA);
    }
    stop = true;
    devices.join();
    ::close(portA);
    ::close(portB);

    // The host's messages up to its second frame, in order, from the first byte on.
    const HostDevice host;
    std::string sentUpToSecondFrame;
    int frames = 0;
    for (const std::string& message : host.round()) {
        if (frames == 2) break;
        sentUpToSecondFrame += message;
        if (message.front() == frameStart) ++frames;
    }
    ASSERT_EQ(frames, 2);
    EXPECT_EQ(aToB.substr(0, sentUpToSecondFrame.size()), sentUpToSecondFrame);

    const std::string conversation =
        "SIMTECH,TM-100,00042,1.01\r\n"
        "+23.40 C\r\n"
        "BIN OK 160\r\n" +
        shiftJis("現在の温度は23.47度です\r\n") + shiftJis("OK 稼働中\r\n") +
        "+23.54 C\r\n" +
        shiftJis("状態：正常、異常はありません\r\n") + shiftJis("OK 稼働中\r\n") +
        "+23.61 C\r\n" +
        shiftJis("現在の温度は23.45度です\r\n") +
        "BIN OK 160\r\n";
    EXPECT_EQ(bToA.substr(0, conversation.size()), conversation);

    // What the devices saw is what the cables carried, in order.
    EXPECT_TRUE(receivedInOrder(traffic.hostSent, aToB));
    EXPECT_TRUE(receivedInOrder(aToB, traffic.instrumentReceived));
    EXPECT_TRUE(receivedInOrder(traffic.instrumentSent, bToA));
    EXPECT_TRUE(receivedInOrder(bToA, traffic.hostReceived));
    EXPECT_GE(traffic.framesReceived, 2);
}

TEST(SimDevices, HostStaysSilentWhileNobodyHoldsItsPortOpen) {
    PtyCable cableA;
    PtyCable cableB;
    std::atomic<int> passes{0};
    // Nobody opens the slaves: reads give EIO and the host must not talk; the loop keeps
    // asking whether to stop, and ends when told.
    const DeviceTraffic traffic = runDevices(cableA.master(), cableB.master(), [&] { return ++passes > 5; });
    EXPECT_TRUE(traffic.hostSent.empty());
    EXPECT_TRUE(traffic.instrumentReceived.empty());
}

}  // namespace
