// What a relay worker hands each chunk up to: the display, the capture logs, the read order. The
// worker knows only this; the shell decides who listens.
#pragma once

#include <cstdint>
#include <ctime>

// That a chunk is due a date-time stamp in front of it: when it was read, and whether the
// channel's display held text then (the stamp then begins with a blank line pair). What the
// stamp looks like is the text's maker's business.
struct ChunkStamp {
    std::time_t when;
    bool afterText;
};

class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    // Whether the sink takes chunks now; asked once per chunk, before the stamp is decided.
    virtual bool takesChunks() const = 0;
    // Whether the sink shows text already, so that a stamp begins with a blank line pair.
    virtual bool holdsText() const { return false; }
    // The chunk as read, and its stamp (null when none is due). Called on the worker's thread;
    // must not keep the pointers.
    virtual void onChunk(const uint8_t* chunk, int32_t length, const ChunkStamp* stamp) = 0;
};
