// Vorlinex.ini on disk, as an editor of either platform leaves it: read alike whether its lines
// end in LF or CR LF, and written back with the line ends of the platform's own profile files
// (CR LF on Windows, the file's own style elsewhere), every other byte kept.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "settings/config.h"
#include "settings/private_profile.h"
#include "tests/support/pty_cable.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr bool kOnWindows = true;
#else
constexpr bool kOnWindows = false;
#endif

std::string withLineEnds(std::string text, const char* ending) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += ending;
        } else {
            out += c;
        }
    }
    return out;
}

// The same file with either line end reads the same values; SAVE keeps every line it does not
// write (comments, unknown keys, a last line without a line end) and adds missing keys in
// their section.
TEST(ProfileLineEnds, EitherLineEndReadsAlikeAndSaveWritesThePlatformsOwn) {
    const std::string lines =
        "; written by hand\n[DATA1]\nCOM=2\nBPS = 19200\nunknown=kept\n\n[DATA]\nCRLF=2\n[Other]\nlast=no end";
    for (const char* ending : {"\n", "\r\n"}) {
        SCOPED_TRACE(std::strlen(ending));
        ScratchDir dir;
        dir.write("Vorlinex.ini", withLineEnds(lines, ending));
        Config config = loadConfig();
        EXPECT_EQ(config.port1.comIndex, 2);
        EXPECT_EQ(config.port1.baudRate, 19200);
        EXPECT_EQ(config.appOptions.CRLF.load(), 2);
        PrivateProfile read(configPath());
        EXPECT_EQ(read.getString("other", "LAST", ""), "no end");

        config.port1.baudRate = 38400;
        ASSERT_TRUE(saveConfig(config).saved);
        const std::string saved = dir.read("Vorlinex.ini");
        const char* written = kOnWindows ? "\r\n" : ending;
        // Keys the file lacks read as 0, as Windows reads them, and are written so.
        EXPECT_EQ(saved, withLineEnds("; written by hand\n[DATA1]\nCOM=2\nBPS = 38400\nunknown=kept\nBIT=0\nPARI=0\n"
                                      "STOP=0\nFLOW=0\n\n[DATA]\nCRLF=2\nRATE=0\nDMODE=0\nDATETIME=0\nDATETIMEVAL=0\n"
                                      "[Other]\nlast=no end\n[DATA2]\nCOM=0\nBPS=0\nBIT=0\nPARI=0\nSTOP=0\nFLOW=0\n",
                                      written));
        const Config again = loadConfig();
        EXPECT_EQ(again.port1.comIndex, 2);
        EXPECT_EQ(again.port1.baudRate, 38400);
        EXPECT_EQ(again.appOptions.CRLF.load(), 2);
        // No temporary file is left beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    }
}

// A new file is all CR LF on every platform, as the original program's files are; a round trip
// through it gives back every value.
TEST(ProfileLineEnds, ANewFileIsWrittenWithCrLfAndReadsBackTheSameValues) {
    ScratchDir dir;
    Config config = loadConfig();
    config.port1.comIndex = 3;
    config.port2.baudRate = 115200;
    config.port2.flowControl = 2;
    config.appOptions.CRLF.store(1);
    config.appOptions.DATETIMEVAL.store(3600);
    ASSERT_TRUE(saveConfig(config).saved);
    const std::string saved = dir.read("Vorlinex.ini");
    EXPECT_EQ(saved, "[DATA1]\r\nCOM=3\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
                     "[DATA2]\r\nCOM=1\r\nBPS=115200\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=2\r\n"
                     "[DATA]\r\nRATE=5\r\nDMODE=0\r\nCRLF=1\r\nDATETIME=0\r\nDATETIMEVAL=3600\r\n");
    const Config again = loadConfig();
    EXPECT_EQ(again.port1.comIndex, 3);
    EXPECT_EQ(again.port2.baudRate, 115200);
    EXPECT_EQ(again.port2.flowControl, 2);
    EXPECT_EQ(again.appOptions.CRLF.load(), 1);
    EXPECT_EQ(again.appOptions.DATETIMEVAL.load(), 3600);
}

// A file made read-only is refused and left as it was, no temporary file beside it; a folder in the file's place is neither
// read nor replaced.
TEST(ProfileLineEnds, AReadOnlyFileOrAFolderInItsPlaceIsNeverReplaced) {
    ScratchDir dir;
    const Config defaults = loadConfig();
    const std::string ini = "[DATA1]\r\nBPS=1200\r\n";
    dir.write("Vorlinex.ini", ini);
    fs::permissions(dir.file("Vorlinex.ini"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const Config config = loadConfig();
    EXPECT_EQ(config.port1.baudRate, 1200);
    // SAVE and DEVICES > OK alike; also for root, who could write it.
    for (const ConfigSaveResult& refused : {saveConfig(config), saveDevicePaths({"/dev/ttyUSB0", "", "", "", "", ""})}) {
        EXPECT_FALSE(refused.saved);
        EXPECT_EQ(refused.reason, std::strerror(EACCES));
    }
    EXPECT_EQ(dir.read("Vorlinex.ini"), ini);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    fs::permissions(dir.file("Vorlinex.ini"), fs::perms::owner_write, fs::perm_options::add);

    fs::remove(dir.file("Vorlinex.ini"));
    fs::create_directory(dir.file("Vorlinex.ini"));
    EXPECT_EQ(loadConfig().port1.baudRate, defaults.port1.baudRate);
    const ConfigSaveResult folder = saveConfig(config);
    EXPECT_FALSE(folder.saved);
    EXPECT_EQ(folder.reason, std::strerror(EISDIR));
    EXPECT_TRUE(fs::is_directory(dir.file("Vorlinex.ini")));
}

}  // namespace
