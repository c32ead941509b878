#include "relay/rate_meter.h"

#include <cstdio>

std::string formatElapsedClock(int32_t hours, int32_t minutes, int32_t seconds) {
    char text[256];
    std::snprintf(text, sizeof text, "%02d：%02d：%02d", hours, minutes, seconds);
    return text;
}

std::string formatRate(int32_t bytesPerSecond) {
    char text[64];
    std::snprintf(text, sizeof text, "  %2d byte/s", bytesPerSecond);
    return text;
}
