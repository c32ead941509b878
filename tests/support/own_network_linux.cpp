#include "tests/support/own_network.h"

#include <gtest/gtest.h>

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

void inOwnNetwork(const std::string& hosts, const std::string& resolvConf, const std::function<void()>& body) {
    char folderName[] = "/tmp/vorlinex-own-network-XXXXXX";
    ASSERT_NE(mkdtemp(folderName), nullptr);
    const std::filesystem::path folder = folderName;
    writeFile(folder / "hosts", hosts);
    writeFile(folder / "resolv.conf", resolvConf);
    std::fflush(stdout);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // One thread here (the fork's), so the namespaces can be entered.
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
        _exit(testing::Test::HasFailure() ? 1 : 0);  // its threads end with it
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::filesystem::remove_all(folder);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotIsolate) GTEST_SKIP() << "needs root: namespaces of its own";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the part in the test's own network failed (above)";
}

size_t threadsNow() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}
