// Network ports on Linux: the connect thread, the socket and its waits.
#include "relay/network_connect.h"

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

// A non-blocking connect, waited for with poll together with the cancel.
NetworkSocket connectOne(const NetworkConnector::Shared& shared, const addrinfo& ai, int& error) {
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
        pollfd fds[2] = {{fd, POLLOUT, 0}, {shared.wake, POLLIN, 0}};
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
