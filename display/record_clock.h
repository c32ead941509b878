// A record's read time, which is local time to the second, as time since the epoch. mktime is
// slow (it looks at the system's zone each call), and a list reads many records of one second:
// each second is converted once, however many records it holds. One clock per thread that reads.
#pragma once

#include <cstdint>
#include <ctime>

class RecordClock {
public:
    // The second of `local` since the epoch; -1 when the system cannot place it, as mktime says.
    // A record made here knows whether summer time held (the second hour of a change is told
    // apart); one read from a file does not, and the zone's rules decide.
    int64_t seconds(const std::tm& local);
    // The read time in µs since the epoch.
    int64_t wallMicros(const std::tm& local, int32_t micros) { return seconds(local) * 1000000 + micros; }

private:
    std::tm last_{};
    int64_t seconds_ = 0;
    bool known_ = false;
};
