#include "relay/network_port.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <string_view>

namespace {

constexpr std::string_view kRfc2217Prefix = "rfc2217://";
constexpr std::string_view kTcpPrefix = "tcp://";

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool parsePort(const std::string& digits, uint16_t& port) {
    if (digits.empty() || digits.size() > 5) return false;
    uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// A host name's letters: those of DNS names and of IPv4 addresses (and '_', which some local
// names carry). Anything else (spaces, '/', '@', a stray ':') is not a host.
bool hostNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_';
}

}  // namespace

bool isNetworkPath(const std::string& path) {
    return startsWith(path, kRfc2217Prefix) || startsWith(path, kTcpPrefix);
}

bool parseNetworkPath(const std::string& path, NetworkAddress& address) {
    NetworkAddress parsed;
    std::string rest;
    if (startsWith(path, kRfc2217Prefix)) {
        parsed.scheme = NetworkScheme::Rfc2217;
        rest = path.substr(kRfc2217Prefix.size());
    } else if (startsWith(path, kTcpPrefix)) {
        parsed.scheme = NetworkScheme::Tcp;
        rest = path.substr(kTcpPrefix.size());
    } else {
        return false;
    }
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        parsed.host = rest.substr(1, close - 1);
        in6_addr ignored{};
        if (inet_pton(AF_INET6, parsed.host.c_str(), &ignored) != 1) return false;
        portText = rest.substr(close + 2);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        parsed.host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
        if (parsed.host.empty()) return false;
        for (char c : parsed.host)
            if (!hostNameChar(c)) return false;  // an unbracketed IPv6 address lands here too
        if (parsed.host.front() == '.' || parsed.host.front() == '-') return false;
    }
    if (!parsePort(portText, parsed.port)) return false;
    address = std::move(parsed);
    return true;
}


bool NetworkReadBack::differs() const {
    return (baudAnswered && baudRate != asked.baudRate) ||
           (dataBitsAnswered && dataBits != asked.dataBits) ||
           (parityAnswered && parity != asked.parity) ||
           (stopBitsAnswered && twoStopBits != asked.twoStopBits) ||
           (flowAnswered && flow != asked.flow);
}
