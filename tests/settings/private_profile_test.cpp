// The INI module against real files: values read as Windows' private-profile functions give
// them, writes change only their own line, and every other byte survives.
#include "settings/private_profile.h"

#include <gtest/gtest.h>

#include <climits>

#include "tests/support/pty_cable.h"

namespace {

TEST(PrivateProfileRead, ValuesAsWindowsWouldGiveThem) {
    struct Case {
        const char* file;
        const char* section;
        const char* key;
        int expected;  // read with 77 as the default
    };
    const Case cases[] = {
        {"[S]\r\nK= 12abc\r\n", "S", "K", 12},
        {"[S]\nK=abc\n", "S", "K", 0},
        {"[S]\nK=-0012", "S", "K", -12},  // no final newline
        {"[S]\nK=-2147483648\n", "S", "K", INT_MIN},
        // Beyond 32 bits the digits wrap in an unsigned 32-bit word.
        {"[S]\nK=4294967297\n", "S", "K", 1},
        {"[S]\nK=99999999999999999999\n", "S", "K", 1661992959},
        {"[S]\nK=   \n", "S", "K", 77},  // an empty value counts as missing
        {"  [ data1 ]  \r\n  Com = 3 \r\n", "DATA1", "COM", 3},
        {"[D]\nK=1\nK=2\n[d]\nK=3\nJ=4\n", "D", "K", 1},  // only the first section and key
        {"[D]\nK=1\n[d]\nJ=4\n", "D", "J", 77},
        {"\xEF\xBB\xBF[A]\n;K=9\nK=1\n", "A", "K", 1},  // behind a UTF-8 mark
        {"[A]\n[B\nK=2\n", "A", "K", 2},                  // "[B" opens no section
        {"[A]\n\x01\xFF\x7Fgarbage\nK=5\n", "A", "K", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ScratchDir dir;
        dir.write("t.ini", c.file);
        EXPECT_EQ(PrivateProfile(dir.file("t.ini")).getInt(c.section, c.key, 77), c.expected);
    }
}

TEST(PrivateProfileWrite, ChangesOnlyWhatItMust) {
    struct Case {
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    };
    const Case cases[] = {
        {"; top\r\n[data1]\r\n  com =  3 junk\r\nBPS=9600\r\n", "DATA1", "COM", "5",
         "; top\r\n[data1]\r\n  com =  5\r\nBPS=9600\r\n"},
        {"[A]\nX=1\n[a]\nX=2\n", "A", "X", "9", "[A]\nX=9\n[a]\nX=2\n"},
        {"[A]\r\nX=1\r\n;note\r\n\r\n[B]\r\n", "A", "Z", "3", "[A]\r\nX=1\r\n;note\r\nZ=3\r\n\r\n[B]\r\n"},
        {"[A]\nX=1\n[A]\nX=2\n", "a", "Z", "3", "[A]\nX=1\nZ=3\n[A]\nX=2\n"},
        {"[A]\r\nX=1", "A", "Y", "2", "[A]\r\nX=1\r\nY=2\r\n"},
        {"[A]\nX=1", "B", "Y", "-2", "[A]\nX=1\n[B]\nY=-2\n"},
        {"", "A", "X", "1", "[A]\r\nX=1\r\n"},
        {"X=1\n", "A", "X", "2", "X=1\n[A]\nX=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        ScratchDir dir;
        dir.write("t.ini", c.before);
        PrivateProfile ini(dir.file("t.ini"));
        ini.setString(c.section, c.key, c.value);
        std::string error;
        ASSERT_TRUE(ini.save(&error)) << error;
        EXPECT_EQ(dir.read("t.ini"), c.after);
    }
}

TEST(PrivateProfileWrite, BinaryBytesAndMegabyteLinesSurvive) {
    ScratchDir dir;
    std::string longLine(1 << 20, 'x');
    longLine[1000] = '\0';
    longLine[2000] = '\xFF';
    const std::string before = "[FOREIGN]\r\n" + longLine + "\r\n" + randomBytes(4096, 7) +
                               "\n[A]\r\nX=1\r\n" + std::string("K=\0\xFF\xFE", 5) + "\r\n";
    dir.write("t.ini", before);
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_EQ(ini.getInt("A", "X", 0), 1);
    ini.setString("A", "X", "2");
    std::string error;
    ASSERT_TRUE(ini.save(&error)) << error;
    std::string expected = before;
    expected.replace(expected.find("[A]\r\nX=1"), 8, "[A]\r\nX=2");
    EXPECT_TRUE(dir.read("t.ini") == expected);
}

}  // namespace
