// Rendering received bytes into a display window's text control, as text or as a hex dump.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "display/traffic_render_state.h"
#include "relay/chunk_sink.h"

class TrafficTextControl;

// One direction's display: what its worker hands over goes into the text of the most recent
// display window, in the form chosen when that window opened.
struct TrafficDisplay final : ChunkSink {
    // Written by the UI thread, read by the worker for every chunk.
    std::atomic<int32_t> displayOpen{0};
    std::atomic<int32_t> displayMode{0};
    // The text (control 1001) of the channel's most recent display window; null before the
    // first one. It outlives the window's widgets: a render call holds it until it ends, and
    // the next window's text takes its place.
    std::atomic<std::shared_ptr<TrafficTextControl>> displayWindow;
    TrafficRenderState render;

    bool takesChunks() const override { return displayOpen.load(std::memory_order_acquire) == 1; }
    bool holdsText() const override;
    // The text shows the stamp due in front of the chunk; a hexadecimal display never does.
    void onChunk(const uint8_t* chunk, int32_t length, const ChunkStamp* stamp) override;
};

// Called by the channel's worker while displayOpen is 1. Reads bytes only.
void appendTraffic(TrafficDisplay& display, const uint8_t* bytes, int32_t length);
void renderTrafficAscii(TrafficDisplay& display, const uint8_t* bytes, int32_t length);
void renderTrafficHex(TrafficDisplay& display, const uint8_t* bytes, int32_t length);
