// The real program's headless mode as a child process between two cables at 9600 baud, its
// settings in site.ini.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/pty_cable.h"

// Both ports at 9600 baud, 8 bits, on the two devices; `data` the [DATA] section's keys.
inline std::string headlessIni(const std::string& device1, const std::string& device2,
                               const std::string& data = "CRLF=0\r\n") {
    return "[DATA1]\r\nCOM=0\r\nBPS=9600\r\nBIT=8\r\n[DATA2]\r\nCOM=1\r\nBPS=9600\r\nBIT=8\r\n[DATA]\r\n" + data +
           devicesSection({device1, device2, "", "", "", ""});
}

class HeadlessOnCables : public ::testing::Test {
protected:
    void SetUp() override {
        if (programUnderTest().empty()) GTEST_SKIP() << "the program is built only with its windows";
        dir.write("site.ini", headlessIni(first.slavePath(), second.slavePath()));
    }
    ScratchDir dir;
    PtyCable first, second;
};
