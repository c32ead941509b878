// Records chosen in the timeline's list, written out as the combined capture's lines (a frame
// row as its frame line): for the clipboard a slice at a time between frames, or to a file by a
// writer thread of their own when they are too much text for the clipboard.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "display/timeline_source.h"

// Records first..last of the channels in `channels` (bit 0: channel 1, bit 1: channel 2) that
// `filter` shows; `next` is the first not yet written out.
struct TimelineSelection {
    uint64_t next = 0, last = 0;
    unsigned channels = 3;
    TimelineFilter filter = TimelineFilter::Both;
};

constexpr unsigned timelineChannelBit(int channel) { return channel == 2 ? 2u : 1u; }

// Hands `take` each record the selection shows, of at most `records` more, stopping once `out`
// holds `untilBytes` and skipping records the source has let go since; true when the selection
// is walked whole. What appends the lines and what appends the packets walk alike.
bool walkSelection(const TimelineSource& source, TimelineSelection& selection, size_t records, const std::string& out,
                   size_t untilBytes, const std::function<void(const TimelineRecord&)>& take);

// Appends the lines of at most `records` more records of the selection to `out`, stopping once
// `out` holds `untilBytes`, skipping records the source has let go since, and counts the lines in
// `lines`; true when the selection is written out whole.
bool appendSelection(const TimelineSource& source, TimelineSelection& selection, size_t records, std::string& out,
                     size_t untilBytes = SIZE_MAX, uint64_t* lines = nullptr);

// Writes a selection to a file on a thread of its own, a block at a time; the UI thread only
// looks at where it is. What the file starts with is `start`; what the records become (lines,
// packets) is `append`'s: it appends the selection's next records to `out` until that holds
// `untilBytes`, counts them in `written`, and is true once the selection is written out whole.
// Given `sourceDone`, it follows a source that is still growing (a file being indexed): the
// selection runs to the source's end until sourceDone() says no more will come. The source
// outlives the writer, or the writer is ended first (its destructor stops the thread).
class TimelineSelectionWriter {
public:
    struct Progress {
        bool done = false;
        uint64_t records = 0;  // lines or packets written so far
        uint64_t bytes = 0;
        int error = 0;  // the system's errno when the file could not be made or written
    };
    using Append =
        std::function<bool(TimelineSelection& selection, std::string& out, size_t untilBytes, uint64_t& written)>;

    TimelineSelectionWriter(const TimelineSource& source, const TimelineSelection& selection, std::string path,
                            std::string start, Append append, std::function<bool()> sourceDone = {});
    ~TimelineSelectionWriter();
    TimelineSelectionWriter(const TimelineSelectionWriter&) = delete;
    TimelineSelectionWriter& operator=(const TimelineSelectionWriter&) = delete;

    const std::string& path() const { return path_; }
    Progress progress() const;
    // Ends the writing where it is, between records: progress() then says what the file holds.
    void stop();

private:
    void run(TimelineSelection selection, std::string start);

    const TimelineSource& source_;
    const std::string path_;
    const Append append_;
    const std::function<bool()> sourceDone_;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    Progress progress_;
    std::thread writer_;
};

// A selection saved as the combined capture's lines.
class TimelineSelectionSave : public TimelineSelectionWriter {
public:
    TimelineSelectionSave(const TimelineSource& source, const TimelineSelection& selection, std::string path);
};
