// The INI file in the current directory, and the Config value it holds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "relay/app_options.h"
#include "relay/serial_port.h"

struct Relay;

// What the program is started with and what SAVE writes: both ports' settings, the options
// and the device each COM name opens. The dialogs edit it; the relay runs by it.
struct Config {
    PortSettings port1;  // DATA1: Serial Port1
    PortSettings port2;  // DATA2: Serial Port2
    AppOptions appOptions;
    std::array<std::string, 6> comDevicePaths = defaultComDevicePaths();
};

// How a save went: the file, and the system's reason when it could not be written.
struct ConfigSaveResult {
    bool saved = false;
    std::string path;
    std::string reason;
};

// The current directory + "/Vorlinex.ini", of any length; or the file the command line named.
std::string configPath();
// The file the command line named (--ini), made absolute now so that it stays the same file
// whatever the current directory becomes; "" goes back to the current directory's. Set by the
// entry before anything reads the settings.
void setConfigPathOverride(const std::string& path);
// A COM key outside 0..5 (COM1..COM6): which port's, what it said and on which line of the
// file, and the COM index the port takes instead (its default: 0 for port 1, 1 for port 2).
struct ComOutOfRange {
    int port = 1;
    int32_t value = 0;
    int line = 0;
    int32_t used = 0;
};
// Both PortSettings, AppOptions and comDevicePaths; defaults when the file is missing or is no
// regular file that can be read. A COM out of range takes its port's default and is added to
// `outOfRange` (when given), so that the user is told.
Config loadConfig(std::vector<ComOutOfRange>* outOfRange = nullptr);

// Why the settings file named on the command line cannot be used: the system's error (missing,
// unreadable, a folder), or 0 when it was read but holds none of the program's sections.
struct ConfigReadFailure {
    std::string path;
    int systemError = 0;
};
// Asked once at start: nothing when no file was named (./Vorlinex.ini may be absent; the
// defaults apply) or when the named file reads as settings.
std::optional<ConfigReadFailure> namedConfigFailure();
// Writes the seventeen keys in one atomic replacement of the file, keeping every other line.
// When it could not be written the old file stays as it was; the result says why.
ConfigSaveResult saveConfig(const Config& config);

// What the relay runs by now, and handing a Config to it (the ports are not reopened).
Config configOf(const Relay& relay);
void applyConfig(Relay& relay, const Config& config);

// Writes COM1..COM6 of the DEVICES section in one atomic replacement of the file, keeping every
// other line; nothing else. A file that does not exist yet also gets the seventeen keys'
// defaults, which its absence stood for: a file with DEVICES alone would read as port 2 on COM1
// at 0 baud at the next start.
ConfigSaveResult saveDevicePaths(const std::array<std::string, 6>& paths);

// How the timeline window cuts and reads frames, and which of its views it shows: the DECODE
// section, kept as the user changes it in the window (not by SAVE). A value that is missing or
// out of range reads as its default.
struct DecodeSettings {
    bool frames = false;                  // View: Records or Frames
    std::string protocol = "modbus-rtu";  // Protocol: as --decode takes it; its reader checks it
    int32_t gapMs = 0;                    // Gap: 0 for 3.5 characters of the port's line
    int32_t master = 0;                   // Master: 0 found from who answers, 1 or 2
    int32_t timeoutMs = 1000;             // Timeout: how long a request waits for its answer
    bool errorsOnly = false;              // ErrorsOnly
    bool operator==(const DecodeSettings&) const = default;
};
// The longest quiet gap and answer time the window takes, in ms.
constexpr int32_t kMaxDecodeGapMs = 60000;
constexpr int32_t kMaxDecodeTimeoutMs = 3600000;
DecodeSettings loadDecodeSettings();
// Writes the six keys of DECODE in one atomic replacement of the file, keeping every other line;
// a file that does not exist yet also gets the seventeen keys' defaults, as saveDevicePaths.
ConfigSaveResult saveDecodeSettings(const DecodeSettings& settings);
