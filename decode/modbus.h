// Modbus RTU and ASCII frames as a protocol engineer reads them: the checksum checked, the unit,
// the function and what it asks or answers. No I/O and no clock: bytes in, a verdict and words out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/verdict.h"

// CRC-16/MODBUS (init 0xFFFF, reflected polynomial 0xA001), as sent: low byte first; `from` the CRC
// of the bytes before these, to go on from.
uint16_t modbusCrc(const uint8_t* bytes, size_t length, uint16_t from = 0xFFFF);
// The longitudinal redundancy check of Modbus ASCII: the two's complement of the bytes' sum.
uint8_t modbusLrc(const uint8_t* bytes, size_t length);

// Whether a frame is the master's request or the slave's answer; Unknown where nobody knows yet.
enum class ModbusRole { Unknown, Request, Answer };

// The whole lengths (unit to CRC) an RTU frame that starts with these bytes may have, as a request
// and as an answer; 0 where its bytes so far cannot tell yet (`need` then says how many they must
// be) or where the function has no fixed rule.
struct RtuLengths {
    size_t request = 0, answer = 0;
    size_t need = 0;  // bytes needed before both lengths are known; 0 once they are
    bool known = false;  // a function whose lengths follow a rule
};
RtuLengths rtuLengths(const uint8_t* bytes, size_t available);

// Reads one RTU frame (unit, function, data, CRC low byte first) in the given role.
FrameReading readRtu(const uint8_t* bytes, size_t length, ModbusRole role);
// Reads one ASCII frame (':' hex pairs, LRC pair, CR LF) in the given role.
FrameReading readAscii(const uint8_t* bytes, size_t length, ModbusRole role);

// "Read Holding Registers" for 3, "" for a code it does not name.
const char* modbusFunctionName(int function);
// "Illegal Data Address" for 2, "" for a code it does not name.
const char* modbusExceptionName(int code);
