// Rendering received bytes into a display window's text control, as text or as a hex dump.
#pragma once

#include <cstdint>

struct RelayChannel;

// Called by the channel's worker while displayOpen is 1. Reads bytes only.
void appendTraffic(RelayChannel& channel, const uint8_t* bytes, int32_t length);
void renderTrafficAscii(RelayChannel& channel, const uint8_t* bytes, int32_t length);
void renderTrafficHex(RelayChannel& channel, const uint8_t* bytes, int32_t length);
