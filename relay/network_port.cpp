#include "relay/network_port.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view kRfc2217Prefix = "rfc2217://";
constexpr std::string_view kTcpPrefix = "tcp://";

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool parsePort(const std::string& digits, uint16_t& port) {
    if (digits.empty() || digits.size() > 5) return false;
    uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// A host name's letters: those of DNS names and of IPv4 addresses (and '_', which some local
// names carry). Anything else (spaces, '/', '@', a stray ':') is not a host.
bool hostNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_';
}

}  // namespace

bool isNetworkPath(const std::string& path) {
    return startsWith(path, kRfc2217Prefix) || startsWith(path, kTcpPrefix);
}

namespace {

enum class PathReading { Address, NotAnAddress, ZoneMissing };

PathReading readNetworkPath(const std::string& path, NetworkAddress& parsed) {
    std::string rest;
    if (startsWith(path, kRfc2217Prefix)) {
        parsed.scheme = NetworkScheme::Rfc2217;
        rest = path.substr(kRfc2217Prefix.size());
    } else if (startsWith(path, kTcpPrefix)) {
        parsed.scheme = NetworkScheme::Tcp;
        rest = path.substr(kTcpPrefix.size());
    } else {
        return PathReading::NotAnAddress;
    }
    std::string portText;
    bool zoneMissing = false;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return PathReading::NotAnAddress;
        parsed.host = rest.substr(1, close - 1);
        const size_t percent = parsed.host.find('%');
        const std::string bare = parsed.host.substr(0, percent);
        in6_addr address{};
        if (inet_pton(AF_INET6, bare.c_str(), &address) != 1) return PathReading::NotAnAddress;
        if (percent != std::string::npos) {
            const std::string zone = parsed.host.substr(percent + 1);
            if (zone.empty()) return PathReading::NotAnAddress;
            // An interface's name or number: the letters of a host name serve, and nothing that
            // could end the host or the path gets in.
            for (char c : zone)
                if (!hostNameChar(c)) return PathReading::NotAnAddress;
        } else {
            // fe80::/10: the same address may be on every link, so the system needs the one meant.
            zoneMissing = address.s6_addr[0] == 0xFE && (address.s6_addr[1] & 0xC0) == 0x80;
        }
        portText = rest.substr(close + 2);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos) return PathReading::NotAnAddress;
        parsed.host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
        if (parsed.host.empty()) return PathReading::NotAnAddress;
        for (char c : parsed.host)
            if (!hostNameChar(c)) return PathReading::NotAnAddress;  // an unbracketed IPv6 address lands here too
        if (parsed.host.front() == '.' || parsed.host.front() == '-') return PathReading::NotAnAddress;
    }
    if (!parsePort(portText, parsed.port)) return PathReading::NotAnAddress;
    return zoneMissing ? PathReading::ZoneMissing : PathReading::Address;
}

}  // namespace

bool parseNetworkPath(const std::string& path, NetworkAddress& address) {
    NetworkAddress parsed;
    if (readNetworkPath(path, parsed) != PathReading::Address) return false;
    address = std::move(parsed);
    return true;
}

bool lacksZone(const std::string& path) {
    NetworkAddress ignored;
    return readNetworkPath(path, ignored) == PathReading::ZoneMissing;
}

bool NetworkReadBack::differs() const {
    return (baudAnswered && baudRate != asked.baudRate) ||
           (dataBitsAnswered && dataBits != asked.dataBits) ||
           (parityAnswered && parity != asked.parity) ||
           (stopBitsAnswered && twoStopBits != asked.twoStopBits) ||
           (flowAnswered && flow != asked.flow);
}

// ---- The connected port: the Telnet and Com Port Control logic, the same on every system ----

void NetworkPort::markLost(NetworkLoss loss, int systemError) {
    NetworkLoss none = NetworkLoss::None;
    if (loss_.compare_exchange_strong(none, loss, std::memory_order_acq_rel))
        lossError_.store(systemError, std::memory_order_release);
}

bool NetworkPort::flushLocked() {
    if (lost()) return false;
    size_t sent = 0;
    while (sent < pending_.size()) {
        const ssize_t n = sendSome(pending_.data() + sent, pending_.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
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

void NetworkPort::setLineRate(uint32_t baudRate) {
    size_t limit = kMaxInFlight;
    if (carriesSettings() && baudRate > 0) {
        // About ten bits a byte on the line, over 100 ms.
        limit = std::clamp<size_t>(baudRate / 100, kMinInFlight, kMaxInFlight);
    }
    inFlightLimit_.store(limit, std::memory_order_relaxed);
}

int NetworkPort::start(const NetworkLineSettings& settings) {
    {
        std::lock_guard lock(readBackMutex_);
        readBack_ = NetworkReadBack{};
        readBack_.asked = settings;
    }
    setLineRate(settings.baudRate);
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
    setLineRate(settings.baudRate);
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
            setLineRate(v);
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
    for (ssize_t n; held_.size() < 4096 && (n = receiveSome(rest, sizeof rest)) > 0;) {
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
    const ssize_t n = receiveSome(scratchIn_.data(), capacity);
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
        if (flushLocked() && pending_.size() + scratchReply_.size() > kPeerHoldLimit) {
            markLost(NetworkLoss::NotReading, ENOBUFS);
            pending_.clear();
            pending_.shrink_to_fit();
        } else {
            pending_ += scratchReply_;
            flushLocked();
        }
    }
    if (loss() == NetworkLoss::NotReading) {
        errno = ENOBUFS;
        return -1;
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
    // As much as the window has room for, encoded: an escape takes two bytes of it.
    const size_t inFlight = static_cast<size_t>(std::max(systemQueued(), 0));
    const size_t limit = inFlightLimit();
    size_t room = inFlight < limit ? limit - inFlight : 0;
    size_t taken = 0;
    if (scheme_ == NetworkScheme::Tcp) {
        taken = std::min(n, room);
    } else {
        for (; taken < n; ++taken) {
            const size_t cost = data[taken] == telnet::IAC ? 2 : 1;
            if (cost > room) break;
            room -= cost;
        }
    }
    if (taken == 0) {
        errno = EAGAIN;
        return -1;
    }
    codec_.encodeData(data, taken, pending_);
    // What the socket does not take now stays queued whole: the data bytes are taken, and an
    // escape is never cut between two writes of different callers.
    if (!flushLocked()) {
        errno = lossError() != 0 ? lossError() : EPIPE;
        return -1;
    }
    return static_cast<ssize_t>(taken);
}

int NetworkPort::outputQueued() const {
    int queued = systemQueued();
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
