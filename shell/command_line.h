// What the program was started with: the windowed program or the headless mode, and their
// options. Read before anything is made, so that a wrong option opens nothing.
#pragma once

#include <cstdint>
#include <string>

#include <vector>

#include "decode/decode_choice.h"
#include "record/pcap_record.h"

struct CommandLine {
    enum class Action {
        Window,    // the windowed program
        Headless,  // the relay and its captures without a window
        Help,      // --help: every option on stdout, exit 0
        Version,   // --version: the program's name and version on stdout, exit 0
        ExportPcap,  // --export-pcap: a saved capture written as pcap or pcapng, exit 0 or 1 with the reason
        Refused,   // a wrong command line: `refusal` on stderr, then the usage line, exit 2
    };
    Action action = Action::Window;
    std::string iniPath;  // --ini; empty: Vorlinex.ini in the current directory
    // The headless captures: channel 1 (--log-a), channel 2 (--log-b), both in read order
    // (--log-combined); empty when not asked for.
    std::string logA;
    std::string logB;
    std::string logCombined;
    // --decode: how the frames are cut and read (with --master for Modbus); --log-frames: the
    // frame log. decodeAsked false: neither was given.
    bool decodeAsked = false;
    DecodeChoice decode;
    std::string logFrames;
    // --export-pcap CAPTURE OUT [--format pcap|pcapng]
    std::string exportCapture;
    std::string exportOut;
    PcapForm exportForm = PcapForm::PcapNg;
    // --pcap: both directions as pcapng, appended to; --pcap-listen: the PCAP-over-IP server's
    // address (127.0.0.1 unless named) and port (0: a free one), pcapListenPort -1 when not asked.
    std::string pcap;
    std::string pcapListenHost;
    int32_t pcapListenPort = -1;
    int64_t statusEverySeconds = 60;  // 0: no periodic status line
    std::string refusal;              // Refused: the one line naming what was wrong
};

// The largest --status-every: a day.
inline constexpr int64_t kLongestStatusEvery = 86400;
// The exit status of a refused command line, as shells and getopt programs use it.
inline constexpr int kExitUsage = 2;

// The arguments after the program's name. Each option's value follows it as the next argument
// or after "=" (--ini=PATH); an option given twice, a value that is empty or looks like another
// option, and a capture or status option without --headless are refused. --export-pcap takes two
// values, the capture and the file to write, and goes with --format alone.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// --pcap-listen's [ADDR:]PORT, also the window's "Share live": ADDR 127.0.0.1 unless named, an IPv6
// one in brackets; PORT 0 to 65535. The address itself is checked when it is listened on.
bool parseListenAddress(const std::string& text, std::string& host, int32_t& port);

// "Usage: vorlinex [--ini PATH] | --headless [...] | --help | --version"
std::string usageLine();
// The usage line, then every option on a line of its own.
std::string helpText();
// "Vorlinex v1.01a"
std::string versionText();

// The help's words on what the system can ask of the headless mode, which differ by platform:
// "; SIGUSR1 asks for one at once" after --status-every, and the closing "Headless: ..." lines.
std::string statusAtOnceHelp();
std::string headlessRequestsHelp();
