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

// The current directory + "/Vorlinex.ini".
std::string configPath();
// Fills both PortSettings, AppOptions and comDevicePaths; defaults when the file is missing.
int loadConfig();
// Writes the seventeen keys and tells the user how it went.
void saveConfig();
