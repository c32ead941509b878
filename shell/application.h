// The application below its windows: the relay, the two displays, the captures and the arrow
// strips, made together and wired so that each channel's worker hands its chunks to the
// combined capture, the channel's display and the channel's capture log.
#pragma once

#include "capture/capture_log.h"
#include "capture/capture_sinks.h"
#include "display/traffic_render.h"
#include "relay/channel.h"
#include "relay/relay.h"
#include "settings/config.h"
#include "shell/activity_arrows.h"

class Application {
public:
    Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;
    // The relay stops before the sinks its workers hand chunks to go.
    ~Application();

    TrafficDisplay& trafficDisplay(int channel) { return ofChannel(channel, trafficDisplay1, trafficDisplay2); }

    Relay relay;
    TrafficDisplay trafficDisplay1;
    TrafficDisplay trafficDisplay2;
    Captures captures{relay};
    ActivityArrows arrows;

private:
    // Connects both channels to their sinks. Only while no worker runs.
    void connectRelaySinks();

    CombinedCaptureSink combined1{captures.combinedCapture, 1};
    CombinedCaptureSink combined2{captures.combinedCapture, 2};
    CaptureLogSink log1{captures, relay.relayChannel1};
    CaptureLogSink log2{captures, relay.relayChannel2};
};
