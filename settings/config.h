// The INI file in the current directory, and the process-wide options.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct AppOptions {
    std::atomic<int32_t> RATE{0};
    std::atomic<int32_t> DMODE{0};
    std::atomic<int32_t> CRLF{0};
    std::atomic<int32_t> DATETIME{0};
    std::atomic<int32_t> DATETIMEVAL{0};
};

extern AppOptions appOptions;

// The current directory + "/Vorlinex.ini", of any length.
std::string configPath();
// Fills both PortSettings, AppOptions and comDevicePaths; defaults when the file is missing
// or is no regular file that can be read.
int loadConfig();
// Writes the seventeen keys in one atomic replacement of the file, keeping every other line,
// and tells the user how it went: "Configuration Data Saved", or an error box naming the file
// and the reason when it could not be written (the old file then stays as it was).
void saveConfig();
