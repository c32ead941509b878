#include "decode/decode_choice.h"

#include <charconv>
#include <cstdio>

bool parseDecodeChoice(const std::string& text, DecodeChoice& choice) {
    DecodeChoice parsed = choice;
    parsed.gapMicros = 0;
    parsed.delimiter.clear();
    if (text == "modbus-rtu") {
        parsed.rule = FrameRule::ModbusRtu;
    } else if (text == "modbus-ascii") {
        parsed.rule = FrameRule::ModbusAscii;
    } else if (text == "nmea") {
        parsed.rule = FrameRule::Nmea;
    } else if (text.starts_with("gap:")) {
        int64_t ms = 0;
        const char* end = text.data() + text.size();
        const auto [at, error] = std::from_chars(text.data() + 4, end, ms);
        if (error != std::errc() || at != end || ms < 1 || ms > 60000) return false;
        parsed.rule = FrameRule::Gap;
        parsed.gapMicros = ms * 1000;
    } else if (text.starts_with("delim:")) {
        const std::string hex = text.substr(6);
        if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 16) return false;
        for (size_t i = 0; i < hex.size(); i += 2) {
            uint8_t byte = 0;
            const auto [at, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
            if (error != std::errc() || at != hex.data() + i + 2) return false;
            parsed.delimiter.push_back(byte);
        }
        parsed.rule = FrameRule::Delimiter;
    } else {
        return false;
    }
    choice = parsed;
    return true;
}

std::string decodeChoiceText(const DecodeChoice& choice) {
    switch (choice.rule) {
        case FrameRule::ModbusRtu: return "modbus-rtu";
        case FrameRule::ModbusAscii: return "modbus-ascii";
        case FrameRule::Nmea: return "nmea";
        case FrameRule::Gap: return "gap:" + std::to_string(choice.gapMicros / 1000);
        case FrameRule::Delimiter: {
            std::string text = "delim:";
            char pair[3];
            for (uint8_t b : choice.delimiter) {
                std::snprintf(pair, sizeof pair, "%02X", b);
                text += pair;
            }
            return text;
        }
    }
    return "modbus-rtu";
}

FramingOptions framingFor(const DecodeChoice& choice, const LineSettings& line) {
    FramingOptions options;
    options.rule = choice.rule;
    options.delimiter = choice.delimiter;
    const bool parity = line.parity != 0;
    options.charMicros = characterMicros(line.baudRate, line.dataBits, parity, line.twoStopBits);
    options.gapMicros = choice.gapMicros > 0 ? choice.gapMicros
                                             : quietGapMicros(line.baudRate, line.dataBits, parity, line.twoStopBits);
    return options;
}
