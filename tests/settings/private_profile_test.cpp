// The INI module against real files: values read as Windows' private-profile functions give
// them, and a write changes only its own line.
#include "settings/private_profile.h"

#include <gtest/gtest.h>

#include "tests/support/pty_cable.h"

namespace {

TEST(PrivateProfile, ReadsValuesAsWindowsWouldGiveThem) {
    const std::tuple<const char*, const char*, int> cases[] = {  // file, key in [S], value (77 if missing)
        {"[S]\r\nK= 12abc\r\n", "K", 12},
        {"[S]\nK=-0012", "K", -12},
        {"[S]\nK=4294967297\n", "K", 1},  // wraps in an unsigned 32-bit word
        {"[S]\nK=   \n", "K", 77},         // an empty value counts as missing
        {"  [ s ]  \r\n  k = 3 \r\n", "K", 3},
        {"[S]\nK=1\nK=2\n[s]\nK=3\nJ=4\n", "K", 1},  // only the first section and key
        {"[S]\nK=1\n[s]\nJ=4\n", "J", 77},
        {"\xEF\xBB\xBF[S]\n;K=9\n[B\n\x01\xFF garbage\nK=1\n", "K", 1},
    };
    for (const auto& [file, key, expected] : cases) {
        SCOPED_TRACE(file);
        ScratchDir dir;
        dir.write("t.ini", file);
        EXPECT_EQ(PrivateProfile(dir.file("t.ini")).getInt("S", key, 77), expected);
    }
}

TEST(PrivateProfile, AWriteChangesOnlyWhatItMust) {
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {  // before, section, key=2, after
        {"; top\r\n[data1]\r\n  com =  3 junk\r\nBPS=9600\r\n", "DATA1", "COM", "; top\r\n[data1]\r\n  com =  2\r\nBPS=9600\r\n"},
        {"[A]\nX=1\n[a]\nX=1\n", "A", "X", "[A]\nX=2\n[a]\nX=1\n"},
        {"[A]\r\nX=1\r\n;note\r\n\r\n[B]\r\n", "a", "Z", "[A]\r\nX=1\r\n;note\r\nZ=2\r\n\r\n[B]\r\n"},
        {"[A]\r\nX=1", "A", "Y", "[A]\r\nX=1\r\nY=2\r\n"},
        {"X=1\n", "B", "X", "X=1\n[B]\nX=2\n"},
        {"", "A", "X", "[A]\r\nX=2\r\n"},
    };
    for (const auto& [before, section, key, after] : cases) {
        SCOPED_TRACE(before);
        ScratchDir dir;
        dir.write("t.ini", before);
        PrivateProfile ini(dir.file("t.ini"));
        ini.setString(section, key, "2");
        std::string error;
        ASSERT_TRUE(ini.save(&error)) << error;
        EXPECT_EQ(dir.read("t.ini"), after);
    }
}

}  // namespace
