// One direction of the relay: the state its worker shares with the windows and the rate meter.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/channel_context.h"
#include "relay/chunk_sink.h"
#include "relay/serial_port.h"
#include "relay/worker_wait.h"

struct RelayChannel {
    RelayChannel(const ChannelContext& runsBy, int channelNumber, SerialPort& from, SerialPort& to, int limit)
        : context(runsBy), number(channelNumber), source(from), destination(to), readLimit(limit) {}
    // The worker has been joined by then (the relay's end); the wake descriptor goes with it.
    ~RelayChannel();
    RelayChannel(const RelayChannel&) = delete;
    RelayChannel& operator=(const RelayChannel&) = delete;

    const ChannelContext context;  // the options, the shutdown's refusal and the mouse state
    const int number;  // 1 or 2
    std::thread worker;
    std::atomic<int32_t> stopRequested{1};
    SerialPort& source;
    SerialPort& destination;
    const int readLimit;  // 256 on channel 1, 1024 on channel 2

    std::atomic<int32_t> rateByteCount{0};   // add; read-and-reset as one exchange
    // Every byte read from the source since the channel was made, never reset: the headless
    // status's totals and rates. Relaxed: a figure, ordering nothing.
    std::atomic<int64_t> readByteCount{0};
    // Bytes read that the destination could not take because it was gone or not open (they
    // were shown and logged all the same). Cleared when the destination comes back.
    std::atomic<int64_t> undeliveredBytes{0};
    std::atomic<int32_t> stampCountdown{0};  // seconds of quiet left before the next stamp

    // 1 while the left button is held in the channel's display text: the worker pauses.
    std::atomic<int32_t> displayMouseHeld{0};

    // Who the worker hands chunks to, in this order: readSink right after the read returns,
    // then displaySink and logSink with the stamp due. Set by the shell only while no worker runs.
    ChunkSink* readSink = nullptr;
    ChunkSink* displaySink = nullptr;
    ChunkSink* logSink = nullptr;

    // What a stopped worker could not write of its last chunk: shown, logged and counted
    // already, so the next worker of the channel only writes it, before anything it reads.
    // Touched by the worker alone; the join and the next start hand it over.
    std::vector<uint8_t> unsentRest;

    // Wakes the worker out of its waits when it is asked to stop (kNoWake until made).
    WakeHandle wake = kNoWake;
    // Why the last start made no worker (the wake descriptor or the thread could not be made):
    // an errno, 0 when it started. The starter's thread alone writes it.
    int startError = 0;

    // Called by the worker when it adds bytes to a rateByteCount of 0: the channel carries
    // traffic again after a rate update. Lets the activity arrows rest while nothing moves.
    // Set only while no worker runs; must not wait for the UI thread.
    std::function<void()> trafficResumed;
    // Called by the worker when it finds a port's device gone, so that its owner closes and
    // watches it without looking all the time. Same rules as trafficResumed.
    std::function<void()> portLost;

    // For tests: sees every chunk as read, with the stamp due for it (null when none), before it
    // is shown, logged or relayed. Set only while no worker runs.
    std::function<void(const uint8_t* chunk, int32_t length, const ChunkStamp* stamp)> chunkObserver;
};

// The worker's thread body.
void relayWorker(RelayChannel& channel);
// stopRequested = 0 and a new worker thread; nothing once port opens are refused (shutdown).
// 0, else the errno that kept the worker from starting (also in startError): without its wake
// descriptor a worker could never be stopped, so none runs.
int startRelayWorker(RelayChannel& channel);
// Asks the worker to stop and wakes it; returns at once.
void requestWorkerStop(RelayChannel& channel);
// Waits until the worker has ended (no-op without one). Never waits on the UI thread's work.
void joinRelayWorker(RelayChannel& channel);
