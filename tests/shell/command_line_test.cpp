// The command line as main() reads it, the settings file it names, and the headless mode's
// wording of times, sizes and status.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "settings/config.h"
#include "shell/command_line.h"
#include "shell/headless_report.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

using Action = CommandLine::Action;

struct Accepted {
    std::vector<std::string> arguments;
    Action action;
    std::string ini{}, logA{}, logB{}, logCombined{};
    int64_t statusEvery = 60;
};

TEST(CommandLineTest, AcceptsEachFormOfBothModes) {
    const Accepted table[] = {
        {{}, Action::Window}, {{"--ini", "my.ini"}, Action::Window, "my.ini"},
        {{"--ini=/etc/v/x.ini"}, Action::Window, "/etc/v/x.ini"}, {{"--headless"}, Action::Headless},
        {{"--headless", "--ini", "a b.ini", "--log-a", "a.log", "--log-b", "b.log", "--log-combined", "c.log",
          "--status-every", "5"}, Action::Headless, "a b.ini", "a.log", "b.log", "c.log", 5},
        {{"--log-combined=c.log", "--status-every=0", "--headless"}, Action::Headless, "", "", "", "c.log", 0},
        {{"--headless", "--status-every", "86400"}, Action::Headless, "", "", "", "", 86400},
        {{"--log-a", "-", "--headless"}, Action::Headless, "", "-"},  // a file named "-" is a file
        {{"--help"}, Action::Help}, {{"--headless", "--help"}, Action::Help}, {{"--version"}, Action::Version},
        {{"--version", "--help"}, Action::Help},
    };
    for (const Accepted& row : table) {
        const CommandLine line = parseCommandLine(row.arguments);
        std::string shown;
        for (const std::string& a : row.arguments) shown += " " + a;
        EXPECT_EQ(line.action, row.action) << shown << ": " << line.refusal;
        const auto paths = std::tie(line.iniPath, line.logA, line.logB, line.logCombined);
        EXPECT_EQ(paths, std::tie(row.ini, row.logA, row.logB, row.logCombined)) << shown;
        EXPECT_EQ(line.statusEverySeconds, row.statusEvery) << shown;
    }
    // --export-pcap's two values, each form of --format, and --help winning over it.
    const CommandLine exporting = parseCommandLine({"--export-pcap=c.log", "-", "--format", "pcap"});
    EXPECT_EQ(std::tie(exporting.action, exporting.exportCapture, exporting.exportOut, exporting.exportForm),
              std::make_tuple(Action::ExportPcap, std::string("c.log"), std::string("-"), PcapForm::Pcap));
    EXPECT_EQ(parseCommandLine({"--format=pcapng", "--export-pcap", "c.log", "o"}).exportForm, PcapForm::PcapNg);
    EXPECT_EQ(parseCommandLine({"--export-pcap", "c.log", "o"}).exportForm, PcapForm::PcapNg);
    EXPECT_EQ(parseCommandLine({"--export-pcap", "c.log", "o", "--help"}).action, Action::Help);
}

TEST(CommandLineTest, RefusesWhatIsWrongNamingIt) {
    const std::string range = " is out of range: whole seconds from 0 to 86400";
    const std::pair<std::vector<std::string>, std::string> table[] = {
        {{"--bogus"}, "unknown option --bogus"}, {{"--headless", "--log-d=x"}, "unknown option --log-d"},
        {{"-platform", "offscreen"}, "unknown option -platform"}, {{"stray"}, "unexpected argument \"stray\""},
        {{"--ini"}, "--ini needs a value"}, {{"--ini="}, "--ini needs a value"},
        {{"--ini", "--headless"}, "--ini needs a value"}, {{"--headless", "--log-a"}, "--log-a needs a value"},
        {{"--headless", "--status-every"}, "--status-every needs a value"},
        {{"--headless", "--status-every", "-1"}, "--status-every -1" + range},
        {{"--headless", "--status-every", "86401"}, "--status-every 86401" + range},
        {{"--headless", "--status-every", "1.5"}, "--status-every 1.5" + range},
        {{"--headless", "--status-every=ten"}, "--status-every ten" + range},
        {{"--headless", "--status-every", "99999999999999999999"}, "--status-every 99999999999999999999" + range},
        {{"--headless=yes"}, "--headless takes no value"},
        {{"--headless", "--headless"}, "--headless is given twice"},
        {{"--headless", "--master", "3"}, "--master 3 is not 1 or 2"},
        {{"--headless", "--log-a", "x", "--log-a", "y"}, "--log-a is given twice"},
        {{"--log-a", "x"}, "--log-a needs --headless"},
        {{"--ini", "v.ini", "--status-every", "5"}, "--status-every needs --headless"},
        {{"--help", "--bogus"}, "unknown option --bogus"},  // beside --help too: the line as a whole is wrong
        {{"--export-pcap"}, "--export-pcap needs a capture and a file to write"},
        {{"--export-pcap", "c.log", "--format", "pcap"}, "--export-pcap needs a capture and a file to write"},
        {{"--export-pcap", "c.log", "o", "--ini", "x.ini"}, "--ini does not go with --export-pcap"},
        {{"--export-pcap", "c.log", "o", "extra"}, "unexpected argument \"extra\""},
        {{"--export-pcap", "c.log", "o", "--format", "pcapx"}, "--format pcapx is not pcap or pcapng"},
        {{"--format", "pcap"}, "--format needs --export-pcap"},
        {{"--headless", "--export-pcap", "c.log", "o"}, "--headless does not go with --export-pcap"},
        {{"--pcap", "x.pcapng"}, "--pcap needs --headless"},
    };
    for (const auto& [arguments, refusal] : table) {
        const CommandLine line = parseCommandLine(arguments);
        EXPECT_EQ(line.action, Action::Refused) << refusal;
        EXPECT_EQ(line.refusal, refusal);
    }
    const std::string help = helpText();
    EXPECT_TRUE(help.starts_with(usageLine() + "\n"));
    for (const char* option : {"--ini PATH", "--headless", "--log-a FILE", "--log-b FILE", "--log-combined FILE",
                               "--status-every SECONDS", "--export-pcap CAPTURE OUT", "--format pcap|pcapng", "--help",
                               "--version"})
        EXPECT_NE(help.find("\n  " + std::string(option) + " "), std::string::npos)
            << "each option on a line of its own: " << option;
    EXPECT_EQ(versionText(), "Vorlinex v1.01a");
}

// --pcap-listen [ADDR:]PORT: 127.0.0.1 unless an address is named; an IPv6 one only in brackets,
// where its colons cannot be taken for the port's.
TEST(CommandLineTest, PcapListenListensOnLoopbackUnlessAnAddressIsNamed) {
    const std::tuple<std::string, std::string, int32_t> accepted[] = {
        {"57012", "127.0.0.1", 57012}, {"0.0.0.0:57012", "0.0.0.0", 57012}, {"[::1]:0", "::1", 0},
        {"192.168.7.2:65535", "192.168.7.2", 65535}, {"[fe80::1%eth0]:57012", "fe80::1%eth0", 57012},
    };
    for (const auto& [value, host, port] : accepted) {
        const CommandLine line = parseCommandLine({"--headless", "--pcap-listen", value});
        EXPECT_EQ(line.action, Action::Headless) << value << ": " << line.refusal;
        EXPECT_EQ(std::tie(line.pcapListenHost, line.pcapListenPort), std::tie(host, port)) << value;
    }
    EXPECT_EQ(parseCommandLine({"--headless"}).pcapListenPort, -1);
    for (const char* value : {"65536", "-1", "::1:57012", "[::1]57012", ":57012", "[]:1", "host:", "57012x"}) {
        const CommandLine line = parseCommandLine({"--headless", "--pcap-listen", value});
        EXPECT_EQ(line.refusal.rfind("--pcap-listen " + std::string(value) + " is not [ADDR:]PORT", 0), 0u) << value;
    }
}

// --ini: the named file is read and saved wherever the current directory is; one that cannot be
// used is told with its path and why (the box is the program test's).
TEST(CommandLineTest, TheNamedSettingsFileIsReadAndSavedInsteadOfTheCurrentDirectorysOneOrSaysWhyItCannotBeRead) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.file("etc"));
    std::filesystem::create_directory(dir.file("folder.ini"));
    dir.write("notes.ini", "relay notes\nCOM=3\n");
    dir.write("Vorlinex.ini", "[DATA]\r\nCRLF=1\r\n");
    dir.write("etc/site.ini", "[DATA1]\nCOM=0\nBPS=19200\n[DATA]\nCRLF=2\n[DEVICES]\nCOM1=/dev/ttyUSB7\n");
    const std::pair<std::string, std::string> table[] = {
        {"missing.ini", "No such file or directory"}, {"folder.ini", "Is a directory"}, {"Vorlinex.ini", ""},
        {"notes.ini", "not a settings file (it has no [DATA1], [DATA2], [DATA] or [DEVICES] section)"}};
    EXPECT_FALSE(namedConfigFailure().has_value());
    for (const auto& [name, why] : table) {
        setConfigPathOverride(name);
        const std::optional<ConfigReadFailure> failure = namedConfigFailure();
        EXPECT_EQ(failure ? settingsUnreadableText(*failure) : "",
                  why.empty() ? "" : "settings " + configPath() + " cannot be read: " + why);
    }
    setConfigPathOverride("etc/site.ini");  // relative: to the folder it was named in
    std::filesystem::current_path(dir.file("etc"));
    const auto samePath = [](const std::string& path) { return std::filesystem::path(path).lexically_normal(); };
    EXPECT_EQ(samePath(configPath()), samePath(dir.file("etc/site.ini")));
    Config config = loadConfig();
    EXPECT_TRUE(config.appOptions.CRLF.load() == 2 && config.port1.baudRate == 19200 &&
                config.comDevicePaths[0] == "/dev/ttyUSB7");
    config.port1.baudRate = 38400;
    EXPECT_TRUE(saveConfig(config).saved);
    EXPECT_EQ(samePath(saveConfig(config).path), samePath(dir.file("etc/site.ini")));
    EXPECT_NE(dir.read("etc/site.ini").find("BPS=38400"), std::string::npos);
    EXPECT_EQ(dir.read("Vorlinex.ini"), "[DATA]\r\nCRLF=1\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("etc/Vorlinex.ini")));
    setConfigPathOverride("");
    std::filesystem::current_path(dir.path());
    EXPECT_EQ(loadConfig().appOptions.CRLF.load(), 1);
}

TEST(HeadlessReportTest, WordsTimesSizesAndTheStatusLine) {
    const std::pair<std::string, std::string> words[] = {
        {durationText(0), "00:00:00"}, {durationText(41), "00:00:41"}, {durationText(86399), "23:59:59"},
        {durationText(3 * 86400 + 4 * 3600 + 12 * 60 + 9), "3d 04:12:09"}, {groupedNumber(0), "0"},
        {groupedNumber(999), "999"}, {groupedNumber(1000), "1,000"}, {groupedNumber(12345678), "12,345,678"},
        {sizeText(999), "999 B"}, {sizeText(1000), "1.0 kB"}, {sizeText(999949), "999.9 kB"},
        {sizeText(999950), "1.0 MB"}, {sizeText(12345678), "12.3 MB"}, {sizeText(81234567890), "81.2 GB"}};
    for (const auto& [got, wanted] : words) EXPECT_EQ(got, wanted);
    const std::string error = journalLine(JournalPriority::Error, "Com2 Open Error\n/dev/x: gone\n");
    EXPECT_EQ(error, "<3>Com2 Open Error: /dev/x: gone\n");
    EXPECT_EQ(journalLine(JournalPriority::Info, "up"), "<6>up\n");

    HeadlessStatus status;
    status.upSeconds = 3 * 86400 + 4 * 3600 + 12 * 60 + 9;
    status.ports[0] = {"COM1", "/dev/ttyUSB0", "present", 0};
    status.ports[1] = {"COM2", "/dev/ttyUSB1", "away", 41};
    status.directions[0] = {12345678, 2312, 1234};
    status.directions[1] = {9876543, 18, 0};
    status.captures = {{"a", 12300000, false}, {"b", 9800000, false}, {"combined", 81200000, false}};
    const std::string head = "up 3d 04:12:09  COM1 /dev/ttyUSB0 present  COM2 /dev/ttyUSB1 away 00:00:41  "
                             "1>2 12,345,678 B 2,312 B/s  2>1 9,876,543 B 18 B/s  ";
    const std::string captures = "captures: a 12.3 MB, b 9.8 MB, combined 81.2 MB";
    EXPECT_EQ(statusLineText(status), head + "undelivered to COM2 1,234 B  " + captures);
    EXPECT_EQ(notifyStatusText(status), "COM1 present, COM2 away 00:00:41, 1>2 2,312 B/s, 2>1 18 B/s");
    status.captures = {{"b", 0, true}};
    status.directions[0].undelivered = 0;
    status.directions[1].undelivered = 5;
    EXPECT_EQ(statusLineText(status), head + "undelivered to COM1 5 B  captures: b 0 B (ended)");
}

}  // namespace
