// Resolving and connecting a network port on a thread of its own, the same on every system.
#include "relay/network_connect.h"

#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

NetworkConnector::Shared::~Shared() {
    if (result.fd != kNoSocket) closeNetworkSocket(result.fd);
    closeWake(wake);
}

namespace {

using Shared = NetworkConnector::Shared;

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

void connectThread(std::shared_ptr<Shared> shared) {
    ConnectResult result;
    result.state = ConnectResult::State::Failed;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // No AI_ADDRCONFIG: on a machine whose only network is loopback it hides 127.0.0.1 and
    // localhost, where a serial server on the same machine listens. An address of a family
    // this machine cannot reach fails at once and the next is tried.
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(shared->address.port);
    // May take as long as the name servers like: nothing here can cut it short. The connector
    // has stopped waiting for it by then (its result() reports the time-out), and this thread
    // holds its own share of the state, so it finds the attempt cancelled and just ends.
    const int resolved = ::getaddrinfo(shared->address.host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        result.failure = ConnectResult::Failure::Resolve;
        result.resolverError = resolved;
        result.resolverMessage = resolverText(resolved, result.systemError);
        finish(*shared, std::move(result));
        return;
    }

    int error = ETIMEDOUT;
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        if (cancelledNow(*shared)) {
            error = ECANCELED;
            break;
        }
        const NetworkSocket socket = connectOne(*shared, *ai, error);
        if (socket != kNoSocket) {
            tuneConnectedSocket(socket);  // best effort: a socket without them still carries data
            result.state = ConnectResult::State::Connected;
            result.fd = socket;
            break;
        }
        if (error == ETIMEDOUT || error == ECANCELED) break;  // the time is used up
    }
    freeaddrinfo(found);
    if (result.state != ConnectResult::State::Connected) {
        result.failure = error == ETIMEDOUT ? ConnectResult::Failure::TimedOut
                                            : ConnectResult::Failure::Connect;
        result.systemError = error;
    }
    finish(*shared, std::move(result));
}

}  // namespace

NetworkConnector::NetworkConnector(NetworkAddress address, std::chrono::milliseconds timeout,
                                   Done done)
    : shared_(std::make_shared<Shared>()) {
    shared_->address = std::move(address);
    shared_->deadline = std::chrono::steady_clock::now() + timeout;
    shared_->done = std::move(done);
    int error = startNetworking();
    if (error == 0) error = makeWake(shared_->wake);
    if (error != 0) {
        shared_->result.state = ConnectResult::State::Failed;
        shared_->result.failure = ConnectResult::Failure::Connect;
        shared_->result.systemError = error;
        return;
    }
    try {
        std::thread(connectThread, shared_).detach();
    } catch (const std::system_error& e) {
        shared_->result.state = ConnectResult::State::Failed;
        shared_->result.failure = ConnectResult::Failure::Connect;
        shared_->result.systemError = e.code().value();
    }
}

NetworkConnector::~NetworkConnector() {
    cancel();
    // A callback already running finishes before the connector goes; none starts afterwards.
    std::lock_guard doneLock(shared_->doneMutex);
}

void NetworkConnector::cancel() {
    std::lock_guard lock(shared_->mutex);
    shared_->cancelled = true;
    if (shared_->result.state == ConnectResult::State::Pending)
        shared_->result.state = ConnectResult::State::Cancelled;
    raiseWake(shared_->wake);
}

ConnectResult NetworkConnector::result() const {
    std::lock_guard lock(shared_->mutex);
    ConnectResult& result = shared_->result;
    if (result.state == ConnectResult::State::Pending &&
        std::chrono::steady_clock::now() >= shared_->deadline) {
        // Past the time-out with the thread still busy (a resolver that does not return): the
        // attempt is over for the caller; the thread gives up when it gets back.
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
