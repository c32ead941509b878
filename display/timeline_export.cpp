#include "display/timeline_export.h"

#include <utility>

namespace {

std::string pcapStart(PcapForm form, const std::string& application, const std::string& interfaceName) {
    std::string start;
    appendPcapStart(start, form, application, interfaceName);
    return start;
}

}  // namespace

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
                               const std::string& application, const std::string& interfaceName, std::string path,
                               std::function<bool()> sourceDone)
    : TimelineSelectionWriter(
          source, selection, std::move(path), pcapStart(form, application, interfaceName),
          [&source, form, clock = RecordClock()](TimelineSelection& chosen, std::string& out, size_t untilBytes,
                                                 uint64_t& packets) mutable {
              return appendPcapSelection(source, chosen, form, clock, SIZE_MAX, out, untilBytes, &packets);
          },
          std::move(sourceDone)) {}
