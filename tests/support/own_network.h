// A network of the test's own: a child process in namespaces of its own, where only the test's servers answer
// (on its own loopback) and names resolve through the /etc/hosts and /etc/resolv.conf it gives. Linux, as root.
#pragma once

#include <functional>
#include <string>

// Runs the calling test again in such a child (the program started afresh with only that test), where this
// call runs `body`: so it is the test's only statement. The child's failures fail the test; not root: skipped.
void inOwnNetwork(const std::string& hosts, const std::string& resolvConf, const std::function<void()>& body);
