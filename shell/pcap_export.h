// --export-pcap: a saved combined capture (or frame log) written as pcap or pcapng for Wireshark,
// the export following the file's indexer, so that neither holds the file in memory.
#pragma once

#include <cstdint>
#include <string>

#include "record/pcap_record.h"

struct PcapExportOutcome {
    bool written = false;
    uint64_t packets = 0;
    std::string failure;  // when not written: why, in a line naming the file
    std::string notice;   // when written: what was left out, if anything
};

PcapExportOutcome exportCaptureAsPcap(const std::string& capturePath, const std::string& outPath, PcapForm form);

// The program's --export-pcap: the outcome's lines on stderr; 0 when written, 1 when not.
int runPcapExport(const std::string& capturePath, const std::string& outPath, PcapForm form);
