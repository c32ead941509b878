#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" || name == "NOTIFY_SOCKET" ||
            name == "WATCHDOG_USEC" || name == "WATCHDOG_PID" || name == "QT_PLUGIN_PATH" ||
            name == "QT_QPA_PLATFORM_PLUGIN_PATH")
            continue;
        env.push_back(entry);
    }
    // No platform plugin can be found: a program that asked for one would fail to start.
    env.push_back("QT_PLUGIN_PATH=/nonexistent/vorlinex-no-plugins");
    env.push_back("QT_QPA_PLATFORM_PLUGIN_PATH=/nonexistent/vorlinex-no-plugins");
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    for (std::string& e : env) envp.push_back(e.data());
    argv.push_back(nullptr), envp.push_back(nullptr);

    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    system_->pid = ::fork();
    if (system_->pid == 0) {
        ::dup2(out[1], 1), ::dup2(err[1], 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]), ::close(err[1]);
    system_->reader = std::thread([this, o = out[0], e = err[0]] {
        pollfd fds[2] = {{o, POLLIN, 0}, {e, POLLIN, 0}};
        for (int open = 2; open > 0;) {
            ::poll(fds, 2, -1);
            for (pollfd& p : fds) {
                if (p.fd < 0 || p.revents == 0) continue;
                char buffer[4096];
                const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
                if (n <= 0) {
                    ::close(p.fd), p.fd = -1, --open;
                    continue;
                }
                gathered(p.fd == e, buffer, static_cast<size_t>(n));
            }
        }
    });
}

ChildProcess::~ChildProcess() {
    if (!system_->reaped) {
        ::kill(system_->pid, SIGKILL);
        int status = 0;
        ::waitpid(system_->pid, &status, 0);
    }
    if (system_->reader.joinable()) system_->reader.join();
}

bool ChildProcess::started() const { return system_->pid > 0; }

bool ChildProcess::requestStop() { return ::kill(system_->pid, SIGTERM) == 0; }

void ChildProcess::signal(int number) { ::kill(system_->pid, number); }

bool ChildProcess::running() {
    if (system_->reaped) return false;
    int status = 0;
    if (::waitpid(system_->pid, &status, WNOHANG) != system_->pid) return true;
    system_->reaped = true;
    system_->reader.join();
    return false;
}

int ChildProcess::wait() {
    if (system_->reaped) return -1;
    int status = 0;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::waitpid(system_->pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > giveUp) {
            ::kill(system_->pid, SIGKILL);
            ::waitpid(system_->pid, &status, 0);
            system_->reaped = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    system_->reaped = true;
    system_->reader.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string programBesideThisTest() { return {}; }
