#include "tests/support/own_network.h"

#include <gtest/gtest.h>

#include <net/if.h>
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

namespace {

constexpr int kCannotIsolate = 77;
// The test runs again in a program started afresh (one thread, as a namespace needs, and safe under the
// sanitizers, unlike a fork of a program with threads); this names the folder with its files there.
constexpr const char* kOwnNetworkFolder = "VORLINEX_OWN_NETWORK";

bool bringLoopbackUp() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &request) == 0);
    ::close(s);
    return up;
}

}  // namespace

void inOwnNetwork(const std::string& hosts, const std::string& resolvConf, const std::function<void()>& body) {
    if (const char* inner = std::getenv(kOwnNetworkFolder)) {
        const std::filesystem::path folder = inner;
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount((folder / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            mount((folder / "resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            !bringLoopbackUp()) {
            std::fprintf(stderr, "no network of the test's own: %s\n", std::strerror(errno));
            _exit(kCannotIsolate);
        }
        body();
        std::fflush(stdout);
        _exit(testing::Test::HasFailure() ? 1 : 0);  // look-ups still waiting end with it
    }
    char folderName[] = "/tmp/vorlinex-own-network-XXXXXX";
    ASSERT_NE(mkdtemp(folderName), nullptr);
    const std::filesystem::path folder = folderName;
    std::ofstream(folder / "hosts", std::ios::binary) << hosts;
    std::ofstream(folder / "resolv.conf", std::ios::binary) << resolvConf;
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
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) continue;
    std::filesystem::remove_all(folder);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotIsolate) GTEST_SKIP() << "needs root: namespaces of its own";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the part in the test's own network failed (above)";
}
