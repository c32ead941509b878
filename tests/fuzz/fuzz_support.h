// Shared by the libFuzzer harnesses: invariant checks that libFuzzer reports, and a scratch
// folder in $TMPDIR (tools/fuzz.sh puts it on a memory file system, so a save's fsync is cheap).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// A violated invariant aborts, so libFuzzer keeps the input as a crash.
#define FUZZ_REQUIRE(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "invariant violated at %s:%d: %s\n", __FILE__, __LINE__, #condition), std::abort()))

// Made at the first call, removed when the run ends normally.
inline const std::string& fuzzScratchDir() {
    static const struct Scratch {
        std::string path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/vorlinex-fuzz-XXXXXX";
        Scratch() { FUZZ_REQUIRE(mkdtemp(path.data()) != nullptr); }
        ~Scratch() { std::filesystem::remove_all(path); }
    } scratch;
    return scratch.path;
}

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
