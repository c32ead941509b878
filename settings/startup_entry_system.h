// The system's side of the start-up entry (startup_entry_linux.cpp, startup_entry_win32.cpp): how
// an entry names its program, the file system's form of a path, and writing the entry; the
// checks and the entry's folder are startup_entry.cpp's, the same on every system.
#pragma once

#include <filesystem>
#include <string>

// What the entry holds to run `target`: a desktop entry's Exec= value, or a shortcut's target;
// "" for a target no entry can hold (relative; on Linux also not UTF-8, or a control character).
std::string startupEntryTarget(const std::string& target);

// The file system's path for a UTF-8 path, and back.
std::filesystem::path systemPath(const std::string& utf8);
std::string utf8Path(const std::filesystem::path& path);

// Writes the entry that runs `entryTarget` to `linkPath` (its folder exists), replacing an old
// one whole, never leaving it half written. 0, or errno (the system's error as errno on Windows).
int writeStartupEntry(const std::string& entryTarget, const std::string& linkPath);
