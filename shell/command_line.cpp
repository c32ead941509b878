#include "shell/command_line.h"

#include <charconv>
#include <optional>

namespace {

enum class Option {
    Ini, Headless, LogA, LogB, LogCombined, Decode, Master, LogFrames, Pcap, PcapListen, StatusEvery, Help, Version,
    ExportPcap, Format
};

struct KnownOption {
    const char* name;
    Option option;
    bool takesValue;
    bool headlessOnly;
};

constexpr KnownOption kOptions[] = {
    {"--ini", Option::Ini, true, false},
    {"--headless", Option::Headless, false, false},
    {"--log-a", Option::LogA, true, true},
    {"--log-b", Option::LogB, true, true},
    {"--log-combined", Option::LogCombined, true, true},
    {"--decode", Option::Decode, true, true},
    {"--master", Option::Master, true, true},
    {"--log-frames", Option::LogFrames, true, true},
    {"--pcap", Option::Pcap, true, true},
    {"--pcap-listen", Option::PcapListen, true, true},
    {"--status-every", Option::StatusEvery, true, true},
    {"--help", Option::Help, false, false},
    {"--version", Option::Version, false, false},
    {"--export-pcap", Option::ExportPcap, true, false},
    {"--format", Option::Format, true, false},
};

constexpr const char* kExportNeeds = "--export-pcap needs a capture and a file to write";

const KnownOption* findOption(const std::string& name) {
    for (const KnownOption& known : kOptions)
        if (name == known.name) return &known;
    return nullptr;
}

CommandLine refused(std::string why) {
    CommandLine line;
    line.action = CommandLine::Action::Refused;
    line.refusal = std::move(why);
    return line;
}

std::optional<int64_t> wholeSeconds(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || at != end) return std::nullopt;
    return value;
}

}  // namespace

bool parseListenAddress(const std::string& text, std::string& host, int32_t& port) {
    std::string portText = text;
    host = "127.0.0.1";
    if (text.starts_with("[")) {
        const size_t close = text.find("]:");
        if (close == std::string::npos || close == 1) return false;
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else if (const size_t colon = text.find(':'); colon != std::string::npos) {
        // An IPv6 address without its brackets cannot be told from its port.
        if (colon == 0 || text.find(':', colon + 1) != std::string::npos) return false;
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    const std::optional<int64_t> number = wholeSeconds(portText);
    if (!number || *number < 0 || *number > 65535) return false;
    port = static_cast<int32_t>(*number);
    return true;
}

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    bool headless = false, help = false, version = false;
    bool seen[std::size(kOptions)] = {};
    const char* headlessOnlyGiven = nullptr;
    const char* otherThanExport = nullptr;
    bool formatGiven = false;

    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const size_t equals = argument.find('=');
        const std::string name = argument.starts_with("--") ? argument.substr(0, equals) : argument;
        const KnownOption* known = findOption(name);
        if (known == nullptr) {
            return refused(argument.starts_with("-") ? "unknown option " + name
                                                     : "unexpected argument \"" + argument + "\"");
        }
        const size_t index = static_cast<size_t>(known - kOptions);
        if (seen[index]) return refused(std::string(known->name) + " is given twice");
        seen[index] = true;
        if (known->headlessOnly && headlessOnlyGiven == nullptr) headlessOnlyGiven = known->name;

        std::string value;
        if (known->takesValue) {
            if (equals != std::string::npos) {
                value = argument.substr(equals + 1);
            } else if (i + 1 < arguments.size() && !arguments[i + 1].starts_with("--")) {
                value = arguments[++i];
            }
            // A value that looks like the next option is that option, and this one's is missing.
            if (value.empty()) {
                if (known->option == Option::ExportPcap) return refused(kExportNeeds);
                return refused(std::string(known->name) + " needs a value");
            }
        } else if (equals != std::string::npos) {
            return refused(std::string(known->name) + " takes no value");
        }

        switch (known->option) {
            case Option::Ini:
                line.iniPath = value;
                break;
            case Option::Headless:
                headless = true;
                break;
            case Option::LogA:
                line.logA = value;
                break;
            case Option::LogB:
                line.logB = value;
                break;
            case Option::LogCombined:
                line.logCombined = value;
                break;
            case Option::Decode:
                if (!parseDecodeChoice(value, line.decode)) {
                    return refused("--decode " + value +
                                   " is not one of modbus-rtu, modbus-ascii, nmea, gap:MS (1 to 60000), "
                                   "delim:HEX (1 to 8 bytes, e.g. 0D0A)");
                }
                line.decodeAsked = true;
                break;
            case Option::Master:
                if (value != "1" && value != "2") return refused("--master " + value + " is not 1 or 2");
                line.decode.master = value == "1" ? 1 : 2;
                break;
            case Option::LogFrames:
                line.logFrames = value;
                break;
            case Option::Pcap:
                line.pcap = value;
                break;
            case Option::PcapListen:
                if (!parseListenAddress(value, line.pcapListenHost, line.pcapListenPort)) {
                    return refused("--pcap-listen " + value +
                                   " is not [ADDR:]PORT: a port from 0 to 65535, after a numeric address and a colon "
                                   "([ADDR] for IPv6)");
                }
                break;
            case Option::StatusEvery: {
                const std::optional<int64_t> seconds = wholeSeconds(value);
                if (!seconds || *seconds < 0 || *seconds > kLongestStatusEvery) {
                    return refused("--status-every " + value + " is out of range: whole seconds from 0 to " +
                                   std::to_string(kLongestStatusEvery));
                }
                line.statusEverySeconds = *seconds;
                break;
            }
            case Option::Help:
                help = true;
                break;
            case Option::Version:
                version = true;
                break;
            case Option::ExportPcap:
                // Its second value, the file to write, is the next argument.
                if (i + 1 >= arguments.size() || arguments[i + 1].starts_with("--") || arguments[i + 1].empty())
                    return refused(kExportNeeds);
                line.exportCapture = value;
                line.exportOut = arguments[++i];
                break;
            case Option::Format:
                if (value != "pcap" && value != "pcapng") {
                    return refused("--format " + value + " is not pcap or pcapng");
                }
                line.exportForm = value == "pcap" ? PcapForm::Pcap : PcapForm::PcapNg;
                formatGiven = true;
                break;
        }
        if (known->option != Option::ExportPcap && known->option != Option::Format && known->option != Option::Help &&
            known->option != Option::Version && otherThanExport == nullptr) {
            otherThanExport = known->name;
        }
    }

    const bool modbus = line.decode.rule == FrameRule::ModbusRtu || line.decode.rule == FrameRule::ModbusAscii;
    if (line.decode.master != 0 && !(line.decodeAsked && modbus)) return refused("--master needs --decode modbus-rtu or modbus-ascii");
    if (!line.logFrames.empty() && !line.decodeAsked) return refused("--log-frames needs --decode");

    const bool exporting = !line.exportCapture.empty();
    if (exporting && otherThanExport != nullptr) {
        return refused(std::string(otherThanExport) + " does not go with --export-pcap");
    }
    if (formatGiven && !exporting) return refused("--format needs --export-pcap");

    // Asking what the program is wins over running it; the rest must still be well formed.
    if (help) {
        line.action = CommandLine::Action::Help;
    } else if (version) {
        line.action = CommandLine::Action::Version;
    } else if (exporting) {
        line.action = CommandLine::Action::ExportPcap;
    } else if (headless) {
        line.action = CommandLine::Action::Headless;
    } else if (headlessOnlyGiven != nullptr) {
        // The window starts its captures from its menu; a capture asked for here and silently
        // not made would be worse than none.
        return refused(std::string(headlessOnlyGiven) + " needs --headless");
    }
    return line;
}

std::string usageLine() {
    return "Usage: vorlinex [--ini PATH] | vorlinex --headless [--ini PATH] [--log-a FILE] [--log-b FILE] "
           "[--log-combined FILE] [--decode RULE [--master 1|2] [--log-frames FILE]] [--pcap FILE] "
           "[--pcap-listen [ADDR:]PORT] [--status-every SECONDS] | "
           "vorlinex --export-pcap CAPTURE OUT [--format pcap|pcapng] | vorlinex --help | vorlinex --version";
}

std::string helpText() {
    return usageLine() + "\n" +
           "  --ini PATH               read (and SAVE) this settings file instead of ./Vorlinex.ini\n"
           "  --headless               relay and capture without a window, reporting on stderr\n"
           "  --log-a FILE             headless: capture COM1 -> COM2 into FILE, appended to\n"
           "  --log-b FILE             headless: capture COM2 -> COM1 into FILE, appended to\n"
           "  --log-combined FILE      headless: capture both directions in read order into FILE, appended to\n"
           "  --decode RULE            headless: cut both directions into frames and read them: modbus-rtu,\n"
           "                           modbus-ascii, nmea, gap:MS (a frame ends after MS quiet ms) or delim:HEX\n"
           "                           (a frame ends after these bytes, e.g. delim:0D0A); the status line adds\n"
           "                           frames, errors and each Modbus unit's median response time\n"
           "  --master 1|2             headless, Modbus: the side that asks (COM1 or COM2); found when not given\n"
           "  --log-frames FILE        headless: one frame line per frame into FILE, appended to: the record line\n"
           "                           of the frame's bytes, then [ok], [bad crc], [bad lrc], [bad checksum],\n"
           "                           [truncated], [unknown] or [noise] and what it says; an answer ends with\n"
           "                           \"answer after N ms\", a request nobody answered within 1 s is a [timeout] line\n"
           "  --pcap FILE              headless: both directions in read order as pcapng (link type 250, RTAC\n"
           "                           serial) into FILE, appended to as a new section; Wireshark reads it\n"
           "  --pcap-listen [ADDR:]PORT  headless: serve the records as PCAP-over-IP on ADDR (default 127.0.0.1)\n"
           "                           and PORT (wireshark -k -i TCP@ADDR:PORT); anyone who reaches it sees the\n"
           "                           traffic\n"
           "  --status-every SECONDS   headless: a status line every SECONDS (0 to " +
           std::to_string(kLongestStatusEvery) +
           ", default 60, 0: none" + statusAtOnceHelp() + ")\n"
           "  --export-pcap CAPTURE OUT  write the saved combined capture (or frame log) CAPTURE as OUT for\n"
           "                           Wireshark: one packet per record, link type 250 (RTAC serial), 1>2 as\n"
           "                           event 0x01 and 2>1 as 0x02; exit 0, or 1 with the reason\n"
           "  --format pcap|pcapng     with --export-pcap: classic pcap or pcapng (the default)\n"
           "  --help                   show this help and exit\n"
           "  --version                show the program's version and exit\n"
           "--log-a, --log-b, --log-combined, --decode, --master, --log-frames, --pcap, --pcap-listen and\n"
           "--status-every need --headless: the window starts its captures "
           "from its menu. " + headlessRequestsHelp();
}

std::string versionText() { return "Vorlinex v1.01a"; }
