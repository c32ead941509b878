#include "tests/support/test_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

sockaddr_in loopbackAt(uint16_t port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(port);
    return at;
}

bool readable(int fd, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, waitMs) > 0;
}

}  // namespace

uint16_t TestSocket::localPort() const {
    sockaddr_in at{};
    socklen_t length = sizeof at;
    ::getsockname(s_, reinterpret_cast<sockaddr*>(&at), &length);
    return ntohs(at.sin_port);
}

void TestSocket::close() {
    if (valid()) ::close(release());
}

void TestSocket::reset() {
    const linger abort{1, 0};
    ::setsockopt(s_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

void TestSocket::shutdownWrite() { ::shutdown(s_, SHUT_WR); }

void TestSocket::setBuffers(int bytes) {
    ::setsockopt(s_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    ::setsockopt(s_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

bool TestSocket::sendAll(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(s_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string TestSocket::receiveSome(int waitMs) {
    if (!readable(s_, waitMs)) return {};
    char buffer[65536];
    const ssize_t n = ::recv(s_, buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string{};
}

TestListener::TestListener(int backlog, int receiveBuffer, uint16_t port)
    : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;  // the port again, though its last connection waits out its close
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0)
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in at = loopbackAt(port);
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        (backlog >= 0 && ::listen(socket_.get(), backlog) != 0))
        throw std::runtime_error("no listener on 127.0.0.1");
}

TestSocket TestListener::accept(int waitMs) {
    if (!readable(socket_.get(), waitMs)) return {};
    return TestSocket(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

TestSocket connectLocal(uint16_t port, int sendBuffer) {
    TestSocket c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sendBuffer > 0) ::setsockopt(c.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    const sockaddr_in at = loopbackAt(port);
    if (::connect(c.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) c.close();
    return c;
}

SilentListener::SilentListener() {
    for (int i = 0; i < 4; ++i) {
        TestSocket f(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const sockaddr_in at = loopbackAt(port());
        ::connect(f.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at);
        fillers_.push_back(std::move(f));
    }
}

// Every socket to 127.0.0.1:port but those in TIME_WAIT: a connect whose SYN gets no answer
// stays one until its socket is closed.
int socketsConnectingTo(uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    if (!table) return -1;
    std::string line;
    std::getline(table, line);  // the heading
    int n = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const size_t colon = remote.find(':');
        if (colon == std::string::npos) continue;
        const auto remotePort = std::stoul(remote.substr(colon + 1), nullptr, 16);
        if (remotePort == port && remote.substr(0, colon) == "0100007F" && state != "06") ++n;
    }
    return n;
}

SocketTuning tuningOf(NetworkSocket s) {
    SocketTuning t;
    int value = 0, idle = 0, interval = 0, count = 0;
    socklen_t length = sizeof value;
    t.noDelay = ::getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 && value != 0;
    t.keepAlive = ::getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &value, &length) == 0 && value != 0;
    char c;
    t.readsWithoutWaiting = ::recv(s, &c, 1, 0) < 0 && errno == EAGAIN;
    if (::getsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &length) == 0 &&
        ::getsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &length) == 0 &&
        ::getsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, &length) == 0 && idle > 0)
        t.keepAliveSeconds = idle + interval * count;
    return t;
}

int waitPortInput(NetworkPort& port, int timeoutMs) {
    pollfd p{port.fd(), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs);
}

int waitPortRoom(NetworkPort& port, int timeoutMs) {
    pollfd p{port.fd(), POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs);
}
