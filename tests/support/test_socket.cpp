#include "tests/support/test_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#endif

#include <stdexcept>

#include "relay/worker_wait.h"

namespace {

#ifdef _WIN32
using Raw = SOCKET;
constexpr int kNoSignal = 0, kNewSocket = 0;
int closeRaw(Raw s) { return ::closesocket(s); }
#else
using Raw = int;
// Not handed to the programs the tests start: a listener they held would never refuse.
constexpr int kNoSignal = MSG_NOSIGNAL, kNewSocket = SOCK_CLOEXEC;
int closeRaw(Raw s) { return ::close(s); }
#endif

Raw raw(NetworkSocket s) { return static_cast<Raw>(s); }

void setOption(NetworkSocket s, int level, int name, int value) {
    ::setsockopt(raw(s), level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

TestSocket newSocket() {
#ifdef _WIN32
    static const bool started = [] { WSADATA data{}; return WSAStartup(MAKEWORD(2, 2), &data) == 0; }();
    if (!started) throw std::runtime_error("Winsock did not start");
#endif
    return TestSocket(static_cast<NetworkSocket>(::socket(AF_INET, SOCK_STREAM | kNewSocket, IPPROTO_TCP)));
}

sockaddr_in loopbackAt(uint16_t port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(port);
    return at;
}

int connectTo(const TestSocket& s, uint16_t port) {
    const sockaddr_in at = loopbackAt(port);
    return ::connect(raw(s.get()), reinterpret_cast<const sockaddr*>(&at), sizeof at);
}

bool readable(NetworkSocket s, int waitMs) {
#ifdef _WIN32
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(raw(s), &ready);
    timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
    return ::select(0, &ready, nullptr, nullptr, &wait) == 1;
#else
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, waitMs) > 0;
#endif
}

}  // namespace

uint16_t TestSocket::localPort() const {
    sockaddr_in at{};
    socklen_t length = sizeof at;
    ::getsockname(raw(s_), reinterpret_cast<sockaddr*>(&at), &length);
    return ntohs(at.sin_port);
}

void TestSocket::close() { if (valid()) closeRaw(raw(release())); }

void TestSocket::reset() {
    const linger abort{1, 0};
    ::setsockopt(raw(s_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    close();
}

void TestSocket::shutdownWrite() { ::shutdown(raw(s_), 1); }  // SHUT_WR, SD_SEND

void TestSocket::setBuffers(int bytes) {
    setOption(s_, SOL_SOCKET, SO_RCVBUF, bytes);
    setOption(s_, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool TestSocket::sendAll(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const auto n = ::send(raw(s_), bytes.data() + done, static_cast<int>(bytes.size() - done), kNoSignal);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string TestSocket::receiveSome(int waitMs) {
    if (!readable(s_, waitMs)) return {};
    char buffer[65536];
    const auto n = ::recv(raw(s_), buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string{};
}

TestListener::TestListener(int backlog, int receiveBuffer, uint16_t port) : socket_(newSocket()) {
#ifndef _WIN32
    setOption(socket_.get(), SOL_SOCKET, SO_REUSEADDR, 1);  // the port again, though its last connection waits out its close
#endif
    if (receiveBuffer > 0) setOption(socket_.get(), SOL_SOCKET, SO_RCVBUF, receiveBuffer);
    const sockaddr_in at = loopbackAt(port);
    if (::bind(raw(socket_.get()), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        (backlog >= 0 && ::listen(raw(socket_.get()), backlog) != 0))
        throw std::runtime_error("no listener on 127.0.0.1");
}

TestSocket TestListener::accept(int waitMs) {
    if (!readable(socket_.get(), waitMs)) return {};
#ifdef _WIN32
    return TestSocket(static_cast<NetworkSocket>(::accept(raw(socket_.get()), nullptr, nullptr)));
#else
    return TestSocket(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
#endif
}

TestSocket connectLocal(uint16_t port, int sendBuffer) {
    TestSocket c = newSocket();
    if (sendBuffer > 0) setOption(c.get(), SOL_SOCKET, SO_SNDBUF, sendBuffer);
    if (connectTo(c, port) != 0) c.close();
    return c;
}

SilentListener::SilentListener() {
    for (int i = 0; i < 4; ++i) {
        TestSocket f = newSocket();
#ifdef _WIN32
        u_long nonBlocking = 1;  // connects that never end
        ::ioctlsocket(raw(f.get()), FIONBIO, &nonBlocking);
#else
        ::fcntl(f.get(), F_SETFL, O_NONBLOCK);
#endif
        connectTo(f, port());
        fillers_.push_back(std::move(f));
    }
}

#ifdef _WIN32
// Those in SYN_SENT, from the system's connection table; looked up, so that the test programs
// need no more libraries.
int socketsConnectingTo(uint16_t port) {
    using GetTable = DWORD(WINAPI*)(PMIB_TCPTABLE, PULONG, BOOL);
    static const auto getTable = reinterpret_cast<GetTable>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("iphlpapi.dll"), "GetTcpTable")));
    if (getTable == nullptr) return -1;
    ULONG size = 0;
    getTable(nullptr, &size, FALSE);
    std::vector<char> buffer(size + 4096);
    size = static_cast<ULONG>(buffer.size());
    const auto table = reinterpret_cast<PMIB_TCPTABLE>(buffer.data());
    if (getTable(table, &size, FALSE) != NO_ERROR) return -1;
    int n = 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW& row = table->table[i];
        n += row.dwState == MIB_TCP_STATE_SYN_SENT && ntohs(static_cast<u_short>(row.dwRemotePort)) == port &&
             row.dwRemoteAddr == htonl(INADDR_LOOPBACK);
    }
    return n;
}
#else
// Every socket to 127.0.0.1:port but those in TIME_WAIT: a connect whose SYN gets no answer
// stays one until its socket is closed.
int socketsConnectingTo(uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    if (!table) return -1;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    int n = 0;
    for (std::string line, slot, local, remote, state; std::getline(table, line);) {
        std::istringstream(line) >> slot >> local >> remote >> state;
        n += remote == wanted && state != "06";
    }
    return n;
}
#endif

SocketTuning tuningOf(NetworkSocket s) {
    SocketTuning t;
    const auto option = [s](int level, int name) {
        int value = 0;
        socklen_t length = sizeof value;
        return ::getsockopt(raw(s), level, name, reinterpret_cast<char*>(&value), &length) == 0 ? value : -1;
    };
    t.noDelay = option(IPPROTO_TCP, TCP_NODELAY) > 0;
    t.keepAlive = option(SOL_SOCKET, SO_KEEPALIVE) > 0;
    char c;
#ifdef _WIN32
    t.readsWithoutWaiting = ::recv(raw(s), &c, 1, 0) == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
#else
    t.readsWithoutWaiting = ::recv(s, &c, 1, 0) < 0 && errno == EAGAIN;
    if (const int idle = option(IPPROTO_TCP, TCP_KEEPIDLE); idle > 0)
        t.keepAliveSeconds = idle + option(IPPROTO_TCP, TCP_KEEPINTVL) * option(IPPROTO_TCP, TCP_KEEPCNT);
#endif
    return t;
}

int waitPortInput(NetworkPort& port, int timeoutMs) { return waitForNetworkInput(port, kNoWake, timeoutMs); }

int waitPortRoom(NetworkPort& port, int timeoutMs) { return waitForNetworkRoom(port, kNoWake, timeoutMs); }
