// Records of a timeline source handed to Wireshark: written as pcap or pcapng of link type 250,
// one packet per record (per frame for the Frames view's rows; a timeout, which has no bytes, is
// no packet), a slice at a time by a writer thread of its own, so that a gigabyte is never held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "display/timeline_selection.h"
#include "record/pcap_record.h"

// A record's read time as µs since the epoch. Its local time is to the second, and mktime is
// slow: each second is converted once, however many records it holds.
class RecordClock {
public:
    int64_t wallMicros(const std::tm& local, int32_t micros);

private:
    std::tm last_{};
    int64_t seconds_ = 0;
    bool known_ = false;
};

// Appends the packets of at most `records` more records of the selection to `out`, stopping once
// `out` holds `untilBytes`, skipping records the source has let go since, and counts the packets
// in `packets`; true when the selection is written out whole. As appendSelection does for lines.
bool appendPcapSelection(const TimelineSource& source, TimelineSelection& selection, PcapForm form,
                         RecordClock& clock, size_t records, std::string& out, size_t untilBytes = SIZE_MAX,
                         uint64_t* packets = nullptr);

// Writes a selection as pcap or pcapng to a file on a thread of its own: its start (the section
// naming `application`, the interface named `interfaceName`), then its packets. Given
// `sourceDone`, it follows a source that is still growing (a file being indexed): the selection
// runs to the source's end until sourceDone() says no more will come.
class TimelineExport {
public:
    struct Progress {
        bool done = false;
        uint64_t records = 0;  // packets written so far
        uint64_t bytes = 0;
        int error = 0;  // the system's errno when the file could not be made or written
    };

    TimelineExport(const TimelineSource& source, const TimelineSelection& selection, PcapForm form,
                   std::string application, std::string interfaceName, std::string path,
                   std::function<bool()> sourceDone = {});
    ~TimelineExport();
    TimelineExport(const TimelineExport&) = delete;
    TimelineExport& operator=(const TimelineExport&) = delete;

    const std::string& path() const { return path_; }
    Progress progress() const;
    // Ends the writing where it is, between packets: progress() then says what the file holds.
    void stop();

private:
    void run(TimelineSelection selection, PcapForm form, const std::string& start);

    const TimelineSource& source_;
    const std::string path_;
    const std::function<bool()> sourceDone_;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    Progress progress_;
    std::thread writer_;
};
