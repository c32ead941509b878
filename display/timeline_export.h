// Records of a timeline source handed to Wireshark: written as pcap or pcapng of link type 250,
// one packet per record (per frame for the Frames view's rows; a timeout, which has no bytes, is
// no packet), a slice at a time by a writer thread of its own, so that a gigabyte is never held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "display/record_clock.h"
#include "display/timeline_selection.h"
#include "record/pcap_record.h"

// Appends the packets of at most `records` more records of the selection to `out`, stopping once
// `out` holds `untilBytes`, skipping records the source has let go since, and counts the packets
// in `packets`; true when the selection is written out whole. As appendSelection does for lines.
bool appendPcapSelection(const TimelineSource& source, TimelineSelection& selection, PcapForm form,
                         RecordClock& clock, size_t records, std::string& out, size_t untilBytes = SIZE_MAX,
                         uint64_t* packets = nullptr);

// Writes a selection as pcap or pcapng to a file on a thread of its own: its start (the section
// naming `application`, the interface named `interfaceName`), then its packets; progress counts
// the packets. Given `sourceDone`, it follows a growing source as TimelineSelectionWriter says.
class TimelineExport : public TimelineSelectionWriter {
public:
    TimelineExport(const TimelineSource& source, const TimelineSelection& selection, PcapForm form,
                   const std::string& application, const std::string& interfaceName, std::string path,
                   std::function<bool()> sourceDone = {});
};
