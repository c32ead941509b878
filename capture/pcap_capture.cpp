#include "capture/pcap_capture.h"

#include "record/pcap_record.h"

namespace {

class PcapFormat final : public CaptureFormat {
public:
    explicit PcapFormat(PcapNaming naming) : naming_(std::move(naming)) {}
    void begin(std::string& out) override {
        appendPcapStart(out, PcapForm::PcapNg, naming_.application, naming_.interfaceName);
    }
    void format(const QueuedChunk& chunk, std::string& out) override {
        appendPcapRecord(out, PcapForm::PcapNg, chunk.wallMicros, chunk.tag, chunk.bytes + chunk.stampLength,
                         chunk.length - chunk.stampLength);
    }
    bool wholeRecords() const override { return true; }

private:
    const PcapNaming naming_;
};

}  // namespace

std::unique_ptr<CaptureFormat> newPcapFormat(const PcapNaming& naming) { return std::make_unique<PcapFormat>(naming); }
