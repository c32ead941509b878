#include "settings/config.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "relay/relay.h"
#include "settings/private_profile.h"

namespace {

struct PortKeys {
    const char* section;
    PortSettings Config::*settings;
};

const PortKeys kPortSections[] = {{"DATA1", &Config::port1}, {"DATA2", &Config::port2}};

// The defaults, which a missing file stands for.
Config defaultConfig() {
    Config config;
    AppOptions& appOptions = config.appOptions;
    config.port1 = PortSettings{0, 9600, 8, 0, 0, FlowNone};
    config.port2 = PortSettings{1, 9600, 8, 0, 0, FlowNone};
    appOptions.RATE.store(5, std::memory_order_relaxed);
    appOptions.DMODE.store(0, std::memory_order_relaxed);
    appOptions.CRLF.store(0, std::memory_order_relaxed);
    appOptions.DATETIME.store(0, std::memory_order_relaxed);
    appOptions.DATETIMEVAL.store(60, std::memory_order_relaxed);
    return config;
}

// The seventeen keys, in the order a new file holds them.
void putSettings(PrivateProfile& ini, const Config& config) {
    const AppOptions& appOptions = config.appOptions;
    for (const PortKeys& p : kPortSections) {
        const PortSettings& s = config.*p.settings;
        ini.setString(p.section, "COM", std::to_string(s.comIndex));
        ini.setString(p.section, "BPS", std::to_string(s.baudRate));
        ini.setString(p.section, "BIT", std::to_string(unsigned{s.dataBits}));
        ini.setString(p.section, "PARI", std::to_string(unsigned{s.parity}));
        ini.setString(p.section, "STOP", std::to_string(unsigned{s.stopBits}));
        ini.setString(p.section, "FLOW", std::to_string(s.flowControl));
    }
    ini.setString("DATA", "RATE", std::to_string(appOptions.RATE.load(std::memory_order_relaxed)));
    ini.setString("DATA", "DMODE", std::to_string(appOptions.DMODE.load(std::memory_order_relaxed)));
    ini.setString("DATA", "CRLF", std::to_string(appOptions.CRLF.load(std::memory_order_relaxed)));
    ini.setString("DATA", "DATETIME", std::to_string(appOptions.DATETIME.load(std::memory_order_relaxed)));
    ini.setString("DATA", "DATETIMEVAL", std::to_string(appOptions.DATETIMEVAL.load(std::memory_order_relaxed)));
}

ConfigSaveResult saveProfile(PrivateProfile& ini) {
    ConfigSaveResult result;
    result.path = ini.path();
    result.saved = ini.save(&result.reason);
    return result;
}

// The program's paths are UTF-8 text, whatever code page the system's narrow calls would take.
std::filesystem::path pathOf(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string textOf(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The one file named on the command line: the entry sets it once, before any thread starts.
std::string& configPathOverride() {
    static std::string path;
    return path;
}

}  // namespace

void setConfigPathOverride(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = path.empty() ? std::filesystem::path() : std::filesystem::absolute(pathOf(path), ec);
    configPathOverride() = ec ? path : textOf(absolute);
}

std::string configPath() {
    if (!configPathOverride().empty()) return configPathOverride();
    std::error_code ec;
    std::string folder = textOf(std::filesystem::current_path(ec));
    // A current directory that has been removed has no name any more; the file is then looked
    // for (and a save fails) relative to it.
    if (ec || folder.empty())
        folder = ".";
    if (folder.back() != '/' && folder.back() != std::filesystem::path::preferred_separator)
        folder += static_cast<char>(std::filesystem::path::preferred_separator);
    return folder + "Vorlinex.ini";
}

std::optional<ConfigReadFailure> namedConfigFailure() {
    if (configPathOverride().empty()) return std::nullopt;
    const PrivateProfile ini(configPath());
    if (!ini.exists()) return ConfigReadFailure{ini.path(), ini.readError() != 0 ? ini.readError() : ENOENT};
    // Any other file (a log, a binary named by mistake) would read as zeros everywhere.
    for (const char* section : {"DATA1", "DATA2", "DATA", "DEVICES"})
        if (ini.hasSection(section)) return std::nullopt;
    return ConfigReadFailure{ini.path(), 0};
}

Config loadConfig(std::vector<ComOutOfRange>* outOfRange) {
    Config config;
    AppOptions& appOptions = config.appOptions;
    std::array<std::string, 6>& comDevicePaths = config.comDevicePaths;
    PrivateProfile ini(configPath());
    if (!ini.exists())
        return defaultConfig();
    for (const PortKeys& p : kPortSections) {
        PortSettings& s = config.*p.settings;
        s.comIndex = ini.getInt(p.section, "COM", 0);
        s.baudRate = ini.getInt(p.section, "BPS", 0);
        s.dataBits = static_cast<uint8_t>(ini.getInt(p.section, "BIT", 0));
        s.parity = static_cast<uint8_t>(ini.getInt(p.section, "PARI", 0));
        s.stopBits = static_cast<uint8_t>(ini.getInt(p.section, "STOP", 0));
        s.flowControl = ini.getInt(p.section, "FLOW", 0);
        // COM1..COM6 only: any other index names no device and no port the user could choose.
        if (s.comIndex < 0 || s.comIndex >= static_cast<int32_t>(comDevicePaths.size())) {
            const int port = p.settings == &Config::port1 ? 1 : 2;
            const int32_t used = port - 1;
            if (outOfRange != nullptr) outOfRange->push_back({port, s.comIndex, ini.lineOf(p.section, "COM"), used});
            s.comIndex = used;
        }
    }
    appOptions.RATE.store(ini.getInt("DATA", "RATE", 0), std::memory_order_relaxed);
    appOptions.DMODE.store(ini.getInt("DATA", "DMODE", 0), std::memory_order_relaxed);
    appOptions.CRLF.store(ini.getInt("DATA", "CRLF", 0), std::memory_order_relaxed);
    appOptions.DATETIME.store(ini.getInt("DATA", "DATETIME", 0), std::memory_order_relaxed);
    appOptions.DATETIMEVAL.store(ini.getInt("DATA", "DATETIMEVAL", 0), std::memory_order_relaxed);

    for (size_t i = 0; i < comDevicePaths.size(); ++i) {
        std::string device = ini.getString("DEVICES", "COM" + std::to_string(i + 1), "");
        if (!device.empty())
            comDevicePaths[i] = device;
    }
    return config;
}

ConfigSaveResult saveConfig(const Config& config) {
    PrivateProfile ini(configPath());
    putSettings(ini, config);
    // All seventeen keys reach the disk in one replacement, or none do.
    return saveProfile(ini);
}

Config configOf(const Relay& relay) {
    Config config;
    config.port1 = relay.serialPort1.settings;
    config.port2 = relay.serialPort2.settings;
    config.appOptions = relay.appOptions;
    config.comDevicePaths = relay.comDevicePaths;
    return config;
}

void applyConfig(Relay& relay, const Config& config) {
    relay.serialPort1.settings = config.port1;
    relay.serialPort2.settings = config.port2;
    relay.appOptions = config.appOptions;
    relay.comDevicePaths = config.comDevicePaths;
}

DecodeSettings loadDecodeSettings() {
    const DecodeSettings defaults;
    DecodeSettings settings;
    const PrivateProfile ini(configPath());
    const auto inRange = [&ini](const char* key, int32_t low, int32_t high, int32_t fallback) {
        const int32_t value = ini.getInt("DECODE", key, fallback);
        return value >= low && value <= high ? value : fallback;
    };
    std::string view = ini.getString("DECODE", "View", "");
    std::transform(view.begin(), view.end(), view.begin(), [](unsigned char c) { return std::tolower(c); });
    settings.frames = view == "frames";
    const std::string protocol = ini.getString("DECODE", "Protocol", "");
    if (!protocol.empty()) settings.protocol = protocol;
    settings.gapMs = inRange("Gap", 0, kMaxDecodeGapMs, defaults.gapMs);
    settings.master = inRange("Master", 0, 2, defaults.master);
    settings.timeoutMs = inRange("Timeout", 1, kMaxDecodeTimeoutMs, defaults.timeoutMs);
    settings.errorsOnly = inRange("ErrorsOnly", 0, 1, defaults.errorsOnly ? 1 : 0) == 1;
    return settings;
}

ConfigSaveResult saveDecodeSettings(const DecodeSettings& settings) {
    PrivateProfile ini(configPath());
    // As for DEVICES: a new file with DECODE alone would read as both ports on COM1 at 0 baud.
    if (!ini.exists())
        putSettings(ini, defaultConfig());
    ini.setString("DECODE", "View", settings.frames ? "Frames" : "Records");
    ini.setString("DECODE", "Protocol", settings.protocol);
    ini.setString("DECODE", "Gap", std::to_string(settings.gapMs));
    ini.setString("DECODE", "Master", std::to_string(settings.master));
    ini.setString("DECODE", "Timeout", std::to_string(settings.timeoutMs));
    ini.setString("DECODE", "ErrorsOnly", settings.errorsOnly ? "1" : "0");
    return saveProfile(ini);
}

ConfigSaveResult saveDevicePaths(const std::array<std::string, 6>& paths) {
    PrivateProfile ini(configPath());
    if (!ini.exists())
        putSettings(ini, defaultConfig());
    for (size_t i = 0; i < paths.size(); ++i)
        ini.setString("DEVICES", "COM" + std::to_string(i + 1), paths[i]);
    return saveProfile(ini);
}
