// winsock2.h before windows.h (which would bring the old winsock.h otherwise).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "capture/listen_socket.h"

#include <algorithm>
#include <cerrno>

#include "relay/network_connect.h"
#include "relay/system_win32.h"

namespace {

SOCKET socketOf(NetworkSocket s) { return static_cast<SOCKET>(s); }

int lastSocketErrno() { return errnoFromSocketError(WSAGetLastError()); }

bool setNonBlocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

std::string peerText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(a.sin6_port));
    }
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

int listenOn(const std::string& host, uint16_t port, NetworkSocket& listener, uint16_t& boundPort) {
    listener = kNoSocket;
    if (const int error = startNetworking(); error != 0) return error;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr)
        return EINVAL;
    int error = 0;
    const SOCKET s = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = lastSocketErrno();
    } else {
        // Another program must not take the port over while this one listens.
        const BOOL on = TRUE;
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        if (!setNonBlocking(s) || bind(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0 ||
            listen(s, 16) != 0)
            error = lastSocketErrno();
    }
    freeaddrinfo(found);
    if (error != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        return error;
    }
    sockaddr_storage bound{};
    int length = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                  : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    listener = static_cast<NetworkSocket>(s);
    return 0;
}

NetworkSocket acceptWaiting(NetworkSocket listener, std::string& peer) {
    sockaddr_storage address{};
    int length = sizeof address;
    const SOCKET s = accept(socketOf(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == INVALID_SOCKET) return kNoSocket;
    // A socket accepted from a non-blocking listener is non-blocking already; said again for clarity.
    if (!setNonBlocking(s)) {
        closesocket(s);
        return kNoSocket;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    const int buffer = kAcceptedSendBuffer;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
    peer = peerText(address);
    return static_cast<NetworkSocket>(s);
}

int64_t sendWaiting(NetworkSocket s, const char* bytes, size_t length, int& error) {
    const int chunk = static_cast<int>(std::min<size_t>(length, 1 << 30));
    const int n = send(socketOf(s), bytes, chunk, 0);
    if (n != SOCKET_ERROR) return n;
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAEINTR) return 0;
    error = errnoFromSocketError(code);
    return -1;
}

int64_t receiveWaiting(NetworkSocket s, char* buffer, size_t capacity, int& error) {
    const int chunk = static_cast<int>(std::min<size_t>(capacity, 1 << 30));
    const int n = recv(socketOf(s), buffer, chunk, 0);
    if (n != SOCKET_ERROR) return n;
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK || code == WSAEINTR) return -1;
    error = errnoFromSocketError(code);
    return -2;
}

int waitSockets(std::vector<SocketWait>& sockets, int timeoutMs) {
    std::vector<WSAPOLLFD> polls(sockets.size());
    for (size_t i = 0; i < sockets.size(); ++i) {
        polls[i].fd = socketOf(sockets[i].socket);
        polls[i].events =
            static_cast<SHORT>((sockets[i].forInput ? POLLRDNORM : 0) | (sockets[i].forRoom ? POLLWRNORM : 0));
        polls[i].revents = 0;
    }
    // WSAPoll takes no empty set.
    if (polls.empty()) {
        Sleep(static_cast<DWORD>(timeoutMs));
        return 0;
    }
    const int ready = WSAPoll(polls.data(), static_cast<ULONG>(polls.size()), timeoutMs);
    for (size_t i = 0; i < sockets.size(); ++i) {
        sockets[i].input = ready > 0 && (polls[i].revents & (POLLRDNORM | POLLHUP)) != 0;
        sockets[i].room = ready > 0 && (polls[i].revents & POLLWRNORM) != 0;
        sockets[i].failed = ready > 0 && (polls[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return ready == SOCKET_ERROR ? -1 : ready;
}

void closeGracefully(NetworkSocket s) {
    shutdown(socketOf(s), SD_SEND);
    closeNetworkSocket(s);
}
