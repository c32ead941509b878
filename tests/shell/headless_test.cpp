// The real program's headless mode as a child process between two cables: what every system's
// service run must do.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "tests/shell/headless_on_cables.h"
#include "tests/support/combined_records.h"

namespace {

// A capture that cannot be opened ends the run with 1 before any port is tried. Else the captures
// append what each direction relayed, the combined one both in read order, until a stop request.
TEST_F(HeadlessOnCables, ACaptureThatCannotBeOpenedEndsTheRunWithOneElseItRelaysAndCapturesUntilAStopRequest) {
    for (const char* name : {"a.log", "b.log"}) dir.write(name, "before\r\n");
    {
        ChildProcess refused(programUnderTest(), {"--headless", "--ini", "site.ini", "--log-a", "a.log",
                                                  "--log-combined", dir.file("none/c.log")});
        EXPECT_EQ(refused.wait(), 1);
        EXPECT_NE(refused.awaitLine("^<3>capture combined .*none.c\\.log cannot be opened: .+$"), "") << refused.err();
        EXPECT_EQ(refused.err().find("Open Error"), std::string::npos) << "no port was tried";
    }
    ChildProcess child(programUnderTest(), {"--headless", "--ini", "site.ini", "--log-a", "a.log", "--log-b", "b.log",
                                            "--log-combined", "c.log", "--status-every", "0"});
    const std::string relaying = "^<5>relaying COM1 " + first.slavePath() + " <-> COM2 " + second.slavePath();
    ASSERT_NE(child.awaitLine(relaying + ", settings .*site.ini$"), "") << child.err();
    expectRelaysBothWays(first, second, 7);
    const std::string forth = randomBytes(3000, 7), back = randomBytes(4000, 8);
    if (!child.requestStop()) GTEST_SKIP() << "no console to send Ctrl+Break through: the stop is not tried";
    EXPECT_EQ(child.wait(), 0) << child.err();
    EXPECT_EQ(child.err().find("<3>"), std::string::npos) << child.err();
    EXPECT_TRUE(dir.read("a.log") == "before\r\n" + forth) << dir.read("a.log").size();
    EXPECT_TRUE(dir.read("b.log") == "before\r\n" + back) << dir.read("b.log").size();
    std::string error, directions[2];
    for (const CombinedRecord& record : parseCombinedRecords(dir.read("c.log"), error))
        directions[record.channel - 1] += record.bytes;
    EXPECT_TRUE(error.empty() && directions[0] == forth && directions[1] == back) << error;
}

}  // namespace
