#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <regex>

#include "tests/support/pty_cable.h"

void ChildProcess::gathered(bool fromErr, const char* bytes, size_t size) {
    std::lock_guard hold(lock_);
    (fromErr ? err_ : out_).append(bytes, size);
}

std::string ChildProcess::out() const { std::lock_guard hold(lock_); return out_; }
std::string ChildProcess::err() const { std::lock_guard hold(lock_); return err_; }

std::string ChildProcess::awaitLine(const std::string& pattern, size_t& from) {
    const std::regex wanted(pattern);
    std::string found;
    // Twice the ten seconds of `eventually`: a child under a busy machine starts slowly.
    for (int round = 0; round < 2 && found.empty(); ++round) {
        eventually([&] {
            std::lock_guard hold(lock_);
            for (size_t end; (end = err_.find('\n', from)) != std::string::npos;) {
                std::string line = err_.substr(from, end - from);
                from = end + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (std::regex_search(line, wanted)) return found = line, true;
            }
            return false;
        });
    }
    return found;
}

std::string ChildProcess::expectLine(const std::string& pattern, size_t& from) {
    const std::string line = awaitLine(pattern, from);
    EXPECT_NE(line, "") << pattern << "\n" << err();
    return line;
}
