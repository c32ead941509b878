#include "settings/port_restart.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "relay/port_reconnect.h"
#include "relay/relay.h"

namespace {

template <size_t N>
int positionOfNumber(const std::array<const char*, N>& table, long value) {
    for (size_t i = 0; i < N; ++i) {
        if (std::strtol(table[i], nullptr, 10) == value) return static_cast<int>(i);
    }
    return -1;
}

template <size_t N>
int positionOfIndex(const std::array<const char*, N>&, long index) {
    return index >= 0 && index < static_cast<long>(N) ? static_cast<int>(index) : -1;
}

template <size_t N>
bool hasEntry(const std::array<const char*, N>&, int position) {
    return position >= 0 && position < static_cast<int>(N);
}

template <size_t N>
long numberAt(const std::array<const char*, N>& table, int position) {
    return std::strtol(table[position], nullptr, 10);
}

// A source that is about to close gets its queued input relayed first: what its driver still
// holds would go with the close. A queue must stay empty for a short while, so that the chunk
// just taken is read whole before the stop. Bounded, because a stalled destination keeps its
// worker from reading.
void letWorkersTakeQueuedInput(Relay& relay, const bool closing[2]) {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(1000);
    const auto settle = std::chrono::milliseconds(20);
    RelayChannel* channels[2] = {&relay.relayChannel1, &relay.relayChannel2};
    for (int i = 0; i < 2; ++i) {
        RelayChannel* channel = channels[i];
        if (!closing[i] || !channel->worker.joinable() || channel->stopRequested.load() != 0) continue;
        auto emptySince = Clock::now();
        bool wasEmpty = false;
        while (Clock::now() < giveUp) {
            const int queued = channel->source.isOpen() ? channel->source.device->inputQueued() : -1;
            if (queued < 0) break;
            if (queued > 0) {
                wasEmpty = false;
            } else if (!wasEmpty) {
                wasEmpty = true;
                emptySince = Clock::now();
            } else if (Clock::now() - emptySince >= settle) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

// An open port whose chosen COM name leads to the device it holds stays open.
bool keepsItsDevice(const std::array<std::string, 6>& comDevicePaths, const SerialPort& port, int comIndex) {
    if (!port.isOpen() || comIndex < 0 || comIndex >= 6) return false;
    return port.device->holdsDevice(comDevicePaths[comIndex]);
}

}  // namespace

PortChoice choiceFromSettings(const PortSettings& s) {
    PortChoice c;
    c.com = positionOfIndex(portDeviceNames, s.comIndex);
    c.bps = positionOfNumber(baudRateChoices, s.baudRate);
    c.bits = positionOfNumber(dataBitsChoices, s.dataBits);
    c.pari = positionOfIndex(parityChoices, s.parity);
    c.stop = positionOfIndex(stopBitsChoices, s.stopBits);
    c.flow = positionOfIndex(flowControlChoices, s.flowControl);
    return c;
}

int chosenComIndex(const PortChoice& choice, const PortSettings& previous) {
    return hasEntry(portDeviceNames, choice.com) ? choice.com : previous.comIndex;
}

PortSettings settingsFromChoice(const PortChoice& c, const PortSettings& previous) {
    PortSettings s = previous;
    if (hasEntry(baudRateChoices, c.bps)) s.baudRate = static_cast<int32_t>(numberAt(baudRateChoices, c.bps));
    if (hasEntry(dataBitsChoices, c.bits)) s.dataBits = static_cast<uint8_t>(numberAt(dataBitsChoices, c.bits));
    if (hasEntry(parityChoices, c.pari)) s.parity = static_cast<uint8_t>(c.pari);
    if (hasEntry(stopBitsChoices, c.stop)) s.stopBits = static_cast<uint8_t>(c.stop);
    if (hasEntry(flowControlChoices, c.flow)) s.flowControl = c.flow;
    return s;
}

bool sameComChoice(const PortSettings& now1, const PortSettings& now2, const PortChoice& port1, const PortChoice& port2) {
    return chosenComIndex(port1, now1) == chosenComIndex(port2, now2);
}

// A port that keeps its device is set up again in place, never closed: closing a tty, like
// purging it, throws away what its driver still holds to send and what arrived for reading.
// Nothing is purged either way. Workers start only after both ports are settled, so that the
// rest of a chunk a stopped worker kept finds its destination open.
void restartPorts(Relay& relay, const PortChoice& port1, const PortChoice& port2, const PortOpenReport& reportOpen) {
    // The ports are this function's until it returns, boxes included: a device that comes or
    // goes meanwhile is seen by the next reconnect step.
    const ReconnectHold hold(relay);
    SerialPort* ports[2] = {&relay.serialPort1, &relay.serialPort2};
    RelayChannel* channels[2] = {&relay.relayChannel1, &relay.relayChannel2};
    const PortChoice* choices[2] = {&port1, &port2};
    int comIndex[2];
    bool keep[2], closing[2];
    for (int i = 0; i < 2; ++i) {
        comIndex[i] = chosenComIndex(*choices[i], ports[i]->settings);
        keep[i] = keepsItsDevice(relay.comDevicePaths, *ports[i], comIndex[i]);
        closing[i] = ports[i]->isOpen() && !keep[i];
    }
    letWorkersTakeQueuedInput(relay, closing);
    relay.stopRelayWorkers();
    // Both first, so that two ports may trade devices.
    for (int i = 0; i < 2; ++i) {
        if (closing[i]) closePort(*ports[i]);
    }

    for (int i = 0; i < 2; ++i) {
        SerialPort& port = *ports[i];
        port.settings.comIndex = comIndex[i];
        if (!keep[i]) {
            const int opened = relay.openPort(portDeviceNameAt(comIndex[i]), port);
            if (reportOpen) reportOpen(opened, portNumberOf(comIndex[i]), port.openFailure);
            // A connect under way sends the settings it finds here once it is through.
            if (opened == PortOpenPending) port.settings = settingsFromChoice(*choices[i], port.settings);
            if (opened != PortOpened) continue;
        }
        port.settings = settingsFromChoice(*choices[i], port.settings);
        reconfigurePort(port);
    }
    // A box above may have run the shutdown in its loop: then nothing starts (startRelayWorker).
    for (RelayChannel* channel : channels) {
        if (channel->source.isOpen()) startRelayWorker(*channel);
    }
}

void restartPortsOnDevices(Relay& relay, const std::array<std::string, 6>& paths, const PortOpenReport& reportOpen) {
    relay.comDevicePaths = paths;
    restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), choiceFromSettings(relay.serialPort2.settings), reportOpen);
}

std::string portLabelText(const SerialPort& port) {
    return port.isOpen() ? portDisplayNameAt(port.settings.comIndex) : "COM";
}

std::string displayTitleText(Relay& relay, int channelNumber) {
    RelayChannel& channel = relay.relayChannel(channelNumber);
    if (!channel.source.isOpen()) return "COM";
    return directionTitle(channel.source.settings.comIndex, channel.destination.settings.comIndex);
}
