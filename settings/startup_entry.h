// The start-up entry that starts the program at log-in: an XDG autostart desktop entry on Linux,
// a shortcut in the user's Startup folder on Windows.
#pragma once

#include <string>

// The full path of the running program's own executable; "" when it cannot be read or no longer
// leads to the running file, as after an upgrade.
std::string programPath();

// Linux: $XDG_CONFIG_HOME/autostart/Vorlinex.desktop, or ~/.config/autostart/Vorlinex.desktop
// when XDG_CONFIG_HOME is unset, empty or relative. Windows: Vorlinex.lnk in the user's Startup
// folder. "" when no folder can be resolved.
std::string startupEntryPath();

// How writing the autostart entry went; the shell words it.
enum class StartupEntryStatus {
    Saved,
    NoProgramPath,     // the running program's own path cannot be read (replaced by an upgrade)
    NoEntryFolder,     // no folder for the entry: neither XDG_CONFIG_HOME nor HOME (nor the user
                       // database) names one, or Windows has no Startup folder for the user
    UnwritableTarget,  // a program path that an entry cannot hold: relative, not UTF-8, controls
    SystemError,       // the system refused: systemError says why, path says what
};

struct StartupEntryResult {
    StartupEntryStatus status = StartupEntryStatus::SystemError;
    std::string path;     // the entry, the folder that could not be made, or the unwritable target
    int systemError = 0;  // errno (on Windows the system's error as errno), with SystemError
    bool saved() const { return status == StartupEntryStatus::Saved; }
};

// Writes an entry that runs `target` (no arguments, no working directory) to `linkPath`,
// creating its folder; an existing entry is replaced whole, never left half written. `target`
// must be an absolute path.
StartupEntryResult createStartupShortcut(const std::string& target, const std::string& linkPath);

// "登録": an entry for this very program at startupEntryPath().
StartupEntryResult registerStartupEntry();

#ifndef _WIN32
// programPath of the process whose executable link is exeLink.
std::string programPath(const char* exeLink);

// The Exec= value that runs `path` with no arguments, quoted as desktop entries require; ""
// for a path no entry can hold (not UTF-8, or a control character other than tab, CR, LF).
std::string desktopExecValue(const std::string& path);
#endif
