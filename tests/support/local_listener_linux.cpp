#include "tests/support/local_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

LocalListener::LocalListener() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no listener on 127.0.0.1");
    listener_ = fd;
    port_ = ntohs(address.sin_port);
}

LocalListener::~LocalListener() {
    closeConnection();
    ::close(static_cast<int>(listener_));
}

bool LocalListener::accepted() {
    pollfd waiting{static_cast<int>(listener_), POLLIN, 0};
    if (connection_ < 0 && ::poll(&waiting, 1, 10000) == 1)
        connection_ = ::accept4(static_cast<int>(listener_), nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
}

void LocalListener::send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(static_cast<int>(connection_), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

std::string LocalListener::receive(size_t count) {
    std::string got;
    char buffer[4096];
    pollfd waiting{static_cast<int>(connection_), POLLIN, 0};
    while (got.size() < count && ::poll(&waiting, 1, 10000) == 1) {
        const ssize_t n = ::recv(static_cast<int>(connection_), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

void LocalListener::closeConnection() {
    if (connection_ >= 0) ::close(static_cast<int>(connection_));
    connection_ = -1;
}
