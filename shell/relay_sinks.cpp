#include "shell/relay_sinks.h"

#include "capture/capture_sinks.h"
#include "display/traffic_render.h"
#include "relay/relay_channel.h"

void connectRelaySinks() {
    static CombinedCaptureSink combined1(1), combined2(2);
    static CaptureLogSink log1(relayChannel1), log2(relayChannel2);
    relayChannel1.readSink = &combined1;
    relayChannel2.readSink = &combined2;
    relayChannel1.displaySink = &trafficDisplay1;
    relayChannel2.displaySink = &trafficDisplay2;
    relayChannel1.logSink = &log1;
    relayChannel2.logSink = &log2;
}
