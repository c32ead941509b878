// Network ports on Linux: the connect thread, the socket and its waits.
#include "relay/network_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
#include <vector>

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

// ---- The connected port ----


NetworkPort::NetworkPort(int fd, NetworkScheme scheme)
    : fd_(fd),
      scheme_(scheme),
      codec_(scheme == NetworkScheme::Rfc2217 ? TelnetCodec::Mode::Rfc2217
                                              : TelnetCodec::Mode::Raw) {
    const int flags = fcntl(fd_, F_GETFL);
    if (flags >= 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

NetworkPort::~NetworkPort() {
    if (fd_ >= 0) ::close(fd_);
}

void NetworkPort::markLost(NetworkLoss loss, int systemError) {
    NetworkLoss none = NetworkLoss::None;
    if (loss_.compare_exchange_strong(none, loss, std::memory_order_acq_rel))
        lossError_.store(systemError, std::memory_order_release);
}

bool NetworkPort::flushLocked() {
    if (lost()) return false;
    size_t sent = 0;
    while (sent < pending_.size()) {
        const ssize_t n =
            ::send(fd_, pending_.data() + sent, pending_.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        markLost(NetworkLoss::Failed, n < 0 ? errno : EPIPE);
        pending_.clear();
        return false;
    }
    pending_.erase(0, sent);
    return true;
}

void NetworkPort::flush() {
    std::lock_guard lock(sendMutex_);
    flushLocked();
}

void NetworkPort::encodeSettings(const NetworkLineSettings& settings, std::string& out) {
    if (!carriesSettings()) return;
    using C = TelnetCodec;
    codec_.setBaudRate(settings.baudRate, out);
    codec_.setDataSize(settings.dataBits, out);
    codec_.setParity(settings.parity == 1   ? C::Parity::Odd
                     : settings.parity == 2 ? C::Parity::Even
                                            : C::Parity::None,
                     out);
    codec_.setStopSize(settings.twoStopBits ? C::StopSize::Two : C::StopSize::One, out);
    codec_.setControl(settings.flow == NetworkLineSettings::Flow::RtsCts    ? C::Control::FlowRtsCts
                      : settings.flow == NetworkLineSettings::Flow::XonXoff ? C::Control::FlowXonXoff
                                                                           : C::Control::FlowNone,
                      out);
    codec_.setControl(C::Control::DtrOn, out);
    codec_.setControl(C::Control::RtsOn, out);
}

int NetworkPort::start(const NetworkLineSettings& settings) {
    {
        std::lock_guard lock(readBackMutex_);
        readBack_ = NetworkReadBack{};
        readBack_.asked = settings;
    }
    startedAt_ = std::chrono::steady_clock::now();
    heldWindow_ = carriesSettings();
    std::string out;
    codec_.start(out);
    encodeSettings(settings, out);
    std::lock_guard lock(sendMutex_);
    pending_ += out;
    if (!flushLocked()) return lossError();
    return 0;
}

int NetworkPort::sendSettings(const NetworkLineSettings& settings) {
    {
        std::lock_guard lock(readBackMutex_);
        readBack_ = NetworkReadBack{};
        readBack_.asked = settings;
    }
    std::string out;
    encodeSettings(settings, out);
    std::lock_guard lock(sendMutex_);
    pending_ += out;
    if (!flushLocked()) return lossError();
    return 0;
}

size_t NetworkPort::heldBytes() const {
    std::lock_guard lock(sendMutex_);
    return pending_.size();
}

int NetworkPort::readWaitMs() const {
    if (heldDue_) return 0;
    if (held_.empty()) return -1;
    using namespace std::chrono;
    const auto due = std::min(heldSince_ + kMessageCloseWindow, startedAt_ + kAnswerTimeout);
    const auto left = duration_cast<milliseconds>(due - steady_clock::now()).count() + 1;
    return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

std::string NetworkPort::serverMessage() const {
    std::lock_guard lock(messageMutex_);
    return serverMessage_;
}

ssize_t NetworkPort::releaseHeld(uint8_t* buffer, size_t capacity) {
    const size_t n = std::min(capacity, held_.size());
    std::memcpy(buffer, held_.data(), n);
    held_.erase(0, n);
    heldDue_ = !held_.empty();
    return static_cast<ssize_t>(n);
}

void NetworkPort::take(const TelnetEvent& event) {
    using Flow = NetworkLineSettings::Flow;
    switch (event.kind) {
        case TelnetEvent::Kind::CommandFlood:
            markLost(NetworkLoss::CommandFlood, EPROTO);
            return;
        case TelnetEvent::Kind::OptionAgreed:
        case TelnetEvent::Kind::OptionRefused:
            return;
        case TelnetEvent::Kind::ComPortAnswer:
            break;
    }
    switch (event.command) {
        case ComPortCommand::NotifyLineState:
            lineState_.store(static_cast<int>(event.value), std::memory_order_relaxed);
            return;
        case ComPortCommand::NotifyModemState:
            modemState_.store(static_cast<int>(event.value), std::memory_order_relaxed);
            return;
        case ComPortCommand::FlowControlSuspend:
            paused_.store(true, std::memory_order_release);
            return;
        case ComPortCommand::FlowControlResume:
            paused_.store(false, std::memory_order_release);
            return;
        default:
            break;
    }
    std::lock_guard lock(readBackMutex_);
    NetworkReadBack& rb = readBack_;
    const uint32_t v = event.value;
    switch (event.command) {
        case ComPortCommand::SetBaudRate:
            rb.baudAnswered = true;
            rb.baudRate = v;
            break;
        case ComPortCommand::SetDataSize:
            rb.dataBitsAnswered = true;
            rb.dataBits = static_cast<uint8_t>(v);
            break;
        case ComPortCommand::SetParity:
            rb.parityAnswered = true;
            rb.parity = v == 1 ? 0 : v == 2 ? 1 : v == 3 ? 2 : -1;
            break;
        case ComPortCommand::SetStopSize:
            rb.stopBitsAnswered = true;
            rb.twoStopBits = v == 2;
            break;
        case ComPortCommand::SetControl:
            // The same command answers the flow, BREAK, DTR and RTS: only the flow codes are the
            // read-back of the flow choice.
            if (v == 1 || v == 2 || v == 3) {
                rb.flowAnswered = true;
                rb.flow = v == 3 ? Flow::RtsCts : v == 2 ? Flow::XonXoff : Flow::None;
            }
            break;
        default:
            break;
    }
}

namespace {

// The peer has gone: a reset, or a send to a socket it had closed.
bool connectionEnded(int error) { return error == ECONNRESET || error == EPIPE; }

}  // namespace

bool NetworkPort::takeServerMessage() {
    heldWindow_ = false;
    // The rest of what it said may still wait in the socket: a reset leaves it readable.
    char rest[1024];
    for (ssize_t n; held_.size() < 4096 && (n = ::recv(fd_, rest, sizeof rest, MSG_DONTWAIT)) > 0;) {
        scratchData_.clear();
        scratchReply_.clear();
        scratchEvents_.clear();
        codec_.receive(reinterpret_cast<const uint8_t*>(rest), static_cast<size_t>(n), scratchData_, scratchReply_,
                       scratchEvents_);
        held_ += scratchData_;
    }
    if (held_.empty()) return false;
    std::string line;
    for (char c : held_) {
        if (c == '\r' || c == '\n') {
            if (!line.empty() && line.back() != ' ') line += ' ';
        } else if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F && line.size() < 200) {
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    {
        std::lock_guard lock(messageMutex_);
        serverMessage_ = line;
    }
    held_.clear();
    // Before a loss of another kind only when that loss was the same end seen from our side.
    NetworkLoss seen = loss_.load(std::memory_order_acquire);
    if (seen == NetworkLoss::None || (seen == NetworkLoss::Failed && connectionEnded(lossError())))
        lossError_.store(0, std::memory_order_release), loss_.store(NetworkLoss::ServerMessage, std::memory_order_release);
    return true;
}

ssize_t NetworkPort::readData(uint8_t* buffer, size_t capacity) {
    if (lost()) {
        // Our first bytes, sent after the server had closed, draw a reset: the close then shows
        // as a failed send or read (EPIPE, ECONNRESET), and what it said before is still its
        // message.
        if (heldWindow_ && !held_.empty() && loss() == NetworkLoss::Failed && connectionEnded(lossError()) &&
            takeServerMessage())
            return 0;
        errno = lossError() != 0 ? lossError() : ENOTCONN;
        return -1;
    }
    if (capacity == 0) {  // a read of nothing would look like the end of the stream
        errno = EINVAL;
        return -1;
    }
    // Held data that is due goes first, before anything read after it.
    if (heldDue_) return releaseHeld(buffer, capacity);
    const auto now = std::chrono::steady_clock::now();
    if (heldWindow_) {
        bool answered = now >= startedAt_ + kAnswerTimeout;
        if (!answered) {
            std::lock_guard lock(readBackMutex_);
            answered = readBack_.anyAnswered();
        }
        if (answered || (!held_.empty() && now >= heldSince_ + kMessageCloseWindow)) {
            heldWindow_ = false;
            heldDue_ = !held_.empty();
            if (heldDue_) return releaseHeld(buffer, capacity);
        }
    }
    // Data after undoubling is never longer than the bytes read, so `capacity` bytes of the
    // socket always fit the caller's buffer.
    scratchIn_.resize(capacity);
    ssize_t n;
    do {
        n = ::recv(fd_, scratchIn_.data(), capacity, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
        // Something said, then the close, before any answer: the server's own message.
        if (!held_.empty() && takeServerMessage()) return 0;
        markLost(NetworkLoss::Closed, 0);
        return 0;
    }
    if (n < 0) {
        const int error = errno;
        if (connectionEnded(error) && heldWindow_ && !held_.empty() && takeServerMessage()) return 0;
        if (error != EAGAIN && error != EWOULDBLOCK) markLost(NetworkLoss::Failed, error);
        errno = error;
        return -1;
    }
    scratchData_.clear();
    scratchReply_.clear();
    scratchEvents_.clear();
    codec_.receive(reinterpret_cast<const uint8_t*>(scratchIn_.data()), static_cast<size_t>(n),
                   scratchData_, scratchReply_, scratchEvents_);
    for (const TelnetEvent& event : scratchEvents_) take(event);
    if (loss() == NetworkLoss::CommandFlood) {
        errno = EPROTO;
        return -1;
    }
    if (!scratchReply_.empty()) {
        std::lock_guard lock(sendMutex_);
        pending_ += scratchReply_;
        flushLocked();
    }
    if (heldWindow_) {
        bool answered = now >= startedAt_ + kAnswerTimeout;
        if (!answered) {
            std::lock_guard lock(readBackMutex_);
            answered = readBack_.anyAnswered();
        }
        if (answered) {
            // The server is there: what was held is device data, before this read's.
            heldWindow_ = false;
            if (!held_.empty()) {
                held_ += scratchData_;
                heldDue_ = true;
                return releaseHeld(buffer, capacity);
            }
        }
    }
    if (heldWindow_ && !scratchData_.empty()) {
        if (held_.empty()) heldSince_ = now;
        held_ += scratchData_;
        scratchData_.clear();
        // A server's message is a line or two; more is device traffic.
        if (held_.size() >= 1024) {
            heldWindow_ = false;
            heldDue_ = true;
            return releaseHeld(buffer, capacity);
        }
        // The reply owed for this read could not be sent: the server has closed already.
        if (loss() == NetworkLoss::Failed && connectionEnded(lossError()) && takeServerMessage()) return 0;
    }
    if (scratchData_.empty()) {
        errno = EAGAIN;  // only commands: nothing for the caller yet, and the port goes on
        return -1;
    }
    std::memcpy(buffer, scratchData_.data(), scratchData_.size());
    return static_cast<ssize_t>(scratchData_.size());
}

ssize_t NetworkPort::writeData(const uint8_t* data, size_t n) {
    std::lock_guard lock(sendMutex_);
    if (!flushLocked()) {
        errno = lossError() != 0 ? lossError() : EPIPE;
        return -1;
    }
    if (!pending_.empty() || paused_.load(std::memory_order_acquire)) {
        errno = EAGAIN;
        return -1;
    }
    codec_.encodeData(data, n, pending_);
    // What the socket does not take now stays queued whole: the data bytes are taken, and an
    // escape is never cut between two writes of different callers.
    if (!flushLocked()) {
        errno = lossError() != 0 ? lossError() : EPIPE;
        return -1;
    }
    return static_cast<ssize_t>(n);
}

int NetworkPort::outputQueued() const {
    int queued = 0;
    if (ioctl(fd_, SIOCOUTQ, &queued) != 0) queued = 0;
    {
        std::lock_guard lock(sendMutex_);
        queued += static_cast<int>(pending_.size());
    }
    if (queued == 0 && paused_.load(std::memory_order_acquire)) queued = 1;
    return queued;
}

NetworkReadBack NetworkPort::readBack() const {
    std::lock_guard lock(readBackMutex_);
    return readBack_;
}
