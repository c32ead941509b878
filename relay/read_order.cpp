#include "relay/read_order.h"

#include <time.h>

#include "relay/channel.h"

namespace {

int64_t microsOf(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

ReadTime ReadTime::now() { return ReadTime{microsOf(CLOCK_REALTIME), microsOf(CLOCK_MONOTONIC)}; }

ReadOrder::ReadOrder() : sinks_{Sink(*this, 1), Sink(*this, 2)} {}

ChunkSink& ReadOrder::sink(int channel) { return sinks_[channelSlot(channel)]; }

bool ReadOrder::takesReads() const {
    for (const ReadListener* listener : listeners_) {
        if (listener->takesReads()) return true;
    }
    return false;
}

void ReadOrder::onRead(int channel, const uint8_t* bytes, size_t length) {
    if (bytes == nullptr || length == 0) return;
    // The time is read under the lock and the chunk handed on under it, so that every listener
    // gets the chunks in the order of their times.
    std::lock_guard<std::mutex> hold(lock_);
    const ReadTime time = ReadTime::now();
    for (ReadListener* listener : listeners_) {
        if (listener->takesReads()) listener->onRead(channelNumber(channel), bytes, length, time);
    }
}
