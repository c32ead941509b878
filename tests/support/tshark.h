// tshark, Wireshark's reader, as the tests start it: its fields read back.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

// Debian's tshark; "" when it is not installed.
inline std::string tsharkPath() { return ::access("/usr/bin/tshark", X_OK) == 0 ? "/usr/bin/tshark" : ""; }

// tshark's -T fields output, one row of tab-separated fields per packet; with `cutShort`, a file
// whose last packet was cut off (a stream closed in the middle of one) is no failure.
inline std::vector<std::vector<std::string>> tsharkFields(const std::string& file,
                                                          const std::vector<std::string>& fields,
                                                          const std::vector<std::string>& options = {},
                                                          bool cutShort = false) {
    std::vector<std::string> arguments = {"-r", file};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), {"-T", "fields", "-E", "separator=/t"});
    for (const std::string& field : fields) arguments.insert(arguments.end(), {"-e", field});
    ChildProcess tshark(tsharkPath(), arguments);
    const int status = tshark.wait();
    EXPECT_TRUE(status == 0 || (cutShort && status == 2 && tshark.err().find("cut short") != std::string::npos))
        << status << ": " << tshark.err();
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(tshark.out());
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string>& row = rows.emplace_back();
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) row.push_back(cell);
        row.resize(fields.size());
    }
    return rows;
}

// frame.time_epoch ("1796652181.000100000") as µs, read as digits: a double has not the precision.
inline int64_t tsharkEpochMicros(const std::string& text) {
    const size_t dot = text.find('.');
    if (dot == std::string::npos || text.size() < dot + 7) return -1;
    return std::stoll(text.substr(0, dot)) * 1000000 + std::stoll(text.substr(dot + 1, 6));
}

// Bytes as tshark's data.data shows them: lower-case hex digits, no separators.
inline std::string tsharkHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) hex += {digits[byte >> 4], digits[byte & 15]};
    return hex;
}

// A serial record as tshark reads it from a packet of link type 250.
struct TsharkPacket {
    int64_t wallMicros;  // the packet's time; -1 when the record header's is another or the packet is cut
    int channel;         // from the event type: 0x01 is 1>2, 0x02 is 2>1; 0 for any other
    std::string hex;     // its bytes, as tsharkHex gives them
    bool operator==(const TsharkPacket&) const = default;
};

// Every packet of `file`; the pcapng section numbers they are in go to `sections`.
inline std::vector<TsharkPacket> tsharkPackets(const std::string& file, std::set<std::string>* sections = nullptr,
                                               bool cutShort = false) {
    std::vector<TsharkPacket> packets;
    for (const std::vector<std::string>& row : tsharkFields(file, {"frame.time_epoch", "rtacser.timestamp",
            "rtacser.eventtype", "data.data", "frame.section_number", "frame.len", "frame.cap_len"}, {}, cutShort)) {
        const int channel = row[2] == "0x01" ? 1 : row[2] == "0x02" ? 2 : 0;
        packets.push_back({row[0] == row[1] && row[5] == row[6] ? tsharkEpochMicros(row[0]) : -1, channel, row[3]});
        if (sections != nullptr) sections->insert(row[4]);
    }
    return packets;
}
