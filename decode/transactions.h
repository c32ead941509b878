// Frames of both directions read by their protocol, and for Modbus each answer paired with its
// request: the response time, the requests that got no answer, and per unit the figures a
// protocol engineer asks for first. No I/O and no clock: frames in read order in, rows out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "decode/framer.h"
#include "decode/modbus.h"
#include "decode/verdict.h"

// One row of the frame view: a frame with its reading, or a request's timeout (no bytes).
struct FrameRow {
    Frame frame;                // a timeout's: no bytes, its time the moment it fell due
    FrameReading reading;       // a timeout's verdict is Verdict::Timeout
    int64_t gapMicros = 0;      // since the previous frame of either direction (0 for the first)
    int64_t responseMicros = -1;  // an answer: from its request's last byte to its first
    ModbusRole role = ModbusRole::Unknown;  // the role it was read in
    // A timeout: its request's row (numbered from 0 in the order Transactions gave them), how
    // long that request waited from its last byte, and whether the master asked again first.
    uint64_t requestRow = 0;
    int64_t waitedMicros = 0;
    bool askedAgain = false;
    std::string line() const;   // the summary as the frame line ends: with the response time
};

// A timeout's summary, from its request's (read as a request).
std::string timeoutSummary(const std::string& request, int64_t waitedMicros, bool askedAgain);

struct UnitFigures {
    int64_t transactions = 0;  // requests seen
    int64_t errors = 0;        // bad frames, exceptions and timeouts
    int64_t answered = 0;
    int64_t fastestMicros = -1, slowestMicros = -1;
    // The latest response times (a ring of kKept), for the median and the 99th percentile.
    std::vector<int64_t> responseMicros;
    static constexpr size_t kKept = 65536;
    void addResponse(int64_t micros);
    // The p-th percentile (0..100) of the kept response times, nearest rank; -1 with none.
    int64_t percentile(double p) const;
};

class Transactions {
public:
    // `master`: 1 or 2, the side that asks; 0 to find it (the side whose frames are answered).
    Transactions(FrameRule rule, int master = 0, int64_t timeoutMicros = 1'000'000);

    // One frame, in read order: its row, after any timeout that fell due before it.
    void add(Frame frame, std::vector<FrameRow>& out);
    // Time went by: the timeouts due by `nowMicros`.
    void quiet(int64_t nowMicros, std::vector<FrameRow>& out);

    int master() const { return master_; }
    const std::map<int, UnitFigures>& units() const { return units_; }

private:
    ModbusRole roleOf(int channel) const;
    // The waiting request's timeout row; `nextRequestMicros` when the master asked again first.
    void timeOut(std::vector<FrameRow>& out, int64_t nextRequestMicros);
    // Gives a row, counting it.
    void give(FrameRow row, std::vector<FrameRow>& out);

    FrameRule rule_;
    int master_;
    int64_t timeoutMicros_;
    bool modbus_;
    bool asked_ = false;         // a request waits for its answer
    FrameRow request_;           // that request
    uint64_t requestRow_ = 0;    // and its row
    FrameRow lastUnknown_;       // the last good frame read before the master was known
    uint64_t lastUnknownRow_ = 0;
    uint64_t given_ = 0;         // rows given so far
    bool haveUnknown_ = false;
    int64_t lastFrameMicros_ = INT64_MIN;
    std::map<int, UnitFigures> units_;
};

// The frame's reading by the rule: noise as such, Modbus in the given role, a gap- or
// delimiter-cut frame as good.
FrameReading readFrame(const Frame& frame, FrameRule rule, ModbusRole role);
