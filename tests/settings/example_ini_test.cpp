// The example settings the package installs as /etc/vorlinex/example.ini, read by the program's
// own INI reader: its comments explain every key, and none of them may change what is read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "settings/config.h"
#include "tests/support/pty_cable.h"

namespace {

std::string shippedExample() {
    const auto source = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    std::ifstream in(source / "packaging" / "example.ini", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Windows writes an INI with CR LF line ends, whatever it read; elsewhere the file keeps its own.
std::string savedOnThisPlatform(const std::string& text) {
#ifdef _WIN32
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
#else
    return text;
#endif
}

// Every key reads as the defaults, the two devices as written and the other names as theirs; a
// SAVE into it writes the same values back and keeps every comment, byte for byte.
TEST(ExampleSettings, ReadsAsTheDefaultsWithItsDevicesAndSaveKeepsItsComments) {
    const std::string example = shippedExample();
    ASSERT_FALSE(example.empty());
    ScratchDir dir;
    dir.write("Vorlinex.ini", example);
    const Config config = loadConfig();
    for (const auto& [port, com] : {std::pair{&config.port1, 0}, std::pair{&config.port2, 1}}) {
        EXPECT_EQ(port->comIndex, com);
        EXPECT_EQ(port->baudRate, 9600);
        EXPECT_EQ(port->dataBits, 8);
        EXPECT_EQ(port->parity, 0);
        EXPECT_EQ(port->stopBits, 0);
        EXPECT_EQ(port->flowControl, 0);
    }
    EXPECT_EQ(config.appOptions.RATE.load(), 5);
    EXPECT_EQ(config.appOptions.DMODE.load(), 0);
    EXPECT_EQ(config.appOptions.CRLF.load(), 0);
    EXPECT_EQ(config.appOptions.DATETIME.load(), 0);
    EXPECT_EQ(config.appOptions.DATETIMEVAL.load(), 60);
    std::array<std::string, 6> devices = defaultComDevicePaths();
    devices[0] = "/dev/ttyUSB0";
    devices[1] = "/dev/ttyUSB1";
    EXPECT_EQ(config.comDevicePaths, devices);

    ASSERT_TRUE(saveConfig(config).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), savedOnThisPlatform(example));
}

}  // namespace
