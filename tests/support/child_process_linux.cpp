#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    std::vector<std::string> env;
    const auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const std::string& wanted : environment) replaced = replaced || nameOf(wanted) == nameOf(*e);
        if (!replaced) env.push_back(*e);
    }
    for (const std::string& wanted : environment)
        if (wanted.find('=') != std::string::npos) env.push_back(wanted);
    // Made before the fork: after it, the child of a threaded process may only make system calls.
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (std::string& e : env) envp.push_back(e.data());
    args.push_back(nullptr), envp.push_back(nullptr);
    int out[2];
    if (argv.empty() || ::pipe2(out, O_CLOEXEC) != 0) return;
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(null, 0), ::dup2(out[1], 1), ::dup2(out[1], 2);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]), ::close(null);
    if (pid < 0) {
        ::close(out[0]);
        return;
    }
    started_ = true;
    id_ = pid;
    output_ = out[0];
    reader_ = std::thread([this] { gather(); });
}

ChildProcess::~ChildProcess() {
    if (started_ && !ended_) {
        ::kill(static_cast<pid_t>(id_), SIGKILL);
        ::waitpid(static_cast<pid_t>(id_), nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (output_ >= 0) ::close(static_cast<int>(output_));
}

void ChildProcess::gather() {
    char buffer[4096];
    for (ssize_t n; (n = ::read(static_cast<int>(output_), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        std::lock_guard hold(lock_);
        gathered_.append(buffer, static_cast<size_t>(n));
    }
}

bool ChildProcess::running() {
    if (!started_ || ended_) return false;
    int status = 0;
    if (::waitpid(static_cast<pid_t>(id_), &status, WNOHANG) != id_) return true;
    ended_ = true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

int ChildProcess::wait(int waitMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (running()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            ::kill(static_cast<pid_t>(id_), SIGKILL);
            ::waitpid(static_cast<pid_t>(id_), nullptr, 0);
            ended_ = true;
            exitCode_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (reader_.joinable()) reader_.join();  // everything it wrote is in
    return exitCode_;
}

void ChildProcess::signal(int number) const {
    if (started_ && !ended_) ::kill(static_cast<pid_t>(id_), number);
}
