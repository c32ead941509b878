#include "tests/support/pty_cable.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "tools/raw_pty.h"

PtyCable::PtyCable() { master_ = openRawPty(&slavePath_); }

PtyCable::~PtyCable() { ::close(master_); }

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
    // The quiet time is counted from the last byte, not per poll: a master whose slave nobody
    // holds open reports a hang-up at once on every poll, so a per-poll time-out never ran out.
    const std::chrono::milliseconds quiet(timeoutMs);
    auto deadline = std::chrono::steady_clock::now() + quiet;
    std::string out;
    char buf[4096];
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.append(buf, static_cast<size_t>(n)), deadline = std::chrono::steady_clock::now() + quiet;
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

std::multiset<std::string> threadNames() {
    std::multiset<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name != "Thread (pooled)") names.insert(name);
    }
    return names;
}

bool eventuallyWorkers(int channel1, int channel2) {
    return eventually([=] {
        const std::multiset<std::string> names = threadNames();
        return names.count("vx-relay1") == static_cast<size_t>(channel1) &&
               names.count("vx-relay2") == static_cast<size_t>(channel2);
    });
}
