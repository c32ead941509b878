#include "tests/support/serial_servers.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/pty_cable.h"
#include "tests/support/test_socket.h"

namespace {

// ser2net lives in /usr/sbin, which a user's PATH may lack.
std::string findSer2net() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/local/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/bin/ser2net"})
        if (::access(path, X_OK) == 0) return path;
    return {};
}

// Whether 127.0.0.1:port is in the LISTEN state, from the kernel's table: asking by connecting
// would make the server open its device.
bool listening(uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    for (std::string line; std::getline(in, line);) {
        std::string slot, local, remote, state;
        std::istringstream(line) >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

}  // namespace

std::string Ser2netServer::unavailable() {
    return findSer2net().empty() ? "ser2net is not installed (tools/install-deps.sh installs it)" : std::string();
}

Ser2netServer::Ser2netServer(const std::string& devicePath) {
    {  // two free ports, held at once so that they differ
        const TestListener a(-1), b(-1);
        rfc2217Port_ = a.port();
        rawPort_ = b.port();
    }
    folder_ = (std::filesystem::temp_directory_path() / "vorlinex-server-XXXXXX").string();
    if (::mkdtemp(folder_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    std::ofstream yaml(folder_ + "/ser2net.yaml", std::ios::binary);
    yaml << "%YAML 1.1\n---\n";
    // `local`: a pty has no modem lines to wait for or to drive.
    using End = std::pair<std::string, std::string>;  // its name, its accepter
    for (const auto& [name, accepter] : {End{"rfc2217", "telnet(rfc2217),tcp,127.0.0.1," + std::to_string(rfc2217Port_)},
                                         End{"raw", "tcp,127.0.0.1," + std::to_string(rawPort_)}})
        yaml << "connection: &" << name << "\n  accepter: " << accepter << "\n  connector: serialdev," << devicePath
             << ",local\n  options:\n    chardelay: false\n";
}

Ser2netServer::~Ser2netServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool Ser2netServer::start() {
    stop();
    error_.clear();
    // -n: in the foreground; -u: no UUCP lock files in the system's lock folder; -P: its pid
    // file in the scratch folder rather than /run.
    child_ = std::make_unique<ChildProcess>(
        findSer2net(), std::vector<std::string>{"-n", "-u", "-P", folder_ + "/ser2net.pid", "-c", folder_ + "/ser2net.yaml"});
    if (eventually([&] { return !child_->running() || (listening(rfc2217Port_) && listening(rawPort_)); }) && child_->running())
        return true;
    error_ = std::string("ser2net") + (child_->running() ? " never listened: " : " exited at start: ") + child_->output();
    stop();
    return false;
}

void Ser2netServer::stop() {
    if (!child_) return;
    child_->signal(SIGTERM);
    child_->wait();  // killed if it takes longer than it may
    child_.reset();
}
