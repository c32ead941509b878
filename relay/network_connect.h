// The connector's state and what each system gives the connect thread that both share: the
// look-up, the race over the addresses, the hand-over and the cancel are the same everywhere;
// starting and waiting for connects, the resolver's words and closing a socket are the system's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

#include "relay/network_port.h"
#include "relay/worker_wait.h"

// Held by the look-up's thread and by every connect that waits for it: getaddrinfo cannot be
// interrupted, so the thread ends when the resolver lets it, and frees the answer with the last
// holder.
struct NetworkLookup {
    std::string host, service;

    std::mutex mutex;
    std::condition_variable answered;
    // Under mutex:
    bool done = false;
    bool used = false;    // a connect took the answer: the next attempt looks the name up again
    int error = 0;        // getaddrinfo's (EAI_*), else 0
    int systemError = 0;  // the errno behind `error`, or why the look-up could not start
    std::string message;  // `error` in the resolver's words
    addrinfo* found = nullptr;
    std::chrono::steady_clock::time_point answeredAt{};

    ~NetworkLookup();
};

// Held by the connector and its thread alike: the thread may outlive the connector (it waits for
// a look-up until the deadline at most), and then finds `cancelled` set, closes what it made and
// ends.
struct NetworkConnector::Shared {
    NetworkAddress address;
    std::chrono::steady_clock::time_point deadline;
    Done done;
    std::shared_ptr<NetworkLookup> lookup;  // set before the thread starts

    mutable std::mutex mutex;
    ConnectResult result;  // under mutex
    bool cancelled = false;
    WakeHandle wake = kNoWake;  // raised by cancel(): ends the thread's wait for a connect

    std::mutex doneMutex;  // held while `done` runs, so that none runs after the destructor

    ~Shared();
};

// 0 once the system's sockets can be used (Winsock started), else the errno.
int startNetworking();
void closeNetworkSocket(NetworkSocket socket);
// A getaddrinfo failure in the resolver's own words, on one line; `systemError` gets the errno
// behind it where the system gives one. Called at once after the failing call.
std::string resolverText(int error, int& systemError);

// One address's connect under way.
struct ConnectAttempt {
    NetworkSocket socket = kNoSocket;
    intptr_t event = 0;  // where the system tells the connect's end on an event (Windows)
};
// Starts a connect to one address without waiting: 0 with `attempt` under way (`connected` set
// when it connected at once), else the errno, nothing left open.
int startConnect(const addrinfo& ai, ConnectAttempt& attempt, bool& connected);
inline constexpr int kConnectTimeUp = -1;
inline constexpr int kConnectWoken = -2;
inline constexpr int kConnectWaitFailed = -3;
// Waits until one of `attempts` ends, `wake` is raised or `until` comes. The index of the
// attempt that ended (`error` 0 when it connected, else why it failed), kConnectTimeUp,
// kConnectWoken, or kConnectWaitFailed with `error`.
int awaitConnect(const std::vector<ConnectAttempt>& attempts, WakeHandle wake,
                 std::chrono::steady_clock::time_point until, int& error);
// Ends an attempt: closes what it holds, its socket too unless `keepSocket`.
void endConnect(ConnectAttempt& attempt, bool keepSocket);
