#include "settings/startup_entry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

std::string programPath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
        buffer.resize(buffer.size() * 2);
    }
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

std::string desktopExecValue(const std::string& path) {
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

int createStartupShortcut(const std::string& target, const std::string& linkPath) {
    namespace fs = std::filesystem;
    if (target.empty() || target[0] != '/' || linkPath.empty()) return 0;
    const fs::path link(linkPath);
    std::error_code ec;
    fs::create_directories(link.parent_path(), ec);
    if (ec || !fs::is_directory(link.parent_path(), ec)) return 0;

    const std::string content = "[Desktop Entry]\nType=Application\nName=Vorlinex\nExec=" +
                                desktopExecValue(target) + "\nTerminal=false\n";
    // A partly written entry must never replace a good one: write aside, then rename over it.
    std::string temporary = linkPath + ".XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) return 0;
    size_t done = 0;
    bool ok = true;
    while (ok && done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
            ok = false;
        }
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = std::rename(temporary.c_str(), linkPath.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok ? 1 : 0;
}
