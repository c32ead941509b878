// The INI module against real files on disk: how values read, where writes land, and that
// every line it does not write survives byte for byte.
#include "settings/private_profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include "tests/support/pty_cable.h"

namespace {

struct IntCase {
    const char* value;  // the text after "KEY="
    int expected;       // read with 77 as the default
};

class IntValue : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntValue, ReadsAsWindowsWould) {
    ScratchDir dir;
    dir.write("t.ini", std::string("[S]\r\nKEY=") + GetParam().value + "\r\n");
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_EQ(ini.getInt("S", "KEY", 77), GetParam().expected) << "value: " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, IntValue,
    ::testing::Values(IntCase{"12", 12}, IntCase{" 12abc", 12}, IntCase{"\t 12 ", 12},
                      IntCase{"abc", 0}, IntCase{"-5", -5}, IntCase{"+7", 7}, IntCase{"-", 0},
                      IntCase{"- 5", 0}, IntCase{"0x10", 0}, IntCase{"1 2", 1},
                      IntCase{"-0012", -12}, IntCase{"\"42\"", 42}, IntCase{"'9'", 9},
                      IntCase{"2147483647", INT_MAX}, IntCase{"-2147483648", INT_MIN},
                      // Beyond 32 bits the digits wrap in an unsigned 32-bit word.
                      IntCase{"4294967297", 1}, IntCase{"2147483648", INT_MIN},
                      IntCase{"-2147483649", INT_MAX}, IntCase{"-4294967296", 0},
                      IntCase{"99999999999999999999", 1661992959},
                      // Only the first 29 characters count.
                      IntCase{"12345678901234567890123456789012345", 1849262357},
                      // An empty value counts as missing.
                      IntCase{"", 77}, IntCase{"   ", 77}));

TEST(PrivateProfileRead, MissingKeySectionOrFileGiveTheDefault) {
    ScratchDir dir;
    dir.write("t.ini", "[A]\nX=1\n[B]\nY=2\n");
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_TRUE(ini.exists());
    EXPECT_EQ(ini.getInt("A", "Y", -3), -3);
    EXPECT_EQ(ini.getInt("C", "X", 4), 4);
    EXPECT_EQ(ini.getString("A", "Z", "none"), "none");
    EXPECT_EQ(ini.getInt("B", "Y", 0), 2);

    PrivateProfile missing(dir.file("absent.ini"));
    EXPECT_FALSE(missing.exists());
    EXPECT_EQ(missing.getInt("A", "X", 9), 9);
}

TEST(PrivateProfileRead, NamesAreCaseInsensitiveAndTrimmed) {
    ScratchDir dir;
    dir.write("t.ini", "  [ data1 ]  \n  Com = 3 \nbps=9600\n[Data]\nrate=7\n");
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_EQ(ini.getInt("DATA1", "COM", 0), 3);
    EXPECT_EQ(ini.getInt("DATA1", "BPS", 0), 9600);
    EXPECT_EQ(ini.getInt("data", "RATE", 0), 7);
    EXPECT_EQ(ini.getString("DATA1", "COM", ""), "3");
}

TEST(PrivateProfileRead, OnlyTheFirstSectionAndTheFirstKeyCount) {
    ScratchDir dir;
    dir.write("t.ini", "[DATA]\nRATE=1\nRATE=2\n[OTHER]\nRATE=5\n[data]\nRATE=3\nDMODE=1\n");
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_EQ(ini.getInt("DATA", "RATE", 0), 1);
    // A key that only the second section of that name holds is not found.
    EXPECT_EQ(ini.getInt("DATA", "DMODE", -1), -1);
}

TEST(PrivateProfileRead, LinesThatAreNotHeadersOrEntries) {
    ScratchDir dir;
    dir.write("t.ini", "\xEF\xBB\xBF[A]\n;X=9\nX=1\n[B\nY=2\nnoequals\n[C] trailing ] text\nZ=3\n");
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_EQ(ini.getInt("A", "X", 0), 1);            // behind a UTF-8 mark; ";X" is another key
    EXPECT_EQ(ini.getInt("A", "Y", 0), 2);            // "[B" has no ']' and opens no section
    EXPECT_EQ(ini.getInt("A", "noequals", 5), 5);     // an entry without a value
    EXPECT_EQ(ini.getInt("C] trailing", "Z", 0), 3);  // the name runs to the last ']'
}

TEST(PrivateProfileRead, DirectoryReadsAsMissingAndCannotBeSaved) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.file("t.ini"));
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_FALSE(ini.exists());
    ini.setString("A", "X", "1");
    std::string error;
    EXPECT_FALSE(ini.save(&error));
    EXPECT_EQ(error, std::strerror(EISDIR));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("t.ini")));
}

TEST(PrivateProfileRead, FifoReadsAsMissingWithoutWaitingAndIsNotReplaced) {
    ScratchDir dir;
    ASSERT_EQ(::mkfifo(dir.file("t.ini").c_str(), 0644), 0);
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_FALSE(ini.exists());
    ini.setString("A", "X", "1");
    std::string error;
    EXPECT_FALSE(ini.save(&error));
    EXPECT_EQ(error, std::strerror(EINVAL));
    EXPECT_TRUE(std::filesystem::is_fifo(dir.file("t.ini")));
}

struct WriteCase {
    const char* name;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}
void PrintTo(const IntCase& c, std::ostream* os) {
    *os << '"' << c.value << '"';
}

class Write : public ::testing::TestWithParam<WriteCase> {};

TEST_P(Write, ChangesOnlyWhatItMust) {
    const WriteCase& c = GetParam();
    ScratchDir dir;
    dir.write("t.ini", c.before);
    PrivateProfile ini(dir.file("t.ini"));
    ini.setString(c.section, c.key, c.value);
    std::string error;
    ASSERT_TRUE(ini.save(&error)) << error;
    EXPECT_EQ(dir.read("t.ini"), c.after);
    EXPECT_EQ(PrivateProfile(dir.file("t.ini")).getString(c.section, c.key, "?"), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Write,
    ::testing::Values(
        WriteCase{"ReplaceKeepsKeySpellingAndSpacing",
                  "; top\r\n[data1]\r\n  com =  3 junk\r\nBPS=9600\r\n", "DATA1", "COM", "5",
                  "; top\r\n[data1]\r\n  com =  5\r\nBPS=9600\r\n"},
        WriteCase{"ReplaceEntryWithoutEquals", "[A]\nX\nY=1\n", "A", "X", "4", "[A]\nX=4\nY=1\n"},
        WriteCase{"ReplaceFirstOfDuplicates", "[A]\nX=1\n[a]\nX=2\n", "A", "X", "9",
                  "[A]\nX=9\n[a]\nX=2\n"},
        WriteCase{"NewKeyAfterLastEntryBeforeBlankLines",
                  "[A]\r\nX=1\r\n;note\r\n\r\n  \r\n[B]\r\nY=2\r\n", "A", "Z", "3",
                  "[A]\r\nX=1\r\n;note\r\nZ=3\r\n\r\n  \r\n[B]\r\nY=2\r\n"},
        WriteCase{"NewKeyInEmptySection", "[A]\n\n[B]\n", "A", "Z", "3", "[A]\nZ=3\n\n[B]\n"},
        WriteCase{"NewKeyGoesToFirstOfDuplicateSections", "[A]\nX=1\n[A]\nX=2\n", "a", "Z", "3",
                  "[A]\nX=1\nZ=3\n[A]\nX=2\n"},
        WriteCase{"NewSectionAtEndInTheFileStyle", "[A]\nX=1\n\n", "B", "Y", "-2",
                  "[A]\nX=1\n\n[B]\nY=-2\n"},
        WriteCase{"NoFinalNewlineNewKey", "[A]\r\nX=1", "A", "Y", "2", "[A]\r\nX=1\r\nY=2\r\n"},
        WriteCase{"NoFinalNewlineReplace", "[A]\nX=1", "A", "X", "22", "[A]\nX=22"},
        WriteCase{"NoFinalNewlineNewSection", "[A]\nX=1", "B", "Y", "2", "[A]\nX=1\n[B]\nY=2\n"},
        WriteCase{"EmptyFileGetsCrLf", "", "A", "X", "1", "[A]\r\nX=1\r\n"},
        WriteCase{"LinesBeforeAnySectionStay", "X=1\n", "A", "X", "2", "X=1\n[A]\nX=2\n"}),
    [](const ::testing::TestParamInfo<WriteCase>& param) { return std::string(param.param.name); });

TEST(PrivateProfileWrite, NewFileIsWrittenWithCrLf) {
    ScratchDir dir;
    PrivateProfile ini(dir.file("new.ini"));
    EXPECT_FALSE(ini.exists());
    ini.setString("A", "X", "1");
    ini.setString("A", "Y", "2");
    ini.setString("B", "Z", "3");
    std::string error;
    ASSERT_TRUE(ini.save(&error)) << error;
    EXPECT_EQ(dir.read("new.ini"), "[A]\r\nX=1\r\nY=2\r\n[B]\r\nZ=3\r\n");
}

TEST(PrivateProfileWrite, BinaryBytesAndMegabyteLinesSurvive) {
    ScratchDir dir;
    std::string garbage = randomBytes(4096, 7);
    std::string longLine(1 << 20, 'x');
    longLine[1000] = '\0';
    longLine[2000] = '\xFF';
    std::string before = "[FOREIGN]\r\n" + longLine + "\r\n" + garbage + "\n[A]\r\nX=1\r\n" +
                         std::string("K=\0\xFF\xFE", 5) + "\r\n";
    dir.write("t.ini", before);
    PrivateProfile ini(dir.file("t.ini"));
    EXPECT_EQ(ini.getInt("A", "X", 0), 1);
    ini.setString("A", "X", "2");
    std::string error;
    ASSERT_TRUE(ini.save(&error)) << error;
    std::string after = dir.read("t.ini");
    std::string expected = before;
    expected.replace(expected.find("[A]\r\nX=1"), 8, "[A]\r\nX=2");
    EXPECT_TRUE(after == expected) << "sizes " << after.size() << " vs " << expected.size();
}

TEST(PrivateProfileWrite, KeepsPermissionsAndWritesThroughSymbolicLinks) {
    ScratchDir dir;
    dir.write("real.ini", "[A]\nX=1\n");
    ::chmod(dir.file("real.ini").c_str(), 0640);
    std::filesystem::create_symlink(dir.file("real.ini"), dir.file("link.ini"));
    PrivateProfile ini(dir.file("link.ini"));
    ini.setString("A", "X", "2");
    std::string error;
    ASSERT_TRUE(ini.save(&error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.ini")));
    EXPECT_EQ(dir.read("real.ini"), "[A]\nX=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("real.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // No temporary file is left beside it.
    int files = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, 2);
}

}  // namespace
