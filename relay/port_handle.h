// What an open port is to the system: a descriptor on Linux, a HANDLE's value on Windows. Both
// are never negative while open, so -1 means "not open" on either.
#pragma once

#include <cstdint>

#ifdef _WIN32
using PortHandle = intptr_t;
#else
using PortHandle = int;
#endif

inline constexpr PortHandle kNoPortHandle = -1;
