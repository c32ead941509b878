// The start-up entry: an XDG autostart desktop entry that starts the program at log-in.
#pragma once

#include <string>

// The full path of the running program's own executable (exeLink: that of another process);
// "" when it cannot be read or no longer leads to the running file, as after an upgrade.
std::string programPath(const char* exeLink = "/proc/self/exe");

// $XDG_CONFIG_HOME/autostart/Vorlinex.desktop, or ~/.config/autostart/Vorlinex.desktop when
// XDG_CONFIG_HOME is unset, empty or relative; "" when no folder can be resolved.
std::string startupEntryPath();

// How writing the autostart entry went; the shell words it.
enum class StartupEntryStatus {
    Saved,
    NoProgramPath,     // the running program's own path cannot be read (replaced by an upgrade)
    NoEntryFolder,     // neither XDG_CONFIG_HOME nor HOME (nor the user database) names a folder
    UnwritableTarget,  // a program path that an entry cannot hold: relative, not UTF-8, controls
    SystemError,       // the system refused: systemError says why, path says what
};

struct StartupEntryResult {
    StartupEntryStatus status = StartupEntryStatus::SystemError;
    std::string path;     // the entry, the folder that could not be made, or the unwritable target
    int systemError = 0;  // errno, with SystemError
    bool saved() const { return status == StartupEntryStatus::Saved; }
};

// Writes an autostart entry that runs `target` (no working directory) to `linkPath`, creating
// its folder; an existing entry is replaced whole, as the settings file is (replaceFile).
StartupEntryResult createStartupShortcut(const std::string& target, const std::string& linkPath);

// "登録": an entry for this very program at startupEntryPath().
StartupEntryResult registerStartupEntry();

// The Exec= value that runs `path` with no arguments, quoted as desktop entries require; ""
// for a path no entry can hold (not UTF-8, or a control character other than tab, CR, LF).
std::string desktopExecValue(const std::string& path);
