#include "tests/support/local_listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

namespace {
SOCKET socketOf(intptr_t s) { return static_cast<SOCKET>(s); }

// Whether the socket becomes readable (a connection, data, its end) within timeoutMs.
bool readable(intptr_t s, int timeoutMs) {
    WSAPOLLFD waiting{socketOf(s), POLLRDNORM, 0};
    return WSAPoll(&waiting, 1, timeoutMs) == 1;
}
}  // namespace

LocalListener::LocalListener() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s, 1) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no listener on 127.0.0.1");
    listener_ = static_cast<intptr_t>(s);
    port_ = ntohs(address.sin_port);
}

LocalListener::~LocalListener() {
    closeConnection();
    closesocket(socketOf(listener_));
    WSACleanup();
}

bool LocalListener::accepted() {
    if (connection_ < 0 && readable(listener_, 10000)) {
        const SOCKET s = ::accept(socketOf(listener_), nullptr, nullptr);
        if (s != INVALID_SOCKET) connection_ = static_cast<intptr_t>(s);
    }
    return connection_ >= 0;
}

void LocalListener::send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        const int n = ::send(socketOf(connection_), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

std::string LocalListener::receive(size_t count) {
    std::string got;
    char buffer[4096];
    while (got.size() < count && readable(connection_, 10000)) {
        const int n = ::recv(socketOf(connection_), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

void LocalListener::closeConnection() {
    if (connection_ >= 0) closesocket(socketOf(connection_));
    connection_ = -1;
}
