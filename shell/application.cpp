#include "shell/application.h"

Application::Application() { connectRelaySinks(); }

Application::~Application() {
    relay.stopRelayAndClosePorts();
    relay.stopRateTimer();
}

void Application::connectRelaySinks() {
    readOrder.listen(&captures.combinedCapture);
    readOrder.listen(&timeline);
    relay.relayChannel1.readSink = &readOrder.sink(1);
    relay.relayChannel2.readSink = &readOrder.sink(2);
    relay.relayChannel1.displaySink = &trafficDisplay1;
    relay.relayChannel2.displaySink = &trafficDisplay2;
    relay.relayChannel1.logSink = &log1;
    relay.relayChannel2.logSink = &log2;
}
