// How a relay worker waits: for its source's input, for room at its destination, or for its
// stop request, and never for a fixed period unless it asks for one. One file per system
// behind this header; the worker's logic stays the same on both.
#pragma once

#include <thread>

#include "relay/port_handle.h"

#ifdef _WIN32
using WakeHandle = void*;  // a manual-reset event
inline constexpr WakeHandle kNoWake = nullptr;
#else
using WakeHandle = int;  // an eventfd
inline constexpr WakeHandle kNoWake = -1;
#endif

// What a wait found, as bits.
enum WaitEvents : int {
    WaitReady = 1,   // input to read, or room to write
    WaitHangUp = 2,  // the line hung up
    WaitError = 4,   // the device signals an error (gone, or failing)
    WaitWoken = 8,   // the wake-up is raised
};

// Makes the wake-up a worker's stop request raises: 0, else the errno.
int makeWake(WakeHandle& wake);
void closeWake(WakeHandle& wake);
// Raised stays raised until cleared, as a level: every wait returns at once meanwhile.
void raiseWake(WakeHandle wake);
void clearWake(WakeHandle wake);
// Sleeps up to timeoutMs, or less when the wake-up is raised.
void sleepUnlessWoken(WakeHandle wake, int timeoutMs);
// Whether the wake-up is raised now; never waits.
bool wakeRaised(WakeHandle wake);

#ifndef _WIN32
// Until the descriptor has input (`input`) or room, hangs up or fails, or the wake-up is raised,
// for at most timeoutMs (-1: as long as it takes). The WaitEvents found; 0 when the time ran out
// or a signal interrupted the wait; -1 with errno when it cannot be waited on.
int waitForDescriptor(int fd, bool input, WakeHandle wake, int timeoutMs);
#endif

// Gives the worker's thread a name that tools show, so that the directions can be told apart.
void nameWorkerThread(std::thread& worker, const char* name);
