// The real program in its headless mode, as a child process with no window system at all (no
// display variables, no platform plugin to be found), between pseudo-terminal cables.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"
#include "tests/support/serial_servers.h"

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
    // Each pattern's line at or after `from`, in whatever order they come; `from` moves past the
    // last of them. Empty for a pattern whose line did not come.
    std::vector<std::string> awaitLines(const std::vector<std::string>& patterns, size_t& from) {
        std::vector<std::string> found;
        size_t end = from;
        for (const std::string& pattern : patterns) {
            size_t at = from;
            found.push_back(awaitLine(pattern, at));
            end = std::max(end, at);
        }
        from = end;
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

// Sends without pause, or at a line's pace of bytesPerSecond, and reads what comes back, each on
// a thread of its own, until stopped; a far end whose program has gone takes nothing more and
// gives nothing more.
class FullTraffic {
public:
    FullTraffic(PtyCable& from, PtyCable& to, uint32_t seed, int64_t bytesPerSecond = 0)
        : sender_([this, fd = from.master(), seed, bytesPerSecond] {
              const auto start = std::chrono::steady_clock::now();
              for (uint32_t round = 0; !stop_.load(); ++round) {
                  if (bytesPerSecond > 0)
                      std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t{round} * 4096 * 1000000 / bytesPerSecond));
                  const std::string block = randomBytes(4096, seed + round);
                  for (size_t done = 0; done < block.size() && !stop_.load();) {
                      const ssize_t n = ::write(fd, block.data() + done, block.size() - done);
                      if (n > 0) {
                          std::lock_guard<std::mutex> hold(lock_);
                          sent_.append(block, done, static_cast<size_t>(n));
                          done += static_cast<size_t>(n);
                      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                          return;
                      } else {
                          pollfd p{fd, POLLOUT, 0};
                          ::poll(&p, 1, 50);
                      }
                  }
              }
          }),
          receiver_([this, fd = to.master()] {
              // Until stopped and then quiet for 300 ms, or the far end is gone.
              for (int quiet = 0; !stop_.load() || quiet < 6;) {
                  pollfd p{fd, POLLIN, 0};
                  if (::poll(&p, 1, 50) <= 0) {
                      ++quiet;
                      continue;
                  }
                  char buffer[65536];
                  const ssize_t n = ::read(fd, buffer, sizeof buffer);
                  if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                  if (n <= 0) {
                      ++quiet;
                      std::this_thread::sleep_for(std::chrono::milliseconds(50));
                      continue;
                  }
                  quiet = 0;
                  std::lock_guard<std::mutex> hold(lock_);
                  received_.append(buffer, static_cast<size_t>(n));
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
    // Once stopped.
    const std::string& sent() const { return sent_; }
    const std::string& received() const { return received_; }

private:
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string sent_, received_;
    std::thread sender_, receiver_;
};

// Asks for status lines (SIGUSR1) until one matches what the program should come to say.
std::string awaitStatus(Child& child, const std::string& pattern, size_t& from) {
    const std::regex wanted(pattern);
    for (int tries = 0; tries < 100; ++tries) {
        child.signal(SIGUSR1);
        const std::string line = child.awaitLine("^<6>up ", from);
        if (line.empty() || std::regex_search(line, wanted)) return line;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

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

// A settings file named with --ini that cannot be read ends the run at once, with its path and
// why, before any capture or port is opened (./Vorlinex.ini is not taken instead). A COM out of
// range in a file that is read is told with its line, and its port takes its default.
TEST_F(Headless, ANamedSettingsFileThatCannotBeReadEndsTheRunAndAComOutOfRangeIsToldAndReplaced) {
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    std::filesystem::create_directory(dir.file("folder.ini"));
    dir.write("notes.ini", "relay notes\nCOM=3\n");
    const std::pair<std::string, std::string> refused[] = {
        {"missing.ini", "No such file or directory"},
        {"folder.ini", "Is a directory"},
        {"notes.ini", "not a settings file (it has no [DATA1], [DATA2], [DATA] or [DEVICES] section)"}};
    for (const auto& [name, why] : refused) {
        Child child({"--headless", "--ini", name, "--log-a", "a.log"});
        EXPECT_EQ(child.wait(), 1) << name;
        EXPECT_EQ(child.err(), "<3>settings " + dir.file(name) + " cannot be read: " + why + "\n");
        EXPECT_FALSE(std::filesystem::exists(dir.file("a.log"))) << name;
    }

    std::string ini = headlessIni(first.slavePath(), second.slavePath());
    ini.replace(ini.find("COM=0"), 5, "COM=99");
    dir.write("com.ini", ini);
    Child child({"--headless", "--ini", "com.ini", "--status-every", "0"});
    size_t from = 0;
    EXPECT_NE(child.awaitLine("^<4>" + dir.file("com.ini") +
                                  " line 2: \\[DATA1\\] COM=99 is out of range \\(0 to 5 for COM1 to COM6\\): port 1 uses COM1$",
                              from),
              "") << child.err();
    EXPECT_NE(child.awaitLine("^<5>relaying COM1 " + first.slavePath() + " <-> COM2 " + second.slavePath() + ", ", from), "")
        << child.err();
    expectRelaysBothWays(first, second, 5);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
}

// Random bytes both ways arrive exactly, each capture holds what was relayed after what the file
// held before (CRLF 0), and SIGUSR1 gives a status line with the counts.
TEST_F(Headless, RelaysBothWaysExactlyCapturesWhatWasRelayedAndTellsTheCountsOnSigusr1) {
    dir.write("site.ini", headlessIni(first.slavePath(), second.slavePath()));
    for (const char* name : {"a.log", "b.log"}) dir.write(name, std::string("before\r\n"));
    Child child({"--headless", "--ini", "site.ini", "--log-a", "a.log", "--log-b", "b.log", "--log-combined",
                 "c.log", "--status-every", "0"});
    ASSERT_NE(child.awaitLine("^<5>relaying COM1 " + first.slavePath() + " <-> COM2 " + second.slavePath() +
                              ", settings " + dir.file("site.ini") + "$"),
              "")
        << child.err();
    const std::string forth = randomBytes(150000, 7), back = randomBytes(120000, 8);
    std::string gotForth, gotBack;
    std::thread sender([&] { first.send(forth); });
    std::thread senderBack([&] { second.send(back); });
    std::thread receiver([&] { gotForth = second.receive(forth.size(), 10000); });
    gotBack = first.receive(back.size(), 10000);
    sender.join(), senderBack.join(), receiver.join();
    EXPECT_TRUE(gotForth == forth) << "COM1 -> COM2: " << gotForth.size() << " of " << forth.size();
    EXPECT_TRUE(gotBack == back) << "COM2 -> COM1: " << gotBack.size() << " of " << back.size();

    child.signal(SIGUSR1);
    const std::string status = child.awaitLine("^<6>up ");
    EXPECT_NE(status.find("  COM1 " + first.slavePath() + " present  COM2 " + second.slavePath() + " present  "),
              std::string::npos) << status;
    EXPECT_NE(status.find("  1>2 150,000 B "), std::string::npos) << status;
    EXPECT_NE(status.find("  2>1 120,000 B "), std::string::npos) << status;
    EXPECT_EQ(status.find("undelivered"), std::string::npos) << status;
    EXPECT_NE(status.find("  captures: a 150.0 kB, b 120.0 kB, combined 270.0 kB"), std::string::npos) << status;

    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
    EXPECT_EQ(child.err().find("<3>"), std::string::npos) << child.err();
    EXPECT_TRUE(dir.read("a.log") == "before\r\n" + forth);
    EXPECT_TRUE(dir.read("b.log") == "before\r\n" + back);
    const auto directions = combinedDirections(dir.read("c.log"));
    EXPECT_TRUE(directions[0] == forth && directions[1] == back);
}

// What the window's LOG A and LOG B write with the CRLF option and date-time lines: every CR (2)
// or LF (1) of the stamped chunk removed, the stamp's own line end included; a stamp before the
// first chunk and before each that follows a quiet of DATETIMEVAL seconds, none in between.
TEST_F(Headless, CapturesRemoveWhatTheCrlfOptionSaysAndStampChunksAfterAQuiet) {
    const std::string bursts[2][3] = {{"ab\r\ncd\r\n", "\r\nef\n\rg", "h\r\n"}, {"OK\r\n", "\n\n\r\r", "x"}};
    for (int crlf : {1, 2}) {
        SCOPED_TRACE("CRLF=" + std::to_string(crlf));
        dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath(), crlf, 1, 2));
        std::filesystem::remove(dir.file("a.log")), std::filesystem::remove(dir.file("b.log"));
        std::filesystem::remove(dir.file("c.log"));
        Child child({"--headless", "--log-a", "a.log", "--log-b", "b.log", "--log-combined", "c.log"});
        ASSERT_NE(child.awaitLine("^<5>relaying "), "") << child.err();
        for (int round = 0; round < 3; ++round) {
            first.send(bursts[0][round]), second.send(bursts[1][round]);
            EXPECT_EQ(second.receive(bursts[0][round].size()), bursts[0][round]);
            EXPECT_EQ(first.receive(bursts[1][round].size()), bursts[1][round]);
            // The second burst follows at once (no stamp), the third after a quiet of more than two
            // of the one-second ticks (a stamp).
            if (round == 1) std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        }
        child.signal(SIGTERM);
        EXPECT_EQ(child.wait(), 0) << child.err();
        const char removed = crlf == 2 ? '\r' : '\n';
        const auto filtered = [removed](std::string text) {
            std::erase(text, removed);
            return text;
        };
        const std::regex stamp(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)");
        const std::string stampEnd = filtered("\n");
        for (int channel = 1; channel <= 2; ++channel) {
            const std::string file = dir.read(channel == 1 ? "a.log" : "b.log");
            const std::string* burst = bursts[channel - 1];
            const std::string first = filtered(burst[0] + burst[1]), last = filtered(burst[2]);
            const size_t stampSize = 19 + stampEnd.size();
            ASSERT_EQ(file.size(), 2 * stampSize + first.size() + last.size()) << file;
            EXPECT_TRUE(std::regex_match(file.substr(0, 19), stamp)) << file;
            EXPECT_EQ(file.substr(19, stampSize - 19 + first.size()), stampEnd + first);
            EXPECT_TRUE(std::regex_match(file.substr(stampSize + first.size(), 19), stamp)) << file;
            EXPECT_EQ(file.substr(stampSize + first.size() + 19), stampEnd + last);
        }
        // The combined capture keeps every byte and no stamp, whatever the option.
        const auto directions = combinedDirections(dir.read("c.log"));
        EXPECT_EQ(directions[0], bursts[0][0] + bursts[0][1] + bursts[0][2]);
        EXPECT_EQ(directions[1], bursts[1][0] + bursts[1][1] + bursts[1][2]);
    }
}

// A port missing at start is told and waited for; one unplugged later is told at once, and when
// it is back, relayed to and from again.
TEST_F(Headless, APortMissingAtStartOrUnpluggedIsToldWaitedForAndRelayedAgain) {
    PluggableCable adapter(dir.file("ttyUSB1"), /*plugged=*/false);
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), adapter.path()));
    Child child({"--headless", "--log-b", "b.log", "--status-every", "0"});
    size_t from = 0;
    EXPECT_NE(child.awaitLine("^<4>Com2 Open Error: " + adapter.path() + ": No such file or directory", from), "")
        << child.err();
    ASSERT_NE(child.awaitLine("^<5>relaying ", from), "");
    EXPECT_NE(awaitStatus(child, "COM2 " + adapter.path() + " away \\d\\d:\\d\\d:\\d\\d  ", from), "") << child.err();
    first.send("lost");
    EXPECT_NE(awaitStatus(child, "  undelivered to COM2 4 B", from), "") << child.err();

    adapter.plug();
    EXPECT_NE(child.awaitLine("^<5>\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d COM2 " + adapter.path() +
                                  " is back after \\d\\d:\\d\\d:\\d\\d$", from),
              "") << child.err();
    expectRelaysBothWays(first, adapter.device(), 11);

    adapter.unplug();
    EXPECT_NE(child.awaitLine("^<4>\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d COM2 " + adapter.path() +
                                  " went away: " + adapter.path() + " unplugged, waiting$", from),
              "") << child.err();
    adapter.plug();
    EXPECT_NE(child.awaitLine("^<5>.* COM2 " + adapter.path() + " is back after ", from), "") << child.err();
    expectRelaysBothWays(first, adapter.device(), 12);
    const std::string status = awaitStatus(child, "2>1 8,000 B ", from);
    EXPECT_NE(status.find("COM2 " + adapter.path() + " present  1>2 6,004 B "), std::string::npos) << status;
    EXPECT_NE(status.find("2>1 8,000 B "), std::string::npos) << status;
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
    EXPECT_TRUE(dir.read("b.log") == randomBytes(4000, 12) + randomBytes(4000, 13));
}

// systemd's side: READY=1 once the ports were tried and the captures opened, the status kept
// current, the watchdog pinged from the loop at half its period, STOPPING=1 at the end.
TEST_F(Headless, ToldSystemdReadinessStatusAndWatchdogOnItsNotifySocket) {
    const std::string socketPath = dir.file("notify");
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    const auto nextMessage = [socket] {
        pollfd p{socket, POLLIN, 0};
        if (::poll(&p, 1, 15000) <= 0) return std::string();
        char buffer[4096];
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    };

    PluggableCable adapter(dir.file("ttyUSB1"), /*plugged=*/false);
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), adapter.path()));
    Child child({"--headless", "--log-a", "a.log"}, {"NOTIFY_SOCKET=" + socketPath, "WATCHDOG_USEC=400000"});
    std::vector<std::string> messages;
    const auto awaitMessage = [&](const std::string& pattern) {
        const std::regex wanted(pattern);
        for (std::string m; !(m = nextMessage()).empty();) {
            messages.push_back(m);
            if (std::regex_search(m, wanted)) return m;
        }
        return std::string();
    };
    const std::string ready = awaitMessage("READY=1");
    EXPECT_TRUE(std::regex_match(ready, std::regex("READY=1\nSTATUS=COM1 present, COM2 away 00:00:0\\d, 1>2 0 B/s, 2>1 0 B/s")))
        << ready;
    EXPECT_TRUE(std::filesystem::exists(dir.file("a.log"))) << "the captures are open before it is ready";
    // Pinged again and again while it runs: the first at once, then every 200 ms.
    for (int pings = 0; pings < 3; ++pings) EXPECT_EQ(awaitMessage("^WATCHDOG=1$"), "WATCHDOG=1");

    adapter.plug();
    EXPECT_NE(awaitMessage("^STATUS=COM1 present, COM2 present, 1>2 0 B/s, 2>1 0 B/s$"), "");
    FullTraffic traffic(first, adapter.device(), 21);
    EXPECT_NE(awaitMessage("^STATUS=COM1 present, COM2 present, 1>2 [1-9][0-9,]* B/s, 2>1 0 B/s$"), "");
    traffic.stop();
    EXPECT_NE(awaitMessage("^STATUS=COM1 present, COM2 present, 1>2 0 B/s, 2>1 0 B/s$"), "");
    child.signal(SIGTERM);
    EXPECT_EQ(awaitMessage("^STOPPING=1$"), "STOPPING=1");
    EXPECT_EQ(child.wait(), 0) << child.err();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), ready), 1);
    ::close(socket);
}

// SIGTERM while both directions run at 921,600 baud (the stop is the point, not the speed: a
// writer that a busy machine starves must not fall behind): exit 0, and every capture complete:
// it holds every byte that reached the far end (and at most those read after them that the stop
// kept from it).
TEST_F(Headless, SigtermUnderFullTrafficExitsZeroWithEveryCaptureComplete) {
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    Child child({"--headless", "--log-a", "a.log", "--log-b", "b.log", "--log-combined", "c.log"});
    ASSERT_NE(child.awaitLine("^<5>relaying "), "") << child.err();
    FullTraffic forth(first, second, 31, 92160), back(second, first, 41, 92160);
    EXPECT_TRUE(eventually([&] { return forth.receivedSize() > 300000 && back.receivedSize() > 300000; }));
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
    forth.stop(), back.stop();
    const auto directions = combinedDirections(dir.read("c.log"));
    const std::string captured[2][2] = {{dir.read("a.log"), directions[0]}, {dir.read("b.log"), directions[1]}};
    FullTraffic* const traffic[2] = {&forth, &back};
    for (int channel = 0; channel < 2; ++channel) {
        for (const std::string& capture : captured[channel]) {
            EXPECT_TRUE(capture.starts_with(traffic[channel]->received()))
                << "channel " << channel + 1 << ": " << capture.size() << " captured, " << traffic[channel]->received().size()
                << " relayed";
            EXPECT_TRUE(traffic[channel]->sent().starts_with(capture)) << "channel " << channel + 1;
        }
    }
    EXPECT_EQ(child.err().find("<3>"), std::string::npos) << child.err();
}

// logrotate's way under full traffic both ways (at 921,600 baud: the rotation is the point, not
// the speed, and a writer that a busy machine starves must not fall behind): each file renamed,
// then SIGHUP, ten times. The old files and the new one together hold every byte once, in order;
// a reopen that cannot open its path (its folder gone) is told, writes on into the file it had,
// and is done at the next SIGHUP.
TEST_F(Headless, RotatedTenTimesUnderFullTrafficTheFilesTogetherHoldEveryByteOnce) {
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    std::filesystem::create_directory(dir.file("logs"));
    Child child({"--headless", "--log-a", "logs/a.log", "--log-b", "logs/b.log", "--log-combined", "c.log",
                 "--status-every", "0"});
    size_t from = 0;
    ASSERT_NE(child.awaitLine("^<5>relaying ", from), "") << child.err();
    std::vector<std::string> oldFiles[3];  // a, b, combined: the rotated files, oldest first
    {
        FullTraffic forth(first, second, 51, 92160), back(second, first, 61, 92160);
        for (int rotation = 1; rotation <= 10; ++rotation) {
            const size_t relayed = forth.receivedSize() + back.receivedSize();
            EXPECT_TRUE(eventually([&] { return forth.receivedSize() + back.receivedSize() > relayed + 50000; }));
            const std::string n = std::to_string(rotation);
            std::filesystem::rename(dir.file("logs/a.log"), dir.file("logs/a.log." + n));
            std::filesystem::rename(dir.file("logs/b.log"), dir.file("logs/b.log." + n));
            std::filesystem::rename(dir.file("c.log"), dir.file("c.log." + n));
            oldFiles[0].push_back("logs/a.log." + n), oldFiles[1].push_back("logs/b.log." + n);
            oldFiles[2].push_back("c.log." + n);
            child.signal(SIGHUP);
            const char* const captures[3] = {"a logs/a.log", "b logs/b.log", "combined c.log"};
            std::vector<std::string> patterns;
            for (const char* capture : captures) patterns.push_back(std::string("^<5>.* capture ") + capture + " reopened$");
            const std::vector<std::string> told = child.awaitLines(patterns, from);
            for (int which = 0; which < 3; ++which)
                EXPECT_NE(told[which], "") << captures[which] << " at rotation " << rotation << "\n" << child.err();
        }
        // The folder of a and b gone: their reopen fails and they write on into the files they had.
        std::filesystem::rename(dir.file("logs"), dir.file("logs.gone"));
        child.signal(SIGHUP);
        for (const std::string& line :
             child.awaitLines({"^<3>.* capture a logs/a.log could not be reopened: No such file or directory; .*next SIGHUP$",
                               "^<3>.* capture b logs/b.log could not be reopened: No such file or directory; .*next SIGHUP$"},
                              from))
            EXPECT_NE(line, "") << child.err();
        const size_t relayed = forth.receivedSize() + back.receivedSize();
        EXPECT_TRUE(eventually([&] { return forth.receivedSize() + back.receivedSize() > relayed + 50000; }));
        std::filesystem::create_directory(dir.file("logs"));
        child.signal(SIGHUP);
        for (const std::string& line :
             child.awaitLines({"^<5>.* capture a logs/a.log reopened$", "^<5>.* capture b logs/b.log reopened$"}, from))
            EXPECT_NE(line, "") << child.err();
        forth.stop(), back.stop();
        EXPECT_TRUE(forth.received() == forth.sent() && back.received() == back.sent());
        child.signal(SIGTERM);
        EXPECT_EQ(child.wait(), 0) << child.err();

        const std::string sent[2] = {forth.sent(), back.sent()};
        // The files written before the folder went are in logs.gone now.
        for (int which = 0; which < 2; ++which) {
            std::string whole;
            for (const std::string& name : oldFiles[which]) {
                const std::string moved = "logs.gone/" + name.substr(5);
                const std::string part = dir.read(moved);
                EXPECT_FALSE(part.empty()) << moved;
                whole += part;
            }
            whole += dir.read(which == 0 ? "logs.gone/a.log" : "logs.gone/b.log");
            whole += dir.read(which == 0 ? "logs/a.log" : "logs/b.log");
            EXPECT_TRUE(whole == sent[which]) << "channel " << which + 1 << ": " << whole.size() << " of " << sent[which].size();
        }
        std::string combined;
        for (const std::string& name : oldFiles[2]) combined += dir.read(name);
        combined += dir.read("c.log");
        const auto directions = combinedDirections(combined);
        EXPECT_TRUE(directions[0] == sent[0] && directions[1] == sent[1]);
    }
    const std::string err = child.err();
    size_t errors = 0;
    for (size_t at = 0; (at = err.find("<3>", at)) != std::string::npos; ++at) ++errors;
    EXPECT_EQ(errors, 2u) << "no error but the two failed reopens:\n" << err;
}

// A capture whose file fails later (its reader has gone) ends with one line; relaying goes on and
// the other captures with it. SIGHUP opens it again, appended to, and says so; while its path
// still cannot be opened, it says why and waits for the next SIGHUP.
TEST_F(Headless, ACaptureThatFailsLaterEndsWithALineWhileRelayingGoesOnAndSighupOpensItAgain) {
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    ASSERT_EQ(::mkfifo(dir.file("a.fifo").c_str(), 0600), 0);
    const int reader = ::open(dir.file("a.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Child child({"--headless", "--log-a", "a.fifo", "--log-b", "b.log", "--status-every", "0"});
    size_t from = 0;
    ASSERT_NE(child.awaitLine("^<5>relaying ", from), "") << child.err();
    first.send("one");
    EXPECT_EQ(second.receive(3), "one");
    std::string piped;
    EXPECT_TRUE(eventually([&] {
        char buffer[16];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0) piped.append(buffer, static_cast<size_t>(n));
        return piped == "one";
    }));
    ::close(reader);
    first.send("two");
    EXPECT_EQ(second.receive(3), "two");
    EXPECT_NE(child.awaitLine("^<3>.* capture a ended: .*a.fifo: Broken pipe; relaying goes on$", from), "") << child.err();
    expectRelaysBothWays(first, second, 71);
    EXPECT_NE(awaitStatus(child, "captures: a 3 B \\(ended\\), b 4.0 kB$", from), "") << child.err();

    child.signal(SIGHUP);
    EXPECT_NE(child.awaitLine("^<3>.* capture a a.fifo could not be opened again: .*no program is reading from this "
                              "pipe.*; it is tried again at the next SIGHUP$", from),
              "") << child.err();
    const int again = ::open(dir.file("a.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    child.signal(SIGHUP);
    EXPECT_NE(child.awaitLine("^<5>.* capture a a.fifo opened again after it had ended$", from), "") << child.err();
    first.send("three");
    EXPECT_EQ(second.receive(5), "three");
    piped.clear();
    EXPECT_TRUE(eventually([&] {
        char buffer[16];
        const ssize_t n = ::read(again, buffer, sizeof buffer);
        if (n > 0) piped.append(buffer, static_cast<size_t>(n));
        return piped == "three";
    })) << piped;
    EXPECT_NE(awaitStatus(child, "captures: a 5 B, b 4.0 kB$", from), "") << child.err();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
    ::close(again);
    EXPECT_TRUE(dir.read("b.log") == randomBytes(4000, 72));
}

// A network port connects in the background and is finished by the reconnect steps, as in the
// window; then it relays like any other.
TEST_F(Headless, ANetworkPortConnectsInTheBackgroundAndRelays) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    Ser2netServer server(second.slavePath());
    ASSERT_TRUE(server.start()) << server.error();
    const std::string address = "rfc2217://127.0.0.1:" + std::to_string(server.rfc2217Port());
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), address));
    Child child({"--headless", "--log-b", "b.log", "--status-every", "0"});
    size_t from = 0;
    ASSERT_NE(child.awaitLine("^<5>relaying COM1 " + first.slavePath() + " <-> COM2 " + address, from), "") << child.err();
    EXPECT_NE(awaitStatus(child, "COM2 " + address + " present  ", from), "") << child.err();
    expectRelaysBothWays(first, second, 81);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
    EXPECT_TRUE(dir.read("b.log") == randomBytes(4000, 82));
}

// Each way a network port's connection ends reads as the window's status bar words it: a
// server whose device is missing says so and closes (ser2net), another resets the connection.
// Told once per loss, also when the connection ended before a step saw it up.
TEST_F(Headless, ANetworkPortThatIsLostSaysHowItsConnectionEnded) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    PluggableCable served(dir.file("ttyServed"), /*plugged=*/false);
    Ser2netServer server(served.path());
    ASSERT_TRUE(server.start()) << server.error();
    // Reads what the program sends first (its negotiation: it is connected then), then resets.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(listener, 4) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    std::atomic<bool> done{false};
    std::thread resetter([&] {
        while (!done.load()) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            pollfd c{connection, POLLIN, 0};
            char opening[64];
            if (::poll(&c, 1, 10000) > 0 && ::read(connection, opening, sizeof opening) > 0) {
                const linger reset{1, 0};
                ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            ::close(connection);
        }
    });
    const std::string complaining = "rfc2217://127.0.0.1:" + std::to_string(server.rfc2217Port());
    const std::string resetting = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    dir.write("Vorlinex.ini", headlessIni(complaining, resetting));
    Child child({"--headless", "--status-every", "0"});
    size_t from1 = 0, from2 = 0;
    EXPECT_NE(child.awaitLine("^<4>.* COM1 " + complaining + " went away: " + complaining + ": Device open failure: .+$", from1),
              "") << child.err();
    EXPECT_NE(child.awaitLine("^<4>.* COM2 " + resetting + " went away: " + resetting +
                                  " connection lost: connection reset by peer, retrying$", from2),
              "") << child.err();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
    done = true;
    resetter.join();
    ::close(listener);
    EXPECT_EQ(child.err().find("closed the connection"), std::string::npos) << child.err();
}

}  // namespace
