// Shared by the libFuzzer harnesses: invariant checks that libFuzzer reports, and a scratch
// folder on a memory file system where there is one, so that a save's fsync costs nothing.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A violated invariant aborts, so libFuzzer keeps the input as a crash.
#define FUZZ_REQUIRE(condition)                                                          \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "invariant violated at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                    \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

// Made at the first call in $TMPDIR (else /dev/shm or /tmp), removed when the run ends normally.
inline const std::string& fuzzScratchDir() {
    static const struct Scratch {
        static std::string base() {
            const char* tmp = std::getenv("TMPDIR");
            if (tmp != nullptr && tmp[0] != '\0') return tmp;
            return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        }
        std::string path = base() + "/vorlinex-fuzz-XXXXXX";
        Scratch() { if (mkdtemp(path.data()) == nullptr) std::abort(); }
        ~Scratch() { std::filesystem::remove_all(path); }
    } scratch;
    return scratch.path;
}

inline std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}
