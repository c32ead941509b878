#include "settings/port_restart.h"

#include <sys/ioctl.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "relay/relay_channel.h"

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

// Bytes that arrived before OK are relayed before the ports close: the reopened port is
// purged, so whatever still waits in a source's input queue would be lost. A queue must stay
// empty for a short while, so that the chunk just taken is written out before the stop.
// Bounded, because a stalled destination keeps its worker from reading.
void letWorkersTakeQueuedInput() {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(1000);
    const auto settle = std::chrono::milliseconds(20);
    for (RelayChannel* channel : {&relayChannel1, &relayChannel2}) {
        if (!channel->worker.joinable() || channel->stopRequested.load() != 0) continue;
        auto emptySince = Clock::now();
        bool wasEmpty = false;
        while (Clock::now() < giveUp) {
            const int fd = channel->source.handle.load();
            int queued = 0;
            if (fd < 0 || ::ioctl(fd, FIONREAD, &queued) != 0) break;
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

void reopenPort(SerialPort& port, RelayChannel& channel, const PortChoice& choice) {
    const PortSettings previous = port.settings;
    port.settings.comIndex = chosenComIndex(choice, previous);
    const int comIndex = port.settings.comIndex;
    if (openPort(portDeviceNameAt(comIndex), portNumberOf(comIndex), port) != 0) return;
    // joinRelayWorker has ended the old worker, so the channel never has two.
    if (channel.stopRequested.load() != 0 && !channel.worker.joinable()) startRelayWorker(channel);
    port.settings = settingsFromChoice(choice, port.settings);
    configurePort(port);
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

bool sameComChoice(const PortChoice& port1, const PortChoice& port2) {
    return chosenComIndex(port1, serialPort1.settings) == chosenComIndex(port2, serialPort2.settings);
}

void restartPorts(const PortChoice& port1, const PortChoice& port2) {
    letWorkersTakeQueuedInput();
    stopRelayAndClosePorts();

    reopenPort(serialPort1, relayChannel1, port1);
    reopenPort(serialPort2, relayChannel2, port2);
}

std::string portLabelText(const SerialPort& port) {
    return port.isOpen() ? portDisplayNameAt(port.settings.comIndex) : "COM";
}

std::string displayTitleText(int channelNumber) {
    RelayChannel& channel = relayChannel(channelNumber);
    if (!channel.source.isOpen()) return "COM";
    return directionTitle(channel.source.settings.comIndex, channel.destination.settings.comIndex);
}
