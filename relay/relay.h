// The relay as one owner: both ports, both directions, the meter, and what they run by (the
// options, the device each COM name opens, the shutdown's refusal, the mouse). Whoever makes it
// (the application, a test, a benchmark) has a whole relay of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "relay/app_options.h"
#include "relay/channel.h"
#include "relay/channel_context.h"
#include "relay/rate_meter.h"
#include "relay/relay_channel.h"
#include "relay/serial_port.h"

struct Relay {
    Relay() = default;
    // Stops the workers and the tick thread, then closes both ports.
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    AppOptions appOptions;
    // The device path each of "com1".."com6" opens; read by openPort.
    std::array<std::string, 6> comDevicePaths = defaultComDevicePaths();
    // Restarts in progress: while one runs, reconnectPorts leaves the ports alone.
    std::atomic<int> reconnectHolds{0};
    // Whether the left mouse button is down anywhere in the program; kept by the UI thread.
    std::atomic<int32_t> leftMouseButtonDown{0};

private:
    // Declared before the channels, which are handed it.
    std::atomic<bool> opensRefused{false};

public:
    SerialPort serialPort1;
    SerialPort serialPort2;
    // What both channels run by of the relay's: the options, the mouse, the refusal of opens.
    const ChannelContext channelContext{appOptions, leftMouseButtonDown, opensRefused};
    RelayChannel relayChannel1{channelContext, 1, serialPort1, serialPort2, 256};   // Port1 -> Port2
    RelayChannel relayChannel2{channelContext, 2, serialPort2, serialPort1, 1024};  // Port2 -> Port1
    RateMeter rateMeter;

    RelayChannel& relayChannel(int number) { return ofChannel(number, relayChannel1, relayChannel2); }
    SerialPort& serialPort(int number) { return ofChannel(number, serialPort1, serialPort2); }

    // Opens deviceName ("com1".."com6") exclusively for non-blocking reading and writing. On
    // PortOpened the handle is set; otherwise it is left as it was, the system's reason, when
    // there is one, is in *systemError (errno; 0 when none) and what was found is in
    // port.openFailure. Refused without opening: a device that the other port holds, and the
    // controlling terminal of a session. A closed port whose device is missing becomes away, so
    // that it opens by itself once the device appears (reconnectPorts); one whose device is there
    // but refused becomes barred (tried again now and then); a /dev/pts path that is missing, or a
    // device the other port holds, halts it; any other result leaves it present.
    int openPort(const char* deviceName, SerialPort& port, int* systemError = nullptr);

    // Shutdown's word on the ports: from then on openPort refuses and no worker starts.
    // A box or dialog can run the shutdown inside its own loop, in the middle of a restart that
    // goes on once the loop returns.
    void refusePortOpens();
    bool portOpensRefused() const;

    // Stops both workers and waits until both have ended; the ports stay open.
    void stopRelayWorkers();
    // Stops both workers, waits until both have ended, and only then closes both ports: each
    // port is read by one worker and written by the other, and a closed descriptor number is
    // reused by the next open at once.
    void stopRelayAndClosePorts();

    // 1 when the tick thread started, else 0.
    int startRateTimer();
    // One tick; ignored unless userValue is the running timer's token.
    void onRateTimer(int32_t userValue);
    // Clears both rateByteCount, stops and joins the tick thread.
    void stopRateTimer();

private:
    void updateRates(int32_t rate);
    void tickThreadBody(int32_t token);
};
