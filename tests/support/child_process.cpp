#include "tests/support/child_process.h"

#include <chrono>

std::string ChildProcess::output() const {
    std::lock_guard hold(lock_);
    return gathered_;
}

bool ChildProcess::awaitOutput(const std::string& text, int waitMs) const {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (output().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
