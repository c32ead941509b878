#include "record/pcap_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "record/pcap_record.h"

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 0x00000001;
constexpr uint32_t kObsoletePacket = 0x00000002;
constexpr uint32_t kSimplePacket = 0x00000003;
constexpr uint32_t kEnhancedPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptEnd = 0, kIfTsresol = 9, kIfTsoffset = 14;
// Where the time of a record is clamped to: two days short of the year 10000, so that its local
// date still has four digits in any zone, as a record line writes it.
constexpr int64_t kLatestMicros = (int64_t{253402300800} - 2 * 86400) * 1000000;

// Fields in the file's byte order, whatever the machine's.
template <typename T>
T get(const uint8_t* p, bool bigEndian) {
    T value;
    std::memcpy(&value, p, sizeof value);
    if (bigEndian == (std::endian::native == std::endian::little)) {
        if constexpr (sizeof(T) == 2) value = __builtin_bswap16(value);
        else if constexpr (sizeof(T) == 4) value = __builtin_bswap32(value);
        else value = __builtin_bswap64(value);
    }
    return value;
}
uint16_t get16(const uint8_t* p, bool bigEndian) { return get<uint16_t>(p, bigEndian); }
uint32_t get32(const uint8_t* p, bool bigEndian) { return get<uint32_t>(p, bigEndian); }
uint64_t get64(const uint8_t* p, bool bigEndian) { return get<uint64_t>(p, bigEndian); }

// A classic pcap file's magic number as the first four bytes read little-endian: its byte order
// and whether its time stamps count nanoseconds.
bool classicMagic(uint32_t magic, bool& bigEndian, bool& nanos) {
    switch (magic) {
        case 0xA1B2C3D4: bigEndian = false, nanos = false; return true;
        case 0xD4C3B2A1: bigEndian = true, nanos = false; return true;
        case 0xA1B23C4D: bigEndian = false, nanos = true; return true;
        case 0x4D3CB2A1: bigEndian = true, nanos = true; return true;
        default: return false;
    }
}

__extension__ typedef __int128 Wide;

int64_t clampMicros(Wide micros) {
    return static_cast<int64_t>(std::clamp<Wide>(micros, 0, kLatestMicros));
}

// A pcapng time stamp in its interface's units, as µs since the epoch.
int64_t microsOf(uint64_t stamp, const PcapInterface& interface) {
    Wide micros = 0;
    if (interface.binary) {
        micros = static_cast<Wide>(static_cast<unsigned __int128>(stamp) * 1000000 >> interface.exponent);
    } else if (interface.exponent <= 6) {
        Wide scale = 1;
        for (int i = interface.exponent; i < 6; ++i) scale *= 10;
        micros = static_cast<Wide>(stamp) * scale;
    } else if (interface.exponent - 6 <= 19) {
        uint64_t scale = 1;
        for (int i = 6; i < interface.exponent; ++i) scale *= 10;
        micros = static_cast<Wide>(stamp / scale);
    }  // finer than 10^-25 s: any 64-bit stamp is less than a µs
    return clampMicros(micros + static_cast<Wide>(interface.offsetSeconds) * 1000000);
}

}  // namespace

bool PcapReader::recognises(const uint8_t* head, size_t length) {
    if (length < 4) return false;
    bool bigEndian = false, nanos = false;
    const uint32_t magic = get32(head, false);
    return magic == kSectionHeader || classicMagic(magic, bigEndian, nanos);
}

bool PcapReader::fileHeader(const uint8_t* p, bool& bigEndian, bool& nanos, uint32_t& linkType) {
    classicMagic(get32(p, false), bigEndian, nanos);
    if (get16(p + 4, bigEndian) != 2) {
        halt(PcapStop::Version, offset_);
        return false;
    }
    // The low 16 bits name the link type; the bits above may say whether frames carry a check sequence.
    linkType = get32(p + 20, bigEndian) & 0xFFFF;
    return true;
}

size_t PcapReader::unitLength(const uint8_t* p, size_t have, bool& skip) {
    skip = false;
    if (have < 4) return 4;
    bool bigEndian = false, nanos = false;
    const uint32_t first = get32(p, false);
    // A classic file starts with its header; one appended to another starts one again.
    if (mode_ != Mode::PcapNg && classicMagic(first, bigEndian, nanos)) return 24;
    if (mode_ == Mode::Pcap) {
        if (have < 16) return 16;
        const uint32_t kept = get32(p + 8, sections_.back().bigEndian);
        if (kept > kMaxBlockBytes) {
            halt(PcapStop::Malformed, offset_);
            return 0;
        }
        return 16 + static_cast<size_t>(kept);
    }
    if (mode_ == Mode::Start && first != kSectionHeader) {
        halt(PcapStop::NotPcap, offset_);
        return 0;
    }
    // pcapng: a section header's length is in the order its byte-order magic gives.
    if (first == kSectionHeader) {
        if (have < 12) return 12;
        const uint32_t order = get32(p + 8, false);
        if (order != kByteOrderMagic && order != 0x4D3C2B1A) {
            halt(PcapStop::Malformed, offset_);
            return 0;
        }
        bigEndian = order != kByteOrderMagic;
    } else {
        if (have < 8) return 8;
        bigEndian = sections_.back().bigEndian;
    }
    const uint32_t type = get32(p, bigEndian), length = get32(p + 4, bigEndian);
    const uint32_t least = type == kSectionHeader ? 28 : type == kInterfaceDescription ? 20
                           : type == kSimplePacket ? 16 : type == kEnhancedPacket || type == kObsoletePacket ? 32 : 12;
    if (length < least || length % 4 != 0) {
        halt(PcapStop::Malformed, offset_);
        return 0;
    }
    skip = type != kSectionHeader && type != kInterfaceDescription && type != kSimplePacket &&
           type != kEnhancedPacket && type != kObsoletePacket;
    if (!skip && length > kMaxBlockBytes) {
        halt(PcapStop::Malformed, offset_);
        return 0;
    }
    return length;
}

void PcapReader::feed(const uint8_t* data, size_t length, const std::function<void(const PcapPacket&)>& take) {
    const uint8_t* p = data;
    const uint8_t* const end = data + length;
    while (!stopped()) {
        if (skipLeft_ > 0) {
            if (p == end) break;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(skipLeft_, static_cast<uint64_t>(end - p)));
            p += n;
            offset_ += n;
            skipLeft_ -= n;
            continue;
        }
        const bool carried = !carry_.empty();
        // A unit completed by the last feed's bytes is still read when this one brings none.
        if (!carried && p == end) break;
        const uint8_t* unitStart = carried ? reinterpret_cast<const uint8_t*>(carry_.data()) : p;
        const size_t have = carried ? carry_.size() : static_cast<size_t>(end - p);
        bool skip = false;
        const size_t need = unitLength(unitStart, have, skip);
        if (stopped()) break;
        if (skip && need > 0 && have >= 8) {
            // A block of a kind not read here is passed over without being held.
            const size_t held = std::min(have, need);
            if (carried) carry_.clear();
            else p += held;
            offset_ += held;
            skipLeft_ = need - held;
            skipStart_ = offset_ - held;
            continue;
        }
        if (have < need) {
            // Its head or its body goes on in the next feed: only what it needs is taken.
            if (p == end) break;
            const size_t more = std::min(need - have, static_cast<size_t>(end - p));
            if (carried) carry_.append(reinterpret_cast<const char*>(p), more);
            else carry_.assign(reinterpret_cast<const char*>(p), more);
            p += more;
            continue;
        }
        unit(unitStart, need, take);
        offset_ += need;
        if (carried) carry_.clear();
        else p += need;
    }
}

void PcapReader::finish() {
    if (stopped()) return;
    if (!carry_.empty()) halt(PcapStop::Truncated, offset_);
    else if (skipLeft_ > 0) halt(PcapStop::Truncated, skipStart_);
    else if (records_ == 0 && !sawSerial_ && otherLinkType_ != 0) {
        // Interfaces of other link types only, and no packet to refuse at.
        refusedLinkType_ = otherLinkType_ - 1;
        halt(PcapStop::LinkType, otherAt_);
    }
}

void PcapReader::unit(const uint8_t* p, size_t length, const std::function<void(const PcapPacket&)>& take) {
    bool bigEndian = false, nanos = false;
    const uint32_t first = get32(p, false);
    const auto packet = [&](const PcapSection& section, uint32_t interface) {
        ++packets_;
        PcapPacket read;
        const PcapPacketKind kind = readPacket(section, p, length, offset_, read);
        if (kind == PcapPacketKind::Bad) {
            halt(PcapStop::Malformed, offset_);
        } else if (kind == PcapPacketKind::Data) {
            ++records_;
            take(read);
        } else if (records_ == 0 && !sawSerial_ && interface < section.interfaces.size() &&
                   section.interfaces[interface].linkType != kLinkTypeRtacSerial) {
            // The first packet is of another link type, and no serial interface was described.
            refusedLinkType_ = section.interfaces[interface].linkType;
            halt(PcapStop::LinkType, offset_);
        } else if (skipped_++ == 0) {
            firstSkipped_ = packets_;
        }
    };

    if (mode_ != Mode::PcapNg && classicMagic(first, bigEndian, nanos)) {
        uint32_t linkType = 0;
        if (!fileHeader(p, bigEndian, nanos, linkType)) return;
        PcapSection section;
        section.start = offset_;
        section.bigEndian = bigEndian;
        section.interfaces.push_back(PcapInterface{linkType, false, static_cast<uint8_t>(nanos ? 9 : 6), 0});
        sections_.push_back(std::move(section));
        mode_ = Mode::Pcap;
        if (linkType != kLinkTypeRtacSerial) {
            refusedLinkType_ = linkType;
            halt(PcapStop::LinkType, offset_);
        }
        return;
    }
    if (mode_ == Mode::Pcap) {
        packet(sections_.back(), 0);
        return;
    }

    bigEndian = first == kSectionHeader ? get32(p + 8, false) != kByteOrderMagic : sections_.back().bigEndian;
    if (get32(p + length - 4, bigEndian) != length) {
        halt(PcapStop::Malformed, offset_);
        return;
    }
    const uint32_t type = get32(p, bigEndian);
    if (type == kSectionHeader) {
        if (get16(p + 12, bigEndian) != 1) {
            halt(PcapStop::Version, offset_);
            return;
        }
        PcapSection section;
        section.start = offset_;
        section.ng = true;
        section.bigEndian = bigEndian;
        sections_.push_back(std::move(section));
        mode_ = Mode::PcapNg;
        return;
    }
    PcapSection& section = sections_.back();
    if (type == kInterfaceDescription) {
        PcapInterface interface;
        interface.linkType = get16(p + 8, bigEndian);
        // Its options, as far as they read whole.
        const uint8_t* option = p + 16;
        const uint8_t* const end = p + length - 4;
        while (end - option >= 4) {
            const uint16_t code = get16(option, bigEndian), size = get16(option + 2, bigEndian);
            if (code == kOptEnd || static_cast<size_t>(end - option - 4) < size) break;
            if (code == kIfTsresol && size >= 1) {
                interface.binary = (option[4] & 0x80) != 0;
                interface.exponent = option[4] & 0x7F;
            } else if (code == kIfTsoffset && size >= 8) {
                interface.offsetSeconds = static_cast<int64_t>(get64(option + 4, bigEndian));
            }
            option += 4 + (static_cast<size_t>(size) + 3) / 4 * 4;
        }
        if (interface.linkType == kLinkTypeRtacSerial) {
            sawSerial_ = true;
        } else if (otherLinkType_ == 0) {
            otherLinkType_ = interface.linkType + 1;
            otherAt_ = offset_;
        }
        // More interfaces than any capture describes is damage; their packets are skipped.
        if (section.interfaces.size() < 65536) section.interfaces.push_back(interface);
        return;
    }
    const uint32_t interface = type == kEnhancedPacket ? get32(p + 8, bigEndian)
                               : type == kObsoletePacket ? get16(p + 8, bigEndian)
                                                         : 0;
    packet(section, interface);
}

PcapPacketKind PcapReader::readPacket(const PcapSection& section, const uint8_t* block, size_t available,
                                      uint64_t offset, PcapPacket& packet) {
    const bool bigEndian = section.bigEndian;
    const PcapInterface* interface = nullptr;
    const uint8_t* payload = nullptr;
    size_t kept = 0;
    int64_t micros = 0;
    bool timeInHeader = false;
    if (!section.ng) {
        if (available < 16 || section.interfaces.empty()) return PcapPacketKind::Bad;
        interface = &section.interfaces.front();
        const uint64_t seconds = get32(block, bigEndian), fraction = get32(block + 4, bigEndian);
        micros = clampMicros(static_cast<Wide>(seconds) * 1000000 +
                             static_cast<Wide>(interface->exponent == 9 ? fraction / 1000 : fraction));
        kept = get32(block + 8, bigEndian);
        if (kept > available - 16) return PcapPacketKind::Bad;
        payload = block + 16;
    } else {
        if (available < 16) return PcapPacketKind::Bad;
        const uint32_t type = get32(block, bigEndian), length = get32(block + 4, bigEndian);
        if (type == kEnhancedPacket || type == kObsoletePacket) {
            if (available < 28 || length < 32) return PcapPacketKind::Bad;
            const uint32_t id = type == kEnhancedPacket ? get32(block + 8, bigEndian) : get16(block + 8, bigEndian);
            kept = get32(block + 20, bigEndian);
            if (kept > length - 32 || kept > available - 28) return PcapPacketKind::Bad;
            if (id >= section.interfaces.size()) return PcapPacketKind::NotData;
            interface = &section.interfaces[id];
            // The high half first, each half in the section's order.
            micros = microsOf(uint64_t{get32(block + 12, bigEndian)} << 32 | get32(block + 16, bigEndian), *interface);
            payload = block + 28;
        } else if (type == kSimplePacket) {
            if (length < 16) return PcapPacketKind::Bad;
            // Only the original length is written: what the block holds of it is there.
            kept = std::min<size_t>(get32(block + 8, bigEndian), length - 16);
            if (kept > available - 12) return PcapPacketKind::Bad;
            if (section.interfaces.empty()) return PcapPacketKind::NotData;
            interface = &section.interfaces.front();
            timeInHeader = true;
            payload = block + 12;
        } else {
            return PcapPacketKind::Bad;
        }
    }
    // A record with no bytes after its header carries no data, as a read never gives none.
    if (interface->linkType != kLinkTypeRtacSerial || kept <= kRtacHeaderBytes) return PcapPacketKind::NotData;
    const uint8_t event = payload[8];
    if (event != kRtacDataTxStart && event != kRtacDataRxStart) return PcapPacketKind::NotData;
    // A simple packet block has no time of its own: the record header's is the read time.
    if (timeInHeader) {
        micros = clampMicros(static_cast<Wide>(get32(payload, true)) * 1000000 + get32(payload + 4, true));
    }
    packet.offset = offset;
    packet.wallMicros = micros;
    packet.channel = event == kRtacDataRxStart ? 2 : 1;
    packet.bytes = payload + kRtacHeaderBytes;
    packet.length = kept - kRtacHeaderBytes;
    return PcapPacketKind::Data;
}

std::string pcapLinkTypeName(uint32_t linkType) {
    switch (linkType) {
        case 0: return "BSD loopback";
        case 1: return "Ethernet";
        case 9: return "PPP";
        case 101: return "raw IP";
        case 105: return "IEEE 802.11";
        case 113: return "Linux cooked";
        case 127: return "IEEE 802.11 radiotap";
        case 147: case 148: case 149: case 150: case 151: case 152: case 153: case 154:
        case 155: case 156: case 157: case 158: case 159: case 160: case 161: case 162: return "user-defined";
        case 189: case 220: return "Linux USB";
        case 195: case 230: return "IEEE 802.15.4";
        case 227: return "CAN";
        case 228: return "IPv4";
        case 229: return "IPv6";
        case 249: return "USBPcap";
        case 250: return "RTAC serial";
        case 276: return "Linux cooked v2";
        default: return "";
    }
}
