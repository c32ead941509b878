#include "display/timeline_find.h"

#include <algorithm>

#include "display/find_bytes.h"
#include "relay/channel.h"

// Worded here rather than in the message catalogue: the rule and the reading below must say the
// same thing, so they live side by side.
const char* const kFindPatternRule = "Hex: 0x0D0A or byte pairs such as 0D 0A; anything else is text";

namespace {

// Records read from the source under one lock hold: short enough that a worker adding records
// never waits long.
constexpr size_t kBatch = 256;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// Two or more pairs of hex digits, one pair a group, groups apart by spaces: "0D 0A".
bool looksLikeBytePairs(const std::string& input) {
    size_t pairs = 0;
    size_t at = 0;
    while (at < input.size()) {
        if (at + 2 > input.size() || hexValue(input[at]) < 0 || hexValue(input[at + 1]) < 0) return false;
        ++pairs;
        at += 2;
        if (at == input.size()) break;
        if (!isSpace(input[at])) return false;
        while (at < input.size() && isSpace(input[at])) ++at;
        if (at == input.size()) return false;  // a trailing space: not the plain form
    }
    return pairs >= 2;
}

bool hasHexPrefix(const std::string& input) {
    return input.size() >= 2 && input[0] == '0' && (input[1] == 'x' || input[1] == 'X');
}

// Groups of hex digits apart by spaces, each group whole bytes.
bool readHex(const std::string& digits, std::string& bytes, std::string& error) {
    bytes.clear();
    size_t at = 0;
    while (at < digits.size()) {
        if (isSpace(digits[at])) {
            ++at;
            continue;
        }
        size_t group = 0;
        for (; at < digits.size() && !isSpace(digits[at]); ++at, ++group) {
            const int value = hexValue(digits[at]);
            if (value < 0) {
                error = std::string("'") + digits[at] + "' is not a hex digit";
                return false;
            }
            if (group % 2 == 0) bytes.push_back(static_cast<char>(value << 4));
            else bytes.back() = static_cast<char>(bytes.back() | value);
        }
        if (group % 2 != 0) {
            error = "hex digits go in pairs, two a byte";
            return false;
        }
    }
    if (bytes.empty()) {
        error = "no hex digits";
        return false;
    }
    return true;
}

bool startsBefore(const TimelineMatch& a, uint64_t record, uint32_t offset) {
    return a.startRecord < record || (a.startRecord == record && a.startOffset < offset);
}

}  // namespace

bool readFindPattern(const std::string& input, bool hexToggle, FindPattern& pattern) {
    pattern = FindPattern{};
    if (input.empty()) {
        pattern.error = "nothing to find";
        return false;
    }
    const bool prefixed = hasHexPrefix(input);
    pattern.hex = hexToggle || prefixed || looksLikeBytePairs(input);
    if (!pattern.hex) {
        pattern.bytes = input;
        return true;
    }
    if (!readHex(prefixed ? input.substr(2) : input, pattern.bytes, pattern.error)) {
        pattern.bytes.clear();
        return false;
    }
    return true;
}

TimelineFind::TimelineFind(const TimelineSource& source, std::string pattern, TimelineFilter filter)
    : source_(source), pattern_(std::move(pattern)), filter_(filter) {
    batch_.reserve(kBatch);
}

bool TimelineFind::advance(size_t records) {
    if (pattern_.empty() || capped_) return true;
    for (;;) {
        if (capped_) return true;
        const TimelineExtent extent = source_.extent();
        forgetBefore(extent.first);
        if (nextRecord_ >= extent.end) return true;
        if (records == 0) return false;
        const size_t count = static_cast<size_t>(std::min<uint64_t>({records, kBatch, extent.end - nextRecord_}));
        records -= count;
        batch_.clear();
        const uint64_t asked = nextRecord_;
        source_.read(nextRecord_, count, batch_);
        for (const TimelineRecord& record : batch_) {
            // Records skipped over went while this batch was asked for: so did every record
            // before them, and what began there.
            if (record.number != nextRecord_) forgetBefore(record.number);
            if (timelineShows(filter_, record.channel)) search(record);
            nextRecord_ = record.number + 1;
        }
        // Records asked for and not given went meanwhile (the next extent says so), or no longer
        // read as records (a file changed since): either way the search goes on past them, or it
        // would ask for them for ever.
        nextRecord_ = std::max(nextRecord_, asked + count);
    }
}

bool TimelineFind::caughtUp() const { return capped_ || nextRecord_ >= source_.extent().end; }

uint64_t TimelineFind::searched() const {
    const TimelineExtent extent = source_.extent();
    const uint64_t reached = std::min(nextRecord_, extent.end);
    return reached > extent.first ? reached - extent.first : 0;
}

size_t TimelineFind::count() const { return matches_.size(); }

const TimelineMatch& TimelineFind::match(size_t index) const { return matches_[index]; }

size_t TimelineFind::next(uint64_t record, uint32_t offset) const {
    if (matches_.empty()) return 0;
    // The first that begins after (record, offset): the first that does not begin at or before it.
    const auto after = std::partition_point(matches_.begin(), matches_.end(), [&](const TimelineMatch& m) {
        return m.startRecord < record || (m.startRecord == record && m.startOffset <= offset);
    });
    return after == matches_.end() ? 0 : static_cast<size_t>(after - matches_.begin());
}

size_t TimelineFind::previous(uint64_t record, uint32_t offset) const {
    if (matches_.empty()) return 0;
    const auto before = std::partition_point(matches_.begin(), matches_.end(),
                                             [&](const TimelineMatch& m) { return startsBefore(m, record, offset); });
    return before == matches_.begin() ? matches_.size() - 1 : static_cast<size_t>(before - matches_.begin()) - 1;
}

void TimelineFind::forgetBefore(uint64_t first) {
    while (!matches_.empty() && matches_.front().startRecord < first) matches_.pop_front();
    for (Tail& tail : tails_) {
        size_t cut = 0;
        size_t pieces = 0;
        while (pieces < tail.pieces.size() && tail.pieces[pieces].record < first) cut += tail.pieces[pieces++].length;
        if (pieces == 0) continue;
        tail.pieces.erase(tail.pieces.begin(), tail.pieces.begin() + static_cast<std::ptrdiff_t>(pieces));
        tail.bytes.erase(0, cut);
    }
    nextRecord_ = std::max(nextRecord_, first);
}

void TimelineFind::add(const TimelineMatch& match) {
    if (matches_.size() >= kMaxMatches) {
        capped_ = true;
        return;
    }
    // Found in the order of the record they end in; a match that began in an earlier record of
    // its direction may belong before some of the other direction's found meanwhile.
    auto at = matches_.end();
    while (at != matches_.begin() && !startsBefore(*(at - 1), match.startRecord, match.startOffset)) --at;
    matches_.insert(at, match);
}

void TimelineFind::search(const TimelineRecord& record) {
    Tail& tail = tails_[channelSlot(record.channel)];
    const char* const needle = pattern_.data();
    const size_t m = pattern_.size();
    const char* const bytes = record.bytes.data();
    const size_t length = record.bytes.size();
    if (length == 0) return;  // a record of no bytes leaves its direction's stream as it was

    size_t from = 0;  // where the search in this record's own bytes starts
    size_t held = tail.bytes.size();  // tail bytes still able to begin a match
    if (held > 0) {
        // A match that begins in the tail ends in this record, within its first m - 1 bytes.
        joined_.assign(tail.bytes);
        joined_.append(bytes, std::min(length, m - 1));
        const void* hit = findBytes(joined_.data(), joined_.size(), needle, m);
        const size_t at = hit ? static_cast<size_t>(static_cast<const char*>(hit) - joined_.data()) : joined_.size();
        if (at < held) {
            size_t skip = at;
            size_t piece = 0;
            while (skip >= tail.pieces[piece].length) skip -= tail.pieces[piece++].length;
            TimelineMatch found;
            found.channel = record.channel;
            found.startRecord = tail.pieces[piece].record;
            found.startOffset = static_cast<uint32_t>(tail.pieces[piece].offset + skip);
            found.endRecord = record.number;
            found.endOffset = static_cast<uint32_t>(at + m - held);
            add(found);
            from = at + m - held;
            held = 0;
        }
    }
    while (from + m <= length) {
        const void* hit = findBytes(bytes + from, length - from, needle, m);
        if (hit == nullptr) break;
        const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - bytes);
        TimelineMatch found;
        found.channel = record.channel;
        found.startRecord = record.number;
        found.startOffset = static_cast<uint32_t>(at);
        found.endRecord = record.number;
        found.endOffset = static_cast<uint32_t>(at + m);
        add(found);
        from = at + m;
        held = 0;
    }

    // The new tail: the stream's last m - 1 bytes, but none before where the search goes on.
    const size_t keep = m - 1;
    if (held == 0 || length >= keep) {
        // It lies in this record alone.
        const size_t start = std::max(from, length > keep ? length - keep : 0);
        tail.bytes.assign(bytes + start, length - start);
        tail.pieces.clear();
        if (start < length) tail.pieces.push_back(Piece{record.number, static_cast<uint32_t>(start), static_cast<uint32_t>(length - start)});
        return;
    }
    // Part of the old tail goes on into it (from is 0 here: nothing was found).
    const size_t total = held + length;
    const size_t cut = total > keep ? total - keep : 0;
    size_t left = cut;
    size_t pieces = 0;
    while (pieces < tail.pieces.size() && left >= tail.pieces[pieces].length) left -= tail.pieces[pieces++].length;
    tail.pieces.erase(tail.pieces.begin(), tail.pieces.begin() + static_cast<std::ptrdiff_t>(pieces));
    if (left > 0) {
        tail.pieces.front().offset += static_cast<uint32_t>(left);
        tail.pieces.front().length -= static_cast<uint32_t>(left);
    }
    tail.bytes.erase(0, cut);
    tail.bytes.append(bytes, length);
    tail.pieces.push_back(Piece{record.number, 0, static_cast<uint32_t>(length)});
}
