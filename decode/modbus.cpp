#include "decode/modbus.h"

#include <algorithm>
#include <array>

namespace {

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// "0x" and `digits` upper-case hex digits, written by hand: a saved capture's million frames
// each say a few values, and a format string per value costs more than the rest of the reading.
std::string hexDigits(unsigned value, int digits) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kHex[value >> shift & 0xF];
    return text;
}

std::string hex16(uint16_t value) { return hexDigits(value, 4); }

std::string hex8(uint8_t value) { return hexDigits(value, 2); }

std::string range(uint16_t start, unsigned count) {
    if (count == 0) return std::to_string(start) + " (none)";
    return std::to_string(start) + ".." + std::to_string(start + count - 1);
}

std::string registers(const uint8_t* p, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += " " + hex16(be16(p + 2 * i));
    return text;
}

std::string rawBytes(const uint8_t* p, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += " " + hex8(p[i]);
    return text;
}

std::string named(int function) {
    const char* name = modbusFunctionName(function);
    return *name ? name : "function " + std::to_string(function);
}

// The request's words for functions 1-6, 15, 16, 23; empty when the PDU does not fit its rule.
std::string requestWords(int function, const uint8_t* d, size_t n) {
    switch (function) {
        case 1: case 2: case 3: case 4:
            if (n != 4) return {};
            return named(function) + " " + range(be16(d), be16(d + 2));
        case 5:
            if (n != 4) return {};
            return named(function) + " " + std::to_string(be16(d)) + " = " +
                   (be16(d + 2) == 0xFF00 ? "ON" : be16(d + 2) == 0 ? "OFF" : hex16(be16(d + 2)));
        case 6:
            if (n != 4) return {};
            return named(function) + " " + std::to_string(be16(d)) + " = " + hex16(be16(d + 2));
        case 15:
            if (n < 5 || n != 5u + d[4]) return {};
            return named(function) + " " + range(be16(d), be16(d + 2)) + rawBytes(d + 5, d[4]);
        case 16:
            if (n < 5 || n != 5u + d[4] || d[4] % 2 != 0) return {};
            return named(function) + " " + range(be16(d), be16(d + 2)) + registers(d + 5, d[4] / 2);
        case 23:
            if (n < 9 || n != 9u + d[8] || d[8] % 2 != 0) return {};
            return named(function) + " read " + range(be16(d), be16(d + 2)) + " write " +
                   range(be16(d + 4), be16(d + 6)) + registers(d + 9, d[8] / 2);
        default:
            return {};
    }
}

// The answer's words ("→ ..."); empty when the PDU does not fit its rule.
std::string answerWords(int function, const uint8_t* d, size_t n) {
    switch (function) {
        case 1: case 2:
            if (n < 1 || n != 1u + d[0]) return {};
            return "→ " + std::to_string(d[0]) + (function == 1 ? " bytes of coils" : " bytes of inputs") +
                   rawBytes(d + 1, d[0]);
        case 3: case 4: case 23:
            if (n < 1 || n != 1u + d[0] || d[0] % 2 != 0) return {};
            return "→ " + std::to_string(d[0] / 2) + (d[0] == 2 ? " register" : " registers") + registers(d + 1, d[0] / 2);
        case 5:
            if (n != 4) return {};
            return "→ coil " + std::to_string(be16(d)) + " = " +
                   (be16(d + 2) == 0xFF00 ? "ON" : be16(d + 2) == 0 ? "OFF" : hex16(be16(d + 2)));
        case 6:
            if (n != 4) return {};
            return "→ register " + std::to_string(be16(d)) + " = " + hex16(be16(d + 2));
        case 15: case 16:
            if (n != 4) return {};
            return "→ " + std::string(function == 15 ? "coils " : "registers ") + range(be16(d), be16(d + 2)) +
                   " written";
        default:
            return {};
    }
}

// Reads a PDU whose checksum is good. `data`/`n` is what follows the function code.
void readPdu(FrameReading& r, const uint8_t* data, size_t n, ModbusRole role) {
    const std::string unit = "unit " + std::to_string(r.unit) + " ";
    if (r.function & 0x80) {
        const int function = r.function & 0x7F;
        if (n != 1) {
            r.verdict = Verdict::Unknown;
            r.summary = unit + "exception to " + named(function) + ":" + rawBytes(data, n);
            return;
        }
        r.exception = data[0];
        const char* name = modbusExceptionName(data[0]);
        r.summary = "→ exception " + std::to_string(data[0]) + (*name ? std::string(" ") + name : "") + " to " +
                    named(function);
        return;
    }
    const std::string asked = role != ModbusRole::Answer ? requestWords(r.function, data, n) : "";
    const std::string told = role != ModbusRole::Request ? answerWords(r.function, data, n) : "";
    // With no role known, the length tells which reading fits; a request's where both do.
    if (!asked.empty()) {
        r.summary = unit + asked;
    } else if (!told.empty()) {
        r.summary = told;
    } else {
        r.verdict = Verdict::Unknown;
        r.summary = unit + named(r.function) + ":" + rawBytes(data, n);
    }
}

}  // namespace

// The CRC's eight steps for each byte value, and for a byte one to seven places further on,
// worked out once: the framer tries a CRC at every candidate cut, through noise at almost every
// byte, and a saved capture holds millions of frames; eight bytes at a step take a fraction of the
// time one at a time does.
constexpr std::array<std::array<uint16_t, 256>, 8> kCrcTables = [] {
    std::array<std::array<uint16_t, 256>, 8> tables{};
    for (unsigned value = 0; value < 256; ++value) {
        uint16_t crc = static_cast<uint16_t>(value);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
        tables[0][value] = crc;
    }
    for (size_t k = 1; k < 8; ++k) {
        for (unsigned value = 0; value < 256; ++value) {
            const uint16_t before = tables[k - 1][value];
            tables[k][value] = static_cast<uint16_t>(before >> 8 ^ tables[0][before & 0xFF]);
        }
    }
    return tables;
}();

uint16_t modbusCrc(const uint8_t* bytes, size_t length, uint16_t from) {
    const auto& t = kCrcTables;
    uint16_t crc = from;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint8_t* b = bytes + i;
        const unsigned x = crc ^ (b[0] | b[1] << 8);
        crc = static_cast<uint16_t>(t[7][x & 0xFF] ^ t[6][x >> 8] ^ t[5][b[2]] ^ t[4][b[3]] ^ t[3][b[4]] ^
                                    t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]]);
    }
    for (; i < length; ++i) crc = static_cast<uint16_t>(crc >> 8 ^ t[0][(crc ^ bytes[i]) & 0xFF]);
    return crc;
}

uint8_t modbusLrc(const uint8_t* bytes, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(-sum);
}

RtuLengths rtuLengths(const uint8_t* b, size_t available) {
    RtuLengths l;
    if (available < 2) {
        l.need = 2;
        return l;
    }
    const int function = b[1];
    l.known = true;
    // A count byte's length; none where the count cannot be (no bytes, or odd for registers).
    const auto counted = [&](size_t at, size_t fixed, size_t& into, bool even) {
        if (available <= at) l.need = std::max(l.need, at + 1);
        else if (b[at] != 0 && (!even || b[at] % 2 == 0)) into = fixed + b[at];
    };
    if (function & 0x80) {
        // Asked at every byte of a stream the framer scans for a frame start: a table, not the names.
        static const std::array<bool, 128> named = [] {
            std::array<bool, 128> known{};
            for (int f = 0; f < 128; ++f) known[f] = *modbusFunctionName(f) != 0;
            return known;
        }();
        l.known = named[function & 0x7F];
        l.answer = 5;
        return l;
    }
    switch (function) {
        case 1: case 2: case 3: case 4:
            l.request = 8;
            counted(2, 5, l.answer, function >= 3);
            break;
        case 5: case 6:
            l.request = l.answer = 8;
            break;
        case 15: case 16:
            counted(6, 9, l.request, function == 16);
            l.answer = 8;
            break;
        case 23:
            counted(10, 13, l.request, true);
            counted(2, 5, l.answer, true);
            break;
        default:
            l.known = false;
    }
    return l;
}

FrameReading readRtu(const uint8_t* bytes, size_t length, ModbusRole role) {
    FrameReading r;
    if (length >= 1) r.unit = bytes[0];
    if (length >= 2) r.function = bytes[1];
    if (length < 4) {
        r.verdict = Verdict::Truncated;
        r.summary = "truncated: " + std::to_string(length) + (length == 1 ? " byte" : " bytes");
        return r;
    }
    // Both as the bytes go on the line (low byte first), the way a hex dump shows them.
    r.carried = static_cast<uint16_t>(bytes[length - 2] << 8 | bytes[length - 1]);
    const uint16_t crc = modbusCrc(bytes, length - 2);
    r.should = static_cast<uint16_t>((crc & 0xFF) << 8 | crc >> 8);
    if (r.carried != r.should) {
        // Shorter than its function's rule asks for: cut short, not a wrong checksum.
        const RtuLengths lengths = rtuLengths(bytes, length);
        const bool asRequest = role != ModbusRole::Answer && lengths.request != 0;
        const bool asAnswer = role != ModbusRole::Request && lengths.answer != 0;
        const bool fits = (asRequest && lengths.request == length) || (asAnswer && lengths.answer == length);
        const bool short_ = (asRequest && lengths.request > length) || (asAnswer && lengths.answer > length);
        if (lengths.known && !fits && (short_ || lengths.need > length)) {
            r.verdict = Verdict::Truncated;
            r.summary = "truncated: " + std::to_string(length) + " bytes of unit " + std::to_string(r.unit) + " " +
                        named(r.function & 0x7F);
            return r;
        }
        r.verdict = Verdict::BadCrc;
        r.summary = "CRC bad: " + hex16(r.carried) + ", should be " + hex16(r.should);
        return r;
    }
    readPdu(r, bytes + 2, length - 4, role);
    return r;
}

FrameReading readAscii(const uint8_t* bytes, size_t length, ModbusRole role) {
    FrameReading r;
    if (length < 3 || bytes[0] != ':' || bytes[length - 2] != '\r' || bytes[length - 1] != '\n') {
        r.verdict = Verdict::Truncated;
        r.summary = "truncated: " + std::to_string(length) + (length == 1 ? " character" : " characters");
        return r;
    }
    std::vector<uint8_t> binary;
    bool pairs = (length - 3) % 2 == 0;
    for (size_t i = 1; pairs && i + 1 <= length - 3; i += 2) {
        const int high = hexDigitValue(bytes[i]), low = hexDigitValue(bytes[i + 1]);
        pairs = high >= 0 && low >= 0;
        binary.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    if (!pairs) {
        // Damaged on the line: its check cannot even be read.
        r.verdict = Verdict::BadLrc;
        r.summary = "LRC bad: not hexadecimal pairs";
        return r;
    }
    if (binary.size() >= 1) r.unit = binary[0];
    if (binary.size() >= 2) r.function = binary[1];
    if (binary.size() < 3) {
        r.verdict = Verdict::Truncated;
        r.summary = "truncated: " + std::to_string(length) + " characters";
        return r;
    }
    r.carried = binary.back();
    r.should = modbusLrc(binary.data(), binary.size() - 1);
    if (r.carried != r.should) {
        r.verdict = Verdict::BadLrc;
        r.summary = "LRC bad: " + hex8(static_cast<uint8_t>(r.carried)) + ", should be " +
                    hex8(static_cast<uint8_t>(r.should));
        return r;
    }
    readPdu(r, binary.data() + 2, binary.size() - 3, role);
    return r;
}

const char* modbusFunctionName(int function) {
    switch (function) {
        case 1: return "Read Coils";
        case 2: return "Read Discrete Inputs";
        case 3: return "Read Holding Registers";
        case 4: return "Read Input Registers";
        case 5: return "Write Single Coil";
        case 6: return "Write Single Register";
        case 7: return "Read Exception Status";
        case 8: return "Diagnostics";
        case 11: return "Get Comm Event Counter";
        case 12: return "Get Comm Event Log";
        case 15: return "Write Multiple Coils";
        case 16: return "Write Multiple Registers";
        case 17: return "Report Server ID";
        case 20: return "Read File Record";
        case 21: return "Write File Record";
        case 22: return "Mask Write Register";
        case 23: return "Read/Write Multiple Registers";
        case 24: return "Read FIFO Queue";
        case 43: return "Encapsulated Interface Transport";
        default: return "";
    }
}

const char* modbusExceptionName(int code) {
    switch (code) {
        case 1: return "Illegal Function";
        case 2: return "Illegal Data Address";
        case 3: return "Illegal Data Value";
        case 4: return "Server Device Failure";
        case 5: return "Acknowledge";
        case 6: return "Server Device Busy";
        case 8: return "Memory Parity Error";
        case 10: return "Gateway Path Unavailable";
        case 11: return "Gateway Target Device Failed to Respond";
        default: return "";
    }
}
