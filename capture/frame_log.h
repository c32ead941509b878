// The frames of both directions as frame lines, for a frame log: the relay's records cut into
// frames and read by the protocol the user chose, on the capture's writer thread (never on a
// worker's), with the figures the status tells.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "capture/capture_file.h"
#include "decode/decode_choice.h"
#include "decode/transactions.h"
#include "relay/line_settings.h"

struct FrameFigures {
    int64_t frames = 0;
    int64_t errors = 0;  // frames with a bad verdict and timeouts
    std::map<int, UnitFigures> units;
};

class FrameDecoding {
public:
    // Before the log opens: the choice, and each direction's source line (port 1's for 1>2).
    void choose(const DecodeChoice& choice, const LineSettings& line1, const LineSettings& line2);
    // A new format for a frame log's writer; it keeps its frames across a reopen.
    std::unique_ptr<CaptureFormat> newFormat();
    // The figures so far, for the status.
    FrameFigures figures() const;

private:
    friend class FrameFormat;
    mutable std::mutex lock_;
    DecodeChoice choice_;
    LineSettings lines_[2];
    FrameFigures figures_;
};
