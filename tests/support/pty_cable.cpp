#include "tests/support/pty_cable.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "tools/raw_pty.h"

PtyCable::PtyCable() { master_ = openRawPty(&slavePath_); }

void PtyCable::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error(std::string("pty send: ") + std::strerror(errno));
        pollfd p{master_, POLLOUT, 0};
        if (n > 0) done += static_cast<size_t>(n);
        else ::poll(&p, 1, 100);
    }
}

std::string PtyCable::receive(size_t count, int timeoutMs) {
    std::string out;
    char buf[4096];
    for (pollfd p{master_, POLLIN, 0}; out.size() < count && ::poll(&p, 1, timeoutMs) > 0;) {
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.append(buf, static_cast<size_t>(n));
        else ::usleep(10000);  // mostly EIO: nobody holds the slave end open at the moment
    }
    return out;
}

PluggableCable::PluggableCable(std::string linkPath, bool plugged) : link_(std::move(linkPath)) { if (plugged) plug(); }

void PluggableCable::plug() {
    unplug();
    cable_ = std::make_unique<PtyCable>();
    std::filesystem::create_symlink(cable_->slavePath(), link_);
}

void PluggableCable::unplug() {
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
    cable_.reset();
}

ScratchDir::ScratchDir() : path_("/tmp/vorlinex-test-XXXXXX"), previous_(std::filesystem::current_path()) {
    if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string devicesSection(const std::array<std::string, 6>& paths) {
    std::string out = "[DEVICES]\r\n";
    for (int i = 0; i < 6; ++i)
        out += "COM" + std::to_string(i + 1) + "=" + (paths[i].empty() ? "/nonexistent/vorlinex-COM" + std::to_string(i + 1) : paths[i]) + "\r\n";
    return out;
}

std::string randomBytes(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out(count, '\0');
    for (auto& c : out) c = static_cast<char>(rng() & 0xFF);
    return out;
}

void expectRelaysBothWays(PtyCable& end1, PtyCable& end2, uint32_t seed) {
    const std::string forth = randomBytes(3000, seed), back = randomBytes(4000, seed + 1);
    end1.send(forth), end2.send(back);
    EXPECT_TRUE(end2.receive(forth.size(), 10000) == forth) << "port 1 -> port 2";
    EXPECT_TRUE(end1.receive(back.size(), 10000) == back) << "port 2 -> port 1";
}

std::multiset<std::string> threadNames() {
    std::multiset<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name != "Thread (pooled)") names.insert(name);
    }
    return names;
}

bool eventually(const std::function<bool()>& condition, const std::function<void()>& meanwhile) {
    using namespace std::chrono_literals;
    for (auto giveUp = std::chrono::steady_clock::now() + 10s; !condition(); std::this_thread::sleep_for(10ms)) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        if (meanwhile) meanwhile();
    }
    return true;
}

bool eventuallyWorkers(int channel1, int channel2) {
    return eventually([=] {
        const std::multiset<std::string> names = threadNames();
        return names.count("vx-relay1") == static_cast<size_t>(channel1) && names.count("vx-relay2") == static_cast<size_t>(channel2);
    });
}
