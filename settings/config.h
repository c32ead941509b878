// The INI file in the current directory, and the process-wide options.
#pragma once

#include <array>
#include <string>

#include "relay/app_options.h"

// How a save went: the file, and the system's reason when it could not be written.
struct ConfigSaveResult {
    bool saved = false;
    std::string path;
    std::string reason;
};

// The current directory + "/Vorlinex.ini", of any length.
std::string configPath();
// Fills both PortSettings, AppOptions and comDevicePaths; defaults when the file is missing
// or is no regular file that can be read.
int loadConfig();
// Writes the seventeen keys in one atomic replacement of the file, keeping every other line.
// When it could not be written the old file stays as it was; the result says why.
ConfigSaveResult saveConfig();

// Writes COM1..COM6 of the DEVICES section in one atomic replacement of the file, keeping every
// other line; nothing else. A file that does not exist yet also gets the seventeen keys'
// defaults, which its absence stood for: a file with DEVICES alone would read as port 2 on COM1
// at 0 baud at the next start.
ConfigSaveResult saveDevicePaths(const std::array<std::string, 6>& paths);
