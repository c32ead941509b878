// The application below its windows: the relay, the two displays, the captures and the arrow
// strips, made together and wired so that each channel's worker hands its chunks to the
// read order (the combined capture and the timeline), the channel's display and the channel's
// capture log.
#pragma once

#include "capture/capture_log.h"
#include "capture/capture_sinks.h"
#include "display/timeline_records.h"
#include "display/traffic_render.h"
#include "relay/channel.h"
#include "relay/read_order.h"
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
    // The timeline window's records; they are taken only while the window is open.
    TimelineRecords timeline;
    // Both directions in read order, for the combined capture and the timeline.
    ReadOrder readOrder;

    // A network port the user opened that could not connect is told once, like a device that
    // would not open; its retries are the status bar's. Whether port `number`'s is due now (it
    // is then taken).
    bool takeNetworkOpenReport(int number);

private:
    // Connects both channels to their sinks. Only while no worker runs.
    void connectRelaySinks();

    uint32_t networkOpensTold_[2] = {0, 0};  // the last open of each port whose failure was told

    CaptureLogSink log1{captures, relay.relayChannel1};
    CaptureLogSink log2{captures, relay.relayChannel2};
};
