// The capture logs as the relay worker sees them: sinks it hands its chunks to.
#pragma once

#include "relay/chunk_sink.h"

class Captures;
struct RelayChannel;

// The channel's own capture log: every chunk with the stamp due in front, while the log is enabled.
class CaptureLogSink final : public ChunkSink {
public:
    CaptureLogSink(Captures& captures, RelayChannel& channel) : captures_(captures), channel_(channel) {}
    bool takesChunks() const override;
    void onChunk(const uint8_t* chunk, int32_t length, const ChunkStamp* stamp) override;

private:
    Captures& captures_;
    RelayChannel& channel_;
};
