// Both directions of the relay in the order their chunks were read, each with its read time:
// what the combined capture and the timeline window are made of. One clock reading per chunk,
// taken under one lock and handed to every listener, so that both see the same order and the
// same times to the microsecond.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "relay/chunk_sink.h"

// When a chunk was read: the wall clock for its shown time, the monotonic clock for its gap,
// so that a change of the wall clock cannot make a gap negative.
struct ReadTime {
    int64_t wallMicros = 0;
    int64_t monotonicMicros = 0;
    static ReadTime now();
};

// Takes chunks in read order. Called on a worker's thread under the order's lock: it must take
// the chunk in bounded time (a copy into a bounded queue or list) and never wait for a file,
// a window or the UI thread.
class ReadListener {
public:
    virtual ~ReadListener() = default;
    // Whether it takes chunks now; a listener that does not costs the relay one load.
    virtual bool takesReads() const = 0;
    virtual void onRead(int channel, const uint8_t* bytes, size_t length, const ReadTime& time) = 0;
};

class ReadOrder {
public:
    ReadOrder();
    ReadOrder(const ReadOrder&) = delete;
    ReadOrder& operator=(const ReadOrder&) = delete;

    // Only while no worker runs: the listeners are read without a lock.
    void listen(ReadListener* listener) { listeners_.push_back(listener); }
    // Channel 1's or 2's sink, for the worker's read sink.
    ChunkSink& sink(int channel);

    bool takesReads() const;
    // One chunk of `channel` as read: its time is taken now, under the lock.
    void onRead(int channel, const uint8_t* bytes, size_t length);

private:
    class Sink final : public ChunkSink {
    public:
        Sink(ReadOrder& order, int channel) : order_(order), channel_(channel) {}
        bool takesChunks() const override { return order_.takesReads(); }
        void onChunk(const uint8_t* chunk, int32_t length, const ChunkStamp*) override {
            order_.onRead(channel_, chunk, static_cast<size_t>(length));
        }

    private:
        ReadOrder& order_;
        int channel_;
    };

    std::vector<ReadListener*> listeners_;
    std::mutex lock_;
    std::array<Sink, 2> sinks_;
};
