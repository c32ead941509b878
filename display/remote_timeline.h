// A relay on another machine, watched live: its PCAP-over-IP stream (tcp://HOST:PORT, as a
// headless relay's --pcap-listen serves it) read on a thread of its own into a live record list,
// which the timeline window shows as it shows the local relay's. A connection that fails or ends
// is tried again after a back-off, as a network port is; a stream that is not of serial records
// ends the watching with its reason. The UI thread only looks at the list and the status.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "display/timeline_records.h"
#include "record/pcap_reader.h"
#include "relay/network_port.h"
#include "relay/worker_wait.h"

class RemoteTimeline {
public:
    struct Status {
        enum class State {
            Connecting,  // resolving and connecting
            Watching,    // connected: records come as the far relay reads them
            Waiting,     // the last try failed or the connection ended: tried again at `retryAt`
            Ended,       // the stream is not one to show (`stop`): no further try
        };
        // Why the last connection or try ended.
        enum class Why {
            None,
            Resolve,   // the name did not resolve: `message`
            Connect,   // refused or failed: `systemError`
            TimedOut,  // nobody answered
            Closed,    // the far end closed the connection
            Failed,    // a read failed: `systemError`
            Stream,    // the stream did not read as pcap of serial records: `stop`, `stopAt`, `linkType`
        };
        State state = State::Connecting;
        Why why = Why::None;
        int systemError = 0;
        std::string message;
        PcapStop stop = PcapStop::None;
        uint64_t stopAt = 0;
        uint32_t linkType = 0;
        std::chrono::steady_clock::time_point retryAt{};
        uint64_t connections = 0;  // made so far
        uint64_t records = 0;      // taken so far, over every connection
    };

    // Starts watching at once; the list is taken from now on.
    explicit RemoteTimeline(const NetworkAddress& address,
                            uint64_t maxRecords = TimelineRecords::kMaxRecords,
                            uint64_t maxBytes = TimelineRecords::kMaxBytes);
    // Stops the thread; a name's look-up still running is left to end by itself.
    ~RemoteTimeline();
    RemoteTimeline(const RemoteTimeline&) = delete;
    RemoteTimeline& operator=(const RemoteTimeline&) = delete;

    TimelineRecords& records() { return records_; }
    Status status() const;
    // The far relay's wall clock now, as its last record set it against ours (µs since the
    // epoch): its requests time out by its own clock, however far ours is from it.
    int64_t nowWallMicros() const;

private:
    void run();
    // Reads one connection until it ends or the watching stops; true when it ends the watching.
    bool watch(NetworkPort& port);
    bool stopping() const { return stop_.load(std::memory_order_acquire); }
    void setState(Status::State state);
    // What ended a try or a connection (with the stream's reader when it was the stream), and
    // whether it ends the watching; the next try's wait is set by the loop.
    void tell(Status::Why why, int systemError = 0, std::string message = {}, const PcapReader* reader = nullptr,
              bool ends = false);

    const NetworkAddress address_;
    TimelineRecords records_;
    WakeHandle wake_ = kNoWake;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    Status status_;                  // under lock_
    int64_t farWallMicros_ = 0;      // the last record's time, and when it came by our steady clock
    std::chrono::steady_clock::time_point farAt_{};
    bool farKnown_ = false;
    std::thread thread_;
};
