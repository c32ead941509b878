// Vorlinex.ini on disk, as an editor of either platform leaves it: values read as Windows'
// private-profile functions give them, alike whether its lines end in LF or CR LF, and written
// back with the line ends of the platform's own profile files (CR LF on Windows, the file's own
// style elsewhere), every other byte kept; also the example the package installs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string withLineEnds(const std::string& text, const char* ending) {
    std::string out;
    for (char c : text) c == '\n' ? out += ending : out += c;
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
        EXPECT_EQ(loadConfig().port1.baudRate, 38400);
        // No temporary file is left beside it.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    }
}

// A new file is all CR LF on every platform, as the original program's files are.
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
    EXPECT_EQ(loadConfig().port2.baudRate, 115200);
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

// The example settings the package installs (/etc/vorlinex/example.ini): its comments explain
// every key and change nothing read. Its two devices read as written, the other names as theirs;
// a SAVE into it writes the same values back and keeps every comment, byte for byte.
TEST(ExampleSettings, ReadsAsTheDefaultsWithItsDevicesAndSaveKeepsItsComments) {
    const auto source = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    std::ifstream in(source / "packaging" / "example.ini", std::ios::binary);
    const std::string example{std::istreambuf_iterator<char>(in), {}};  // its lines end in LF
    ASSERT_FALSE(example.empty());
    ScratchDir dir;
    dir.write("Vorlinex.ini", example);
    const Config config = loadConfig();
    // Every value is the default and is written back as it was read: the SAVE below shows them.
    EXPECT_TRUE(config.port1.comIndex == 0 && config.port2.comIndex == 1 && config.appOptions.DATETIMEVAL.load() == 60);
    std::array<std::string, 6> devices = defaultComDevicePaths();
    devices[0] = "/dev/ttyUSB0";
    devices[1] = "/dev/ttyUSB1";
    EXPECT_EQ(config.comDevicePaths, devices);

    ASSERT_TRUE(saveConfig(config).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), withLineEnds(example, kOnWindows ? "\r\n" : "\n"));
}

}  // namespace
