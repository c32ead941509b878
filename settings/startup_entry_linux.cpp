#include "settings/startup_entry.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

#include "settings/file_replace.h"
#include "settings/startup_entry_system.h"

std::string programPath() { return programPath("/proc/self/exe"); }

std::string programPath(const char* exeLink) {
    std::vector<char> buffer(4096);
    ssize_t n = 0;
    while ((n = ::readlink(exeLink, buffer.data(), buffer.size())) >= 0 && static_cast<size_t>(n) == buffer.size()) {
        buffer.resize(buffer.size() * 2);
    }
    if (n < 0) return {};
    const std::string path(buffer.data(), static_cast<size_t>(n));
    // Once an upgrade has replaced the binary the link reads "<path> (deleted)": only a path
    // that leads to the very file running can start the program again.
    struct stat running {}, named {};
    if (::stat(exeLink, &running) != 0 || ::stat(path.c_str(), &named) != 0 ||
        running.st_dev != named.st_dev || running.st_ino != named.st_ino) {
        return {};
    }
    return path;
}

std::string startupEntryPath() {
    std::string base;
    // An XDG base directory must be absolute; a relative one is ignored.
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && configHome[0] == '/') {
        base = configHome;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const passwd* user = ::getpwuid(::getuid());
            home = user != nullptr ? user->pw_dir : nullptr;
        }
        if (home == nullptr || home[0] != '/') return {};
        base = std::string(home) + "/.config";
    }
    return base + "/autostart/Vorlinex.desktop";
}

namespace {

// A desktop entry is UTF-8 text, and the key file can escape no control character but tab and
// the line ends.
bool writableInEntry(const std::string& path) {
    static constexpr uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    for (size_t i = 0; i < path.size();) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return false;
            ++i;
            continue;
        }
        if (c < 0xC2 || c > 0xF4) return false;
        const size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        if (path.size() - i <= extra) return false;
        uint32_t codePoint = c & (0x3Fu >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(path[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = codePoint << 6 | (next & 0x3Fu);
        }
        if (codePoint < smallest[extra] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::string desktopExecValue(const std::string& path) {
    if (!writableInEntry(path)) return {};
    bool needsQuotes = path.empty();
    for (char c : path) {
        if (std::string_view(" \t\n\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos) needsQuotes = true;
    }
    std::string argument;
    for (char c : path) {
        if (c == '%') {
            argument += "%%";
        } else if (needsQuotes && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            argument += '\\';
            argument += c;
        } else {
            argument += c;
        }
    }
    if (needsQuotes) argument = '"' + argument + '"';
    // The value is a string of the key file first: its own escapes come on top.
    std::string value;
    for (char c : argument) {
        if (c == '\\') {
            value += "\\\\";
        } else if (c == '\n') {
            value += "\\n";
        } else if (c == '\t') {
            value += "\\t";
        } else if (c == '\r') {
            value += "\\r";
        } else {
            value += c;
        }
    }
    return value;
}

std::string startupEntryTarget(const std::string& target) {
    return target.starts_with('/') ? desktopExecValue(target) : std::string();
}

std::filesystem::path systemPath(const std::string& utf8) { return utf8; }

std::string utf8Path(const std::filesystem::path& path) { return path.string(); }

int writeStartupEntry(const std::string& entryTarget, const std::string& linkPath) {
    const std::string content = "[Desktop Entry]\nType=Application\nName=Vorlinex\nExec=" + entryTarget +
                                "\nTerminal=false\n";
    // A partly written entry must never replace a good one.
    return replaceFile(linkPath, content, 0644);
}
