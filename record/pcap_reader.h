// Reads what Wireshark, tshark, editcap and our own writer save: classic pcap (either byte order,
// micro- or nanosecond time stamps) and pcapng (either byte order, sections one after another as
// an appended file holds them), keeping the serial records of link type 250. Bytes in, records
// out, no I/O: fed the input in blocks of any size, cut anywhere, it gives the same records, so a
// file is read as it is read from disk and a damaged one stops where its damage starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How one interface's packets are read: its link type and the unit of its time stamps.
struct PcapInterface {
    uint32_t linkType = 0;
    bool binary = false;     // units of 2^-exponent s, else of 10^-exponent s
    uint8_t exponent = 6;
    int64_t offsetSeconds = 0;  // added to each time stamp (pcapng's if_tsoffset)
};

// One part of the input read alike: a classic pcap file (its one interface), or a pcapng section
// (its interfaces as described so far).
struct PcapSection {
    uint64_t start = 0;  // its first byte in the input
    bool ng = false;
    bool bigEndian = false;
    std::vector<PcapInterface> interfaces;
};

// Why reading stopped before the input's end.
enum class PcapStop {
    None,
    NotPcap,    // the input does not start as pcap or pcapng
    LinkType,   // its records are of a link type other than 250
    Version,    // a file or section of a format version not read here
    Malformed,  // a length or a field no writer gives
    Truncated,  // the input ends inside a block or record
};

// One serial record.
struct PcapPacket {
    uint64_t offset = 0;      // where its record (pcap) or block (pcapng) starts in the input
    int64_t wallMicros = 0;   // its read time, µs since the epoch
    int channel = 1;          // 1: 1>2 (event type 0x01), 2: 2>1 (0x02)
    const uint8_t* bytes = nullptr;  // what follows the 12-byte header; valid until the next feed
    size_t length = 0;
};

// A packet's block as read on its own: a serial record, or one that holds none (another event
// type, no bytes after the header, an interface of another link type), or one that does not read.
enum class PcapPacketKind { Data, NotData, Bad };

class PcapReader {
public:
    // The most a record or block may take; a length claiming more is damage, not data.
    static constexpr size_t kMaxBlockBytes = size_t{16} << 20;
    // The most bytes before a packet's payload: a pcapng Enhanced Packet Block's head, then the
    // record header of link type 250.
    static constexpr size_t kMostHeadBytes = 28 + 12;

    // Whether input that starts with `head` is pcap or pcapng (its first four bytes).
    static bool recognises(const uint8_t* head, size_t length);

    // The next `length` bytes of the input; each serial record completed goes to `take`, in order.
    // Once stopped, nothing more is read.
    void feed(const uint8_t* data, size_t length, const std::function<void(const PcapPacket&)>& take);
    // The input ended: a block or record it cut short stops the reading there.
    void finish();

    PcapStop stop() const { return stop_; }
    bool stopped() const { return stop_ != PcapStop::None; }
    // Where reading stopped: the offset of the block, record or field that did not read.
    uint64_t stopAt() const { return stopAt_; }
    // With PcapStop::LinkType: the link type refused.
    uint32_t refusedLinkType() const { return refusedLinkType_; }

    uint64_t consumed() const { return offset_; }
    uint64_t packets() const { return packets_; }  // every record or packet block, numbered from 1
    uint64_t records() const { return records_; }  // the serial records among them
    // Packets that hold no serial record, and the 1-based number of the first.
    uint64_t skipped() const { return skipped_; }
    uint64_t firstSkipped() const { return firstSkipped_; }
    const std::vector<PcapSection>& sections() const { return sections_; }

    // Reads a packet again from `available` bytes at its start, as `section` says it reads; its
    // payload and the heads before it are enough (kMostHeadBytes + its length), options need not
    // be there. `offset` is where it starts in the input.
    static PcapPacketKind readPacket(const PcapSection& section, const uint8_t* block, size_t available,
                                     uint64_t offset, PcapPacket& packet);

private:
    enum class Mode { Start, Pcap, PcapNg };
    // Bytes the unit at `p` (of which `have` are there) takes, or 0 while its head is not all
    // there yet; sets stop_ for a unit that cannot be; `skip` when the block is passed over.
    size_t unitLength(const uint8_t* p, size_t have, bool& skip);
    void unit(const uint8_t* p, size_t length, const std::function<void(const PcapPacket&)>& take);
    void halt(PcapStop why, uint64_t at) {
        if (stop_ == PcapStop::None) {
            stop_ = why;
            stopAt_ = at;
        }
    }
    bool fileHeader(const uint8_t* p, bool& bigEndian, bool& nanos, uint32_t& linkType);

    Mode mode_ = Mode::Start;
    std::string carry_;    // the current unit's bytes so far, when a feed ended inside it
    uint64_t skipLeft_ = 0;  // of a block passed over
    uint64_t skipStart_ = 0;  // where it starts
    uint64_t offset_ = 0;  // input consumed
    PcapStop stop_ = PcapStop::None;
    uint64_t stopAt_ = 0;
    uint32_t refusedLinkType_ = 0;
    uint64_t packets_ = 0, records_ = 0, skipped_ = 0, firstSkipped_ = 0;
    std::vector<PcapSection> sections_;
    uint32_t otherLinkType_ = 0;  // the first interface of another link type, plus 1 (0: none)
    uint64_t otherAt_ = 0;        // where it is described
    bool sawSerial_ = false;      // an interface of link type 250
};

// The usual name of a link type ("Ethernet"), or "" for one not named here.
std::string pcapLinkTypeName(uint32_t linkType);
