// The INI module on real files, which reads values as Windows' private-profile functions give them.
#include "settings/config.h"

#include <gtest/gtest.h>

#include "settings/private_profile.h"
#include "tests/support/pty_cable.h"

namespace {

// Only the first section and key of a name count, in any case and with blanks around; a number
// wraps in an unsigned 32-bit word, and an empty value counts as missing (77 here).
TEST(PrivateProfile, ReadsValuesAsWindowsWouldGiveThem) {
    ScratchDir dir;
    dir.write("t.ini", "\xEF\xBB\xBF[S]\r\nA= 12abc\r\nB=-0012\nC=4294967297\nD=   \n;E=9\n[B\n\x01\xFF garbage\nE=1\n"
                       "F=1\nF=2\n[s]\nF=3\nG=4\n  [ t ]  \r\n  k = 3 \r\n");
    PrivateProfile ini(dir.file("t.ini"));
    for (const auto& [key, value] : {std::pair{"A", 12}, {"B", -12}, {"C", 1}, {"D", 77}, {"E", 1}, {"F", 1}, {"G", 77}})
        EXPECT_EQ(ini.getInt("S", key, 77), value) << key;
    EXPECT_EQ(ini.getInt("T", "K", 77), 3);
}

}  // namespace
