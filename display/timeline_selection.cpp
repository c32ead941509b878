#include "display/timeline_selection.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "decode/frame_line.h"
#include "record/combined_record.h"

namespace {

// Records read at a time: a selection of a million records never holds the source's lock long,
// and a batch of the largest records stays a few hundred MB at most.
constexpr size_t kReadBatch = 256;
// What is gathered (lines, packets) before it goes to the file.
constexpr size_t kWriteBytes = size_t{1} << 20;

}  // namespace

bool walkSelection(const TimelineSource& source, TimelineSelection& selection, size_t budget, const std::string& out,
                   size_t untilBytes, const std::function<void(const TimelineRecord&)>& take) {
    std::vector<TimelineRecord> records;
    while (selection.next <= selection.last && budget > 0 && out.size() < untilBytes) {
        records.clear();
        const size_t count =
            static_cast<size_t>(std::min<uint64_t>({kReadBatch, budget, selection.last - selection.next + 1}));
        source.read(selection.next, count, records);
        if (records.empty()) {
            // Records let go since they were selected: on with those still held.
            const TimelineExtent extent = source.extent();
            if (selection.next >= extent.first) return true;
            selection.next = extent.first;
            continue;
        }
        budget -= std::min(budget, records.size());
        for (const TimelineRecord& record : records) {
            if (record.number > selection.last) break;
            if (out.size() >= untilBytes) {
                // The rest of this batch is read again by the next call.
                selection.next = record.number;
                return false;
            }
            if (timelineShows(selection.filter, record.channel) &&
                (selection.channels & timelineChannelBit(record.channel)) != 0) {
                take(record);
            }
        }
        selection.next = records.back().number + 1;
    }
    return selection.next > selection.last;
}

bool appendSelection(const TimelineSource& source, TimelineSelection& selection, size_t budget, std::string& out,
                     size_t untilBytes, uint64_t* lines) {
    return walkSelection(source, selection, budget, out, untilBytes, [&](const TimelineRecord& record) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(record.bytes.data());
        if (record.frame) {
            appendFrameLine(out, record.local, record.micros, record.gapMicros, record.channel, bytes,
                            record.bytes.size(), record.verdict, record.summary);
        } else {
            appendCombinedRecord(out, record.local, record.micros, record.gapMicros, record.channel, bytes,
                                 record.bytes.size());
        }
        if (lines != nullptr) ++*lines;
    });
}

TimelineSelectionWriter::TimelineSelectionWriter(const TimelineSource& source, const TimelineSelection& selection,
                                                 std::string path, std::string start, Append append,
                                                 std::function<bool()> sourceDone)
    : source_(source), path_(std::move(path)), append_(std::move(append)), sourceDone_(std::move(sourceDone)) {
    writer_ = std::thread([this, selection, start = std::move(start)]() mutable { run(selection, std::move(start)); });
}

TimelineSelectionWriter::~TimelineSelectionWriter() { stop(); }

void TimelineSelectionWriter::stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (writer_.joinable()) writer_.join();
}

TimelineSelectionWriter::Progress TimelineSelectionWriter::progress() const {
    std::lock_guard<std::mutex> hold(lock_);
    return progress_;
}

void TimelineSelectionWriter::run(TimelineSelection selection, std::string start) {
    const auto finish = [this](int error) {
        std::lock_guard<std::mutex> hold(lock_);
        progress_.error = error;
        progress_.done = true;
    };
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr) {
        finish(errno != 0 ? errno : EIO);
        return;
    }
    std::string out = std::move(start);
    out.reserve(kWriteBytes + 4 * 4096);
    int error = 0;
    for (bool whole = false; !whole && !stop_.load(std::memory_order_relaxed);) {
        if (sourceDone_) {
            // Done is asked before the extent, so that once it is true the extent read is the last.
            const bool sourceFinished = sourceDone_();
            const TimelineExtent extent = source_.extent();
            if (extent.end > selection.next) {
                selection.last = extent.end - 1;
            } else if (sourceFinished) {
                whole = true;
            } else if (out.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
        }
        uint64_t written = 0;
        // Whole records up to about a block: a record's line is at most a few MB.
        if (!whole) whole = append_(selection, out, kWriteBytes, written) && !sourceDone_;
        errno = 0;
        if (!out.empty() && std::fwrite(out.data(), 1, out.size(), file) != out.size()) {
            error = errno != 0 ? errno : EIO;
            break;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            progress_.records += written;
            progress_.bytes += out.size();
        }
        out.clear();
    }
    errno = 0;
    if (std::fclose(file) != 0 && error == 0) error = errno != 0 ? errno : EIO;
    finish(error);
}

TimelineSelectionSave::TimelineSelectionSave(const TimelineSource& source, const TimelineSelection& selection,
                                             std::string path)
    : TimelineSelectionWriter(source, selection, std::move(path), std::string(),
                              [&source](TimelineSelection& chosen, std::string& out, size_t untilBytes,
                                        uint64_t& lines) {
                                  return appendSelection(source, chosen, SIZE_MAX, out, untilBytes, &lines);
                              }) {}
