#include "display/timeline_export.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

// As the selection's save: packets gathered up to a block before it goes to the file.
constexpr size_t kWriteBytes = size_t{1} << 20;

bool sameSecond(const std::tm& a, const std::tm& b) {
    return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday &&
           a.tm_mon == b.tm_mon && a.tm_year == b.tm_year;
}

}  // namespace

int64_t RecordClock::wallMicros(const std::tm& local, int32_t micros) {
    if (!known_ || !sameSecond(local, last_)) {
        last_ = local;
        std::tm asked = local;
        asked.tm_isdst = -1;  // the record says no more than the wall clock did
        seconds_ = static_cast<int64_t>(std::mktime(&asked));
        known_ = true;
    }
    return seconds_ * 1000000 + micros;
}

bool appendPcapSelection(const TimelineSource& source, TimelineSelection& selection, PcapForm form,
                         RecordClock& clock, size_t budget, std::string& out, size_t untilBytes, uint64_t* packets) {
    return walkSelection(source, selection, budget, out, untilBytes, [&](const TimelineRecord& record) {
        if (record.bytes.empty()) return;  // a timeout's row has no bytes to carry
        appendPcapRecord(out, form, clock.wallMicros(record.local, record.micros), record.channel,
                         reinterpret_cast<const uint8_t*>(record.bytes.data()), record.bytes.size());
        if (packets != nullptr) ++*packets;
    });
}

TimelineExport::TimelineExport(const TimelineSource& source, const TimelineSelection& selection, PcapForm form,
                               std::string application, std::string interfaceName, std::string path,
                               std::function<bool()> sourceDone)
    : source_(source), path_(std::move(path)), sourceDone_(std::move(sourceDone)) {
    std::string start;
    appendPcapStart(start, form, application, interfaceName);
    writer_ = std::thread([this, selection, form, start] { run(selection, form, start); });
}

TimelineExport::~TimelineExport() { stop(); }

void TimelineExport::stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (writer_.joinable()) writer_.join();
}

TimelineExport::Progress TimelineExport::progress() const {
    std::lock_guard<std::mutex> hold(lock_);
    return progress_;
}

void TimelineExport::run(TimelineSelection selection, PcapForm form, const std::string& start) {
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
    std::string out = start;
    out.reserve(kWriteBytes + 4 * 4096);
    RecordClock clock;
    int error = 0;
    bool whole = false;
    while (!stop_.load(std::memory_order_relaxed)) {
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
        uint64_t packets = 0;
        if (!whole) {
            const bool caughtUp =
                appendPcapSelection(source_, selection, form, clock, SIZE_MAX, out, kWriteBytes, &packets);
            whole = caughtUp && !sourceDone_;
        }
        errno = 0;
        if (!out.empty() && std::fwrite(out.data(), 1, out.size(), file) != out.size()) {
            error = errno != 0 ? errno : EIO;
            break;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            progress_.records += packets;
            progress_.bytes += out.size();
        }
        out.clear();
        if (whole) break;
    }
    errno = 0;
    if (std::fclose(file) != 0 && error == 0) error = errno != 0 ? errno : EIO;
    finish(error);
}
