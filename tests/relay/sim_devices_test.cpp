// The demo's simulated devices: the instrument's answers, and a whole conversation between the
// two devices carried by the real relay workers over their pseudo-terminals.
#include "tools/sim_devices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "relay/relay_channel.h"
#include "settings/config.h"
#include "tests/support/pty_cable.h"

namespace {

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

TEST(SimDevices, HostAndInstrumentHoldAConversationThroughTheRelay) {
    ScratchDir dir;
    PtyCable cableA, cableB;
    dir.write("Vorlinex.ini", devicesSection({cableA.slavePath(), cableB.slavePath(), "", "", "", ""}));
    loadConfig();
    std::atomic<size_t> answered{0};  // bytes channel 2 carried from the instrument to the host
    relayChannel(2).chunkObserver = [&](const uint8_t*, int32_t length, int32_t) { answered += length; };
    for (int n : {1, 2}) {
        ASSERT_EQ(openPort(n == 1 ? "com1" : "com2", relayChannel(n).source), 0);
        configurePort(relayChannel(n).source);
        startRelayWorker(relayChannel(n));
    }
    // The instrument's answers to the host's first messages, up to its first binary frame.
    const std::string conversation = "SIMTECH,TM-100,00042,1.01\r\n+23.40 C\r\nBIN OK 160\r\n" +
                                     shiftJis("現在の温度は23.47度です\r\nOK 稼働中\r\n");
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const DeviceTraffic traffic = runDevices(cableA.master(), cableB.master(), [&] {
        return answered >= conversation.size() || std::chrono::steady_clock::now() > giveUp;
    }, {50, 200});
    for (int n : {1, 2}) requestWorkerStop(relayChannel(n));
    for (int n : {1, 2}) {
        joinRelayWorker(relayChannel(n));
        closePort(relayChannel(n).source);
    }
    relayChannel(2).chunkObserver = nullptr;

    EXPECT_EQ(traffic.instrumentSent.substr(0, conversation.size()), conversation);
    // Each device received exactly what the other sent, in order.
    EXPECT_TRUE(receivedInOrder(traffic.hostSent, traffic.instrumentReceived));
    EXPECT_TRUE(receivedInOrder(traffic.instrumentSent, traffic.hostReceived));
    EXPECT_GE(traffic.framesReceived, 1);
}

}  // namespace
