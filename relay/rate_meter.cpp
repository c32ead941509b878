#include "relay/rate_meter.h"

// STUB: filled by the relay work.
RateMeter rateMeter;
int beginTimerPeriod() { return 1; }
int startRateTimer() { return 0; }
void onRateTimer(int32_t) {}
void updateRates() {}
void stopRateTimer() {}
std::string formatElapsedClock(int32_t, int32_t, int32_t) { return {}; }
std::string formatRate(int32_t) { return {}; }
