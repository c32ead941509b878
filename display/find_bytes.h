// Finding a byte string in another: the system's own search where it has one.
#pragma once

#include <cstddef>

// The first place where `needle` (m bytes, m > 0) occurs in `haystack` (n bytes); nullptr when
// it does not.
const void* findBytes(const void* haystack, size_t n, const void* needle, size_t m);
