// A port on another machine: a serial server reached over TCP, speaking the Telnet Com Port
// Control option (rfc2217://HOST:PORT) or passing the bytes as they are (tcp://HOST:PORT).
// Connecting runs on a thread of its own so that no caller ever waits for a name server or a
// silent host; the connected socket then behaves for the workers much as a tty does: poll its
// descriptor, read data, wait while it holds unsent bytes, write.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "relay/telnet_codec.h"
#include "relay/worker_wait.h"

enum class NetworkScheme : uint8_t { Rfc2217, Tcp };

// A connected socket as the system names it: a descriptor on Linux, a Winsock SOCKET's value on
// Windows (as a signed number, so that -1 means "none" on both, as for a port's handle).
#ifdef _WIN32
using NetworkSocket = intptr_t;
#else
using NetworkSocket = int;
#endif
inline constexpr NetworkSocket kNoSocket = -1;

struct NetworkAddress {
    NetworkScheme scheme = NetworkScheme::Rfc2217;
    // A name, an IPv4 address, or an IPv6 address without its brackets, with its zone where it
    // has one ("fe80::1%eth0").
    std::string host;
    uint16_t port = 0;
};

// Reads `rfc2217://HOST:PORT` or `tcp://HOST:PORT` (an IPv6 HOST in brackets, with `%IF` after
// the address naming the interface); false for anything else, `address` then unchanged. A
// link-local IPv6 address is only reachable through a named interface, so one without its zone
// is refused (see lacksZone).
bool parseNetworkPath(const std::string& path, NetworkAddress& address);
// Whether a refused path would be an address but for the missing interface of its link-local
// IPv6 host (`[fe80::1]` where `[fe80::1%eth0]` is meant).
bool lacksZone(const std::string& path);
// Whether a device path names a network port at all (its scheme), before it is checked whole.
bool isNetworkPath(const std::string& path);

// How a connect ended.
struct ConnectResult {
    enum class State : uint8_t {
        Pending,    // still resolving or connecting
        Connected,  // `fd` is the caller's now (see NetworkConnector::take)
        Failed,     // see `failure`
        Cancelled,
    };
    enum class Failure : uint8_t {
        None,
        Resolve,  // the name did not resolve: `resolverError` (EAI_*), `resolverMessage`
        Connect,  // every address refused or failed: `systemError` of the last (ECONNREFUSED...)
        TimedOut, // no address answered in time: `systemError` is ETIMEDOUT
    };
    State state = State::Pending;
    Failure failure = Failure::None;
    int systemError = 0;
    int resolverError = 0;
    std::string resolverMessage;
    NetworkSocket fd = kNoSocket;
};

// A name's look-up, running on a thread of its own (network_connector.cpp). A connect that gave
// up on it hands it on to the next attempt at the same name, which waits for it or takes its
// answer, so that a name server that never answers holds one look-up per port, not one per retry.
struct NetworkLookup;

// Resolves and connects one address on a thread of its own within a time-out for the whole
// attempt. The addresses the name gives are tried as Happy Eyeballs does (RFC 8305): the
// families taking turns, the next address started when the one before has not connected within
// kAttemptDelay (or at once when it failed) while the earlier ones go on; the first to connect
// wins. The caller asks result() when it likes, or is called back once; it never waits. The
// connected socket is non-blocking, with TCP_NODELAY and keepalive set.
class NetworkConnector {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};
    static constexpr std::chrono::milliseconds kAttemptDelay{250};

    // Called once on the connector's thread when the attempt ends (not after cancel() or the
    // destructor): it should only hand the news to the owner's thread. It must not destroy the
    // connector, whose destructor waits for a running callback to return.
    using Done = std::function<void()>;

    // `lookup`: what an earlier attempt's unfinishedLookup() gave, used when it is of the same
    // name and port.
    explicit NetworkConnector(NetworkAddress address,
                              std::chrono::milliseconds timeout = kDefaultTimeout,
                              Done done = nullptr, std::shared_ptr<NetworkLookup> lookup = nullptr);
    // Cancels; never waits for the resolver.
    ~NetworkConnector();
    NetworkConnector(const NetworkConnector&) = delete;
    NetworkConnector& operator=(const NetworkConnector&) = delete;

    // The state now. An attempt past its time-out is reported TimedOut here even while the
    // resolver still holds the thread (getaddrinfo cannot be interrupted). A connected socket
    // stays owned by the connector (and is closed with it) until take().
    ConnectResult result() const;
    // The connected socket, now the caller's to close; -1 unless the state is Connected.
    NetworkSocket take();
    // Makes the thread give up at once: a connect in progress ends, a resolve that returns later
    // is thrown away. The state becomes Cancelled unless the attempt had already ended.
    void cancel();
    // The look-up, while it still runs or its answer came too late for this attempt: the next
    // attempt at the same address takes it over (a late answer only while it is a few seconds
    // old). Null once its answer was used.
    std::shared_ptr<NetworkLookup> unfinishedLookup() const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

// Sets TCP_NODELAY (a short request must not wait for Nagle's timer) and keepalive tuned so
// that a peer that went away silently is noticed within about half a minute. 0, else the errno.
int tuneConnectedSocket(NetworkSocket fd);

// What the port's line is asked to be, in plain terms (a port's settings as the user chose
// them). DTR/DSR flow has no Com Port Control code and is asked as no flow control.
struct NetworkLineSettings {
    enum class Flow : uint8_t { None, RtsCts, XonXoff };
    uint32_t baudRate = 9600;
    uint8_t dataBits = 8;  // 5..8
    int parity = 0;        // 0 none, 1 odd, 2 even
    bool twoStopBits = false;
    Flow flow = Flow::None;
};

// What the server answered to the settings: each answer is advisory (a pty behind a server
// may never answer some), so each field says whether it came.
struct NetworkReadBack {
    NetworkLineSettings asked;
    bool baudAnswered = false, dataBitsAnswered = false, parityAnswered = false,
         stopBitsAnswered = false, flowAnswered = false;
    uint32_t baudRate = 0;
    uint8_t dataBits = 0;
    int parity = 0;  // as `asked.parity`; -1 for a parity the client never asks (mark, space)
    bool twoStopBits = false;
    NetworkLineSettings::Flow flow = NetworkLineSettings::Flow::None;

    bool anyAnswered() const {
        return baudAnswered || dataBitsAnswered || parityAnswered || stopBitsAnswered ||
               flowAnswered;
    }
    // Whether an answer that came holds something other than what was asked.
    bool differs() const;
};

// Why a network port stopped: it is then lost, as an unplugged device is.
enum class NetworkLoss : uint8_t {
    None,
    Closed,        // the server closed the connection (end of file)
    Failed,        // a read or write failed: lossError() holds the errno (ECONNRESET...)
    CommandFlood,  // the server sent a flood of commands without data: not a device server
    ServerMessage, // the server said something and closed before it answered any setting: its
                   // device could not be opened (serverMessage() holds what it said)
    NotReading,    // the server kept asking for replies but took nothing: what the port held for
                   // it reached kPeerHoldLimit (lossError() ENOBUFS)
};

// One connected network port. readData runs on the worker that reads it and writeData on the
// worker that writes it, at the same time: everything both send goes through one queue under a
// lock, so a reply owed to the server never lands inside an escape or a command of the data.
class NetworkPort {
public:
    // Takes the connected socket (made non-blocking here) and closes it when destroyed.
    NetworkPort(NetworkSocket fd, NetworkScheme scheme);
    ~NetworkPort();
    NetworkPort(const NetworkPort&) = delete;
    NetworkPort& operator=(const NetworkPort&) = delete;

    NetworkSocket fd() const { return fd_; }
    NetworkScheme scheme() const { return scheme_; }
    // Whether line settings reach the far port at all (raw TCP carries none).
    bool carriesSettings() const { return scheme_ == NetworkScheme::Rfc2217; }

    // How long a server may take to answer the settings before data that came first counts as
    // device traffic, and how long such data may wait for the close that makes it the server's
    // own message.
    static constexpr std::chrono::milliseconds kAnswerTimeout{2000};
    static constexpr std::chrono::milliseconds kMessageCloseWindow{1000};
    // What a writer keeps in flight (sent and not yet acknowledged, plus what waits here):
    // enough for the far line's rate over a round trip of 100 ms, within these bounds. Waiting
    // for every acknowledgement before the next write would make each write cost a round trip.
    static constexpr size_t kMinInFlight = 16 * 1024;
    static constexpr size_t kMaxInFlight = 256 * 1024;
    // The most the port holds for its peer that the socket has not taken (replies and data
    // together). Data never exceed a window; only replies owed to a server that never reads can
    // pile up to it, and such a server is dropped rather than let memory grow.
    static constexpr size_t kPeerHoldLimit = kMaxInFlight + 64 * 1024;

    // Sends the opening negotiation, then the settings, DTR and RTS raised. Nothing waits for an
    // answer. Called once, before any worker uses the port. 0, else the errno of the send (the
    // port is then lost).
    int start(const NetworkLineSettings& settings);
    // Sends the settings again (the user changed them), DTR and RTS raised; the line is not
    // purged. Its answers replace the read-back. 0, else the errno (the port is then lost).
    int sendSettings(const NetworkLineSettings& settings);

    // Like read(2) on a non-blocking tty: > 0 data bytes (never more than `capacity`); -1 with
    // errno EAGAIN when the socket held nothing or only commands; 0 at end of file and -1 with
    // the errno on failure or a command flood, the port then lost.
    ssize_t readData(uint8_t* buffer, size_t capacity);
    // Like write(2): encodes as many of the `n` bytes as the window in flight has room for
    // (returns how many, > 0) and sends them, keeping what the socket did not take for the next
    // call; -1 with errno EAGAIN while earlier bytes are still held back, the window is full or
    // the server asked to suspend sending, -1 with another errno when the port is lost.
    ssize_t writeData(const uint8_t* data, size_t n);
    // The window in flight now (see kMinInFlight): the far line's rate as answered, else as
    // asked; the largest for raw TCP, whose far line's rate nothing tells.
    size_t inFlightLimit() const { return inFlightLimit_.load(std::memory_order_relaxed); }
    // Bytes not yet sent: what the kernel holds (SIOCOUTQ; Windows cannot tell it) plus what
    // waits here; at least 1 while the server has suspended sending, so that the output wait
    // holds the writer.
    int outputQueued() const;
    // Sends what waits here (replies, the rest of a write) as far as the socket takes it.
    void flush();
    // What waits here for the socket to take it (the kernel's own queue not counted).
    size_t heldBytes() const;
    // For the reading worker's wait: -1 to wait for input alone; else the milliseconds after
    // which readData must be called even without input (data held back as a possible server
    // message is due to be passed on then).
    int readWaitMs() const;
    // What the server said before it closed (loss ServerMessage), one line, printable.
    std::string serverMessage() const;

    bool lost() const { return loss_.load(std::memory_order_acquire) != NetworkLoss::None; }
    NetworkLoss loss() const { return loss_.load(std::memory_order_acquire); }
    int lossError() const { return lossError_.load(std::memory_order_acquire); }

    NetworkReadBack readBack() const;
    // The last NOTIFY-LINESTATE and NOTIFY-MODEMSTATE values; -1 while none came.
    int lineState() const { return lineState_.load(std::memory_order_relaxed); }
    int modemState() const { return modemState_.load(std::memory_order_relaxed); }
    // The server asked to suspend sending (FLOWCONTROL-SUSPEND) and has not resumed.
    bool sendingPaused() const { return paused_.load(std::memory_order_acquire); }

    // What a system needs beside the socket to wait on it (Windows: its network events); each
    // system's file defines it, and only that system's waits use it.
    struct SystemWaits;
    SystemWaits& systemWaits() const { return *waits_; }

private:
    void markLost(NetworkLoss loss, int systemError);
    void take(const TelnetEvent& event);
    // Sends the queue as far as the socket takes it; false when the port is lost.
    bool flushLocked();
    // Queues the settings' commands in `out`.
    void encodeSettings(const NetworkLineSettings& settings, std::string& out);
    // Sizes the window in flight for a far line of `baudRate` (0: not known).
    void setLineRate(uint32_t baudRate);
    // The connection ended inside the window while data was held back: what the server said
    // becomes its message and the loss ServerMessage. False when nothing was said after all.
    bool takeServerMessage();
    // Copies data that was held back and is now due into the caller's buffer.
    ssize_t releaseHeld(uint8_t* buffer, size_t capacity);

    // The system's calls, one each, defined by each system's file. Like send(2) and recv(2)
    // without waiting (an interrupted call is made again): -1 with the errno of the same
    // meaning, EAGAIN when the socket would block.
    ssize_t sendSome(const char* data, size_t n);
    ssize_t receiveSome(char* buffer, size_t capacity);
    // What the system holds of sent bytes not yet acknowledged, where it can tell; else 0.
    int systemQueued() const;

    NetworkSocket fd_;
    std::unique_ptr<SystemWaits> waits_;
    NetworkScheme scheme_;
    TelnetCodec codec_;  // receive() on the reading worker only; the encoders are const

    mutable std::mutex sendMutex_;
    std::string pending_;  // encoded, not yet taken by the socket

    mutable std::mutex readBackMutex_;
    NetworkReadBack readBack_;

    // The reading worker's, kept from one read to the next.
    std::string scratchIn_, scratchData_, scratchReply_;
    std::vector<TelnetEvent> scratchEvents_;
    std::atomic<NetworkLoss> loss_{NetworkLoss::None};
    std::atomic<int> lossError_{0};
    std::atomic<int> lineState_{-1}, modemState_{-1};
    std::atomic<bool> paused_{false};
    std::atomic<size_t> inFlightLimit_{kMaxInFlight};

    // A server whose device is missing sends a line of its own as data and closes. Until the
    // server has answered a setting (or kAnswerTimeout passed), data is held back here, and
    // passed on as device data once kMessageCloseWindow passed without the close. The reading
    // worker's alone.
    bool heldWindow_ = false;
    bool heldDue_ = false;
    std::string held_;
    std::chrono::steady_clock::time_point startedAt_{}, heldSince_{};
    mutable std::mutex messageMutex_;
    std::string serverMessage_;
};

// How a worker waits on a network port, one definition per system: until the port has input (or
// its end), or `wake` is raised, for at most timeoutMs (-1: as long as it takes). The WaitEvents
// found; 0 when the time ran out; -1 with errno when the socket cannot be waited on.
int waitForNetworkInput(NetworkPort& port, WakeHandle wake, int timeoutMs);
// The same for room to send.
int waitForNetworkRoom(NetworkPort& port, WakeHandle wake, int timeoutMs);
// Bytes the socket holds to be read (commands included); -1 when it cannot tell.
int networkInputQueued(const NetworkPort& port);
