// A fuzz harness as a plain test program: each file of its seed corpus (the folder given) goes
// through the harness once, in name order, so that every build's CTest run checks the inputs the
// seeds were kept for, not only the clang fuzzer run. A violated invariant aborts the program.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> seeds;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1], error)) {
        if (entry.is_regular_file()) seeds.push_back(entry.path());
    }
    // A missing or emptied folder would pass while checking nothing.
    if (error || seeds.empty()) {
        std::fprintf(stderr, "%s: no seeds in %s%s%s\n", argv[0], argv[1], error ? ": " : "",
                     error ? error.message().c_str() : "");
        return 1;
    }
    std::sort(seeds.begin(), seeds.end());
    for (const std::filesystem::path& seed : seeds) {
        std::ifstream in(seed, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        // Named first: an abort inside the harness then says which seed it was.
        std::fprintf(stderr, "%s (%zu bytes)\n", seed.filename().string().c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "%zu seeds passed\n", seeds.size());
    return 0;
}
