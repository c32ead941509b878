// How a worker waits on a network port on Windows: on the socket's network events together with
// its stop request, for as long as it asks and no longer (the socket has no descriptor to poll).
#pragma once

#include "relay/network_port.h"
#include "relay/worker_wait.h"

// Until the port has input (or its end), or `wake` is raised, for at most timeoutMs (-1: as
// long as it takes). The WaitEvents found; 0 when the time ran out; -1 with errno when the
// socket cannot be waited on.
int waitForNetworkInput(NetworkPort& port, WakeHandle wake, int timeoutMs);
// The same for room to send.
int waitForNetworkRoom(NetworkPort& port, WakeHandle wake, int timeoutMs);
