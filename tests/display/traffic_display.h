// A channel's display fed the way its worker feeds it, into a text model of its own; shared by
// the renderer tests, the window tests and the renderer's fuzz harness.
#pragma once

#include <memory>
#include <string>

#include "display/traffic_render.h"
#include "display/traffic_text_control.h"

inline void feed(TrafficDisplay& channel, const std::string& bytes) {
    appendTraffic(channel, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
}

struct FedDisplay {
    explicit FedDisplay(int mode) {
        channel.displayMode = mode;
        channel.displayOpen = 1;
        channel.displayWindow = model;
    }
    void send(const std::string& bytes) { feed(channel, bytes); }
    std::string text() const { return control.text(); }

    TrafficDisplay channel;
    std::shared_ptr<TrafficTextControl> model = std::make_shared<TrafficTextControl>();
    TrafficTextControl& control = *model;
};
