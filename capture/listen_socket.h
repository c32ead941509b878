// A listening TCP socket and the connections it accepts, for a stream the program serves (the
// PCAP-over-IP server): every call returns at once (non-blocking sockets), and one poll waits on
// all of them. One file per platform: descriptors and poll on Linux, Winsock and WSAPoll on
// Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/network_port.h"

// Listens on `host` (a numeric IPv4 or IPv6 address, never a name to look up) and `port` (0: a
// free one, told in boundPort). 0, else the errno; EINVAL for a host that is not an address.
int listenOn(const std::string& host, uint16_t port, NetworkSocket& listener, uint16_t& boundPort);
// The system's send buffer of an accepted connection: enough for a fast link's round trip, and
// fixed, so that what waits for a client that stops reading waits in the server's own queue.
inline constexpr int kAcceptedSendBuffer = 512 * 1024;
// The next waiting connection, non-blocking, its peer as "ADDR:PORT" ("[ADDR]:PORT" for IPv6);
// kNoSocket when none waits.
NetworkSocket acceptWaiting(NetworkSocket listener, std::string& peer);
// >0 bytes sent; 0 when the socket takes nothing now; -1 when the connection failed (`error`).
int64_t sendWaiting(NetworkSocket s, const char* bytes, size_t length, int& error);
// >0 bytes received; 0 at the peer's end of stream; -1 when nothing waits; -2 when the connection
// failed (`error`).
int64_t receiveWaiting(NetworkSocket s, char* buffer, size_t capacity, int& error);

struct SocketWait {
    NetworkSocket socket = kNoSocket;
    bool forInput = false, forRoom = false;
    bool input = false, room = false, failed = false;  // the answer (failed: an error or hang-up)
};
// Waits up to timeoutMs for any of them; the answers in each entry. The number ready, or -1.
int waitSockets(std::vector<SocketWait>& sockets, int timeoutMs);
// Ends this side's stream (what was sent still arrives), then closes.
void closeGracefully(NetworkSocket s);
