// The local time of a moment, safe to call from several threads at once on either system.
#pragma once

#include <ctime>

inline bool localTimeOf(std::time_t moment, std::tm& local) {
#ifdef _WIN32
    return localtime_s(&local, &moment) == 0;
#else
    return localtime_r(&moment, &local) != nullptr;
#endif
}
