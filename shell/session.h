// The application below its faces: the relay, the two displays, the captures and the arrow
// strips, made together and wired so that each channel's worker hands its chunks to the read
// order (the combined capture and the timeline), the channel's display and the channel's capture
// log; and the steps both faces run on their own thread: start-up, the reconnect step, the
// reports owed to the user and the ports' status. The window and the headless run each hold one
// and only show what it reports, in boxes and labels or in lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "capture/capture_log.h"
#include "capture/capture_sinks.h"
#include "display/timeline_records.h"
#include "display/traffic_render.h"
#include "relay/channel.h"
#include "relay/read_order.h"
#include "relay/relay.h"
#include "settings/config.h"
#include "shell/activity_arrows.h"
#include "shell/headless_report.h"

class Session {
public:
    // How a face tells the user what the session reports; any may be left empty.
    struct Reports {
        // A COM key of the settings file out of range; its port took the default.
        std::function<void(const std::string& path, const ComOutOfRange& outOfRange)> comOutOfRange;
        // What opening port 1 or 2 returned (also when it opened), with the port's number as the
        // user chose it and what the open found. `retried`: the port comes back by itself (its
        // device is away or barred, or a network port that will connect again).
        std::function<void(int port, int result, int64_t portNumber, const PortOpenFailure& failure, bool retried)>
            portOpen;
        // A port's worker could not start.
        std::function<void(int port)> workerNotStarted;
        // A port stopped being present (`present` false) or is back after `awaySeconds`.
        std::function<void(int port, bool present, int64_t awaySeconds)> portPresence;
    };

    Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // The relay stops before the sinks its workers hand chunks to go.
    ~Session();

    TrafficDisplay& trafficDisplay(int channel) { return ofChannel(channel, trafficDisplay1, trafficDisplay2); }

    // The settings file (--ini or ./Vorlinex.ini) into the relay; each COM value out of range
    // is reported.
    void loadSettings();
    // Port 1, then port 2: open (a network port connects in the background), report, configure
    // and start its worker. false when the shutdown began meanwhile (a report's box runs a loop
    // in which it may): the second port is then not opened.
    bool startPorts();
    // The reconnect step, every 250 ms on the owner's thread: closes the ports a worker found
    // gone, reopens away ones, steps network connects and restarts the workers; a port that went
    // away or came back is reported. true when a port was closed or reopened.
    bool step(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
    // A network port whose first connect since it was opened failed is reported once, as a
    // port that did not open; its retries are the status's. Called after the face has shown
    // the step's outcome; nothing once the shutdown began.
    void reportOwedOpens();
    // Whether every network port has had its first connect answered (start-up is not done
    // until it has been tried).
    bool portsTried() const;
    // Once a second: the rates of the status.
    void sampleRates();
    // The ports and the directions as they stand now (the captures are the face's).
    HeadlessStatus status() const;
    // The shutdown's part of the relay: opens refused from now on, the workers stopped, the
    // ports closed, the tick stopped. The captures are the face's to close.
    void stopRelay();

    // "COM1"
    std::string portName(int port) const;
    // The device path port 1 or 2 uses ("" for a COM index out of range).
    std::string portPath(int port) const;
    bool portPresent(int port) const;

    Reports reports;
    Relay relay;
    TrafficDisplay trafficDisplay1;
    TrafficDisplay trafficDisplay2;
    Captures captures{relay};
    ActivityArrows arrows;
    // The timeline window's records; they are taken only while the window is open.
    TimelineRecords timeline;
    // Both directions in read order, for the combined capture and the timeline.
    ReadOrder readOrder;

private:
    struct PortWatch {
        bool present = true;
        std::chrono::steady_clock::time_point since{};  // when it stopped being present
        // A network port's first connect since it was opened is still out: its failure is owed
        // to the user as a report, once.
        bool openReportOwed = false;
        bool openReportDue = false;
    };

    // Connects both channels to their sinks. Only while no worker runs.
    void connectRelaySinks();
    // Reports a port that went away or came back; true when it did.
    bool watchPort(int port, std::chrono::steady_clock::time_point now);
    // A network port whose first connect is out is owed its report.
    void noteOwedOpen(int port);

    CaptureLogSink log1{captures, relay.relayChannel1};
    CaptureLogSink log2{captures, relay.relayChannel2};
    std::chrono::steady_clock::time_point startedAt_ = std::chrono::steady_clock::now();
    PortWatch watches_[2];
    int64_t lastTotals_[2] = {0, 0};
    int64_t rates_[2] = {0, 0};
};
