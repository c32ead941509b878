#include "capture/frame_log.h"

#include <vector>

#include "decode/frame_line.h"
#include "decode/frame_stream.h"

class FrameFormat final : public CaptureFormat {
public:
    FrameFormat(FrameDecoding& owner, const DecodeChoice& choice, const LineSettings (&lines)[2])
        : owner_(owner), stream_(choice, lines[0], lines[1]) {}

    void format(const QueuedChunk& chunk, std::string& out) override {
        stream_.add(chunk.tag == 2 ? 2 : 1, chunk.bytes + chunk.stampLength, chunk.length - chunk.stampLength,
                    chunk.wallMicros, ++records_, rows_);
        write(out, chunk.wallMicros, false);
    }
    bool wholeRecords() const override { return true; }
    void idle(int64_t wallMicros, std::string& out) override {
        stream_.quiet(wallMicros, rows_);
        write(out, wallMicros, true);
    }
    void finish(std::string& out) override {
        stream_.finish(rows_);
        write(out, 0, true);
    }

private:
    // The rows made so far as lines; the counts go to the owner at once, the per-unit figures
    // (thousands of response times) at most once a second or when `publish`.
    void write(std::string& out, int64_t wallMicros, bool publish) {
        int64_t frames = 0, errors = 0;
        for (const FrameRow& row : rows_) {
            appendFrameLine(out, row);
            frames += row.reading.verdict == Verdict::Timeout ? 0 : 1;
            errors += verdictIsError(row.reading.verdict) ? 1 : 0;
        }
        publish = publish || wallMicros - publishedMicros_ >= 1'000'000;
        if (rows_.empty() && !publish) return;
        std::lock_guard<std::mutex> hold(owner_.lock_);
        owner_.figures_.frames += frames;
        owner_.figures_.errors += errors;
        rows_.clear();
        if (!publish) return;
        owner_.figures_.units = stream_.units();
        publishedMicros_ = wallMicros;
    }

    FrameDecoding& owner_;
    FrameStream stream_;
    std::vector<FrameRow> rows_;
    uint64_t records_ = 0;
    int64_t publishedMicros_ = INT64_MIN / 2;
};

void FrameDecoding::choose(const DecodeChoice& choice, const LineSettings& line1, const LineSettings& line2) {
    std::lock_guard<std::mutex> hold(lock_);
    choice_ = choice;
    lines_[0] = line1;
    lines_[1] = line2;
    figures_ = {};
}

std::unique_ptr<CaptureFormat> FrameDecoding::newFormat() {
    std::lock_guard<std::mutex> hold(lock_);
    return std::make_unique<FrameFormat>(*this, choice_, lines_);
}

FrameFigures FrameDecoding::figures() const {
    std::lock_guard<std::mutex> hold(lock_);
    return figures_;
}
