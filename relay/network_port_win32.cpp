// Network ports on Windows: the connect thread, the socket and its waits, through Winsock.
// winsock2.h before windows.h (which would bring the old winsock.h otherwise).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include "relay/network_connect.h"
#include "relay/network_win32.h"
#include "relay/system_win32.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

// Keepalive: first probe after 10 s of silence, then every 5 s. Windows gives up after its own
// count of unanswered probes (10 on current versions), so a dead peer is found within about a
// minute; Linux, which lets the count be set, finds it in half that.
constexpr ULONG kKeepIdleMs = 10000;
constexpr ULONG kKeepIntervalMs = 5000;

// Winsock is started once for the process, before its first use, and left running until the
// process ends.
int startWinsock() {
    static const int error = [] {
        WSADATA data{};
        return errnoFromSocketError(WSAStartup(MAKEWORD(2, 2), &data));
    }();
    return error;
}

SOCKET socketOf(NetworkSocket s) { return static_cast<SOCKET>(s); }

int lastSocketErrno() { return errnoFromSocketError(WSAGetLastError()); }

}  // namespace

int tuneConnectedSocket(NetworkSocket fd) {
    const SOCKET s = socketOf(fd);
    const BOOL on = TRUE;
    if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0)
        return lastSocketErrno();
    if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) != 0)
        return lastSocketErrno();
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = kKeepIdleMs;
    values.keepaliveinterval = kKeepIntervalMs;
    DWORD returned = 0;
    if (WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) != 0)
        return lastSocketErrno();
    return 0;
}

// ---- Connecting ----

int startNetworking() { return startWinsock(); }

void closeNetworkSocket(NetworkSocket socket) { closesocket(socketOf(socket)); }

// The resolver's own words, on one line.
std::string resolverText(int error, int&) {
    std::string text = gai_strerrorA(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

// A connect's end (FD_CONNECT) is told on an event of its own, waited for together with the
// cancel.
int startConnect(const addrinfo& ai, ConnectAttempt& attempt, bool& connected) {
    const SOCKET s = ::socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
    if (s == INVALID_SOCKET) return lastSocketErrno();
    // Not handed to programs this one starts.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    const WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        const int error = lastSocketErrno();
        closesocket(s);
        return error;
    }
    int error = 0;
    // Also makes the socket non-blocking, as the port wants it afterwards.
    if (WSAEventSelect(s, event, FD_CONNECT) != 0) {
        error = lastSocketErrno();
    } else if (::connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) == 0) {
        connected = true;
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        error = lastSocketErrno();
    }
    if (error != 0) {
        WSAEventSelect(s, nullptr, 0);
        WSACloseEvent(event);
        closesocket(s);
        return error;
    }
    attempt.socket = static_cast<NetworkSocket>(s);
    attempt.event = reinterpret_cast<intptr_t>(event);
    return 0;
}

int awaitConnect(const std::vector<ConnectAttempt>& attempts, WakeHandle wake,
                 std::chrono::steady_clock::time_point until, int& error) {
    // The connector keeps far fewer attempts going than a wait can hold.
    std::vector<HANDLE> events;
    for (const ConnectAttempt& attempt : attempts) events.push_back(reinterpret_cast<HANDLE>(attempt.event));
    events.push_back(wake);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return kConnectTimeUp;
        const DWORD which = WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE,
                                                   static_cast<DWORD>(std::min<int64_t>(left.count(), 60000)));
        if (which == WAIT_TIMEOUT) continue;  // the time is up: told at the top
        if (which == WAIT_FAILED) {
            error = lastErrno();
            return kConnectWaitFailed;
        }
        const size_t index = which - WAIT_OBJECT_0;
        if (index >= attempts.size()) return kConnectWoken;
        WSANETWORKEVENTS happened{};
        if (WSAEnumNetworkEvents(socketOf(attempts[index].socket), reinterpret_cast<WSAEVENT>(attempts[index].event),
                                 &happened) != 0) {
            error = lastSocketErrno();
            return static_cast<int>(index);
        }
        if ((happened.lNetworkEvents & FD_CONNECT) == 0) continue;
        const int connectError = happened.iErrorCode[FD_CONNECT_BIT];
        error = connectError == 0 ? 0 : errnoFromSocketError(connectError);
        return static_cast<int>(index);
    }
}

void endConnect(ConnectAttempt& attempt, bool keepSocket) {
    if (attempt.socket != kNoSocket) {
        // The socket leaves the event (and stays non-blocking): the port chooses its own events.
        WSAEventSelect(socketOf(attempt.socket), nullptr, 0);
        if (!keepSocket) closesocket(socketOf(attempt.socket));
    }
    if (attempt.event != 0) WSACloseEvent(reinterpret_cast<WSAEVENT>(attempt.event));
    attempt.socket = kNoSocket;
    attempt.event = 0;
}

// ---- The connected port: the socket's calls and its waits ----

// One socket has one set of network events (a second WSAEventSelect replaces the first), but two
// workers wait on it: the reader for input, the writer for room. So the socket's events go to
// one event, chosen once; whichever worker finds it set takes the events (which resets it) and
// hands each direction its own: `readable` or `writable`. Network events are told once until
// the next recv or send, so before waiting a worker clears its own and asks the socket itself
// (select, without waiting): nothing told between the two is lost.
struct NetworkPort::SystemWaits {
    WSAEVENT socketEvent = WSA_INVALID_EVENT;
    HANDLE readable = nullptr;  // manual reset: input or the close was told
    HANDLE writable = nullptr;  // manual reset: room or the close was told
    int error = 0;              // why the socket cannot be waited on, else 0
    std::mutex taking;          // one look at the socket's events at a time

    ~SystemWaits() {
        if (socketEvent != WSA_INVALID_EVENT) WSACloseEvent(socketEvent);
        if (readable != nullptr) CloseHandle(readable);
        if (writable != nullptr) CloseHandle(writable);
    }
};

NetworkPort::NetworkPort(NetworkSocket fd, NetworkScheme scheme)
    : fd_(fd),
      waits_(std::make_unique<SystemWaits>()),
      scheme_(scheme),
      codec_(scheme == NetworkScheme::Rfc2217 ? TelnetCodec::Mode::Rfc2217 : TelnetCodec::Mode::Raw) {
    SystemWaits& w = *waits_;
    w.error = startWinsock();
    if (w.error != 0) return;
    w.socketEvent = WSACreateEvent();
    w.readable = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w.writable = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (w.socketEvent == WSA_INVALID_EVENT || w.readable == nullptr || w.writable == nullptr) {
        w.error = ENOMEM;
    } else if (WSAEventSelect(socketOf(fd_), w.socketEvent, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        w.error = lastSocketErrno();
    }
    if (w.error != 0) {
        // Still never blocking: the workers then keep a pace instead of waiting on it.
        u_long nonBlocking = 1;
        ioctlsocket(socketOf(fd_), FIONBIO, &nonBlocking);
    }
}

NetworkPort::~NetworkPort() {
    if (fd_ != kNoSocket) closesocket(socketOf(fd_));
}

ssize_t NetworkPort::sendSome(const char* data, size_t n) {
    const int length = static_cast<int>(std::min<size_t>(n, INT_MAX));
    for (;;) {
        const int sent = ::send(socketOf(fd_), data, length, 0);
        if (sent != SOCKET_ERROR) return sent;
        const int error = lastSocketErrno();
        if (error == EINTR) continue;
        errno = error;
        return -1;
    }
}

ssize_t NetworkPort::receiveSome(char* buffer, size_t capacity) {
    const int length = static_cast<int>(std::min<size_t>(capacity, INT_MAX));
    for (;;) {
        const int n = ::recv(socketOf(fd_), buffer, length, 0);
        if (n != SOCKET_ERROR) return n;
        const int error = lastSocketErrno();
        if (error == EINTR) continue;
        errno = error;
        return -1;
    }
}

// Windows does not tell how much of what was sent the system still holds (SIOCOUTQ has no
// counterpart; SIO_IDEAL_SEND_BACKLOG_QUERY tells how much it would like queued, not how much
// is), so the output wait counts only the bytes this port holds.
int NetworkPort::systemQueued() const { return 0; }

namespace {

// What the socket has now, without waiting: WaitReady for input (or its end) or room.
int readyNow(SOCKET s, bool input) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    fd_set failed = ready;
    timeval now{0, 0};
    const int n = ::select(0, input ? &ready : nullptr, input ? nullptr : &ready, &failed, &now);
    if (n == SOCKET_ERROR) return WaitError;
    if (n == 0) return 0;
    return (FD_ISSET(s, &ready) ? WaitReady : 0) | (FD_ISSET(s, &failed) ? WaitError : 0);
}

// Takes the socket's events (which resets its event) and hands them to the directions.
void takeSocketEvents(SOCKET s, NetworkPort::SystemWaits& w) {
    std::lock_guard lock(w.taking);
    WSANETWORKEVENTS happened{};
    if (WSAEnumNetworkEvents(s, w.socketEvent, &happened) != 0) {
        // Both directions look at the socket themselves then.
        SetEvent(w.readable);
        SetEvent(w.writable);
        return;
    }
    if (happened.lNetworkEvents & (FD_READ | FD_CLOSE)) SetEvent(w.readable);
    if (happened.lNetworkEvents & (FD_WRITE | FD_CLOSE)) SetEvent(w.writable);
}

int waitForNetwork(NetworkPort& port, bool input, WakeHandle wake, int timeoutMs) {
    NetworkPort::SystemWaits& w = port.systemWaits();
    if (w.error != 0) {
        errno = w.error;
        return -1;
    }
    const SOCKET s = socketOf(port.fd());
    const HANDLE mine = input ? w.readable : w.writable;
    ResetEvent(mine);
    if (const int now = readyNow(s, input); now != 0) return now;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        DWORD wait = INFINITE;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            wait = static_cast<DWORD>(std::max<int64_t>(left.count(), 0));
        }
        HANDLE events[3] = {mine, w.socketEvent, wake};
        const DWORD which = WaitForMultipleObjects(wake != kNoWake ? 3 : 2, events, FALSE, wait);
        if (which == WAIT_OBJECT_0) return WaitReady;
        if (which == WAIT_OBJECT_0 + 1) {
            takeSocketEvents(s, w);
            continue;  // for this direction, or the other's: the look above tells
        }
        if (which == WAIT_OBJECT_0 + 2) return WaitWoken;
        if (which == WAIT_TIMEOUT) return 0;
        errno = lastErrno();
        return -1;
    }
}

}  // namespace

int waitForNetworkInput(NetworkPort& port, WakeHandle wake, int timeoutMs) {
    return waitForNetwork(port, true, wake, timeoutMs);
}

int waitForNetworkRoom(NetworkPort& port, WakeHandle wake, int timeoutMs) {
    return waitForNetwork(port, false, wake, timeoutMs);
}

int networkInputQueued(const NetworkPort& port) {
    u_long queued = 0;
    if (ioctlsocket(socketOf(port.fd()), FIONREAD, &queued) != 0) return -1;
    return static_cast<int>(queued);
}
