// A channel's display fed the way its worker feeds it, and the dump the hex form must show.
#pragma once

#include "display/traffic_render.h"
#include "display/traffic_text_control.h"

// The channel's window open in `mode` (0 text, 1 hex) on a new text, which the channel keeps alive.
inline std::shared_ptr<TrafficTextControl> openDisplay(TrafficDisplay& channel, int mode) {
    channel.displayMode = mode;
    channel.displayOpen = 1;
    channel.displayWindow = std::make_shared<TrafficTextControl>();
    return channel.displayWindow.load();
}

inline void feed(TrafficDisplay& channel, const std::string& bytes) {
    appendTraffic(channel, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
}

// Lines of 16 bytes: hex with a gap after the 8th, from position 54 the printable bytes (others
// 0x14); every line closed by " \r\n" but the last, which stays open.
inline std::string hexDump(const std::string& bytes) {
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += 16) {
        std::string line(74, ' ');
        for (size_t i = 0, slot = 0; i < 16 && at + i < bytes.size(); slot = ++i < 8 ? i : i + 1) {
            const auto b = static_cast<unsigned char>(bytes[at + i]);
            line[3 * slot] = "0123456789ABCDEF"[b >> 4];
            line[3 * slot + 1] = "0123456789ABCDEF"[b & 15];
            line[54 + slot] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '\x14';
        }
        text += at + 16 < bytes.size() ? line.replace(72, 2, "\r\n") : line;
    }
    return text;
}
