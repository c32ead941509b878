// Shared by the libFuzzer harnesses: invariant checks that libFuzzer reports, and a scratch
// folder in $TMPDIR (tools/fuzz.sh puts it on a memory file system, so a save's fsync is cheap).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

// A violated invariant aborts, so libFuzzer keeps the input as a crash.
#define FUZZ_REQUIRE(condition) \
    ((condition)                \
         ? void()               \
         : (std::fprintf(stderr, "invariant violated at %s:%d: %s\n", __FILE__, __LINE__, #condition), std::abort()))

// Made at the first call, removed when the run ends normally: a folder of a new random name in
// the system's temporary folder, made only if it was not there.
inline const std::string& fuzzScratchDir() {
    static const struct Scratch {
        std::string path;
        Scratch() {
            std::random_device random;
            for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
                const auto candidate = std::filesystem::temp_directory_path() / ("vorlinex-fuzz-" + std::to_string(random()));
                if (std::error_code error; std::filesystem::create_directory(candidate, error)) path = candidate.string();
            }
            FUZZ_REQUIRE(!path.empty());
        }
        ~Scratch() { std::filesystem::remove_all(path); }
    } scratch;
    return scratch.path;
}

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
