#include "display/record_clock.h"

namespace {

// Summer time as mktime reads it: not known, no, yes.
int summerTime(const std::tm& t) { return t.tm_isdst < 0 ? -1 : t.tm_isdst > 0 ? 1 : 0; }

bool sameSecond(const std::tm& a, const std::tm& b) {
    return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday &&
           a.tm_mon == b.tm_mon && a.tm_year == b.tm_year && summerTime(a) == summerTime(b);
}

}  // namespace

int64_t RecordClock::seconds(const std::tm& local) {
    if (!known_ || !sameSecond(local, last_)) {
        last_ = local;
        std::tm asked = local;
        seconds_ = static_cast<int64_t>(std::mktime(&asked));
        known_ = true;
    }
    return seconds_;
}
