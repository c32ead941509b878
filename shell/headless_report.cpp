#include "shell/headless_report.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "relay/local_time.h"

std::string journalLine(JournalPriority priority, const std::string& text) {
    std::string line = "<" + std::to_string(static_cast<int>(priority)) + ">";
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            if (i + 1 < text.size()) line += ": ";
        } else {
            line += text[i];
        }
    }
    return line + "\n";
}

std::string eventTimeText(std::time_t when) {
    std::tm local{};
    localTimeOf(when, local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string durationText(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const int64_t days = seconds / 86400;
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(seconds / 3600 % 24),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return days > 0 ? std::to_string(days) + "d " + text : std::string(text);
}

std::string groupedNumber(int64_t value) {
    const bool negative = value < 0;
    std::string digits = std::to_string(value);
    if (negative) digits.erase(0, 1);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return negative ? "-" + out : out;
}

std::string sizeText(int64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " B";
    const char* const units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000;
    size_t unit = 0;
    // 999.95 and up would print as "1000.0": the next unit's "1.0" says it.
    while (value >= 999.95 && unit + 1 < std::size(units)) value /= 1000, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

namespace {

std::string portState(const HeadlessStatus::Port& port) {
    return port.state == "present" ? port.state : port.state + " " + durationText(port.stateSeconds);
}

const char* const kDirectionNames[2] = {"1>2", "2>1"};

}  // namespace

std::string statusLineText(const HeadlessStatus& status) {
    std::string line = "up " + durationText(status.upSeconds);
    for (const HeadlessStatus::Port& port : status.ports) line += "  " + port.name + " " + port.path + " " + portState(port);
    for (int i = 0; i < 2; ++i) {
        const HeadlessStatus::Direction& direction = status.directions[i];
        line += std::string("  ") + kDirectionNames[i] + " " + groupedNumber(direction.totalBytes) + " B " +
                groupedNumber(direction.bytesPerSecond) + " B/s";
    }
    for (int i = 0; i < 2; ++i) {
        // Channel 1's bytes were for port 2, channel 2's for port 1.
        const int64_t undelivered = status.directions[i].undelivered;
        if (undelivered > 0) line += "  undelivered to " + status.ports[1 - i].name + " " + groupedNumber(undelivered) + " B";
    }
    if (!status.captures.empty()) {
        line += "  captures:";
        for (size_t i = 0; i < status.captures.size(); ++i) {
            const HeadlessStatus::Capture& capture = status.captures[i];
            line += std::string(i == 0 ? " " : ", ") + capture.label + " " + sizeText(capture.bytes) +
                    (capture.ended ? " (ended)" : "");
        }
    }
    if (!status.listen.address.empty())
        line += "  pcap-listen " + status.listen.address + " " + std::to_string(status.listen.clients) +
                (status.listen.clients == 1 ? " client" : " clients");
    if (status.frames.asked) {
        line += "  frames " + groupedNumber(status.frames.frames) + " errors " + groupedNumber(status.frames.errors);
        for (const HeadlessStatus::Unit& unit : status.frames.units) {
            line += "  unit " + std::to_string(unit.unit) + " median ";
            if (unit.medianMicros < 0) {
                line += "-";
            } else {
                char text[32];
                std::snprintf(text, sizeof text, "%lld.%03lld ms", static_cast<long long>(unit.medianMicros / 1000),
                              static_cast<long long>(unit.medianMicros % 1000));
                line += text;
            }
        }
    }
    return line;
}

std::string notifyStatusText(const HeadlessStatus& status) {
    std::string text;
    for (const HeadlessStatus::Port& port : status.ports) text += port.name + " " + portState(port) + ", ";
    text += std::string(kDirectionNames[0]) + " " + groupedNumber(status.directions[0].bytesPerSecond) + " B/s, " +
            kDirectionNames[1] + " " + groupedNumber(status.directions[1].bytesPerSecond) + " B/s";
    return text;
}

std::string portWentAwayText(std::time_t when, const std::string& name, const std::string& path, const std::string& why) {
    return eventTimeText(when) + " " + name + " " + path + " went away" + (why.empty() ? "" : ": " + why);
}

std::string portCameBackText(std::time_t when, const std::string& name, const std::string& path, int64_t awaySeconds) {
    return eventTimeText(when) + " " + name + " " + path + " is back after " + durationText(awaySeconds);
}

std::string captureReopenedText(std::time_t when, const std::string& label, const std::string& path) {
    return eventTimeText(when) + " capture " + label + " " + path + " reopened";
}

std::string captureReopenFailedText(std::time_t when, const std::string& label, const std::string& path, int error) {
    return eventTimeText(when) + " capture " + label + " " + path + " could not be reopened: " +
           std::system_category().message(error) +
           "; it goes on into the file it had, and is reopened again at the next SIGHUP";
}

std::string captureEndedText(std::time_t when, const std::string& label, const std::string& why) {
    return eventTimeText(when) + " capture " + label + " ended: " + why + "; relaying goes on";
}

std::string captureOpenRefusedText(const std::string& label, const std::string& path, const std::string& why) {
    return "capture " + label + " " + path + " cannot be opened: " + why;
}

std::string captureResumedText(std::time_t when, const std::string& label, const std::string& path) {
    return eventTimeText(when) + " capture " + label + " " + path + " opened again after it had ended";
}

std::string captureResumeFailedText(std::time_t when, const std::string& label, const std::string& path,
                                    const std::string& why) {
    return eventTimeText(when) + " capture " + label + " " + path + " could not be opened again: " + why +
           "; it is tried again at the next SIGHUP";
}

std::string captureResumeWaitsText(std::time_t when, const std::string& label, const std::string& path) {
    return eventTimeText(when) + " capture " + label + " " + path +
           " is not opened again yet: its writer still waits for the old file; it is tried again at the next SIGHUP";
}

std::string pcapListeningText(const std::string& address) {
    return "pcap-listen " + address + ": PCAP-over-IP to whoever connects (wireshark -k -i TCP@" + address + ")";
}

std::string pcapListenRefusedText(const std::string& address, int error) {
    return "pcap-listen " + address + " cannot listen: " +
           (error == EINVAL ? std::string("not a numeric IPv4 or IPv6 address of this machine")
                            : std::system_category().message(error));
}

std::string pcapClientText(std::time_t when, const PcapClientNews& news) {
    std::string text = eventTimeText(when) + " pcap-listen client " + news.peer + " ";
    switch (news.kind) {
        case PcapClientNews::Kind::Connected:
            return text + "connected";
        case PcapClientNews::Kind::Left:
            return text + "left" + (news.error == 0 ? "" : ": " + std::system_category().message(news.error));
        case PcapClientNews::Kind::Dropped:
            return text + "dropped: it stopped reading, " + groupedNumber(news.waiting) + " bytes waited for it";
        case PcapClientNews::Kind::FellBehind:
            return text + "dropped: the server fell behind the relay";
    }
    return text;
}
