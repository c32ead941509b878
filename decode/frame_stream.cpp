#include "decode/frame_stream.h"

#include <algorithm>
#include <utility>

namespace {

// How long, and how many, frames may wait for the other direction's pending bytes: a direction
// that holds a few bytes no rule ends (a prompt before a delimiter that comes only with the next
// line) must not hold the other's frames back for long.
constexpr int64_t kLongestWaitMicros = 1'000'000;
constexpr size_t kMostWaiting = 4096;

}  // namespace

FrameStream::FrameStream(const DecodeChoice& choice, const LineSettings& line1, const LineSettings& line2)
    : rule_(choice.rule),
      framers_{Framer(1, framingFor(choice, line1)), Framer(2, framingFor(choice, line2))},
      transactions_(choice.rule, choice.master, choice.timeoutMicros) {
    if (choice.master == 1 || choice.master == 2) {
        framers_[choice.master - 1].setRole(ModbusRole::Request);
        framers_[2 - choice.master].setRole(ModbusRole::Answer);
        rolesSet_ = true;
    }
}

void FrameStream::add(int channel, const uint8_t* bytes, size_t length, int64_t micros, uint64_t record,
                      std::vector<FrameRow>& out) {
    const int at = channel == 2 ? 1 : 0;
    latestMicros_ = std::max(latestMicros_, micros);
    // The other direction's frame may have ended in the quiet before this read.
    framers_[1 - at].quiet(micros, cut_);
    waiting_[1 - at].insert(waiting_[1 - at].end(), std::make_move_iterator(cut_.begin()),
                            std::make_move_iterator(cut_.end()));
    cut_.clear();
    framers_[at].add(bytes, length, micros, record, cut_);
    waiting_[at].insert(waiting_[at].end(), std::make_move_iterator(cut_.begin()), std::make_move_iterator(cut_.end()));
    cut_.clear();
    release(false, out);
}

void FrameStream::quiet(int64_t nowMicros, std::vector<FrameRow>& out) {
    latestMicros_ = std::max(latestMicros_, nowMicros);
    for (int at = 0; at < 2; ++at) {
        framers_[at].quiet(nowMicros, cut_);
        waiting_[at].insert(waiting_[at].end(), std::make_move_iterator(cut_.begin()),
                            std::make_move_iterator(cut_.end()));
        cut_.clear();
    }
    release(false, out);
    // A request times out only by the time of the first bytes not yet read as a frame: they may be
    // its answer, and a frame read as it ends says the same whenever its direction goes quiet.
    if (!waiting_[0].empty() || !waiting_[1].empty()) return;
    int64_t upTo = nowMicros;
    for (const Framer& framer : framers_) {
        if (framer.pending()) upTo = std::min(upTo, framer.pendingMicros());
    }
    transactions_.quiet(upTo, out);
}

void FrameStream::finish(std::vector<FrameRow>& out) {
    for (int at = 0; at < 2; ++at) {
        framers_[at].finish(cut_);
        waiting_[at].insert(waiting_[at].end(), std::make_move_iterator(cut_.begin()),
                            std::make_move_iterator(cut_.end()));
        cut_.clear();
    }
    release(true, out);
}

void FrameStream::release(bool all, std::vector<FrameRow>& out) {
    while (!waiting_[0].empty() || !waiting_[1].empty()) {
        int at = waiting_[0].empty() ? 1 : 0;
        const bool both = !waiting_[0].empty() && !waiting_[1].empty();
        if (both && waiting_[1].front().firstRecord < waiting_[0].front().firstRecord) at = 1;
        const Framer& other = framers_[1 - at];
        const bool readBefore = other.pending() && other.pendingRecord() < waiting_[at].front().firstRecord;
        if (!all && waiting_[1 - at].empty() && readBefore && waiting_[at].size() < kMostWaiting &&
            latestMicros_ - other.pendingMicros() < kLongestWaitMicros) {
            return;
        }
        transactions_.add(std::move(waiting_[at].front()), out);
        waiting_[at].pop_front();
        // Once the master's side is known, each direction is cut by its own reading's length.
        if (const int master = transactions_.master(); master != 0 && !rolesSet_) {
            framers_[master - 1].setRole(ModbusRole::Request);
            framers_[2 - master].setRole(ModbusRole::Answer);
            rolesSet_ = true;
        }
    }
}
