#include "display/traffic_render.h"

// STUB: filled by the display work.
void appendTraffic(RelayChannel&, const uint8_t*, int32_t) {}
void renderTrafficAscii(RelayChannel&, const uint8_t*, int32_t) {}
void renderTrafficHex(RelayChannel&, const uint8_t*, int32_t) {}
