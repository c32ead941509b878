#include "tests/support/own_network.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

constexpr int kCannotIsolate = 77;

bool bringLoopbackUp() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(s, SIOCSIFFLAGS, &request) == 0;
    ::close(s);
    return up;
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

// The test runs again in a program of its own, started afresh (so with one thread, which a
// namespace needs, and safe under the sanitizers, which a fork of a program with threads is
// not); this names the folder with its files there.
constexpr const char* kOwnNetworkFolder = "VORLINEX_OWN_NETWORK";

void inOwnNetwork(const std::string& hosts, const std::string& resolvConf, const std::function<void()>& body) {
    if (const char* inner = std::getenv(kOwnNetworkFolder)) {
        const std::filesystem::path folder = inner;
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((folder / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            mount((folder / "resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            !bringLoopbackUp()) {
            std::printf("no network of the test's own: %s\n", std::strerror(errno));
            std::fflush(stdout);
            _exit(kCannotIsolate);
        }
        body();
        std::fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);  // look-ups still waiting end with it
    }
    char folderName[] = "/tmp/vorlinex-own-network-XXXXXX";
    ASSERT_NE(mkdtemp(folderName), nullptr);
    const std::filesystem::path folder = folderName;
    writeFile(folder / "hosts", hosts);
    writeFile(folder / "resolv.conf", resolvConf);
    const testing::TestInfo& test = *testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test.test_suite_name() + "." + test.name();
    std::fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv(kOwnNetworkFolder, folderName, 1);
        char* const argv[] = {const_cast<char*>("own-network"), const_cast<char*>(filter.c_str()), nullptr};
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::filesystem::remove_all(folder);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotIsolate) GTEST_SKIP() << "needs root: namespaces of its own";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the part in the test's own network failed (above)";
}

bool addLinkLocalToLoopback() {
    // The kernel's in6_ifreq, which <linux/ipv6.h> would bring with definitions that clash with
    // the C library's.
    struct {
        in6_addr address;
        uint32_t prefixLength;
        int interfaceIndex;
    } request{};
    inet_pton(AF_INET6, "fe80::1", &request.address);
    request.prefixLength = 64;
    request.interfaceIndex = static_cast<int>(if_nametoindex("lo"));
    const int s = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    bool usable = ioctl(s, SIOCSIFADDR, &request) == 0;
    ::close(s);
    // The kernel finishes adding it on a work queue of its own: until then it cannot be bound.
    for (int i = 0; usable && i < 2000; ++i) {
        const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 at{};
        at.sin6_family = AF_INET6;
        at.sin6_addr = request.address;
        at.sin6_scope_id = static_cast<uint32_t>(request.interfaceIndex);
        const bool bound = ::bind(probe, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
        ::close(probe);
        if (bound) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

size_t threadsNow() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}
