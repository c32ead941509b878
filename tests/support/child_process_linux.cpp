#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"

extern char** environ;

struct ChildProcess::System {
    pid_t pid = -1;
    bool reaped = false;
    std::thread reader;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
    : system_(std::make_unique<System>()) {
    std::vector<std::string> args = {program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    // No window system, and no platform plugin to be found: a program that asked for one would fail to start.
    std::vector<std::string> env = {"QT_PLUGIN_PATH=/nonexistent/vorlinex-no-plugins",
                                    "QT_QPA_PLATFORM_PLUGIN_PATH=/nonexistent/vorlinex-no-plugins"};
    static const std::set<std::string> dropped = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET",
        "WATCHDOG_USEC", "WATCHDOG_PID", "QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH"};
    for (char** e = environ; *e != nullptr; ++e)
        if (!dropped.contains(std::string(*e).substr(0, std::string(*e).find('=')))) env.push_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    system_->pid = ::fork();
    if (system_->pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    system_->reader = std::thread([this, o = out[0], e = err[0]] {
        pollfd fds[2] = {{o, POLLIN, 0}, {e, POLLIN, 0}};
        for (int open = 2; open > 0;) {
            ::poll(fds, 2, -1);
            for (pollfd& p : fds) {
                if (p.fd < 0 || p.revents == 0) continue;
                char buffer[4096];
                if (const ssize_t n = ::read(p.fd, buffer, sizeof buffer); n > 0) {
                    gathered(p.fd == e, buffer, static_cast<size_t>(n));
                    continue;
                }
                ::close(p.fd);
                p.fd = -1;
                --open;
            }
        }
    });
}

ChildProcess::~ChildProcess() {
    if (!system_->reaped) ::kill(system_->pid, SIGKILL), ::waitpid(system_->pid, nullptr, 0);
    if (system_->reader.joinable()) system_->reader.join();
}

bool ChildProcess::requestStop() { return ::kill(system_->pid, SIGTERM) == 0; }

void ChildProcess::signal(int number) { ::kill(system_->pid, number); }

bool ChildProcess::running() {
    if (system_->reaped) return false;
    if (::waitpid(system_->pid, nullptr, WNOHANG) != system_->pid) return true;
    system_->reaped = true;
    system_->reader.join();
    return false;
}

int ChildProcess::wait() {
    if (system_->reaped) return -1;
    int status = 0;
    pid_t ended = 0;
    for (const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         (ended = ::waitpid(system_->pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < giveUp;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (ended == 0) ::kill(system_->pid, SIGKILL), ::waitpid(system_->pid, &status, 0);
    system_->reaped = true;
    system_->reader.join();
    return ended == 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
