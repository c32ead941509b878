// Back-to-back Modbus RTU transactions for the benchmarks: a master's requests one way and the
// slave's answers the other, Read Holding Registers of two registers more than the Write Multiple
// Registers that follows it, so that both directions carry the same bytes per pair; every
// `badEvery`-th frame (0: none) carries a wrong CRC.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "decode/modbus.h"

namespace bench {

struct ModbusTraffic {
    std::string requests, answers;
    uint64_t transactions = 0;
    uint64_t badFrames = 0;  // of both directions
    // Where each transaction's request and answer end, in their streams.
    std::vector<size_t> requestEnds, answerEnds;
};

inline void appendRtu(std::string& out, std::string frame, bool badCrc) {
    uint16_t crc = modbusCrc(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
    if (badCrc) crc ^= 0x5A5A;
    frame += static_cast<char>(crc & 0xFF);  // low byte first on the line
    frame += static_cast<char>(crc >> 8);
    out += frame;
}

// At least `bytes` of requests (and as many of answers).
inline ModbusTraffic modbusTraffic(size_t bytes, uint32_t seed, uint64_t badEvery = 20) {
    ModbusTraffic t;
    std::mt19937 random(seed);
    uint64_t frames = 0;
    auto bad = [&] {
        ++frames;
        const bool b = badEvery != 0 && frames % badEvery == 0;
        if (b) ++t.badFrames;
        return b;
    };
    int written = 1;
    while (t.requests.size() < bytes) {
        const char unit = static_cast<char>(1 + random() % 2);
        const bool read = t.transactions % 2 == 0;
        // A read's answer carries 5 + 2n bytes, a write's request 9 + 2n: n + 2 registers read
        // against n written keeps the two directions even.
        if (read) written = 1 + static_cast<int>(random() % 14);
        const int count = read ? written + 2 : written;
        const int address = static_cast<int>(random() % 1000);
        std::string head{unit};
        head += static_cast<char>(read ? 3 : 16);
        head += static_cast<char>(address >> 8);
        head += static_cast<char>(address & 0xFF);
        head += '\0';
        head += static_cast<char>(count);
        std::string values;
        for (int i = 0; i < 2 * count; ++i) values += static_cast<char>(random());
        if (read) {
            appendRtu(t.requests, head, bad());
            appendRtu(t.answers, std::string{unit, 3, static_cast<char>(2 * count)} + values, bad());
        } else {
            appendRtu(t.requests, head + static_cast<char>(2 * count) + values, bad());
            appendRtu(t.answers, head, bad());
        }
        t.requestEnds.push_back(t.requests.size());
        t.answerEnds.push_back(t.answers.size());
        ++t.transactions;
    }
    return t;
}

}  // namespace bench
