// Cuts one direction's bytes into the frames the devices said, whatever pieces the reads gave:
// by the protocol's own rules where it has them (Modbus RTU by function and length with the CRC
// confirming the cut; Modbus ASCII and NMEA by start character and line end), else at a quiet
// gap, else after a delimiter. Every byte lands in exactly one frame, in order; bytes that fit
// no rule form a noise frame. No I/O and no clock: records and their read times in, frames out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/modbus.h"

enum class FrameRule { ModbusRtu, ModbusAscii, Nmea, Gap, Delimiter };

struct FramingOptions {
    FrameRule rule = FrameRule::ModbusRtu;
    int64_t gapMicros = 1750;        // the quiet time that ends a frame
    int64_t charMicros = 0;          // one character's time on the line (0: not known)
    std::vector<uint8_t> delimiter;  // FrameRule::Delimiter: cut after each of these
};

// 3.5 character times at these line settings (a start bit, the data bits, a parity bit if any,
// the stop bits), 1.75 ms above 19,200 baud as Modbus RTU fixes it. In microseconds, rounded up.
int64_t quietGapMicros(uint32_t baud, int dataBits, bool parity, bool twoStopBits);
// One character's time at these line settings, in microseconds, rounded up.
int64_t characterMicros(uint32_t baud, int dataBits, bool parity, bool twoStopBits);

struct Frame {
    int channel = 1;
    std::vector<uint8_t> bytes;
    int64_t firstMicros = 0, lastMicros = 0;   // read times of the records of its first and last byte
    uint64_t firstRecord = 0, lastRecord = 0;  // the numbers of those records
    uint32_t firstOffset = 0;                  // where its first byte is in its first record
    bool noise = false;                        // bytes that fit no rule
};

class Framer {
public:
    Framer(int channel, FramingOptions options);

    // One record of this direction: appends the frames it completes to `out`. A record that
    // comes a quiet gap after the one before first ends what was pending.
    void add(const uint8_t* bytes, size_t length, int64_t readMicros, uint64_t record, std::vector<Frame>& out);
    // Time went by with no record: ends what a quiet gap ends by `nowMicros`.
    void quiet(int64_t nowMicros, std::vector<Frame>& out);
    // The end of the stream: all that is pending becomes frames.
    void finish(std::vector<Frame>& out);

    bool pending() const { return start_ < bytes_.size(); }
    // The number of the record that holds the first byte not yet in a frame, while pending().
    uint64_t pendingRecord() const { return runs_.front().record; }
    // And that record's read time.
    int64_t pendingMicros() const { return runs_.front().micros; }
    // Modbus RTU: whether this direction asks or answers, once that is known.
    void setRole(ModbusRole role) { role_ = role; }

private:
    struct Run {
        std::ptrdiff_t begin;  // its first byte, in bytes_ (before it once its first bytes are gone)
        size_t end;       // one past its last byte, in bytes_
        int64_t micros;
        uint64_t record;
    };
    void cut(bool final, std::vector<Frame>& out);
    void cutRtu(bool final, std::vector<Frame>& out);
    void cutLines(bool final, std::vector<Frame>& out);
    void cutDelimited(bool final, std::vector<Frame>& out);
    // Whether a whole RTU frame by rule and CRC starts at `at`: its length, 0 if none, or
    // SIZE_MAX while the bytes so far cannot tell.
    size_t rtuFrameAt(size_t at, bool final) const;
    void cutFrame(size_t length, bool noise, std::vector<Frame>& out);
    int64_t gapFor() const;

    int channel_;
    FramingOptions options_;
    std::vector<uint8_t> bytes_;
    std::vector<Run> runs_;
    size_t start_ = 0;     // the first byte not yet in a frame
    size_t scanFrom_ = 0;  // where the search for the next frame goes on (0: from start_ + 1)
    int64_t lastMicros_ = 0;
    ModbusRole role_ = ModbusRole::Unknown;
};

// The longest frame a rule waits for before it cuts what it holds (a Modbus RTU frame is at most
// 256 bytes, an ASCII one 513 characters, an NMEA sentence 82; the gap and delimiter rules cut a
// run of this size).
inline constexpr size_t kLongestFrame = 4096;
