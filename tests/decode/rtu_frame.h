// A Modbus RTU frame as a test writes it: the unit and PDU, then their CRC, low byte first.
#pragma once

#include <cstdint>
#include <vector>

#include "decode/modbus.h"

inline std::vector<uint8_t> rtu(std::vector<uint8_t> frame) {
    const uint16_t crc = modbusCrc(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}
