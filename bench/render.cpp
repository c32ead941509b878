// Render cost per kilobyte of traffic, hex and ASCII, at shown-text sizes from empty to the
// ~10 KB the control is kept at. The figures should stay flat: a call costs what its chunk
// costs, not what the control already holds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "tests/support/pty_cable.h"

namespace {

// Times `kilobytes` of traffic in 256-byte chunks, each rendered into a control filled to about
// `shownBytes` just before (the filling is not timed).
double microsecondsPerKilobyte(int mode, int shownBytes, int kilobytes) {
    TrafficDisplay channel;
    channel.displayMode = mode;
    auto model = std::make_shared<TrafficTextControl>();
    TrafficTextControl& control = *model;
    channel.displayWindow = model;

    const std::string traffic = randomBytes(static_cast<size_t>(kilobytes) * 1024, 99);
    // The bytes that fill the control to the size under test: as text, or as whole hex lines.
    const std::string random = randomBytes(static_cast<size_t>(shownBytes), 7);
    const std::string fill = mode != 0 ? random.substr(0, static_cast<size_t>(shownBytes / 74 * 16)) : random;

    std::chrono::nanoseconds spent{0};
    for (size_t offset = 0; offset < traffic.size(); offset += 256) {
        control.setText("");
        if (!fill.empty()) {
            appendTraffic(channel, reinterpret_cast<const uint8_t*>(fill.data()), static_cast<int32_t>(fill.size()));
        }
        const auto start = std::chrono::steady_clock::now();
        appendTraffic(channel, reinterpret_cast<const uint8_t*>(traffic.data() + offset), 256);
        spent += std::chrono::steady_clock::now() - start;
    }
    return std::chrono::duration<double, std::micro>(spent).count() / kilobytes;
}

}  // namespace

int main() {
    std::printf("render cost, microseconds per KB of traffic in 256-byte chunks\n");
    std::printf("%12s %10s %10s\n", "shown bytes", "hex", "ascii");
    for (int shown : {0, 1024, 2048, 4096, 6144, 8192, 10000}) {
        // The best of five rounds: the machine is shared, and the question is the cost itself.
        double hex = 1e18;
        double ascii = 1e18;
        for (int round = 0; round < 5; ++round) {
            hex = std::min(hex, microsecondsPerKilobyte(1, shown, 256));
            ascii = std::min(ascii, microsecondsPerKilobyte(0, shown, 256));
        }
        std::printf("%12d %10.2f %10.2f\n", shown, hex, ascii);
    }
    return 0;
}
