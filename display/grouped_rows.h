// Numbered index entries in groups, for the timeline's sources that index what they show: the
// rows of each entry, its direction and a 32-bit key offset, grouped so that finding a row or an
// entry is a binary search over groups and a short scan.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "display/timeline_source.h"

inline uint64_t filteredRows(uint64_t all, uint64_t one, TimelineFilter filter) {
    switch (filter) {
        case TimelineFilter::Both: return all;
        case TimelineFilter::OneToTwo: return one;
        case TimelineFilter::TwoToOne: return all - one;
    }
    return all;
}

// Numbered entries (a file's records, the Frames view's rows or its error rows) in groups of up to kGroup that carry
// the rows before them under each filter and a 64-bit base that their entries' 32-bit `delta`
// counts from, so that rowsBefore and recordAtRow are a binary search over groups and a short
// scan. The oldest go from the front; numbers stay with their entries. `E` has `delta`, rows()
// and channel().
template <typename E>
class GroupedRows {
public:
    static constexpr size_t kGroup = 1024;

    uint64_t first() const { return first_; }
    uint64_t end() const { return end_; }

    // Appends entry end() for `key` (a record, a row number or where a line starts).
    void add(uint64_t key, E entry) {
        if (groups_.empty() || groups_.back().entries.size() == kGroup || key < groups_.back().base ||
            key - groups_.back().base > UINT32_MAX) {
            Group group;
            group.first = end_;
            group.base = key;
            group.rowsBefore = endRows_;
            group.rowsBefore1 = endRows1_;
            group.entries.reserve(kGroup);
            groups_.push_back(std::move(group));
        }
        Group& group = groups_.back();
        entry.delta = static_cast<uint32_t>(key - group.base);
        endRows_ += entry.rows();
        if (entry.channel() == 1) endRows1_ += entry.rows();
        group.entries.push_back(entry);
        ++end_;
    }

    // Entry `n` (first() <= n < end()) and its key.
    const E& at(uint64_t n, uint64_t& key) const {
        const Group& group = groups_[groupOf(n)];
        const E& entry = group.entries[n - group.first];
        key = group.base + entry.delta;
        return entry;
    }
    // Calls visit(n, key, entry) for the entries from..end-1 (within first()..end()), in order:
    // one search, then a walk, for a reader of many entries in a row.
    template <typename Visit>
    void forEach(uint64_t from, uint64_t end, Visit visit) const {
        from = std::max(from, first_);
        end = std::min(end, end_);
        if (from >= end) return;
        for (size_t g = groupOf(from); from < end; ++g) {
            const Group& group = groups_[g];
            for (size_t i = static_cast<size_t>(from - group.first); i < group.entries.size() && from < end; ++i, ++from)
                visit(from, group.base + group.entries[i].delta, group.entries[i]);
        }
    }
    uint64_t keyOf(uint64_t n) const {
        uint64_t key = 0;
        at(n, key);
        return key;
    }

    // The first entry whose key is `key` or more (end() when none is); keys rise with numbers.
    uint64_t firstFrom(uint64_t key) const {
        const auto after = std::upper_bound(groups_.begin(), groups_.end(), key,
                                            [](uint64_t k, const Group& g) { return k < g.base; });
        if (after == groups_.begin()) return first_;
        const Group& group = *(after - 1);
        size_t i = 0;
        while (i < group.entries.size() && group.base + group.entries[i].delta < key) ++i;
        return std::max(first_, group.first + i);
    }

    // Lets entries before `n` go.
    void dropBefore(uint64_t n) {
        first_ = std::max(first_, std::min(n, end_));
        while (!groups_.empty() && groups_.front().first + groups_.front().entries.size() <= first_) {
            groups_.pop_front();
        }
    }

    uint64_t rowsBefore(uint64_t n, TimelineFilter filter) const {
        n = std::max(n, first_);
        if (n >= end_) return filteredRows(endRows_, endRows1_, filter);
        const Group& group = groups_[groupOf(n)];
        uint64_t rows = filteredRows(group.rowsBefore, group.rowsBefore1, filter);
        for (uint64_t i = 0, count = n - group.first; i < count; ++i) {
            const E& entry = group.entries[i];
            if (timelineShows(filter, entry.channel())) rows += entry.rows();
        }
        return rows;
    }

    bool atRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInEntry) const {
        if (first_ == end_ || row < rowsBefore(first_, filter) || row >= rowsBefore(end_, filter)) return false;
        // The last group whose rows begin at or before `row`: the row is in it, as the next
        // group's rows begin after it.
        const auto after = std::upper_bound(groups_.begin(), groups_.end(), row, [&](uint64_t r, const Group& g) {
            return r < filteredRows(g.rowsBefore, g.rowsBefore1, filter);
        });
        if (after == groups_.begin()) return false;
        const Group& group = *(after - 1);
        uint64_t rows = filteredRows(group.rowsBefore, group.rowsBefore1, filter);
        for (size_t i = 0; i < group.entries.size(); ++i) {
            const E& entry = group.entries[i];
            if (!timelineShows(filter, entry.channel())) continue;
            if (row < rows + entry.rows()) {
                if (group.first + i < first_) return false;
                number = group.first + i;
                rowInEntry = row - rows;
                return true;
            }
            rows += entry.rows();
        }
        return false;
    }

    uint64_t bytes() const {
        uint64_t bytes = groups_.size() * sizeof(Group);
        for (const Group& group : groups_) bytes += group.entries.capacity() * sizeof(E);
        return bytes;
    }

private:
    struct Group {
        uint64_t first = 0;  // the number of its first entry
        uint64_t base = 0;
        uint64_t rowsBefore = 0;  // rows of every entry before the group
        uint64_t rowsBefore1 = 0;  // of the channel 1 entries before it
        std::vector<E> entries;
    };
    size_t groupOf(uint64_t n) const {
        const auto after = std::upper_bound(groups_.begin(), groups_.end(), n,
                                            [](uint64_t v, const Group& g) { return v < g.first; });
        return static_cast<size_t>(after - groups_.begin()) - 1;
    }

    std::deque<Group> groups_;
    uint64_t first_ = 0;
    uint64_t end_ = 0;
    uint64_t endRows_ = 0;
    uint64_t endRows1_ = 0;
};
