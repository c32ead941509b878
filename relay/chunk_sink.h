// What a relay worker hands each chunk up to: the display, the capture logs. The worker knows
// only this; the shell decides who listens.
#pragma once

#include <cstdint>

class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    // Whether the sink takes chunks now; asked once per chunk, before the stamp is decided.
    virtual bool takesChunks() const = 0;
    // Whether the sink shows text already, so that a stamp begins with a blank line pair.
    virtual bool holdsText() const { return false; }
    // `stamped` holds the stamp (stampLength bytes, 0 when there is none) followed by the chunk
    // as read. Called on the worker's thread; must not keep the pointer.
    virtual void onChunk(const uint8_t* stamped, int32_t length, int32_t stampLength) = 0;
};
