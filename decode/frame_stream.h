// Records of both directions in read order in, frame rows out: each direction cut by its own
// framer, the frames of both put back in read order (by the record of their first byte) and
// read and paired by one Transactions. The one pipeline behind the frame log and the timeline's
// Frames view, so that the two never cut or read a frame differently. No I/O and no clock: the
// caller's clock is any count of microseconds that never goes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "decode/decode_choice.h"
#include "decode/framer.h"
#include "decode/transactions.h"
#include "relay/line_settings.h"

class FrameStream {
public:
    // Each direction framed by its source port's line (`line1` for 1>2) unless the choice sets a gap.
    FrameStream(const DecodeChoice& choice, const LineSettings& line1, const LineSettings& line2);

    // One record of `channel`, read at `micros`, numbered `record` (numbers grow in read order):
    // appends the rows it lets go to `out`.
    void add(int channel, const uint8_t* bytes, size_t length, int64_t micros, uint64_t record,
             std::vector<FrameRow>& out);
    // Time went by with no record: the frames a quiet line ends, the timeouts due by `nowMicros`.
    void quiet(int64_t nowMicros, std::vector<FrameRow>& out);
    // The end of the records: all that is pending becomes rows.
    void finish(std::vector<FrameRow>& out);

    FrameRule rule() const { return rule_; }
    int master() const { return transactions_.master(); }
    const std::map<int, UnitFigures>& units() const { return transactions_.units(); }

private:
    // Frames of both directions go on to be read in the order of their first records; one waits
    // while the other direction holds bytes read before it that are not a frame yet (unless
    // `all`, or those bytes are a second old, or so many wait).
    void release(bool all, std::vector<FrameRow>& out);

    FrameRule rule_;
    Framer framers_[2];
    Transactions transactions_;
    bool rolesSet_ = false;
    int64_t latestMicros_ = INT64_MIN;  // the latest time a record or a quiet look brought
    std::deque<Frame> waiting_[2];
    std::vector<Frame> cut_;
};
