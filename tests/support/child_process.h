// A program run as a child process for a test, one API on both systems (child_process_linux.cpp,
// child_process_win32.cpp): its output, standard output and error together, gathered as it
// comes; in a process group of its own, so that a terminal's Ctrl+C on the tests leaves it to
// the test; killed and waited for when its owner ends.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ChildProcess {
public:
    // Starts argv[0], a path, with `argv`. Each of `environment` ("NAME=value") is added to this
    // process's environment or replaces the variable of that name; a bare "NAME" removes it.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
    ~ChildProcess();
    ChildProcess(ChildProcess&&) = delete;

    bool started() const { return started_; }
    int64_t id() const { return id_; }
    std::string output() const;
    // Waits until `text` is in the output, for at most waitMs; false when it never came.
    bool awaitOutput(const std::string& text, int waitMs = 15000) const;
    // Whether it is still running (false once it has ended and been waited for).
    bool running();
    // Its exit code once it ends by itself within waitMs (on Linux 128 + the signal's number when
    // a signal ended it), or -1 when it had to be killed.
    int wait(int waitMs = 20000);
#ifndef _WIN32
    void signal(int number) const;
#endif

private:
    void gather();

    bool started_ = false, ended_ = false;
    int exitCode_ = -1;
    int64_t id_ = -1;
    intptr_t process_ = 0, output_ = -1;  // Windows: the process's and the pipe's handles; Linux: the pipe
    std::thread reader_;
    mutable std::mutex lock_;
    std::string gathered_;
};
