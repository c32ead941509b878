// The timeline window's records of the live relay: every chunk of either direction in read order,
// taken while the window is open. Bounded: the newest records up to a count and a byte total are
// kept, older ones go; adding, dropping and reading cost the same however long the session runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "display/timeline_source.h"
#include "relay/read_order.h"

class TimelineRecords final : public ReadListener, public TimelineSource {
public:
    static constexpr uint64_t kMaxRecords = 1000000;
    static constexpr uint64_t kMaxBytes = uint64_t{256} << 20;

    explicit TimelineRecords(uint64_t maxRecords = kMaxRecords, uint64_t maxBytes = kMaxBytes);

    // Starts taking chunks into an empty list (the window opened), or stops and lets every record
    // go (it closed): a closed window holds nothing and costs the relay one load per chunk.
    void setTaking(bool taking);
    // Lets every record go and starts the list again; the gap of the next record is still to the
    // chunk read before it.
    void clear();

    // ReadListener, on a worker's thread.
    bool takesReads() const override { return taking_.load(std::memory_order_acquire); }
    void onRead(int channel, const uint8_t* bytes, size_t length, const ReadTime& time) override;

    // TimelineSource, on any thread.
    TimelineExtent extent() const override;
    uint64_t rowsBefore(uint64_t number, TimelineFilter filter) const override;
    bool recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInRecord) const override;
    void read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const override;

    // Bytes of the records held.
    uint64_t heldBytes() const;

private:
    struct Entry {
        int64_t wallMicros;
        int64_t gapMicros;
        uint64_t byteOffset;  // of its first byte, counted from the list's start
        uint64_t rowsBefore;  // rows of every record before it
        uint64_t rowsBefore1; // rows of the channel 1 records before it
        uint32_t length;
        uint8_t channel;
    };
    void clearLocked();
    void dropOldestLocked();
    uint64_t rowsBeforeLocked(uint64_t number, TimelineFilter filter) const;

    const uint64_t maxRecords_;
    const uint64_t maxBytes_;
    std::atomic<bool> taking_{false};
    mutable std::mutex lock_;
    std::deque<Entry> entries_;
    std::deque<uint8_t> bytes_;
    uint64_t first_ = 0;          // the number of entries_.front()
    uint64_t firstByte_ = 0;      // the offset of bytes_.front()
    uint64_t endRows_ = 0;        // rows of every record ever taken
    uint64_t endRows1_ = 0;
    uint64_t dropped_ = 0;
    int64_t droppedSinceMicros_ = 0;
    bool haveLast_ = false;
    int64_t lastMonotonic_ = 0;
};
