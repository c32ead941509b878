// Network ports on Linux: the connect thread, the socket and its waits.
#include "relay/network_connect.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
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

int startNetworking() { return 0; }

void closeNetworkSocket(NetworkSocket socket) { ::close(socket); }

std::string resolverText(int error, int& systemError) {
    if (error == EAI_SYSTEM) systemError = errno;
    return gai_strerror(error);
}

int startConnect(const addrinfo& ai, ConnectAttempt& attempt, bool& connected) {
    const int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            ai.ai_protocol);
    if (fd < 0) return errno;
    connected = ::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0;
    if (!connected && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    attempt.socket = fd;
    return 0;
}

// The connects' ends are waited for with poll, together with the cancel.
int awaitConnect(const std::vector<ConnectAttempt>& attempts, WakeHandle wake,
                 std::chrono::steady_clock::time_point until, int& error) {
    std::vector<pollfd> fds;
    for (const ConnectAttempt& attempt : attempts) fds.push_back({attempt.socket, POLLOUT, 0});
    fds.push_back({wake, POLLIN, 0});
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return kConnectTimeUp;
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<int64_t>(left.count(), 60000)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return kConnectWaitFailed;
        }
        if (fds.back().revents & POLLIN) return kConnectWoken;
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            int soError = 0;
            socklen_t length = sizeof soError;
            if (getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
            error = soError;
            return static_cast<int>(i);
        }
    }
}

void endConnect(ConnectAttempt& attempt, bool keepSocket) {
    if (!keepSocket && attempt.socket >= 0) ::close(attempt.socket);
    attempt.socket = kNoSocket;
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

int waitForNetworkInput(NetworkPort& port, WakeHandle wake, int timeoutMs) {
    return waitForDescriptor(port.fd(), true, wake, timeoutMs);
}

int waitForNetworkRoom(NetworkPort& port, WakeHandle wake, int timeoutMs) {
    return waitForDescriptor(port.fd(), false, wake, timeoutMs);
}

int networkInputQueued(const NetworkPort& port) {
    int queued = 0;
    return ::ioctl(port.fd(), FIONREAD, &queued) == 0 ? queued : -1;
}
