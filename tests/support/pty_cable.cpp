#include "tests/support/pty_cable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>

std::string devicesSection(const std::array<std::string, 6>& paths) {
    std::string out = "[DEVICES]\r\n";
    for (int i = 0; i < 6; ++i)
        out += "COM" + std::to_string(i + 1) + "=" +
               (paths[i].empty() ? "/nonexistent/vorlinex-COM" + std::to_string(i + 1) : paths[i]) + "\r\n";
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
    end1.send(forth);
    end2.send(back);
    EXPECT_TRUE(end2.receive(forth.size(), 10000) == forth) << "port 1 -> port 2";
    EXPECT_TRUE(end1.receive(back.size(), 10000) == back) << "port 2 -> port 1";
}

bool eventually(const std::function<bool()>& condition, const std::function<void()>& meanwhile) {
    using namespace std::chrono_literals;
    for (auto giveUp = std::chrono::steady_clock::now() + 10s; !condition(); std::this_thread::sleep_for(10ms)) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        if (meanwhile) meanwhile();
    }
    return true;
}

// A new name is tried until one is free, so that test programs run side by side never share one.
ScratchDir::ScratchDir() : previous_(std::filesystem::current_path().string()) {
    std::mt19937 rng(static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; path_.empty(); ++attempt) {
        const auto candidate = std::filesystem::temp_directory_path() / ("vorlinex-test-" + std::to_string(rng()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.generic_string();
        else if (attempt > 100) throw std::runtime_error("no scratch folder");
    }
    std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}
