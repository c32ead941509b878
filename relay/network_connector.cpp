// Resolving and connecting a network port on threads of its own, the same on every system.
#include "relay/network_connect.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

NetworkLookup::~NetworkLookup() {
    if (found != nullptr) freeaddrinfo(found);
}

NetworkConnector::Shared::~Shared() {
    if (result.fd != kNoSocket) closeNetworkSocket(result.fd);
    closeWake(wake);
}

namespace {

using Shared = NetworkConnector::Shared;
using Clock = std::chrono::steady_clock;

// A name with many addresses keeps at most this many connects going at once.
constexpr size_t kMaxAttempts = 16;
// A late answer serves the next attempt only while it is this fresh (a retry comes within
// seconds; a port closed and opened again later asks again).
constexpr std::chrono::seconds kLateAnswerKept{10};

// Whether an earlier attempt's look-up can serve an attempt at `host` and `service` now.
bool takesOver(const std::shared_ptr<NetworkLookup>& lookup, const std::string& host, const std::string& service) {
    if (lookup == nullptr || lookup->host != host || lookup->service != service) return false;
    std::lock_guard lock(lookup->mutex);
    return !lookup->done || (!lookup->used && Clock::now() - lookup->answeredAt < kLateAnswerKept);
}

bool cancelledNow(const Shared& shared) {
    std::lock_guard lock(shared.mutex);
    return shared.cancelled || shared.result.state != ConnectResult::State::Pending;
}

void finish(Shared& shared, ConnectResult result) {
    {
        std::lock_guard lock(shared.mutex);
        if (shared.cancelled || shared.result.state != ConnectResult::State::Pending) {
            if (result.fd != kNoSocket) closeNetworkSocket(result.fd);
            return;
        }
        shared.result = std::move(result);
    }
    std::lock_guard doneLock(shared.doneMutex);
    bool cancelled;
    {
        std::lock_guard lock(shared.mutex);
        cancelled = shared.cancelled;
    }
    if (!cancelled && shared.done) shared.done();
}

void lookUp(std::shared_ptr<NetworkLookup> lookup) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // No AI_ADDRCONFIG: on a machine whose only network is loopback it hides 127.0.0.1 and
    // localhost, where a serial server on the same machine listens. An address of a family
    // this machine cannot reach fails at once and the next is tried.
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    // May take as long as the name servers like: nothing here can cut it short.
    const int error = ::getaddrinfo(lookup->host.c_str(), lookup->service.c_str(), &hints, &found);
    int systemError = 0;
    std::string message;
    if (error != 0) message = resolverText(error, systemError);
    {
        std::lock_guard lock(lookup->mutex);
        lookup->error = error;
        lookup->systemError = systemError;
        lookup->message = std::move(message);
        lookup->found = error == 0 ? found : nullptr;
        lookup->answeredAt = Clock::now();
        lookup->done = true;
    }
    lookup->answered.notify_all();
}

// The addresses in the order they are tried: the families take turns, beginning with the
// family of the resolver's first choice, each keeping the resolver's order.
std::vector<const addrinfo*> interleaved(const addrinfo* found) {
    std::vector<const addrinfo*> first, other;
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next)
        (ai->ai_family == found->ai_family ? first : other).push_back(ai);
    std::vector<const addrinfo*> order;
    for (size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
        if (i < first.size()) order.push_back(first[i]);
        if (i < other.size()) order.push_back(other[i]);
    }
    return order;
}

// Races connects to `addresses` until one connects; the connected socket, or kNoSocket with
// `error` set (ETIMEDOUT at the deadline, ECANCELED, else the last address's failure).
NetworkSocket connectFirst(const Shared& shared, const std::vector<const addrinfo*>& addresses,
                           int& error) {
    std::vector<ConnectAttempt> attempts;
    NetworkSocket winner = kNoSocket;
    size_t next = 0;
    Clock::time_point nextStart = Clock::now();
    int lastError = ETIMEDOUT;
    for (;;) {
        if (cancelledNow(shared)) {
            error = ECANCELED;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= shared.deadline) {
            error = ETIMEDOUT;
            break;
        }
        const bool more = next < addresses.size() && attempts.size() < kMaxAttempts;
        if (more && (attempts.empty() || now >= nextStart)) {
            ConnectAttempt attempt;
            bool connected = false;
            const int failed = startConnect(*addresses[next++], attempt, connected);
            if (failed != 0) {
                lastError = failed;  // no use waiting for it: the next one at once
                nextStart = now;
                continue;
            }
            if (connected) {
                winner = attempt.socket;
                endConnect(attempt, true);
                break;
            }
            attempts.push_back(attempt);
            nextStart = now + NetworkConnector::kAttemptDelay;
            continue;
        }
        if (attempts.empty()) {
            error = lastError;  // every address failed
            break;
        }
        int ended = 0;
        const int which =
            awaitConnect(attempts, shared.wake, more ? std::min(shared.deadline, nextStart) : shared.deadline, ended);
        if (which >= 0) {
            ConnectAttempt attempt = attempts[static_cast<size_t>(which)];
            attempts.erase(attempts.begin() + which);
            if (ended == 0) {
                winner = attempt.socket;
                endConnect(attempt, true);
                break;
            }
            endConnect(attempt, false);
            lastError = ended;
            nextStart = Clock::now();
        } else if (which == kConnectWoken) {
            error = ECANCELED;
            break;
        } else if (which == kConnectWaitFailed) {
            error = ended;
            break;
        }
    }
    for (ConnectAttempt& attempt : attempts) endConnect(attempt, false);
    return winner;
}

void connectThread(std::shared_ptr<Shared> shared) {
    ConnectResult result;
    result.state = ConnectResult::State::Failed;

    // Waits for the look-up, which may have begun in an earlier attempt, until the deadline or
    // the cancel; the look-up itself goes on, for the next attempt to take.
    NetworkLookup& lookup = *shared->lookup;
    {
        std::unique_lock lock(lookup.mutex);
        const bool answered = lookup.answered.wait_until(
            lock, shared->deadline, [&] { return lookup.done || cancelledNow(*shared); });
        if (!answered || !lookup.done) {
            lock.unlock();
            result.failure = ConnectResult::Failure::TimedOut;  // dropped when cancelled
            result.systemError = ETIMEDOUT;
            finish(*shared, std::move(result));
            return;
        }
        lookup.used = true;
    }
    // The answer does not change once it came, and the look-up is held here: read unlocked.
    if (lookup.error != 0 || lookup.found == nullptr) {
        if (lookup.error != 0) {
            result.failure = ConnectResult::Failure::Resolve;
            result.resolverError = lookup.error;
            result.resolverMessage = lookup.message;
        } else {
            result.failure = ConnectResult::Failure::Connect;  // the look-up could not start
        }
        result.systemError = lookup.systemError;
        finish(*shared, std::move(result));
        return;
    }

    int error = ETIMEDOUT;
    const NetworkSocket socket = connectFirst(*shared, interleaved(lookup.found), error);
    if (socket != kNoSocket) {
        tuneConnectedSocket(socket);  // best effort: a socket without them still carries data
        result.state = ConnectResult::State::Connected;
        result.fd = socket;
    } else {
        result.failure = error == ETIMEDOUT ? ConnectResult::Failure::TimedOut
                                            : ConnectResult::Failure::Connect;
        result.systemError = error;
    }
    finish(*shared, std::move(result));
}

}  // namespace

NetworkConnector::NetworkConnector(NetworkAddress address, std::chrono::milliseconds timeout,
                                   Done done, std::shared_ptr<NetworkLookup> lookup)
    : shared_(std::make_shared<Shared>()) {
    shared_->address = std::move(address);
    shared_->deadline = Clock::now() + timeout;
    shared_->done = std::move(done);
    const std::string service = std::to_string(shared_->address.port);
    const bool reused = takesOver(lookup, shared_->address.host, service);
    if (reused) {
        shared_->lookup = std::move(lookup);
    } else {
        shared_->lookup = std::make_shared<NetworkLookup>();
        shared_->lookup->host = shared_->address.host;
        shared_->lookup->service = service;
    }
    int error = startNetworking();
    if (error == 0) error = makeWake(shared_->wake);
    if (error == 0 && !reused) {
        try {
            std::thread(lookUp, shared_->lookup).detach();
        } catch (const std::system_error& e) {
            error = e.code().value();
        }
    }
    if (error == 0) {
        try {
            std::thread(connectThread, shared_).detach();
        } catch (const std::system_error& e) {
            error = e.code().value();
        }
    }
    if (error != 0) {
        shared_->result.state = ConnectResult::State::Failed;
        shared_->result.failure = ConnectResult::Failure::Connect;
        shared_->result.systemError = error;
    }
}

NetworkConnector::~NetworkConnector() {
    cancel();
    // A callback already running finishes before the connector goes; none starts afterwards.
    std::lock_guard doneLock(shared_->doneMutex);
}

void NetworkConnector::cancel() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->cancelled = true;
        if (shared_->result.state == ConnectResult::State::Pending)
            shared_->result.state = ConnectResult::State::Cancelled;
        raiseWake(shared_->wake);
    }
    // A thread waiting for the look-up checks `cancelled` under the look-up's lock: taking it
    // here means the news reaches it before or during its wait, never between.
    std::lock_guard lock(shared_->lookup->mutex);
    shared_->lookup->answered.notify_all();
}

ConnectResult NetworkConnector::result() const {
    std::lock_guard lock(shared_->mutex);
    ConnectResult& result = shared_->result;
    if (result.state == ConnectResult::State::Pending && Clock::now() >= shared_->deadline) {
        // Past the time-out with the thread still busy (a look-up that has not returned): the
        // attempt is over for the caller; the thread gives up by the deadline.
        result.state = ConnectResult::State::Failed;
        result.failure = ConnectResult::Failure::TimedOut;
        result.systemError = ETIMEDOUT;
        shared_->cancelled = true;
        raiseWake(shared_->wake);
    }
    return result;
}

NetworkSocket NetworkConnector::take() {
    std::lock_guard lock(shared_->mutex);
    if (shared_->result.state != ConnectResult::State::Connected) return kNoSocket;
    const NetworkSocket fd = shared_->result.fd;
    shared_->result.fd = kNoSocket;
    return fd;
}

std::shared_ptr<NetworkLookup> NetworkConnector::unfinishedLookup() const {
    std::lock_guard lock(shared_->lookup->mutex);
    if (shared_->lookup->done && shared_->lookup->used) return nullptr;
    return shared_->lookup;
}
