// The connector's state and what each system gives the connect thread that both share: the
// resolve, the walk over the addresses, the hand-over and the cancel are the same everywhere;
// one address's connect, the resolver's words and closing a socket are the system's.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

#include "relay/network_port.h"
#include "relay/worker_wait.h"

// Held by the connector and its thread alike: the thread may outlive the connector (a resolver
// that hangs cannot be interrupted, so the connector lets its thread go rather than wait), and
// then finds `cancelled` set when it returns, closes what it made and ends.
struct NetworkConnector::Shared {
    NetworkAddress address;
    std::chrono::steady_clock::time_point deadline;
    Done done;

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
// One address: a connect without blocking, waited for until the deadline or the cancel. The
// connected (non-blocking) socket, or kNoSocket with `error` set (ETIMEDOUT at the deadline,
// ECANCELED).
NetworkSocket connectOne(const NetworkConnector::Shared& shared, const addrinfo& ai, int& error);
// A getaddrinfo failure in the resolver's own words, on one line; `systemError` gets the errno
// behind it where the system gives one.
std::string resolverText(int error, int& systemError);
