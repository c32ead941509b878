// The real program in its headless mode, as a child process with no window system at all (no
// display variables, no platform plugin to be found), between pseudo-terminal cables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>

#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"

extern char** environ;

namespace {

#ifdef VORLINEX_PROGRAM
const char* const kProgram = VORLINEX_PROGRAM;
#else
const char* const kProgram = nullptr;
#endif

// The program as a child: its stdout and stderr gathered as they come.
class Child {
public:
    explicit Child(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment = {}) {
        std::vector<std::string> args = {kProgram};
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
        env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char*> argv, envp;
        for (std::string& a : args) argv.push_back(a.data());
        for (std::string& e : env) envp.push_back(e.data());
        argv.push_back(nullptr), envp.push_back(nullptr);

        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1), ::dup2(err[1], 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]), ::close(err[1]);
        reader_ = std::thread([this, o = out[0], e = err[0]] { gather(o, e); });
    }
    ~Child() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (reader_.joinable()) reader_.join();
    }

    void signal(int number) const { ::kill(pid_, number); }

    // The exit status once it ended by itself (within 20 s), or -1 when it had to be killed.
    int wait() {
        int status = 0;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > giveUp) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                reaped_ = true;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reaped_ = true;
        reader_.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The first stderr line from `from` on that matches, waiting up to 15 s; "" when none came.
    // `from` moves past it, so that the next look finds a later line.
    std::string awaitLine(const std::string& pattern, size_t& from) {
        const std::regex wanted(pattern);
        std::string found;
        eventually([&] {
            std::lock_guard<std::mutex> hold(lock_);
            for (size_t end; (end = err_.find('\n', from)) != std::string::npos;) {
                const std::string line = err_.substr(from, end - from);
                from = end + 1;
                if (std::regex_search(line, wanted)) return found = line, true;
            }
            return false;
        });
        return found;
    }
    std::string awaitLine(const std::string& pattern) {
        size_t from = 0;
        return awaitLine(pattern, from);
    }
    std::string err() {
        std::lock_guard<std::mutex> hold(lock_);
        return err_;
    }
    std::string out() {
        std::lock_guard<std::mutex> hold(lock_);
        return out_;
    }

private:
    void gather(int out, int err) {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
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
                std::lock_guard<std::mutex> hold(lock_);
                (p.fd == out ? out_ : err_).append(buffer, static_cast<size_t>(n));
            }
        }
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::thread reader_;
    std::mutex lock_;
    std::string out_, err_;
};

// The settings of both ports (COM1 and COM2 on the given devices) and of the captures.
std::string headlessIni(const std::string& device1, const std::string& device2, int crlf = 0, int datetime = 0,
                        int datetimeval = 60) {
    return "[DATA1]\r\nCOM=0\r\nBPS=115200\r\nBIT=8\r\n[DATA2]\r\nCOM=1\r\nBPS=115200\r\nBIT=8\r\n[DATA]\r\nRATE=1\r\nCRLF=" +
           std::to_string(crlf) + "\r\nDATETIME=" + std::to_string(datetime) +
           "\r\nDATETIMEVAL=" + std::to_string(datetimeval) + "\r\n" + devicesSection({device1, device2, "", "", "", ""});
}

// The bytes of each direction as the combined capture holds them, in read order.
std::array<std::string, 2> combinedDirections(const std::string& file) {
    std::string error;
    std::array<std::string, 2> directions;
    for (const CombinedRecord& record : parseCombinedRecords(file, error)) directions[record.channel - 1] += record.bytes;
    EXPECT_EQ(error, "");
    return directions;
}

// Sends without pause and reads what comes back, each on a thread of its own, until stopped.
class FullTraffic {
public:
    FullTraffic(PtyCable& from, PtyCable& to, uint32_t seed)
        : sender_([this, &from, seed] {
              for (uint32_t round = 0; !stop_.load(); ++round) {
                  const std::string block = randomBytes(4096, seed + round);
                  from.send(block);
                  std::lock_guard<std::mutex> hold(lock_);
                  sent_ += block;
              }
          }),
          receiver_([this, &to] {
              while (!stop_.load() || !drained_.load()) {
                  const std::string got = to.receive(1 << 16, 50);
                  std::lock_guard<std::mutex> hold(lock_);
                  received_ += got;
                  if (stop_.load() && got.empty()) drained_ = true;
              }
          }) {}
    ~FullTraffic() { stop(); }
    void stop() {
        stop_ = true;
        if (sender_.joinable()) sender_.join();
        if (receiver_.joinable()) receiver_.join();
    }
    size_t receivedSize() {
        std::lock_guard<std::mutex> hold(lock_);
        return received_.size();
    }
    const std::string& sent() const { return sent_; }
    const std::string& received() const { return received_; }

private:
    std::atomic<bool> stop_{false}, drained_{false};
    std::mutex lock_;
    std::string sent_, received_;
    std::thread sender_, receiver_;
};

class Headless : public ::testing::Test {
protected:
    void SetUp() override {
        if (kProgram == nullptr) GTEST_SKIP() << "the program is built only with its windows (VORLINEX_WITH_QT)";
    }
    ScratchDir dir;
    PtyCable first, second;
};

const char* const kUsage = "Usage: vorlinex [--ini PATH] | vorlinex --headless";

TEST_F(Headless, HelpVersionAndBadOptionsExitWithTheirStatusOpeningNothing) {
    {
        Child help({"--help"});
        EXPECT_EQ(help.wait(), 0);
        for (const char* option : {"--ini", "--headless", "--log-a", "--log-b", "--log-combined", "--status-every", "--help", "--version"})
            EXPECT_NE(help.out().find("\n  " + std::string(option) + " "), std::string::npos) << option;
        Child version({"--version"});
        EXPECT_EQ(version.wait(), 0);
        EXPECT_EQ(version.out(), "Vorlinex v1.01a\n");
    }
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--headless", "--log-a", "a.log", "--frobnicate"}, "unknown option --frobnicate"},
        {{"--headless", "--log-a", "a.log", "--log-b"}, "--log-b needs a value"},
        {{"--headless", "--log-a", "a.log", "--status-every", "-5"}, "--status-every -5 is out of range"},
        {{"--log-a", "a.log"}, "--log-a needs --headless"},
    };
    for (const auto& [arguments, message] : refused) {
        Child child(arguments);
        EXPECT_EQ(child.wait(), 2) << message;
        const std::string err = child.err();
        EXPECT_TRUE(err.starts_with("vorlinex: " + message)) << err;
        const size_t second = err.find('\n') + 1;
        EXPECT_EQ(err.substr(second, std::strlen(kUsage)), kUsage) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("a.log"))) << message;
    }
}

TEST_F(Headless, ACaptureThatCannotBeOpenedEndsTheRunWithStatusOneBeforeAnyPortOpens) {
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    dir.write("a.log", "kept\n");
    Child child({"--headless", "--log-a", "a.log", "--log-combined", dir.file("no-such-folder/c.log")});
    EXPECT_EQ(child.wait(), 1);
    EXPECT_NE(child.err().find("<3>capture combined " + dir.file("no-such-folder/c.log") +
                               " cannot be opened: No such file or directory\n"),
              std::string::npos)
        << child.err();
    EXPECT_EQ(child.err().find("Open Error"), std::string::npos) << "no port was tried";
    EXPECT_EQ(dir.read("a.log"), "kept\n") << "appended to, never emptied";
}

}  // namespace
