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

#include "tests/support/test_socket.h"

namespace {

// ser2net lives in /usr/sbin, which a user's PATH may lack.
std::string findSer2net() {
    std::stringstream dirs(std::string(std::getenv("PATH") ? std::getenv("PATH") : "") + ":/usr/sbin:/sbin:/usr/local/sbin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/ser2net").c_str(), X_OK) == 0) return dir + "/ser2net";
    return {};
}

// Whether 127.0.0.1:port is in the LISTEN state, from the kernel's table: asking by connecting
// would make the server open its device.
bool listening(uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
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
    std::string pattern = (std::filesystem::temp_directory_path() / "vorlinex-server-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    std::ofstream yaml(folder_ + "/ser2net.yaml", std::ios::binary);
    yaml << "%YAML 1.1\n---\n";
    const std::pair<const char*, std::string> ends[] = {
        {"rfc2217", "telnet(rfc2217),tcp,127.0.0.1," + std::to_string(rfc2217Port_)},
        {"raw", "tcp,127.0.0.1," + std::to_string(rawPort_)}};
    // `local`: a pty has no modem lines to wait for or to drive.
    for (const auto& [name, accepter] : ends)
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (child_->running() && std::chrono::steady_clock::now() < deadline) {
        if (listening(rfc2217Port_) && listening(rawPort_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = std::string("ser2net") + (child_->running() ? " never listened: " : " exited at start: ") + log();
    stop();
    return false;
}

void Ser2netServer::stop() {
    if (!child_) return;
    child_->signal(SIGTERM);
    child_->wait();  // killed if it takes longer than it may
    earlierLog_ = log();
    child_.reset();
}
