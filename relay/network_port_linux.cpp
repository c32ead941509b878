// Network ports on Linux: the connect thread, the socket and its waits.
#include "relay/network_port.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// Keepalive: first probe after 10 s of silence, then every 5 s, given up after 4 unanswered:
// a dead peer is found within about 30 s.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 4;

}  // namespace

int tuneConnectedSocket(int fd) {
    const int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return errno;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return errno;
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds) != 0)
        return errno;
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds,
                   sizeof kKeepIntervalSeconds) != 0)
        return errno;
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount) != 0) return errno;
    return 0;
}

// ---- Connecting ----

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
    int wakeFd = -1;  // an eventfd written by cancel(): ends the thread's wait for a connect

    std::mutex doneMutex;  // held while `done` runs, so that none runs after the destructor

    ~Shared() {
        if (result.fd >= 0) ::close(result.fd);
        if (wakeFd >= 0) ::close(wakeFd);
    }
};

namespace {

using Shared = NetworkConnector::Shared;

bool cancelledNow(const Shared& shared) {
    std::lock_guard lock(shared.mutex);
    return shared.cancelled || shared.result.state != ConnectResult::State::Pending;
}

// One address: a non-blocking connect, waited for with poll until the deadline or a cancel.
// The connected socket, or -1 with `error` set (ETIMEDOUT at the deadline, ECANCELED).
int connectOne(const Shared& shared, const addrinfo& ai, int& error) {
    const int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            ai.ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
        error = errno;
        ::close(fd);
        return -1;
    }
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            shared.deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = ETIMEDOUT;
            break;
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {shared.wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno != EINTR) {
            error = errno;
            break;
        }
        if (fds[1].revents & POLLIN) {
            error = ECANCELED;
            break;
        }
        if (fds[0].revents) {
            int soError = 0;
            socklen_t length = sizeof soError;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
            if (soError == 0) return fd;
            error = soError;
            break;
        }
    }
    ::close(fd);
    return -1;
}

void finish(Shared& shared, ConnectResult result) {
    {
        std::lock_guard lock(shared.mutex);
        if (shared.cancelled || shared.result.state != ConnectResult::State::Pending) {
            if (result.fd >= 0) ::close(result.fd);
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
    addrinfo* found = nullptr;
    const std::string service = std::to_string(shared->address.port);
    // May take as long as the name servers like: nothing here can cut it short. The connector
    // has stopped waiting for it by then (its result() reports the time-out), and this thread
    // holds its own share of the state, so it finds the attempt cancelled and just ends.
    const int resolved = ::getaddrinfo(shared->address.host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        result.failure = ConnectResult::Failure::Resolve;
        result.resolverError = resolved;
        result.resolverMessage = gai_strerror(resolved);
        if (resolved == EAI_SYSTEM) result.systemError = errno;
        finish(*shared, std::move(result));
        return;
    }

    int error = ETIMEDOUT;
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        if (cancelledNow(*shared)) {
            error = ECANCELED;
            break;
        }
        const int fd = connectOne(*shared, *ai, error);
        if (fd >= 0) {
            tuneConnectedSocket(fd);  // best effort: a socket without them still carries data
            result.state = ConnectResult::State::Connected;
            result.fd = fd;
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
    shared_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (shared_->wakeFd < 0) {
        shared_->result.state = ConnectResult::State::Failed;
        shared_->result.failure = ConnectResult::Failure::Connect;
        shared_->result.systemError = errno;
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
    const uint64_t one = 1;
    if (shared_->wakeFd >= 0) {
        ssize_t ignored = ::write(shared_->wakeFd, &one, sizeof one);
        (void)ignored;
    }
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
        const uint64_t one = 1;
        ssize_t ignored = ::write(shared_->wakeFd, &one, sizeof one);
        (void)ignored;
    }
    return result;
}

int NetworkConnector::take() {
    std::lock_guard lock(shared_->mutex);
    if (shared_->result.state != ConnectResult::State::Connected) return -1;
    const int fd = shared_->result.fd;
    shared_->result.fd = -1;
    return fd;
}

// ---- The connected port: the socket's calls ----

struct NetworkPort::SystemWaits {};  // the workers poll the descriptor itself

NetworkPort::NetworkPort(int fd, NetworkScheme scheme)
    : fd_(fd),
      waits_(std::make_unique<SystemWaits>()),
      scheme_(scheme),
      codec_(scheme == NetworkScheme::Rfc2217 ? TelnetCodec::Mode::Rfc2217
                                              : TelnetCodec::Mode::Raw) {
    const int flags = fcntl(fd_, F_GETFL);
    if (flags >= 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

NetworkPort::~NetworkPort() {
    if (fd_ >= 0) ::close(fd_);
}

ssize_t NetworkPort::sendSome(const char* data, size_t n) {
    ssize_t sent;
    do {
        sent = ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

ssize_t NetworkPort::receiveSome(char* buffer, size_t capacity) {
    ssize_t n;
    do {
        n = ::recv(fd_, buffer, capacity, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
}

int NetworkPort::systemQueued() const {
    int queued = 0;
    if (ioctl(fd_, SIOCOUTQ, &queued) != 0) queued = 0;
    return queued;
}
