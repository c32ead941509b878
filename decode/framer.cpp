#include "decode/framer.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "decode/modbus.h"

namespace {

// A Modbus RTU frame holds at most 256 bytes; a unit address above 247 is reserved.
constexpr size_t kLongestRtu = 256;
constexpr uint8_t kLastUnit = 247;
// Modbus ASCII lets characters of one frame be up to a second apart.
constexpr int64_t kLineGapMicros = 1'000'000;

bool crcHolds(const uint8_t* p, size_t length) {
    return length >= 4 && modbusCrc(p, length - 2) == static_cast<uint16_t>(p[length - 2] | p[length - 1] << 8);
}

}  // namespace

int64_t quietGapMicros(uint32_t baud, int dataBits, bool parity, bool twoStopBits) {
    if (baud == 0 || baud > 19200) return 1750;
    const int64_t bits = 1 + dataBits + (parity ? 1 : 0) + (twoStopBits ? 2 : 1);
    return (bits * 3'500'000 + baud - 1) / baud;
}

int64_t characterMicros(uint32_t baud, int dataBits, bool parity, bool twoStopBits) {
    if (baud == 0) return 0;
    const int64_t bits = 1 + dataBits + (parity ? 1 : 0) + (twoStopBits ? 2 : 1);
    return (bits * 1'000'000 + baud - 1) / baud;
}

Framer::Framer(int channel, FramingOptions options) : channel_(channel), options_(std::move(options)) {}

int64_t Framer::gapFor() const {
    switch (options_.rule) {
        case FrameRule::ModbusAscii:
        case FrameRule::Nmea: return std::max(options_.gapMicros, kLineGapMicros);
        case FrameRule::Delimiter: return INT64_MAX;
        default: return options_.gapMicros;
    }
}

void Framer::add(const uint8_t* bytes, size_t length, int64_t readMicros, uint64_t record, std::vector<Frame>& out) {
    if (length == 0) return;
    // A read's time is that of its last byte: the line was quiet from the record before until
    // this record's bytes began to arrive.
    const int64_t sending = options_.charMicros * static_cast<int64_t>(length);
    if (pending() && readMicros - sending - lastMicros_ >= gapFor()) cut(true, out);
    const std::ptrdiff_t begin = static_cast<std::ptrdiff_t>(bytes_.size());
    bytes_.insert(bytes_.end(), bytes, bytes + length);
    runs_.push_back({begin, bytes_.size(), readMicros, record});
    lastMicros_ = readMicros;
    cut(false, out);
}

void Framer::quiet(int64_t nowMicros, std::vector<Frame>& out) {
    if (pending() && nowMicros - lastMicros_ >= gapFor()) cut(true, out);
}

void Framer::finish(std::vector<Frame>& out) {
    if (pending()) cut(true, out);
}

void Framer::cut(bool final, std::vector<Frame>& out) {
    switch (options_.rule) {
        case FrameRule::ModbusRtu: cutRtu(final, out); break;
        case FrameRule::ModbusAscii:
        case FrameRule::Nmea: cutLines(final, out); break;
        case FrameRule::Gap:
        case FrameRule::Delimiter: cutDelimited(final, out); break;
    }
    // Keep the held bytes small: drop what is in frames once it is most of them.
    if (start_ > 65536 && start_ * 2 > bytes_.size()) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
        for (Run& run : runs_) {
            run.begin -= static_cast<std::ptrdiff_t>(start_);
            run.end -= start_;
        }
        scanFrom_ = scanFrom_ > start_ ? scanFrom_ - start_ : 0;
        start_ = 0;
    }
}

size_t Framer::rtuFrameAt(size_t at, bool final) const {
    const size_t available = bytes_.size() - at;
    const uint8_t* p = bytes_.data() + at;
    if (available >= 1 && p[0] > kLastUnit) return 0;
    // Most bytes of noise are no function with a length rule: told by a table before the rule.
    static const std::array<bool, 256> ruled = [] {
        std::array<bool, 256> known{};
        for (int f = 0; f < 256; ++f) {
            const uint8_t head[2] = {1, static_cast<uint8_t>(f)};
            known[f] = rtuLengths(head, 2).known;
        }
        return known;
    }();
    if (available >= 2 && !ruled[p[1]]) return 0;
    const RtuLengths lengths = rtuLengths(p, available);
    if (lengths.need > available) return final ? 0 : SIZE_MAX;
    if (!lengths.known) return 0;
    // A side known to ask (or to answer) has only that reading's length: the other's could be
    // cut where a CRC holds by chance inside a longer frame.
    size_t candidates[2] = {role_ != ModbusRole::Answer ? lengths.request : 0,
                            role_ != ModbusRole::Request ? lengths.answer : 0};
    if (candidates[0] > candidates[1]) std::swap(candidates[0], candidates[1]);
    // The longer candidate's CRC goes on from the shorter one's: a scan through noise asks this
    // at every byte.
    uint16_t crc = 0xFFFF;
    size_t summed = 0;
    for (size_t length : candidates) {
        if (length < 4 || length > kLongestRtu) continue;
        if (length > available) return final ? 0 : SIZE_MAX;
        crc = modbusCrc(p + summed, length - 2 - summed, crc);
        summed = length - 2;
        if (crc == static_cast<uint16_t>(p[length - 2] | p[length - 1] << 8)) return length;
    }
    return 0;
}

void Framer::cutRtu(bool final, std::vector<Frame>& out) {
    while (pending()) {
        const size_t length = rtuFrameAt(start_, final);
        if (length == SIZE_MAX) return;
        if (length > 0) {
            cutFrame(length, false, out);
            continue;
        }
        // No frame starts here: the next one that does ends this block.
        size_t at = std::max(scanFrom_, start_ + 1);
        size_t found = 0;
        for (; at < bytes_.size() && at - start_ < kLongestRtu; ++at) {
            const size_t next = rtuFrameAt(at, final);
            if (next == SIZE_MAX) break;
            if (next > 0) {
                found = at;
                break;
            }
        }
        size_t block;
        bool rest = false;
        if (found != 0) {
            block = found - start_;
        } else if (at - start_ >= kLongestRtu) {
            block = kLongestRtu;
        } else if (final) {
            block = bytes_.size() - start_;
            rest = true;
        } else {
            scanFrom_ = at;
            return;
        }
        // A block is a frame when its own function's rule gives its length or its CRC holds (a
        // function with no rule), or when a quiet gap ends what begins as a frame; else noise.
        const uint8_t* p = bytes_.data() + start_;
        const RtuLengths lengths = rtuLengths(p, block);
        const bool ruled = lengths.known && ((role_ != ModbusRole::Answer && block == lengths.request) ||
                                             (role_ != ModbusRole::Request && block == lengths.answer));
        const bool framelike = block >= 2 && p[0] <= kLastUnit && lengths.known;
        cutFrame(block, !(ruled || crcHolds(p, block) || (rest && framelike)), out);
    }
}

void Framer::cutLines(bool final, std::vector<Frame>& out) {
    const auto isStart = [this](uint8_t c) {
        return options_.rule == FrameRule::ModbusAscii ? c == ':' : c == '$' || c == '!';
    };
    while (pending()) {
        const bool inFrame = isStart(bytes_[start_]);
        size_t end = 0;  // one past the frame or the noise run, once found
        for (size_t at = std::max(scanFrom_, start_ + 1); at < bytes_.size(); ++at) {
            if (isStart(bytes_[at])) {  // a frame starts, and one in progress was cut short
                end = at;
                break;
            }
            if (inFrame && bytes_[at] == '\n' && bytes_[at - 1] == '\r') {
                end = at + 1;
                break;
            }
        }
        if (end != 0) {
            cutFrame(end - start_, !inFrame, out);
        } else if (final || bytes_.size() - start_ >= kLongestFrame) {
            cutFrame(std::min(bytes_.size() - start_, kLongestFrame), !inFrame, out);
        } else {
            scanFrom_ = bytes_.size();
            return;
        }
    }
}

void Framer::cutDelimited(bool final, std::vector<Frame>& out) {
    const std::vector<uint8_t>& d = options_.delimiter;
    while (pending()) {
        size_t end = 0;
        if (options_.rule == FrameRule::Delimiter && !d.empty()) {
            const auto from = bytes_.begin() + static_cast<std::ptrdiff_t>(std::max(scanFrom_, start_));
            const auto hit = std::search(from, bytes_.end(), d.begin(), d.end());
            if (hit != bytes_.end()) end = static_cast<size_t>(hit - bytes_.begin()) + d.size();
        }
        if (end != 0) {
            cutFrame(end - start_, false, out);
        } else if (final || bytes_.size() - start_ >= kLongestFrame) {
            cutFrame(std::min(bytes_.size() - start_, kLongestFrame), false, out);
        } else {
            // A delimiter may be split between two reads: look again from its possible start.
            scanFrom_ = bytes_.size() - std::min(bytes_.size() - start_, d.empty() ? 0 : d.size() - 1);
            return;
        }
    }
}

void Framer::cutFrame(size_t length, bool noise, std::vector<Frame>& out) {
    Frame frame;
    frame.channel = channel_;
    frame.noise = noise;
    frame.bytes.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(start_),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(start_ + length));
    const auto runOf = [this](size_t at) {
        return *std::upper_bound(runs_.begin(), runs_.end(), at, [](size_t i, const Run& r) { return i < r.end; });
    };
    const Run first = runOf(start_), last = runOf(start_ + length - 1);
    frame.firstMicros = first.micros;
    frame.firstRecord = first.record;
    frame.firstOffset = static_cast<uint32_t>(static_cast<std::ptrdiff_t>(start_) - first.begin);
    frame.lastMicros = last.micros;
    frame.lastRecord = last.record;
    out.push_back(std::move(frame));
    start_ += length;
    scanFrom_ = 0;
    const auto done = std::find_if(runs_.begin(), runs_.end(), [this](const Run& r) { return r.end > start_; });
    runs_.erase(runs_.begin(), done);
}
