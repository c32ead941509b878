#include "tests/support/delayed_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

// The client's device holds 10.1.0.1 and a route to 10.5.0.0/16, the server's 10.2.0.1 and a route to 10.4.0.0/16.
// The forwarder turns 10.1 -> 10.4 and 10.5 -> 10.2 on the way in, 10.2 -> 10.5 and 10.4 -> 10.1 on the way back
// (the source's second byte +3, the destination's -3: the checksums stay as they were), so that each side sees a
// peer behind its own device and every packet crosses the forwarder.
namespace {

constexpr const char *kClientDevice = "vxlinkc", *kServerDevice = "vxlinks";

bool failed(std::string& error, const std::string& what) { return error = what + ": " + std::strerror(errno), false; }

int openTun(const char* name, std::string& error) {
    const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (fd >= 0 && ::ioctl(fd, TUNSETIFF, &request) == 0) return fd;
    if (failed(error, std::string("a TUN device ") + name) || fd >= 0) ::close(fd);
    return -1;
}

sockaddr ipv4(const char* dotted) {
    sockaddr_in a{AF_INET, 0, {}, {}};
    ::inet_pton(AF_INET, dotted, &a.sin_addr);
    sockaddr s{};
    return std::memcpy(&s, &a, sizeof a), s;
}

// Address (a /32), up, and a route to `peers` (a /16) through the device.
bool configure(int control, const char* device, const char* address, const char* peers, std::string& error) {
    ifreq request{};
    std::strncpy(request.ifr_name, device, IFNAMSIZ - 1);
    request.ifr_addr = ipv4(address);
    if (::ioctl(control, SIOCSIFADDR, &request) != 0) return failed(error, "SIOCSIFADDR");
    request.ifr_netmask = ipv4("255.255.255.255");
    if (::ioctl(control, SIOCSIFNETMASK, &request) != 0) return failed(error, "SIOCSIFNETMASK");
    if (::ioctl(control, SIOCGIFFLAGS, &request) != 0) return failed(error, "SIOCGIFFLAGS");
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (::ioctl(control, SIOCSIFFLAGS, &request) != 0) return failed(error, "SIOCSIFFLAGS");
    if (peers == nullptr) return true;
    rtentry route{};
    route.rt_dst = ipv4(peers);
    route.rt_genmask = ipv4("255.255.0.0");
    route.rt_flags = RTF_UP;
    route.rt_dev = const_cast<char*>(device);
    return ::ioctl(control, SIOCADDRT, &route) == 0 || failed(error, "SIOCADDRT");
}

}  // namespace

DelayedLink::DelayedLink(std::chrono::milliseconds delay, uint64_t bytesPerSecond)
    : delay_(delay), bytesPerSecond_(bytesPerSecond) {
    homeNamespace_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (homeNamespace_ < 0 && !failed(error_, "/proc/thread-self/ns/net")) return;
    if (::unshare(CLONE_NEWNET) != 0 && !failed(error_, "a network namespace of its own (unshare)")) {
        ::close(std::exchange(homeNamespace_, -1));
        return;
    }
    tunClient_ = openTun(kClientDevice, error_);
    if (tunClient_ >= 0) tunServer_ = openTun(kServerDevice, error_);
    if (tunServer_ < 0) return;
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool up = (control >= 0 || failed(error_, "socket")) && configure(control, "lo", "127.0.0.1", nullptr, error_) &&
                    configure(control, kClientDevice, "10.1.0.1", "10.5.0.0", error_) &&
                    configure(control, kServerDevice, kServerAddress, "10.4.0.0", error_) &&
                    (::pipe2(stopPipe_, O_CLOEXEC) == 0 || failed(error_, "pipe"));
    if (control >= 0) ::close(control);
    if (up) forwarder_ = std::thread([this] { forward(); });
}

DelayedLink::~DelayedLink() {
    if (forwarder_.joinable()) (void)!::write(stopPipe_[1], "x", 1), forwarder_.join();
    for (int fd : {tunClient_, tunServer_, stopPipe_[0], stopPipe_[1]})
        if (fd >= 0) ::close(fd);
    if (homeNamespace_ >= 0) ::setns(homeNamespace_, CLONE_NEWNET), ::close(homeNamespace_);
}

void DelayedLink::forward() {
    using Clock = std::chrono::steady_clock;
    // [0]: from the client's side, [1]: from the server's side; each leaves in arrival order.
    std::deque<std::pair<Clock::time_point, std::vector<uint8_t>>> queues[2];  // when due, the packet
    Clock::time_point lineFree[2] = {};  // when each direction's line has sent what it holds
    const int from[2] = {tunClient_, tunServer_};
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        int timeoutMs = -1;
        for (const auto& q : queues) {
            if (q.empty()) continue;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(q.front().first - Clock::now()).count();
            const int ms = static_cast<int>(std::max<long long>(left, 0));
            timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
        }
        pollfd fds[3] = {{from[0], POLLIN, 0}, {from[1], POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if ((::poll(fds, 3, timeoutMs) < 0 && errno != EINTR) || fds[2].revents != 0) return;
        for (int side = 0; side < 2; ++side) {
            for (int i = 0; i < 256 && (fds[side].revents & POLLIN); ++i) {  // what is there now, a bounded batch
                const ssize_t n = ::read(from[side], buffer.data(), buffer.size());
                if (n <= 0) break;
                std::vector<uint8_t> packet(buffer.begin(), buffer.begin() + n);
                if (packet.size() < 20 || (packet[0] >> 4) != 4) continue;  // IPv4 only
                auto sent = Clock::now();
                if (bytesPerSecond_ > 0)
                    lineFree[side] = sent = std::max(sent, lineFree[side]) +
                                            std::chrono::nanoseconds(packet.size() * 1000000000ull / bytesPerSecond_);
                queues[side].push_back({sent + delay_, std::move(packet)});
            }
        }
        const auto now = Clock::now();
        for (int side = 0; side < 2; ++side) {
            for (; !queues[side].empty() && queues[side].front().first <= now; queues[side].pop_front()) {
                std::vector<uint8_t>& packet = queues[side].front().second;
                packet[13] = static_cast<uint8_t>(packet[13] + 3), packet[17] = static_cast<uint8_t>(packet[17] - 3);  // as above
                [[maybe_unused]] const ssize_t n = ::write(from[1 - side], packet.data(), packet.size());
            }
        }
    }
}
