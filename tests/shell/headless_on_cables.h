// The real program's headless mode as a child process between two cables at 9600 baud, its
// settings in site.ini.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/pty_cable.h"

class HeadlessOnCables : public ::testing::Test {
protected:
    void SetUp() override {
        if (programUnderTest().empty()) GTEST_SKIP() << "the program is built only with its windows";
        const std::string devices = devicesSection({first.slavePath(), second.slavePath(), "", "", "", ""});
        dir.write("site.ini", "[DATA1]\r\nCOM=0\r\nBPS=9600\r\nBIT=8\r\n[DATA2]\r\nCOM=1\r\nBPS=9600\r\nBIT=8\r\n"
                              "[DATA]\r\nCRLF=0\r\n" + devices);
    }
    ScratchDir dir;
    PtyCable first, second;
};
