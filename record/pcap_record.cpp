#include "record/pcap_record.h"

#include <algorithm>

namespace {

// Both forms are written little-endian: readers learn the order from the magic number.
void put16(std::string& out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
void put32(std::string& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v & 0xFFFF));
    put16(out, static_cast<uint16_t>(v >> 16));
}
// The record header's time is big-endian, as its link type defines it.
void put32be(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}
void padTo4(std::string& out, size_t from) {
    while ((out.size() - from) % 4 != 0) out += '\0';
}

// A pcapng option: code, length, value, padded to 4 bytes.
void putOption(std::string& out, uint16_t code, const std::string& value) {
    put16(out, code);
    put16(out, static_cast<uint16_t>(std::min<size_t>(value.size(), 0xFFFF)));
    const size_t from = out.size();
    out.append(value, 0, std::min<size_t>(value.size(), 0xFFFF));
    padTo4(out, from);
}

// A pcapng block around what `body` appends: type, total length, body, total length again.
template <typename Body>
void putBlock(std::string& out, uint32_t type, Body body) {
    const size_t start = out.size();
    put32(out, type);
    put32(out, 0);  // the length, once known
    body();
    padTo4(out, start);
    const uint32_t total = static_cast<uint32_t>(out.size() - start + 4);
    put32(out, total);
    for (int i = 0; i < 4; ++i) out[start + 4 + static_cast<size_t>(i)] = static_cast<char>((total >> (8 * i)) & 0xFF);
}

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 0x00000001;
constexpr uint32_t kEnhancedPacket = 0x00000006;
constexpr uint16_t kOptEnd = 0, kShbUserAppl = 4, kIfName = 2, kIfTsresol = 9;

void putRtacHeader(std::string& out, int64_t wallMicros, int channel) {
    const int64_t seconds = wallMicros / 1000000 - (wallMicros % 1000000 < 0 ? 1 : 0);
    put32be(out, static_cast<uint32_t>(seconds));
    put32be(out, static_cast<uint32_t>(wallMicros - seconds * 1000000));
    out += static_cast<char>(channel == 2 ? kRtacDataRxStart : kRtacDataTxStart);
    out += '\0';  // the control lines: not known
    out += '\0';  // the footer
    out += '\0';
}

}  // namespace

void appendPcapStart(std::string& out, PcapForm form, const std::string& application,
                     const std::string& interfaceName) {
    if (form == PcapForm::Pcap) {
        put32(out, 0xA1B2C3D4);  // microsecond time stamps
        put16(out, 2);
        put16(out, 4);
        put32(out, 0);  // this zone: UTC
        put32(out, 0);  // sigfigs
        put32(out, kPcapSnapLength);
        put32(out, kLinkTypeRtacSerial);
        return;
    }
    putBlock(out, kSectionHeader, [&] {
        put32(out, 0x1A2B3C4D);
        put16(out, 1);
        put16(out, 0);
        put32(out, 0xFFFFFFFF);  // the section's length: not known
        put32(out, 0xFFFFFFFF);
        putOption(out, kShbUserAppl, application);
        putOption(out, kOptEnd, "");
    });
    putBlock(out, kInterfaceDescription, [&] {
        put16(out, kLinkTypeRtacSerial);
        put16(out, 0);
        put32(out, 0);  // no snapshot length
        putOption(out, kIfName, interfaceName);
        putOption(out, kIfTsresol, std::string(1, '\x06'));  // 10^-6 s
        putOption(out, kOptEnd, "");
    });
}

void appendPcapRecord(std::string& out, PcapForm form, int64_t wallMicros, int channel,
                      const uint8_t* bytes, size_t length) {
    const uint64_t whole = kRtacHeaderBytes + length;
    if (form == PcapForm::Pcap) {
        const uint32_t kept = static_cast<uint32_t>(std::min<uint64_t>(whole, kPcapSnapLength));
        const int64_t seconds = wallMicros / 1000000 - (wallMicros % 1000000 < 0 ? 1 : 0);
        put32(out, static_cast<uint32_t>(seconds));
        put32(out, static_cast<uint32_t>(wallMicros - seconds * 1000000));
        put32(out, kept);
        put32(out, static_cast<uint32_t>(std::min<uint64_t>(whole, UINT32_MAX)));
        putRtacHeader(out, wallMicros, channel);
        out.append(reinterpret_cast<const char*>(bytes), kept - kRtacHeaderBytes);
        return;
    }
    putBlock(out, kEnhancedPacket, [&] {
        const uint64_t stamp = static_cast<uint64_t>(wallMicros);
        put32(out, 0);  // the interface
        put32(out, static_cast<uint32_t>(stamp >> 32));
        put32(out, static_cast<uint32_t>(stamp & 0xFFFFFFFF));
        put32(out, static_cast<uint32_t>(whole));
        put32(out, static_cast<uint32_t>(whole));
        putRtacHeader(out, wallMicros, channel);
        out.append(reinterpret_cast<const char*>(bytes), length);
    });
}
