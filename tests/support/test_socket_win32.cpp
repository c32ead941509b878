#include "tests/support/test_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <stdexcept>

#include "relay/network_win32.h"
#include "relay/worker_wait.h"

namespace {

SOCKET raw(NetworkSocket s) { return static_cast<SOCKET>(s); }

TestSocket newSocket() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("Winsock did not start");
    return TestSocket(static_cast<NetworkSocket>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
}

sockaddr_in loopbackAt(uint16_t port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(port);
    return at;
}

bool readable(NetworkSocket s, int waitMs) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(raw(s), &ready);
    timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
    return ::select(0, &ready, nullptr, nullptr, &wait) == 1;
}

}  // namespace

uint16_t TestSocket::localPort() const {
    sockaddr_in at{};
    int length = sizeof at;
    ::getsockname(raw(s_), reinterpret_cast<sockaddr*>(&at), &length);
    return ntohs(at.sin_port);
}

void TestSocket::close() {
    if (valid()) ::closesocket(raw(release()));
}

void TestSocket::reset() {
    const linger abort{1, 0};
    ::setsockopt(raw(s_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    close();
}

void TestSocket::shutdownWrite() { ::shutdown(raw(s_), SD_SEND); }

void TestSocket::setBuffers(int bytes) {
    ::setsockopt(raw(s_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    ::setsockopt(raw(s_), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

bool TestSocket::sendAll(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const int n = ::send(raw(s_), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string TestSocket::receiveSome(int waitMs) {
    if (!readable(s_, waitMs)) return {};
    char buffer[65536];
    const int n = ::recv(raw(s_), buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string{};
}

TestListener::TestListener(int backlog, int receiveBuffer, uint16_t port) : socket_(newSocket()) {
    if (receiveBuffer > 0)
        ::setsockopt(raw(socket_.get()), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                     sizeof receiveBuffer);
    const sockaddr_in at = loopbackAt(port);
    if (::bind(raw(socket_.get()), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        (backlog >= 0 && ::listen(raw(socket_.get()), backlog) != 0))
        throw std::runtime_error("no listener on 127.0.0.1");
}

TestSocket TestListener::accept(int waitMs) {
    if (!readable(socket_.get(), waitMs)) return {};
    return TestSocket(static_cast<NetworkSocket>(::accept(raw(socket_.get()), nullptr, nullptr)));
}

TestSocket connectLocal(uint16_t port, int sendBuffer) {
    TestSocket c = newSocket();
    if (sendBuffer > 0)
        ::setsockopt(raw(c.get()), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
                     sizeof sendBuffer);
    const sockaddr_in at = loopbackAt(port);
    if (::connect(raw(c.get()), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) c.close();
    return c;
}

SilentListener::SilentListener() {
    for (int i = 0; i < 4; ++i) {
        TestSocket f = newSocket();
        u_long nonBlocking = 1;
        ::ioctlsocket(raw(f.get()), FIONBIO, &nonBlocking);
        const sockaddr_in at = loopbackAt(port());
        ::connect(raw(f.get()), reinterpret_cast<const sockaddr*>(&at), sizeof at);
        fillers_.push_back(std::move(f));
    }
}

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
        if (row.dwState == MIB_TCP_STATE_SYN_SENT && ntohs(static_cast<u_short>(row.dwRemotePort)) == port &&
            row.dwRemoteAddr == htonl(INADDR_LOOPBACK))
            ++n;
    }
    return n;
}

SocketTuning tuningOf(NetworkSocket s) {
    SocketTuning t;
    BOOL value = FALSE;
    int length = sizeof value;
    t.noDelay = ::getsockopt(raw(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length) == 0 && value;
    value = FALSE;
    length = sizeof value;
    t.keepAlive = ::getsockopt(raw(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&value), &length) == 0 && value;
    char c;
    t.readsWithoutWaiting = ::recv(raw(s), &c, 1, 0) == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK;
    return t;
}

int waitPortInput(NetworkPort& port, int timeoutMs) { return waitForNetworkInput(port, kNoWake, timeoutMs); }

int waitPortRoom(NetworkPort& port, int timeoutMs) { return waitForNetworkRoom(port, kNoWake, timeoutMs); }
