// The user's options (the INI file's DATA section), read by every thread while they run.
// settings/ loads and saves them; the relay, the captures and the windows read them here.
#pragma once

#include <atomic>
#include <cstdint>

struct AppOptions {
    std::atomic<int32_t> RATE{0};
    std::atomic<int32_t> DMODE{0};
    std::atomic<int32_t> CRLF{0};
    std::atomic<int32_t> DATETIME{0};
    std::atomic<int32_t> DATETIMEVAL{0};
};

extern AppOptions appOptions;
