// Vorlinex.ini on disk as an editor of either platform leaves it: read as Windows' profile functions
// read it, LF or CR LF, and written back in the platform's own line ends, every other byte kept.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "settings/config.h"
#include "settings/private_profile.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace fs = std::filesystem;

// A failure shows the keys as the file holds them.
void PrintTo(const DecodeSettings& s, std::ostream* out) {
    *out << "View=" << (s.frames ? "Frames" : "Records") << " Protocol=" << s.protocol << " Gap=" << s.gapMs
         << " Master=" << s.master << " Timeout=" << s.timeoutMs << " ErrorsOnly=" << s.errorsOnly;
}

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

size_t filesIn(const std::string& folder) { return std::distance(fs::directory_iterator(folder), fs::directory_iterator()); }

// The same file with either line end reads the same values; SAVE keeps every line it does not
// write (comments, unknown keys, a last line without a line end) and adds missing keys in
// their section, as 0: Windows reads a missing key so. No temporary file is left beside it.
TEST(ProfileLineEnds, EitherLineEndReadsAlikeAndSaveWritesThePlatformsOwn) {
    const std::string lines =
        "; written by hand\n[DATA1]\nCOM=2\nBPS = 19200\nunknown=kept\n\n[DATA]\nCRLF=2\n[Other]\nlast=no end";
    for (const char* ending : {"\n", "\r\n"}) {
        SCOPED_TRACE(std::strlen(ending));
        ScratchDir dir;
        dir.write("Vorlinex.ini", withLineEnds(lines, ending));
        Config config = loadConfig();
        EXPECT_TRUE(config.port1.comIndex == 2 && config.port1.baudRate == 19200 && config.appOptions.CRLF.load() == 2);
        EXPECT_EQ(PrivateProfile(configPath()).getString("other", "LAST", ""), "no end");
        config.port1.baudRate = 38400;
        ASSERT_TRUE(saveConfig(config).saved);
        EXPECT_EQ(dir.read("Vorlinex.ini"),
                  withLineEnds("; written by hand\n[DATA1]\nCOM=2\nBPS = 38400\nunknown=kept\nBIT=0\nPARI=0\n"
                               "STOP=0\nFLOW=0\n\n[DATA]\nCRLF=2\nRATE=0\nDMODE=0\nDATETIME=0\nDATETIMEVAL=0\n"
                               "[Other]\nlast=no end\n[DATA2]\nCOM=0\nBPS=0\nBIT=0\nPARI=0\nSTOP=0\nFLOW=0\n",
                               kOnWindows ? "\r\n" : ending));
        EXPECT_EQ(loadConfig().port1.baudRate, 38400);
        EXPECT_EQ(filesIn(dir.path()), 1u);
    }
}

// A read-only file is refused and left as it was by SAVE and DEVICES > OK alike, also for root, who
// could write it; a folder in the file's place is neither read nor replaced.
TEST(ProfileLineEnds, AReadOnlyFileOrAFolderInItsPlaceIsNeverReplaced) {
    ScratchDir dir;
    const Config defaults = loadConfig();
    const std::string ini = "[DATA1]\r\nBPS=1200\r\n";
    dir.write("Vorlinex.ini", ini);
    fs::permissions(dir.file("Vorlinex.ini"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const Config config = loadConfig();
    EXPECT_EQ(config.port1.baudRate, 1200);
    for (const ConfigSaveResult& refused : {saveConfig(config), saveDevicePaths({"/dev/ttyUSB0", "", "", "", "", ""})})
        EXPECT_TRUE(!refused.saved && refused.reason == std::strerror(EACCES)) << refused.reason;
    EXPECT_EQ(dir.read("Vorlinex.ini"), ini);
    EXPECT_EQ(filesIn(dir.path()), 1u);
    fs::permissions(dir.file("Vorlinex.ini"), fs::perms::owner_write, fs::perm_options::add);
    fs::remove(dir.file("Vorlinex.ini"));
    fs::create_directory(dir.file("Vorlinex.ini"));
    EXPECT_EQ(loadConfig().port1.baudRate, defaults.port1.baudRate);
    const ConfigSaveResult folder = saveConfig(config);
    EXPECT_TRUE(!folder.saved && folder.reason == std::strerror(EISDIR)) << folder.reason;
    EXPECT_TRUE(fs::is_directory(dir.file("Vorlinex.ini")));
}

// Both writers write the defaults to a new file, all CR LF on every platform as the original
// program's files are; values at their extremes round-trip (COM1..COM6 are 0..5), eight-bit fields
// kept as read. A COM index one past either end takes its port's default and is told.
TEST(ConfigFile, DefaultsGoToANewFileInCrLfExtremesRoundTripABadComIsToldAndTheExampleReadsAsTheDefaults) {
    std::ifstream in(fs::path(__FILE__).parent_path().parent_path().parent_path() / "packaging" / "example.ini",
                     std::ios::binary);
    const std::string example{std::istreambuf_iterator<char>(in), {}};  // its lines end in LF
    ScratchDir dir;  // the working folder from here on: the example is read before
    std::vector<BoxRequest> boxes;
    reportConfigSave([&boxes](const BoxRequest& r) { boxes.push_back(r); }, saveConfig(loadConfig()));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text == "Configuration Data Saved" && boxes[0].icon == BoxIcon::Information &&
                boxes[0].owner == BoxOwner::MainWindow);
    const std::string defaults =
        "[DATA1]\r\nCOM=0\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
        "[DATA2]\r\nCOM=1\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
        "[DATA]\r\nRATE=5\r\nDMODE=0\r\nCRLF=0\r\nDATETIME=0\r\nDATETIMEVAL=60\r\n";
    EXPECT_EQ(dir.read("Vorlinex.ini"), defaults);
    const std::array<std::string, 6> paths = {
        "/dev/ttyUSB0", "/dev/serial/by-id/usb-x", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5"};
    fs::remove(dir.file("Vorlinex.ini"));
    ASSERT_TRUE(saveDevicePaths(paths).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), defaults + devicesSection(paths));

    const std::string file =
        "[DATA1]\r\nCOM=5\r\nBPS=2147483647\r\nBIT=255\r\nPARI=2\r\nSTOP=1\r\nFLOW=-2147483648\r\n"
        "[DATA2]\r\nCOM=0\r\nBPS=2000\r\nBIT=6\r\nPARI=128\r\nSTOP=2\r\nFLOW=4\r\n"
        "[DATA]\r\nRATE=60\r\nDMODE=1\r\nCRLF=-2\r\nDATETIME=1\r\nDATETIMEVAL=3600";
    dir.write("Vorlinex.ini", file);
    std::vector<ComOutOfRange> none;
    ASSERT_TRUE(saveConfig(loadConfig(&none)).saved);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(dir.read("Vorlinex.ini"), file);
    ASSERT_TRUE(saveDevicePaths(paths).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), file + "\r\n" + devicesSection(paths));

    dir.write("Vorlinex.ini", "[DATA1]\r\nCOM=6\r\n[DATA2]\r\nCOM=-1\r\n");
    std::vector<ComOutOfRange> told;
    const Config config = loadConfig(&told);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_TRUE(told[0].port == 1 && told[0].value == 6 && told[0].line == 2 && told[0].used == 0);
    EXPECT_TRUE(told[1].port == 2 && told[1].value == -1 && told[1].line == 4 && told[1].used == 1);
    EXPECT_TRUE(config.port1.comIndex == 0 && config.port2.comIndex == 1);

    // The example the package installs (/etc/vorlinex/example.ini): its comments change nothing read; its
    // two devices read as written, every other value is the default, and a SAVE keeps every comment.
    ASSERT_FALSE(example.empty());
    dir.write("Vorlinex.ini", example);
    const Config fromExample = loadConfig();
    EXPECT_TRUE(fromExample.port1.comIndex == 0 && fromExample.port2.comIndex == 1);
    EXPECT_EQ(fromExample.appOptions.DATETIMEVAL.load(), 60);
    std::array<std::string, 6> devices = defaultComDevicePaths();
    devices[0] = "/dev/ttyUSB0";
    devices[1] = "/dev/ttyUSB1";
    EXPECT_EQ(fromExample.comDevicePaths, devices);
    ASSERT_TRUE(saveConfig(fromExample).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), withLineEnds(example, kOnWindows ? "\r\n" : "\n"));
}

// The timeline window's DECODE keys: a value out of range or of another kind reads as its default, a
// write replaces each in place and keeps every other line, and what is written reads back. The first
// write to a new file puts the defaults of the other keys beside it, which its absence stood for.
TEST(ConfigFile, DecodeKeysRoundTripInPlaceABadValueReadsAsItsDefaultAndANewFileGetsTheDefaults) {
    ScratchDir dir;
    const DecodeSettings defaults;
    EXPECT_TRUE(!defaults.frames && defaults.protocol == "modbus-rtu" && defaults.gapMs == 0 && defaults.master == 0 &&
                defaults.timeoutMs == 1000 && !defaults.errorsOnly);
    EXPECT_EQ(loadDecodeSettings(), defaults);
    const DecodeSettings chosen{.frames = true, .protocol = "delim:0D0A", .gapMs = 60000, .master = 2,
                                .timeoutMs = 3600000, .errorsOnly = true};
    ASSERT_TRUE(saveDecodeSettings(chosen).saved);
    EXPECT_EQ(loadDecodeSettings(), chosen);
    const Config config = loadConfig();
    EXPECT_TRUE(config.port1.comIndex == 0 && config.port2.comIndex == 1 && config.port2.baudRate == 9600);

    const auto file = [](const std::string& decode) {
        return "[DATA1]\r\nCOM=2\r\n[decode]\r\n; mine\r\n" + decode + "Other=kept\r\n\r\n[DATA]\r\nRATE=9";
    };
    for (const char* values : {"View=Graph\r\nGap=-1\r\nMaster=-1\r\nTimeout=3600001\r\nErrorsOnly=-1\r\n",
                               "View=\r\nGap=x\r\nMaster=one\r\nTimeout=\r\nErrorsOnly=yes\r\n"}) {
        dir.write("Vorlinex.ini", file(values));
        EXPECT_EQ(loadDecodeSettings(), defaults) << values;
    }
    dir.write("Vorlinex.ini",
              file("VIEW=FRAMES\r\nProtocol=\r\nGap=60001\r\nMaster=3\r\nTimeout=0\r\nErrorsOnly=2\r\n"));
    DecodeSettings fellBack = defaults;
    fellBack.frames = true;  // names read in any case, as the other keys
    EXPECT_EQ(loadDecodeSettings(), fellBack);
    ASSERT_TRUE(saveDecodeSettings(chosen).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), file("VIEW=Frames\r\nProtocol=delim:0D0A\r\nGap=60000\r\nMaster=2\r\n"
                                              "Timeout=3600000\r\nErrorsOnly=1\r\n"));
    const DecodeSettings records{.protocol = "gap:5", .gapMs = 1, .master = 1, .timeoutMs = 1};
    ASSERT_TRUE(saveDecodeSettings(records).saved);
    EXPECT_EQ(loadDecodeSettings(), records);
    EXPECT_EQ(loadConfig().port1.comIndex, 2);
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


}  // namespace
