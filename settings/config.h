// The INI file in the current directory, and the process-wide options.
#pragma once

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
