// Per-channel state of the traffic renderers; lives in the channel's RelayChannel record.
#pragma once

#include <atomic>
#include <cstdint>

struct TrafficRenderState {
    uint8_t heldByte = 0;           // ASCII: lead byte held back from the previous chunk; 0 none
    int32_t awaitingTrailByte = 0;  // ASCII: 1 after a lead byte without its trail byte yet
    // ASCII: the control of the last call and whether that call left text in it. An empty
    // control means CLEAR or a new window only when the last call left text there (or it is
    // another control): a first chunk that was all held back must not lose its byte.
    const void* asciiControl = nullptr;
    int32_t asciiLeftText = 0;
    char hexLine[75] = {};          // hex: the open line, 74 characters and a NUL
    int32_t hexColumn = 0;          // hex: slots filled, 0..17 (8 is the gap, 17 full)
    // 1 for the length of a hexadecimal render call; the display hook reads it on the UI thread.
    std::atomic<int32_t> hexRendering{0};
};
