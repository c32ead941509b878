// tshark, Wireshark's reader, as the tests start it: found on PATH, its fields read back.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

// "" when tshark is not installed.
inline std::string tsharkPath() {
    std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin");
    for (std::string folder; std::getline(path, folder, ':');) {
        const std::string candidate = folder + "/tshark";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// tshark's -T fields output, one row of tab-separated fields per packet.
inline std::vector<std::vector<std::string>> tsharkFields(const std::string& file, const std::vector<std::string>& fields,
                                                          const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments = {"-r", file};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), {"-T", "fields", "-E", "separator=/t"});
    for (const std::string& field : fields) arguments.insert(arguments.end(), {"-e", field});
    ChildProcess tshark(tsharkPath(), arguments);
    EXPECT_EQ(tshark.wait(), 0) << tshark.err();
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
    for (unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}
