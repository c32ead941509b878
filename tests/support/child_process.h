// The real program as a child process, its stdout and stderr gathered as they come. On Linux it
// gets no window system at all (no display variables, no platform plugin to be found); on
// Windows it runs in a process group of its own, so that Ctrl+Break reaches it alone.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ChildProcess {
public:
    // On Linux, `environment` entries ("NAME=value") are added to this process's.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    ~ChildProcess();  // kills it when it has not ended
    ChildProcess(ChildProcess&&) = delete;

    // The request a service manager makes to end it: SIGTERM; Ctrl+Break on Windows. false when
    // it could not be made (Wine gives no console to a program started outside a terminal).
    bool requestStop();
    // A signal, and whether it still runs (Linux only).
    void signal(int number);
    bool running();
    // The exit status once it ended by itself (within 20 s), or -1 when it had to be killed.
    int wait();

    std::string out() const;
    std::string err() const;
    std::string output() const { return out() + err(); }
    // The first stderr line from `from` on that matches `pattern` (a regular expression), waiting
    // up to 20 s; "" when none came. `from` moves past it, so that the next look finds a later one.
    std::string awaitLine(const std::string& pattern, size_t& from);
    std::string awaitLine(const std::string& pattern) { size_t from = 0; return awaitLine(pattern, from); }
    // As awaitLine; when none came, a failure of the test naming the pattern, with all of stderr.
    std::string expectLine(const std::string& pattern, size_t& from);

    // What the system's reader hands over as it comes.
    void gathered(bool fromErr, const char* bytes, size_t size);

    struct System;

private:
    mutable std::mutex lock_;
    std::string out_, err_;
    std::unique_ptr<System> system_;  // last: its reader ends before the text it fills goes
};

// vorlinex.exe beside the test program (Windows), where the build puts both.
std::string programBesideThisTest();

// The program these tests run; "" in a build without windows, which has none.
inline std::string programUnderTest() {
#ifdef _WIN32
    return programBesideThisTest();
#elif defined(VORLINEX_PROGRAM)
    return VORLINEX_PROGRAM;
#else
    return "";
#endif
}
