// A network of the test's own: a child process with a network and a mount namespace of its own,
// where only the test's servers answer (on its own loopback) and names resolve through the
// /etc/hosts and /etc/resolv.conf the test gives. Linux, as root.
#pragma once

#include <functional>
#include <string>

// Runs the calling test again in such a child (the test program started afresh with only that
// test), where this call runs `body`, and waits for it: so it is the test's only statement. The
// child's failures are printed as they happen and fail the test. Skips the test where namespaces
// cannot be made (not root).
void inOwnNetwork(const std::string& hosts, const std::string& resolvConf, const std::function<void()>& body);
