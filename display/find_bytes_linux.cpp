#include "display/find_bytes.h"

#include <string.h>

const void* findBytes(const void* haystack, size_t n, const void* needle, size_t m) {
    return memmem(haystack, n, needle, m);
}
