#include "capture/listen_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "relay/network_connect.h"

namespace {

std::string peerText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a.sin6_port));
    }
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

int listenOn(const std::string& host, uint16_t port, NetworkSocket& listener, uint16_t& boundPort) {
    listener = kNoSocket;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr)
        return EINVAL;
    int error = 0;
    const int s = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        error = errno;
    } else {
        // A restarted service must get its port back while the old connections linger.
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(s, found->ai_addr, found->ai_addrlen) != 0 || ::listen(s, 16) != 0) error = errno;
    }
    ::freeaddrinfo(found);
    if (error != 0) {
        if (s >= 0) ::close(s);
        return error;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                  : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    listener = s;
    return 0;
}

NetworkSocket acceptWaiting(NetworkSocket listener, std::string& peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) return kNoSocket;
    const int buffer = kAcceptedSendBuffer;
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    peer = peerText(address);
    return s;
}

int64_t sendWaiting(NetworkSocket s, const char* bytes, size_t length, int& error) {
    const ssize_t n = ::send(s, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    error = errno;
    return -1;
}

int64_t receiveWaiting(NetworkSocket s, char* buffer, size_t capacity, int& error) {
    const ssize_t n = ::recv(s, buffer, capacity, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
    error = errno;
    return -2;
}

int waitSockets(std::vector<SocketWait>& sockets, int timeoutMs) {
    std::vector<pollfd> polls(sockets.size());
    for (size_t i = 0; i < sockets.size(); ++i)
        polls[i] = {sockets[i].socket,
                    static_cast<short>((sockets[i].forInput ? POLLIN : 0) | (sockets[i].forRoom ? POLLOUT : 0)), 0};
    const int ready = ::poll(polls.data(), polls.size(), timeoutMs);
    for (size_t i = 0; i < sockets.size(); ++i) {
        sockets[i].input = ready > 0 && (polls[i].revents & POLLIN) != 0;
        sockets[i].room = ready > 0 && (polls[i].revents & POLLOUT) != 0;
        sockets[i].failed = ready > 0 && (polls[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return ready < 0 && errno == EINTR ? 0 : ready;
}

void closeGracefully(NetworkSocket s) {
    ::shutdown(s, SHUT_WR);
    closeNetworkSocket(s);
}
