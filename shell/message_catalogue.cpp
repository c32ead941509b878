#include "shell/message_catalogue.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "capture/capture_file.h"
#include "decode/transactions.h"
#include "record/pcap_reader.h"
#include "relay/network_device.h"
#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "relay/serial_port.h"
#include "settings/config.h"
#include "settings/settings_refusal.h"
#include "settings/startup_entry.h"

namespace {

struct CatalogueEntry {
    const char* text;
    BoxIcon icon;
};

constexpr CatalogueEntry kCatalogue[16] = {
    {"Com1 Open Error", BoxIcon::Error},
    {"Com2 Open Error", BoxIcon::Error},
    {"Com3 Open Error", BoxIcon::Error},
    {"Com4 Open Error", BoxIcon::Error},
    {"Com5 Open Error", BoxIcon::Error},
    {"Com6 Open Error", BoxIcon::Error},
    {"EVMASK Error", BoxIcon::Error},
    {"File Open Error", BoxIcon::Error},
    {"File Send Count Error", BoxIcon::Error},
    {"Wait Time Error", BoxIcon::Error},
    {"Data Send End", BoxIcon::Information},
    {"Data Recv End", BoxIcon::Information},
    {"File Read Error", BoxIcon::Error},
    {"File Size 0", BoxIcon::Error},
    {"Config data save end", BoxIcon::Information},
    {"Rate UPdate Time Error", BoxIcon::Error},
};

const CatalogueEntry* entryOf(int code) {
    if (code < 1 || code > 16)
        return nullptr;
    return &kCatalogue[code - 1];
}

// The words of an errno value. The generic category, not the system's: on Windows the system
// category words Windows error codes (ECONNRESET would read "Drive locked"). Windows' C library
// has no words for the network's errno values, so those are worded here, as Linux words them.
std::string systemText(int error) {
    switch (error) {
        case ECONNREFUSED: return "Connection refused";
        case ECONNRESET: return "Connection reset by peer";
        case ECONNABORTED: return "Software caused connection abort";
        case ETIMEDOUT: return "Connection timed out";
        case EHOSTUNREACH: return "No route to host";
        case ENETUNREACH: return "Network is unreachable";
        case ENETDOWN: return "Network is down";
        case ENETRESET: return "Network dropped connection on reset";
        case ENOTCONN: return "Transport endpoint is not connected";
        case EADDRNOTAVAIL: return "Cannot assign requested address";
        case EADDRINUSE: return "Address already in use";
        case EAFNOSUPPORT: return "Address family not supported by protocol";
        case ENOBUFS: return "No buffer space available";
        case ENOTSOCK: return "Socket operation on non-socket";
        case EPROTO: return "Protocol error";
        case ECANCELED: return "Operation canceled";
        case EINPROGRESS: return "Operation now in progress";
        default: return std::generic_category().message(error);
    }
}

// "Connection refused" reads "connection refused" inside a sentence.
std::string lowerFirst(std::string text) {
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

// Why a port's device could not be opened, after its path; the status bar says "unplugged,
// waiting" for a missing device, the box what the system said.
std::string refusalText(const PortOpenFailure& f, bool forStatus) {
    const std::string& path = f.path;
    switch (f.kind) {
        case RefusalMissing:
            return forStatus ? path + " unplugged, waiting" : path + ": " + systemText(f.systemError) + " (it opens by itself once it is there)";
        case RefusalPermission:
            return path + ": permission denied" + (f.deviceGroup.empty() ? "" : " (join the " + f.deviceGroup + " group)");
        case RefusalInUse:
            return path + " is in use by another program" +
                   (f.holderPid > 0 ? " (" + f.holderName + ", pid " + std::to_string(f.holderPid) + ")" : "");
        case RefusalOtherPort:
            return path + " is already open as " + portDisplayNameAt(f.otherComIndex);
        case RefusalLoginTerminal:
            return path + " is the terminal of a login session";
        case RefusalPtyClosed:
            return path + " was closed by its other end";
        case RefusalPtyMissing:
            return path + " is gone (a pseudo-terminal does not come back)";
        case RefusalNotSerial:
            return path + " is not a serial line";
        case RefusalFailed:
            return path + ": " + systemText(f.systemError);
        case RefusalConnecting:
            return path + " connecting";
        case RefusalUnreachable:
            return path + " not reachable: " + (f.detail.empty() ? lowerFirst(systemText(f.systemError)) : f.detail) +
                   (forStatus ? ", retrying" : " (it is tried again until it answers)");
        case RefusalConnectionLost:
            return path + (f.systemError != 0 ? " connection lost: " + lowerFirst(systemText(f.systemError))
                                              : " closed the connection") +
                   ", retrying";
        case RefusalServerMessage:
            return path + ": " + f.detail;
        case RefusalNotServer:
            return path + " sent only commands, no data (not a serial server), retrying";
        case RefusalNotReading:
            return path + " reads nothing it is sent (not a serial server), retrying";
        case RefusalBadAddress:
            return path + " is not a network address (rfc2217://HOST:PORT or tcp://HOST:PORT)";
        case RefusalZoneMissing:
            return path + " is a link-local address: it needs the interface to reach it by, as in [fe80::1%eth0]";
        default:
            return "";
    }
}

std::string parityText(int parity) { return parity == 1 ? "odd parity" : parity == 2 ? "even parity" : "no parity"; }

// What a device or a server holds against what was asked, as two lists that name the same
// settings in the same order.
struct Differences {
    std::string held, asked;
    void add(bool differs, const std::string& h, const std::string& a) {
        if (!differs) return;
        held += (held.empty() ? "" : ", ") + h;
        asked += (asked.empty() ? "" : ", ") + a;
    }
};

// "4096 baud, 8 data bits instead of 12345 baud, 7 data bits": only what differs.
std::string lineDifferenceText(const LineReadBack& r) {
    Differences d;
    const auto add = [&d](bool differs, const std::string& h, const std::string& a) { d.add(differs, h, a); };
    const auto onOff = [](bool on) { return std::string(on ? "on" : "off"); };
    const auto character = [](uint8_t c) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X", c);
        return std::string(text);
    };
    add(r.asked.baudRate != 0 && r.asked.baudRate != r.held.baudRate, std::to_string(r.held.baudRate) + " baud",
        std::to_string(r.asked.baudRate));
    add(r.asked.dataBits != r.held.dataBits, std::to_string(r.held.dataBits) + " data bits", std::to_string(r.asked.dataBits));
    add(r.asked.parity != r.held.parity, parityText(r.held.parity), parityText(r.asked.parity));
    add(r.asked.twoStopBits != r.held.twoStopBits, r.held.twoStopBits ? "2 stop bits" : "1 stop bit",
        r.asked.twoStopBits ? "2" : "1");
    add(r.asked.rtsCtsFlow != r.held.rtsCtsFlow, "RTS/CTS flow " + onOff(r.held.rtsCtsFlow), onOff(r.asked.rtsCtsFlow));
    add(r.asked.xonXoffFlow != r.held.xonXoffFlow, "XON/XOFF flow " + onOff(r.held.xonXoffFlow), onOff(r.asked.xonXoffFlow));
    add(r.asked.xonXoffFlow && r.held.xonXoffFlow && r.asked.xoffChar != r.held.xoffChar,
        "XOFF " + character(r.held.xoffChar), character(r.asked.xoffChar));
    add(r.asked.xonXoffFlow && r.held.xonXoffFlow && r.asked.xonChar != r.held.xonChar,
        "XON " + character(r.held.xonChar), character(r.asked.xonChar));
    return "the device set " + d.held + " instead of " + d.asked;
}

// "the server set 4096 baud instead of 12345": only what the server answered and differs.
std::string serverDifferenceText(const NetworkReadBack& r) {
    Differences d;
    const auto add = [&d](bool differs, const std::string& h, const std::string& a) { d.add(differs, h, a); };
    const auto flowText = [](NetworkLineSettings::Flow flow) {
        return std::string(flow == NetworkLineSettings::Flow::RtsCts    ? "RTS/CTS flow"
                           : flow == NetworkLineSettings::Flow::XonXoff ? "XON/XOFF flow"
                                                                        : "no flow control");
    };
    add(r.baudAnswered && r.baudRate != r.asked.baudRate, std::to_string(r.baudRate) + " baud",
        std::to_string(r.asked.baudRate));
    add(r.dataBitsAnswered && r.dataBits != r.asked.dataBits, std::to_string(r.dataBits) + " data bits",
        std::to_string(r.asked.dataBits));
    add(r.parityAnswered && r.parity != r.asked.parity,
        r.parity < 0 ? std::string("mark or space parity") : parityText(r.parity), parityText(r.asked.parity));
    add(r.stopBitsAnswered && r.twoStopBits != r.asked.twoStopBits, r.twoStopBits ? "2 stop bits" : "1 stop bit",
        r.asked.twoStopBits ? "2" : "1");
    add(r.flowAnswered && r.flow != r.asked.flow, flowText(r.flow), flowText(r.asked.flow));
    return "the server set " + d.held + " instead of " + d.asked;
}

std::string withThousandsSeparators(long long value) {
    const bool negative = value < 0;
    const unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                                  : static_cast<unsigned long long>(value);
    std::string digits = std::to_string(magnitude);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
    return negative ? "-" + digits : digits;
}

std::string settingsUnreadableReason(const ConfigReadFailure& failure) {
    if (failure.systemError != 0) return systemText(failure.systemError);
    return "not a settings file (it has no [DATA1], [DATA2], [DATA] or [DEVICES] section)";
}

}  // namespace

void showMessage(const BoxFunction& boxes, int code) {
    const CatalogueEntry* entry = entryOf(code);
    if (entry == nullptr) {
        // No caller passes such a code; an empty box would only puzzle the user, so the
        // mistake is noted for the developer instead.
        std::fprintf(stderr, "Vorlinex: message code %d is not in the catalogue\n", code);
        return;
    }
    showBox(boxes, entry->text, entry->icon, BoxOwner::MainWindow);
}

void reportPortOpen(const BoxFunction& boxes, int result, int64_t portNumber, const PortOpenFailure& failure) {
    if (result == PortNotSerial) {
        // Which port, which device and why: "EVMASK Error" alone names none of them.
        std::string text = entryOf(7)->text;
        if (!failure.path.empty()) {
            text += "\nCOM" + std::to_string(portNumber) + ": " + failure.path + " is not a serial line";
            if (failure.systemError != 0) text += " (" + systemText(failure.systemError) + ")";
        }
        showBox(boxes, text, entryOf(7)->icon, BoxOwner::MainWindow);
    } else if (result == PortOpenFailed) {
        // Codes 1..6 of the catalogue name their port. Any other number would index past the
        // catalogue's port entries (7 is already "EVMASK Error"), so it gets a box of the same form.
        const std::string why = refusalText(failure, false);
        if (portNumber >= 1 && portNumber <= 6 && why.empty()) {
            showMessage(boxes, static_cast<int>(portNumber));
        } else {
            const std::string first = portNumber >= 1 && portNumber <= 6 ? entryOf(static_cast<int>(portNumber))->text
                                                                         : "Com" + std::to_string(portNumber) + " Open Error";
            showBox(boxes, why.empty() ? first : first + "\n" + why, BoxIcon::Error, BoxOwner::MainWindow);
        }
    }
}

std::string portAbsenceText(const Relay& relay, int port) {
    const SerialPort& serialPort = port == 2 ? relay.serialPort2 : relay.serialPort1;
    const int32_t presence = serialPort.presence.load(std::memory_order_acquire);
    if (presence == PortLost) {
        // Found gone by a worker; the next reconnect step closes it.
        // Worded as it will be once it is closed: a network port says how its connection ended
        // (a reset, the server's line, a flood of commands).
        const std::string path = portPathOf(relay, serialPort);
        return refusalText(portKindOf(path).lossFailure(serialPort, path), true);
    }
    return serialPort.isOpen() ? std::string() : refusalText(serialPort.openFailure, true);
}

std::string portStatusText(const Relay& relay) {
    std::string text;
    const auto add = [&text](const std::string& part) {
        if (!part.empty()) text += (text.empty() ? "" : "; ") + part;
    };
    for (int number = 1; number <= 2; ++number) {
        const SerialPort* port = number == 2 ? &relay.serialPort2 : &relay.serialPort1;
        const int32_t comIndex = port->settings.comIndex;
        const std::string name = std::string(portDisplayNameAt(comIndex)) + ": ";
        const int32_t presence = port->presence.load(std::memory_order_acquire);
        if (presence == PortLost || (presence != PortPresent && !port->isOpen())) {
            add(name + portAbsenceText(relay, number));
        } else if (port->isOpen()) {
            const SettingsReport report = portKindOf(relay, *port).settingsReport(*port);
            switch (report.kind) {
                case SettingsReport::Kind::NotCarried:
                    add(name + "tcp:// carries no line settings");
                    break;
                case SettingsReport::Kind::ServerDiffers:
                    add(name + serverDifferenceText(report.server));
                    break;
                case SettingsReport::Kind::DeviceError:
                    add(name + relay.comDevicePaths[comIndex] + " did not take the line settings: " +
                        systemText(report.device.systemError));
                    break;
                case SettingsReport::Kind::DeviceDiffers:
                    add(name + lineDifferenceText(report.device));
                    break;
                case SettingsReport::Kind::Taken:
                    break;
            }
        }
    }
    for (const RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
        if (channel->startError == 0) continue;
        add(directionTitle(channel->source.settings.comIndex, channel->destination.settings.comIndex) +
            " is not relayed: " + systemText(channel->startError));
    }
    for (const RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
        const long long count = channel->undeliveredBytes.load(std::memory_order_relaxed);
        if (count <= 0 || channel->destination.presence.load(std::memory_order_acquire) == PortPresent) continue;
        add(withThousandsSeparators(count) + " bytes not delivered to " +
            portDisplayNameAt(channel->destination.settings.comIndex));
    }
    return text;
}

std::string portLineStateText(const Relay& relay) {
    std::string text;
    for (const SerialPort* port : {&relay.serialPort1, &relay.serialPort2}) {
        if (!port->isOpen()) continue;
        const int line = port->device->lineState();
        const int modem = port->device->modemState();
        if (line < 0 && modem < 0) continue;
        const std::string path = portPathOf(relay, *port);
        char hex[12];  // "0x" and any int in hexadecimal
        std::string part = std::string(portDisplayNameAt(port->settings.comIndex)) + " (" + path + "):";
        if (line >= 0) {
            std::snprintf(hex, sizeof hex, "0x%02X", line);
            part += std::string(" line state ") + hex;
            std::string errors;
            const std::pair<int, const char*> lineBits[] = {{0x10, "break"}, {0x08, "framing error"},
                                                            {0x04, "parity error"}, {0x02, "overrun"}};
            for (const auto& [bit, word] : lineBits)
                if (line & bit) errors += (errors.empty() ? "" : ", ") + std::string(word);
            if (!errors.empty()) part += " (" + errors + ")";
        }
        if (modem >= 0) {
            std::snprintf(hex, sizeof hex, "0x%02X", modem);
            part += std::string(line >= 0 ? "," : "") + " modem state " + hex;
            std::string high;
            const std::pair<int, const char*> modemBits[] = {{0x80, "CD"}, {0x40, "RI"}, {0x20, "DSR"}, {0x10, "CTS"}};
            for (const auto& [bit, word] : modemBits)
                if (modem & bit) high += (high.empty() ? "" : " ") + std::string(word);
            part += " (" + (high.empty() ? std::string("no line up") : high + " up") + ")";
        }
        text += (text.empty() ? "" : "\n") + part;
    }
    return text;
}

void reportConfigSave(const BoxFunction& boxes, const ConfigSaveResult& result) {
    if (result.saved) {
        showBox(boxes, "Configuration Data Saved", BoxIcon::Information, BoxOwner::MainWindow);
    } else {
        showBox(boxes, "Configuration Data Save Error: " + result.path + ": " + result.reason,
                BoxIcon::Error, BoxOwner::MainWindow);
    }
}

std::string settingsUnreadableText(const ConfigReadFailure& failure) {
    return "settings " + failure.path + " cannot be read: " + settingsUnreadableReason(failure);
}

void reportSettingsUnreadable(const BoxFunction& boxes, const ConfigReadFailure& failure) {
    showBox(boxes, "Settings File Error\n" + failure.path + "\n" + settingsUnreadableReason(failure), BoxIcon::Error,
            BoxOwner::None);
}

std::string comOutOfRangeText(const std::string& path, const ComOutOfRange& outOfRange) {
    return path + " line " + std::to_string(outOfRange.line) + ": [DATA" + std::to_string(outOfRange.port) +
           "] COM=" + std::to_string(outOfRange.value) + " is out of range (0 to 5 for COM1 to COM6): port " +
           std::to_string(outOfRange.port) + " uses " + portDisplayNameAt(outOfRange.used);
}

void reportComOutOfRange(const BoxFunction& boxes, const std::string& path, const ComOutOfRange& outOfRange) {
    showBox(boxes, comOutOfRangeText(path, outOfRange), BoxIcon::Information, BoxOwner::MainWindow);
}

void reportDevicesSave(const BoxFunction& boxes, const ConfigSaveResult& result) {
    if (result.saved) return;
    showBox(boxes, "Devices Save Error: " + result.path + ": " + result.reason, BoxIcon::Error, BoxOwner::MainWindow);
}

void reportDecodeSave(const BoxFunction& boxes, const ConfigSaveResult& result) {
    if (result.saved) return;
    showBox(boxes, "Decoding Save Error: " + result.path + ": " + result.reason, BoxIcon::Error, BoxOwner::MainWindow);
}

namespace {

// The names of the three captures as their menu items call them.
const char* captureName(int which) {
    return which == 2 ? "LOG B" : which == 3 ? "LOG Com<->Com" : which == 5 ? "--pcap" : "LOG A";
}

// Why the file took what it took no more, in one line.
std::string captureFailureReason(const CaptureFailure& failure) {
    const std::string notWritten = withThousandsSeparators(failure.bytesNotWritten) + " bytes not written";
    if (failure.kind == CaptureFailure::Kind::WriteRefused) return systemText(failure.error);
    if (failure.stalledSeconds == 0) return "the file did not keep up; " + notWritten;
    return "the file accepted nothing for " + std::to_string(failure.stalledSeconds) + " s; " + notWritten;
}

}  // namespace

std::string captureOpenReasonText(const std::string& fullPath, const CaptureOpenFailure& failure) {
    if (failure.heldBy != 0) return std::string("(already being captured by ") + captureName(failure.heldBy) + ")";
    std::string reason = systemText(failure.error);
    struct stat info {};
    if (failure.error == ENXIO && ::stat(fullPath.c_str(), &info) == 0 && S_ISFIFO(info.st_mode))
        reason += " (no program is reading from this pipe)";
    return reason;
}

void reportCaptureOpen(const BoxFunction& boxes, const std::string& fullPath, const CaptureOpenFailure& failure) {
    showBox(boxes, "File Open Error。\n" + fullPath + "\n" + captureOpenReasonText(fullPath, failure), BoxIcon::Error,
            BoxOwner::MainWindow);
}

void reportCaptureFailure(const BoxFunction& boxes, const CaptureFailure& failure) {
    if (!failure) return;
    showBox(boxes, "File Write Error。\n" + failure.path + "\n" + captureFailureReason(failure) +
                       "\nThe capture has been closed.",
            BoxIcon::Error, BoxOwner::MainWindow);
}

std::string captureLostAtExitText(const CaptureFailure& failure) {
    if (!failure) return {};
    if (failure.kind == CaptureFailure::Kind::UnwrittenAtExit)
        return failure.path + ": " + captureFailureReason(failure) + " when the program ended";
    return failure.path + ": " + captureFailureReason(failure);
}

void reportInitialFontError(const BoxFunction& boxes, void* view) {
    showBox(boxes, "InitialFont Error", BoxIcon::None, BoxOwner::Widget, view);
}

void reportStartupEntry(const BoxFunction& boxes, const StartupEntryResult& result) {
    std::string text;
    switch (result.status) {
        case StartupEntryStatus::Saved:
            showBox(boxes, "スタートアップへ登録しました。", BoxIcon::Information, BoxOwner::MainWindow);
            return;
        case StartupEntryStatus::NoProgramPath:
            text = "The program's own file cannot be found (replaced by an upgrade?): start it again.";
            break;
        case StartupEntryStatus::NoEntryFolder:
            text = "No autostart folder: neither XDG_CONFIG_HOME nor HOME names an absolute folder.";
            break;
        case StartupEntryStatus::UnwritableTarget:
            text = result.path + ": an autostart entry cannot hold this path.";
            break;
        case StartupEntryStatus::SystemError:
            text = result.path + ": " + systemText(result.systemError);
            break;
    }
    showBox(boxes, "スタートアップへ登録できません。\n" + text, BoxIcon::Information, BoxOwner::MainWindow);
}

void reportSettingsRefusal(const BoxFunction& boxes, SettingsRefusal refusal) {
    switch (refusal) {
        case SettingsRefusal::RateOutOfRange:
            showBox(boxes, "RateUpdate Timeの値が不正です。\n1～60を入力してください。", BoxIcon::Error, BoxOwner::MainWindow);
            break;
        case SettingsRefusal::StampTimeoutOutOfRange:
            showBox(boxes, "通信時刻表示のTimeOut値が不正です。\n1～3600を入力してください。", BoxIcon::Error,
                    BoxOwner::MainWindow);
            break;
        case SettingsRefusal::SameComNumber:
            // Owned by no window, as it always was.
            showBox(boxes, "同じCom_Noは設定できません。", BoxIcon::Error, BoxOwner::None);
            break;
    }
}

std::string timelineTitleText(const Relay& relay) {
    return "Com" + std::to_string(portNumberOf(relay.serialPort1.settings.comIndex)) + " <-> Com" +
           std::to_string(portNumberOf(relay.serialPort2.settings.comIndex));
}

std::string timelineNewRecordsText(uint64_t count, bool held, uint64_t letGo) {
    const std::string records = withThousandsSeparators(static_cast<long long>(count)) +
                                (count == 1 ? " new record" : " new records");
    if (held && letGo > 0) {
        return "HOLD: " + records + ", " + withThousandsSeparators(static_cast<long long>(letGo)) +
               (letGo == 1 ? " record" : " records") + " let go meanwhile to keep the bound: release HOLD to show the newest";
    }
    if (held) return "HOLD: " + records + ": release HOLD to show them";
    return records + ": End to follow";
}

std::string timelineDroppedText(uint64_t count, const std::tm& since) {
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", since.tm_hour, since.tm_min, since.tm_sec);
    return withThousandsSeparators(static_cast<long long>(count)) + (count == 1 ? " earlier record" : " earlier records") +
           " dropped since " + time + ": the combined capture keeps everything";
}

std::string timelineSkippedLinesText(uint64_t firstLine, uint64_t count) {
    return "File line " + withThousandsSeparators(static_cast<long long>(firstLine)) + " is not a timeline record (" +
           withThousandsSeparators(static_cast<long long>(count)) + (count == 1 ? " such line" : " such lines") +
           " skipped)";
}

std::string timelineFileCutText(uint64_t size) {
    return "The file was cut to " + withThousandsSeparators(static_cast<long long>(size)) +
           (size == 1 ? " byte" : " bytes") + " while open: only the records it still holds are shown";
}

std::string timelineSelectionTooLargeText(size_t limitBytes) {
    return "The selection is more than " + std::to_string(limitBytes >> 20) +
           " MB of text, too much for the clipboard: nothing was copied.\nSave it to a file instead?";
}

std::string timelineSelectionSaveText(const std::string& path, uint64_t records, uint64_t bytes, bool done, int error,
                                      size_t limitBytes) {
    const auto count = [](uint64_t n, const char* one, const char* many) {
        return withThousandsSeparators(static_cast<long long>(n)) + (n == 1 ? one : many);
    };
    if (path.empty()) {
        return "Not copied: the selection is more than " + std::to_string(limitBytes >> 20) +
               " MB of text, too much for the clipboard";
    }
    if (error != 0) return "The selection could not be saved to " + path + ": " + systemText(error);
    if (done) return "The selection was saved to " + path + ": " + count(records, " record, ", " records, ") + count(bytes, " byte", " bytes");
    return "Saving the selection to " + path + ": " + count(records, " record", " records") + " so far";
}

std::string timelineExportText(const std::string& path, uint64_t records, bool done, int error) {
    const std::string count =
        withThousandsSeparators(static_cast<long long>(records)) + (records == 1 ? " record" : " records");
    if (error == ECANCELED) {
        return "The export to " + path + " ended with the list it was started from: it holds the first " + count;
    }
    if (error != 0) return "The records could not be exported to " + path + ": " + systemText(error);
    if (done) return "Exported " + count + " to " + path;
    return "Exporting to " + path + ": " + count + " so far";
}

std::string timelineFindText(size_t current, size_t total, bool searching, bool capped) {
    // A capped search stopped at its last match kept: more there may be, so say so.
    const std::string found = withThousandsSeparators(static_cast<long long>(total)) + (capped ? "+" : "");
    if (total == 0) return searching ? "searching\u2026" : "no match";
    std::string text = current > 0 ? withThousandsSeparators(static_cast<long long>(current)) + " of " + found
                                   : found + (total == 1 ? " match" : " matches");
    if (capped) return text + " (the search stops there: make the pattern longer)";
    return searching ? text + ", searching\u2026" : text;
}

std::string timelineUnitsText(const std::map<int, UnitFigures>& units) {
    const auto ms = [](int64_t micros) {
        char text[32];
        std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(micros / 1000),
                      static_cast<long long>(micros % 1000));
        return std::string(text);
    };
    std::string text;
    for (const auto& [unit, figures] : units) {
        if (!text.empty()) text += '\n';
        text += "unit " + std::to_string(unit) + ": " + withThousandsSeparators(figures.transactions) +
                (figures.transactions == 1 ? " transaction, " : " transactions, ") +
                withThousandsSeparators(figures.errors) + (figures.errors == 1 ? " error, " : " errors, ");
        if (figures.answered == 0) {
            text += "no answer yet";
            continue;
        }
        text += "response min " + ms(figures.fastestMicros) + " / median " + ms(figures.percentile(50)) + " / p99 " +
                ms(figures.percentile(99)) + " / max " + ms(figures.slowestMicros) + " ms";
    }
    return text;
}

void reportTimelineOpen(const BoxFunction& boxes, const std::string& path, int error) {
    const std::string why = error != 0 ? systemText(error) : "Not a timeline: no line of the file is a timeline record";
    showBox(boxes, "Timeline Open Error\n" + path + "\n" + why, BoxIcon::Error, BoxOwner::MainWindow);
}

std::string timelineSkippedPacketsText(uint64_t firstPacket, uint64_t count) {
    return "Packet " + withThousandsSeparators(static_cast<long long>(firstPacket)) + " holds no serial data (" +
           withThousandsSeparators(static_cast<long long>(count)) + (count == 1 ? " such packet" : " such packets") +
           " skipped)";
}

std::string timelineCaptureStopText(PcapStop stop, uint64_t at, uint32_t linkType) {
    const std::string where = withThousandsSeparators(static_cast<long long>(at));
    switch (stop) {
        case PcapStop::None: return "No packet of the capture holds serial data";
        case PcapStop::NotPcap: return "Not a pcap or pcapng file";
        case PcapStop::LinkType: {
            const std::string name = pcapLinkTypeName(linkType);
            return "Link type " + std::to_string(linkType) + (name.empty() ? "" : " (" + name + ")") +
                   ": only serial records (link type 250) can be shown";
        }
        case PcapStop::Version:
            return "The capture at byte " + where + " is of a format version this program does not read";
        case PcapStop::Malformed: return "The capture is damaged at byte " + where;
        case PcapStop::Truncated: return "The capture ends inside a packet at byte " + where;
    }
    return "";
}

std::string timelineCaptureStoppedText(PcapStop stop, uint64_t at, uint32_t linkType) {
    if (stop == PcapStop::LinkType) {
        const std::string name = pcapLinkTypeName(linkType);
        return "Byte " + withThousandsSeparators(static_cast<long long>(at)) + " starts records of link type " +
               std::to_string(linkType) + (name.empty() ? "" : " (" + name + ")") +
               ": only the serial records before it are shown";
    }
    return timelineCaptureStopText(stop, at, linkType) + ": only the records before it are shown";
}

void reportTimelineCaptureOpen(const BoxFunction& boxes, const std::string& path, PcapStop stop, uint64_t at,
                               uint32_t linkType) {
    showBox(boxes, "Timeline Open Error\n" + path + "\n" + timelineCaptureStopText(stop, at, linkType), BoxIcon::Error,
            BoxOwner::MainWindow);
}

std::string remoteTimelineText(const std::string& address, const RemoteTimeline::Status& status,
                               std::chrono::steady_clock::time_point now) {
    using State = RemoteTimeline::Status::State;
    using Why = RemoteTimeline::Status::Why;
    std::string why;
    switch (status.why) {
        case Why::None: break;
        case Why::Resolve: why = status.message.empty() ? "the name does not resolve" : status.message; break;
        case Why::Connect: why = systemText(status.systemError); break;
        case Why::TimedOut: why = "no answer"; break;
        case Why::Closed: why = "the relay closed the connection"; break;
        case Why::Failed: why = systemText(status.systemError); break;
        case Why::Stream: why = timelineCaptureStopText(status.stop, status.stopAt, status.linkType); break;
    }
    switch (status.state) {
        case State::Connecting:
            return "Connecting to " + address + "…" + (why.empty() ? "" : " (" + why + ")");
        case State::Watching:
            return "Watching " + address + " (read-only)" +
                   (status.connections > 1 ? ": connected again, what the relay read while away is not shown" : "");
        case State::Waiting: {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(status.retryAt - now).count();
            const long long seconds = std::max<long long>(1, (left + 999) / 1000);
            return address + ": " + why + "; trying again in " + std::to_string(seconds) + " s";
        }
        case State::Ended: return address + ": " + why + "; watching ended";
    }
    return address;
}

void reportRemoteOpen(const BoxFunction& boxes, const std::string& path) {
    const std::string why = lacksZone(path) ? "A link-local IPv6 address needs its interface: [fe80::1%eth0]"
                                            : "A relay on another machine is watched as tcp://HOST:PORT";
    showBox(boxes, "Timeline Open Error\n" + path + "\n" + why, BoxIcon::Error, BoxOwner::MainWindow);
}
