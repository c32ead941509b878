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

bool Application::takeNetworkOpenReport(int number) {
    const SerialPort& port = relay.serialPort(number);
    const NetworkRetry& retry = port.networkRetry;
    uint32_t& told = networkOpensTold_[number == 2 ? 1 : 0];
    if (port.isOpen() || retry.connectedSinceOpen || retry.connectFailures == 0 || retry.opensBegun == told) return false;
    told = retry.opensBegun;
    return true;
}
