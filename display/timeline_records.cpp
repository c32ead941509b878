#include "display/timeline_records.h"

#include <algorithm>
#include <time.h>

#include "relay/channel.h"

namespace {

std::tm localOf(int64_t wallMicros) {
    const std::time_t second = static_cast<std::time_t>(wallMicros / 1000000);
    std::tm local{};
    localtime_r(&second, &local);
    return local;
}

}  // namespace

TimelineRecords::TimelineRecords(uint64_t maxRecords, uint64_t maxBytes)
    : maxRecords_(std::max<uint64_t>(1, maxRecords)), maxBytes_(std::max<uint64_t>(1, maxBytes)) {}

void TimelineRecords::setTaking(bool taking) {
    std::lock_guard<std::mutex> hold(lock_);
    clearLocked();
    haveLast_ = false;  // a window opened anew starts its gaps anew
    taking_.store(taking, std::memory_order_release);
    if (!taking) {
        // Let the memory go, not only the records.
        std::deque<Entry>().swap(entries_);
        std::deque<uint8_t>().swap(bytes_);
    }
}

void TimelineRecords::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    clearLocked();
}

void TimelineRecords::clearLocked() {
    first_ += entries_.size();
    firstByte_ += bytes_.size();
    entries_.clear();
    bytes_.clear();
    dropped_ = 0;
}

void TimelineRecords::onRead(int channel, const uint8_t* bytes, size_t length, const ReadTime& time) {
    if (bytes == nullptr || length == 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (!takesReads()) return;
    // As the combined capture counts it: the first record's gap is 0, and a monotonic clock
    // that seems to go back gives 0 rather than a negative gap.
    const int64_t gap = !haveLast_ || time.monotonicMicros < lastMonotonic_ ? 0 : time.monotonicMicros - lastMonotonic_;
    haveLast_ = true;
    lastMonotonic_ = time.monotonicMicros;
    const int number = channelNumber(channel);
    const uint64_t rows = timelineRows(length);
    entries_.push_back(Entry{time.wallMicros, gap, firstByte_ + bytes_.size(), endRows_, endRows1_,
                             static_cast<uint32_t>(length), static_cast<uint8_t>(number)});
    bytes_.insert(bytes_.end(), bytes, bytes + length);
    endRows_ += rows;
    if (number == 1) endRows1_ += rows;
    // The newest record always stays, even one larger than the byte bound.
    while (entries_.size() > 1 && (entries_.size() > maxRecords_ || bytes_.size() > maxBytes_)) dropOldestLocked();
}

void TimelineRecords::dropOldestLocked() {
    const Entry& oldest = entries_.front();
    if (dropped_ == 0) droppedSinceMicros_ = oldest.wallMicros;
    ++dropped_;
    bytes_.erase(bytes_.begin(), bytes_.begin() + oldest.length);
    firstByte_ += oldest.length;
    entries_.pop_front();
    ++first_;
}

TimelineExtent TimelineRecords::extent() const {
    std::lock_guard<std::mutex> hold(lock_);
    TimelineExtent extent;
    extent.first = first_;
    extent.end = first_ + entries_.size();
    extent.dropped = dropped_;
    if (dropped_ > 0) extent.droppedSince = localOf(droppedSinceMicros_);
    return extent;
}

uint64_t TimelineRecords::rowsBeforeLocked(uint64_t number, TimelineFilter filter) const {
    uint64_t all = endRows_;
    uint64_t one = endRows1_;
    if (number < first_ + entries_.size()) {
        const Entry& entry = entries_[number < first_ ? 0 : number - first_];
        all = entry.rowsBefore;
        one = entry.rowsBefore1;
    }
    switch (filter) {
        case TimelineFilter::Both: return all;
        case TimelineFilter::OneToTwo: return one;
        case TimelineFilter::TwoToOne: return all - one;
    }
    return all;
}

uint64_t TimelineRecords::rowsBefore(uint64_t number, TimelineFilter filter) const {
    std::lock_guard<std::mutex> hold(lock_);
    return rowsBeforeLocked(number, filter);
}

bool TimelineRecords::recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInRecord) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (entries_.empty()) return false;
    const uint64_t end = first_ + entries_.size();
    if (row < rowsBeforeLocked(first_, filter) || row >= rowsBeforeLocked(end, filter)) return false;
    // The last record whose rows begin at or before `row`; rows before a record only grow with
    // its number, and only the shown direction's records add to them.
    uint64_t low = first_, high = end;  // the answer is in [low, high)
    while (high - low > 1) {
        const uint64_t mid = low + (high - low) / 2;
        if (rowsBeforeLocked(mid, filter) <= row) low = mid;
        else high = mid;
    }
    // A hidden record shares its rows-before with the next shown one, which is found instead;
    // only a hidden run at the very end could be, and the range check above excludes it.
    const Entry& entry = entries_[low - first_];
    if (!timelineShows(filter, entry.channel)) return false;
    number = low;
    rowInRecord = row - rowsBeforeLocked(low, filter);
    return rowInRecord < timelineRows(entry.length);
}

void TimelineRecords::read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const {
    std::lock_guard<std::mutex> hold(lock_);
    const uint64_t end = first_ + entries_.size();
    if (from >= end) return;
    // The records asked for end where they end, whichever of them went already; a count past
    // the end means all.
    const uint64_t last = std::min<uint64_t>(end, from + std::min<uint64_t>(count, end - from));
    from = std::max(from, first_);
    std::time_t cachedSecond = -1;
    std::tm cachedLocal{};
    for (uint64_t n = from; n < last; ++n) {
        const Entry& entry = entries_[n - first_];
        TimelineRecord record;
        record.number = n;
        const std::time_t second = static_cast<std::time_t>(entry.wallMicros / 1000000);
        if (second != cachedSecond) {
            localtime_r(&second, &cachedLocal);
            cachedSecond = second;
        }
        record.local = cachedLocal;
        record.micros = static_cast<int32_t>(entry.wallMicros % 1000000);
        record.gapMicros = entry.gapMicros;
        record.channel = entry.channel;
        const auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(entry.byteOffset - firstByte_);
        record.bytes.assign(begin, begin + entry.length);
        out.push_back(std::move(record));
    }
}

uint64_t TimelineRecords::heldBytes() const {
    std::lock_guard<std::mutex> hold(lock_);
    return bytes_.size();
}
