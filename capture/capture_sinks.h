// The capture logs as the relay worker sees them: sinks it hands its chunks to.
#pragma once

#include "relay/chunk_sink.h"

struct RelayChannel;

// The channel's own capture log: every chunk with its stamp, while the log is enabled.
class CaptureLogSink final : public ChunkSink {
public:
    explicit CaptureLogSink(RelayChannel& channel) : channel_(channel) {}
    bool takesChunks() const override;
    void onChunk(const uint8_t* stamped, int32_t length, int32_t stampLength) override;

private:
    RelayChannel& channel_;
};

// The combined capture of both directions: the chunk as read, right after the read.
class CombinedCaptureSink final : public ChunkSink {
public:
    explicit CombinedCaptureSink(int channel) : channel_(channel) {}
    bool takesChunks() const override;
    void onChunk(const uint8_t* stamped, int32_t length, int32_t stampLength) override;

private:
    int channel_;
};
