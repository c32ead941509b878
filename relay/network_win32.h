// How a worker waits on a network port on Windows: on the socket's network events together with
// its stop request (the socket has no descriptor to poll). Declared with the port.
#pragma once

#include "relay/network_port.h"
