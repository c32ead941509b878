#include "tests/support/serial_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

bool executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

// ser2net lives in /usr/sbin, which a user's PATH may lack.
std::string findSer2net() {
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
    std::stringstream in(dirs);
    for (std::string dir; std::getline(in, dir, ':');)
        if (!dir.empty() && executable(dir + "/ser2net"))
            return dir + "/ser2net";
    return {};
}

// Whether 127.0.0.1:port is in the LISTEN state, from the kernel's table: asking by connecting
// would make the server open its device.
bool listening(uint16_t port) {
    std::ifstream in("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

}  // namespace

uint16_t freeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

ServerProcess::ServerProcess() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vorlinex-server-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
}

ServerProcess::~ServerProcess() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void ServerProcess::write(const std::string& name, const std::string& content) const {
    std::ofstream(file(name), std::ios::binary | std::ios::trunc) << content;
}

std::string ServerProcess::log() const { return earlierLog_ + (child_ ? child_->output() : std::string()); }

bool ServerProcess::start(const std::vector<std::string>& argv, const std::vector<uint16_t>& ports) {
    stop();
    error_.clear();
    child_ = std::make_unique<ChildProcess>(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (child_->running() && std::chrono::steady_clock::now() < deadline) {
        bool all = true;
        for (uint16_t p : ports) all = all && listening(p);
        if (all) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = argv[0] + (child_->running() ? " never listened: " : " exited at start: ") + log();
    stop();
    return false;
}

void ServerProcess::stop() {
    if (!child_) return;
    child_->signal(SIGTERM);
    child_->wait();  // killed if it takes longer than it may
    earlierLog_ = log();
    child_.reset();
}

std::string Ser2netServer::unavailable() {
    return findSer2net().empty() ? "ser2net is not installed (tools/install-deps.sh installs it)"
                                 : std::string();
}

Ser2netServer::Ser2netServer(std::string devicePath)
    : device_(std::move(devicePath)), rfc2217Port_(freeLocalPort()), rawPort_(freeLocalPort()) {
    while (rawPort_ == rfc2217Port_) rawPort_ = freeLocalPort();
    // `local`: a pty has no modem lines to wait for or to drive.
    const std::string connector = "serialdev," + device_ + ",local";
    std::ostringstream yaml;
    yaml << "%YAML 1.1\n---\n";
    const std::pair<const char*, std::string> ends[] = {
        {"rfc2217", "telnet(rfc2217),tcp,127.0.0.1," + std::to_string(rfc2217Port_)},
        {"raw", "tcp,127.0.0.1," + std::to_string(rawPort_)}};
    for (const auto& [name, accepter] : ends)
        yaml << "connection: &" << name << "\n"
             << "  accepter: " << accepter << "\n"
             << "  connector: " << connector << "\n"
             << "  options:\n"
             << "    chardelay: false\n";
    process_.write("ser2net.yaml", yaml.str());
}

bool Ser2netServer::start() {
    // -n: in the foreground; -u: no UUCP lock files in the system's lock folder; -P: its pid
    // file in the scratch folder rather than /run.
    return process_.start({findSer2net(), "-n", "-u", "-P", process_.file("ser2net.pid"), "-c",
                           process_.file("ser2net.yaml")},
                          {rfc2217Port_, rawPort_});
}
