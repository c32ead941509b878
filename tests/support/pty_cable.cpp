#include "tests/support/pty_cable.h"

#include "tools/raw_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

PtyCable::PtyCable() { master_ = openRawPty(&slavePath_); }

PtyCable::~PtyCable() { hangUp(); }

void PtyCable::hangUp() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyCable::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            throw std::runtime_error(std::string("pty send: ") + std::strerror(errno));
        }
    }
}

std::string PtyCable::receive(size_t count, int timeoutMs) {
    std::string out;
    char buf[4096];
    while (out.size() < count) {
        pollfd p{master_, POLLIN, 0};
        int r = ::poll(&p, 1, timeoutMs);
        if (r <= 0) break;
        ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            // EIO: nobody holds the slave end open at the moment.
            ::usleep(10000);
        }
    }
    return out;
}

std::string PtyCable::receiveUntilQuiet(int quietMs) {
    return receive(static_cast<size_t>(-1) / 2, quietMs);
}

PluggableCable::PluggableCable(std::string linkPath, bool plugged) : link_(std::move(linkPath)) {
    if (plugged) plug();
}

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

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/vorlinex-test-XXXXXX";
    char* made = mkdtemp(tmpl);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void ScratchDir::write(const std::string& name, const std::string& content) const {
    std::ofstream f(file(name), std::ios::binary | std::ios::trunc);
    f << content;
}

std::string ScratchDir::read(const std::string& name) const {
    std::ifstream f(file(name), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string devicesSection(const std::array<std::string, 6>& paths) {
    std::string out = "[DEVICES]\r\n";
    for (int i = 0; i < 6; ++i) {
        const std::string& p =
            paths[i].empty() ? "/nonexistent/vorlinex-com" + std::to_string(i + 1) : paths[i];
        out += "COM" + std::to_string(i + 1) + "=" + p + "\r\n";
    }
    return out;
}

std::string randomBytes(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out(count, '\0');
    for (auto& c : out) c = static_cast<char>(rng() & 0xFF);
    return out;
}

int liveThreadCount(const char* prefix) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        count += name.rfind(prefix, 0) == 0;
    }
    return count;
}

bool eventuallyWorkers(int channel1, int channel2) {
    for (int i = 0; i < 500; ++i) {
        if (liveThreadCount("vx-relay1") == channel1 && liveThreadCount("vx-relay2") == channel2) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
