// The timeline's Frames view: the records of a source (the live list or a saved capture) cut into
// the frames the devices said, read by their protocol and, for Modbus, each answer paired with
// its request. Built as the records come, in slices the UI thread gives it between frames, so a
// saved gigabyte shows its first frames at once and the window never freezes. It keeps a compact
// index per row and reads a row's bytes back from the records when the window asks for it, so a
// million frames cost an index, not a copy of the traffic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "decode/decode_choice.h"
#include "decode/transactions.h"
#include "display/timeline_source.h"
#include "relay/line_settings.h"

class TimelineFrames {
public:
    // Frames of `records` (which outlives this) by `choice`; each direction's quiet gap from its
    // source port's line (`line1` for 1>2, `line2` for 2>1) unless the choice sets one.
    TimelineFrames(const TimelineSource& records, const DecodeChoice& choice, const LineSettings& line1,
                   const LineSettings& line2);
    ~TimelineFrames();
    TimelineFrames(const TimelineFrames&) = delete;
    TimelineFrames& operator=(const TimelineFrames&) = delete;

    // Frames at most `records` more records of the source, and no more than kSliceBytes of their
    // bytes (a fast line's records hold many frames each); true once it has caught up with the
    // records the source holds now. `nowWallMicros` (the wall clock, µs since the epoch) lets a
    // live source's quiet line end a frame and a request time out; a finished file passes
    // `sourceDone` instead, which ends what is pending.
    bool advance(size_t records, int64_t nowWallMicros, bool sourceDone = false);
    static constexpr size_t kSliceBytes = size_t{256} << 10;

    // The rows: every frame and timeout, numbered from 0 in the order they were cut; and the
    // rows whose verdict is an error (verdictIsError), numbered in their own order. Rows whose
    // records the source has let go are gone from both. A row read from either is a
    // TimelineRecord with `frame` set: the read time of its frame's first byte, the gap since
    // the frame before, its bytes, verdict and summary.
    const TimelineSource& all() const;
    const TimelineSource& errors() const;

    // Per unit: transactions, errors, response times (Modbus only).
    const std::map<int, UnitFigures>& units() const;
    // The master's side, 1 or 2, as set or once found; 0 while not known.
    int master() const;
    // The index's memory, for the benchmark.
    uint64_t indexBytes() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
