// The demo's simulated instrument on its own: it answers the same however its input is cut up.
// (Its conversation with the host through the program is the demo's own check, run with the tests.)
#include <gtest/gtest.h>

#include "tools/sim_devices.h"

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
