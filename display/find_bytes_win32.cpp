#include "display/find_bytes.h"

#include <algorithm>
#include <functional>

// Windows' C library has no memmem: a Boyer-Moore-Horspool search, which skips ahead as far
// for the longer patterns a user types.
const void* findBytes(const void* haystack, size_t n, const void* needle, size_t m) {
    const auto* begin = static_cast<const unsigned char*>(haystack);
    const auto* pattern = static_cast<const unsigned char*>(needle);
    if (m == 0) return haystack;
    if (m > n) return nullptr;
    const auto* end = begin + n;
    const auto* hit = std::search(begin, end, std::boyer_moore_horspool_searcher(pattern, pattern + m));
    return hit == end ? nullptr : hit;
}
