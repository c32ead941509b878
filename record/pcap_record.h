// Records in the form Wireshark, tshark and libpcap read: link type 250 (LINKTYPE_RTAC_SERIAL),
// whose 12-byte header carries the read time, the direction as an event type and the control
// lines, followed by the bytes read. Written as classic pcap or as pcapng; text in, bytes out,
// no I/O, so that an export, a file of the headless relay and a network stream write the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class PcapForm { Pcap, PcapNg };

constexpr uint16_t kLinkTypeRtacSerial = 250;
// Event types of the record header: the bytes port 1 sent (1>2) and those port 2 sent (2>1).
constexpr uint8_t kRtacDataTxStart = 0x01;
constexpr uint8_t kRtacDataRxStart = 0x02;
constexpr size_t kRtacHeaderBytes = 12;
// The most payload one record carries in a classic pcap's header (its snapshot length).
constexpr uint32_t kPcapSnapLength = 262144;

// What a file or a stream starts with: pcap's file header; or pcapng's section header (naming
// `application`, e.g. "Vorlinex v1.01a") and one interface description of link type 250 with
// microsecond time stamps named `interfaceName` (e.g. "COM1 <-> COM2"). A pcapng file may hold
// several sections one after the other: an appended file starts a new one.
void appendPcapStart(std::string& out, PcapForm form, const std::string& application,
                     const std::string& interfaceName);

// One record: its read time (µs since the epoch), `channel` 1 (1>2, event type 0x01) or 2 (2>1,
// 0x02), the control-line byte 0 (not known), then its bytes. Bytes beyond kPcapSnapLength less
// the header are cut off in a classic pcap, whose header says how long the record was.
void appendPcapRecord(std::string& out, PcapForm form, int64_t wallMicros, int channel,
                      const uint8_t* bytes, size_t length);
