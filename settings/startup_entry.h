// The start-up entry: an XDG autostart desktop entry that starts the program at log-in.
#pragma once

#include <string>

// The full path of the running program's own executable (exeLink: that of another process);
// "" when it cannot be read or no longer leads to the running file, as after an upgrade.
std::string programPath(const char* exeLink = "/proc/self/exe");

// $XDG_CONFIG_HOME/autostart/Vorlinex.desktop, or ~/.config/autostart/Vorlinex.desktop when
// XDG_CONFIG_HOME is unset, empty or relative; "" when no folder can be resolved.
std::string startupEntryPath();

// Writes an autostart entry that runs `target` (no working directory) to `linkPath`, creating
// its folder; an existing entry is replaced whole. 1 when saved, 0 otherwise.
int createStartupShortcut(const std::string& target, const std::string& linkPath);

// The Exec= value that runs `path` with no arguments, quoted as desktop entries require; ""
// for a path no entry can hold (not UTF-8, or a control character other than tab, CR, LF).
std::string desktopExecValue(const std::string& path);
