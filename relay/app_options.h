// The user's options (the INI file's DATA section), read by every thread while they run.
// settings/ loads and saves them; the relay owns the running ones, which the captures and the
// windows read.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

struct AppOptions {
    AppOptions() = default;
    // A copy is a plain snapshot, field by field: what a Config hands over and takes back.
    AppOptions(const AppOptions& other) { *this = other; }
    AppOptions& operator=(const AppOptions& other) {
        for (auto [to, from] : {std::pair{&RATE, &other.RATE}, std::pair{&DMODE, &other.DMODE},
                                std::pair{&CRLF, &other.CRLF}, std::pair{&DATETIME, &other.DATETIME},
                                std::pair{&DATETIMEVAL, &other.DATETIMEVAL}})
            to->store(from->load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }

    std::atomic<int32_t> RATE{0};
    std::atomic<int32_t> DMODE{0};
    std::atomic<int32_t> CRLF{0};
    std::atomic<int32_t> DATETIME{0};
    std::atomic<int32_t> DATETIMEVAL{0};
};
