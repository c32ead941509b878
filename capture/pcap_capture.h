// Both directions in read order as pcapng records of link type 250, for a file Wireshark reads
// (--pcap): each file starts a section of its own, so that one appended to or reopened by a
// rotation stays a valid pcapng.
#pragma once

#include <memory>
#include <string>

#include "capture/capture_file.h"

// What the section names: the program (e.g. "Vorlinex v1.01a") and its one interface (e.g.
// "COM1 <-> COM2").
struct PcapNaming {
    std::string application;
    std::string interfaceName;
};

// A new format for a pcapng file's writer.
std::unique_ptr<CaptureFormat> newPcapFormat(const PcapNaming& naming);
