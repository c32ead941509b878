#include "shell/application.h"

Application::Application() { connectRelaySinks(); }

Application::~Application() {
    relay.stopRelayAndClosePorts();
    relay.stopRateTimer();
}

void Application::connectRelaySinks() {
    relay.relayChannel1.readSink = &combined1;
    relay.relayChannel2.readSink = &combined2;
    relay.relayChannel1.displaySink = &trafficDisplay1;
    relay.relayChannel2.displaySink = &trafficDisplay2;
    relay.relayChannel1.logSink = &log1;
    relay.relayChannel2.logSink = &log2;
}
