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

#include "tests/support/child_process.h"
#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"
#include "tests/support/serial_servers.h"

namespace {

// The program as a child, with no window system at all.
struct Child : ChildProcess {
    explicit Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {})
        : ChildProcess(programUnderTest(), arguments, environment) {}
};

// The settings of both ports (COM1 and COM2 on the given devices) and of the captures.
std::string headlessIni(const std::string& device1, const std::string& device2) {
    return "[DATA1]\r\nCOM=0\r\nBPS=115200\r\nBIT=8\r\n[DATA2]\r\nCOM=1\r\nBPS=115200\r\nBIT=8\r\n[DATA]\r\nRATE=1\r\n" +
           devicesSection({device1, device2, "", "", "", ""});
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
        if (programUnderTest().empty()) GTEST_SKIP() << "the program is built only with its windows (VORLINEX_WITH_QT)";
    }
    ScratchDir dir;
    PtyCable first, second;
};

const char* const kUsage = "Usage: vorlinex [--ini PATH] | vorlinex --headless";

// What main() does with the command line: help and version on stdout with 0, a refusal on stderr
// with the usage line and 2, opening nothing. Its parsing is command_line_test's.
TEST_F(Headless, HelpVersionAndABadOptionExitWithTheirStatusOpeningNothing) {
    Child help({"--help"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_TRUE(help.out().starts_with(kUsage)) << help.out();
    Child version({"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out(), "Vorlinex v1.01a\n");
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    Child refused({"--headless", "--log-a", "a.log", "--frobnicate"});
    EXPECT_EQ(refused.wait(), 2);
    const std::string err = refused.err();
    EXPECT_TRUE(err.starts_with("vorlinex: unknown option --frobnicate\n" + std::string(kUsage))) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.log")));
}

// A settings file named with --ini that cannot be read ends the run at once, with its path and
// why, before any capture or port is opened (./Vorlinex.ini is not taken instead; the reasons are
// command_line_test's). A COM out of range in a file that is read is told with its line.
TEST_F(Headless, ANamedSettingsFileThatCannotBeReadEndsTheRunAndAComOutOfRangeIsTold) {
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    Child missing({"--headless", "--ini", "missing.ini", "--log-a", "a.log"});
    EXPECT_EQ(missing.wait(), 1);
    EXPECT_EQ(missing.err(), "<3>settings " + dir.file("missing.ini") + " cannot be read: No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.log")));

    std::string ini = headlessIni(first.slavePath(), second.slavePath());
    ini.replace(ini.find("COM=0"), 5, "COM=99");
    dir.write("com.ini", ini);
    Child child({"--headless", "--ini", "com.ini", "--status-every", "0"});
    size_t from = 0;
    EXPECT_NE(child.awaitLine("^<4>" + dir.file("com.ini") +
                                  " line 2: \\[DATA1\\] COM=99 is out of range \\(0 to 5 for COM1 to COM6\\): port 1 uses COM1$",
                              from),
              "") << child.err();
    EXPECT_NE(child.awaitLine("^<5>relaying COM1 " + first.slavePath() + " <-> COM2 ", from), "") << child.err();
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

// logrotate's way: each file renamed, then SIGHUP; each capture says it reopened, and the old
// and new files together hold every byte once (where a reopen falls between chunks is
// capture_rotation_test's). A reopen that cannot open its path (its folder gone) is told, writes
// on into the file it had, and is done at the next SIGHUP.
TEST_F(Headless, RotatedOnSighupTheFilesTogetherHoldEveryByteOnceAndAFailedReopenIsTriedAgain) {
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), second.slavePath()));
    std::filesystem::create_directory(dir.file("logs"));
    Child child({"--headless", "--log-a", "logs/a.log", "--log-b", "logs/b.log", "--log-combined", "c.log",
                 "--status-every", "0"});
    size_t from = 0;
    ASSERT_NE(child.awaitLine("^<5>relaying ", from), "") << child.err();
    const auto reopened = [&](const std::vector<std::string>& captures, const char* how) {
        std::vector<std::string> patterns;
        for (const std::string& capture : captures) patterns.push_back("^<.>.* capture " + capture + " " + how);
        for (const std::string& line : child.awaitLines(patterns, from)) EXPECT_NE(line, "") << how << "\n" << child.err();
    };
    expectRelaysBothWays(first, second, 51);
    for (const char* name : {"logs/a.log", "logs/b.log", "c.log"})
        std::filesystem::rename(dir.file(name), dir.file(std::string(name) + ".1"));
    child.signal(SIGHUP);
    reopened({"a logs/a.log", "b logs/b.log", "combined c.log"}, "reopened$");
    expectRelaysBothWays(first, second, 61);
    std::filesystem::rename(dir.file("logs"), dir.file("logs.gone"));
    child.signal(SIGHUP);
    reopened({"a logs/a.log", "b logs/b.log"}, "could not be reopened: No such file or directory; .*next SIGHUP$");
    expectRelaysBothWays(first, second, 71);
    std::filesystem::create_directory(dir.file("logs"));
    child.signal(SIGHUP);
    reopened({"a logs/a.log", "b logs/b.log"}, "reopened$");
    expectRelaysBothWays(first, second, 81);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();

    std::string sent[2];
    for (uint32_t seed : {51u, 61u, 71u, 81u}) sent[0] += randomBytes(3000, seed), sent[1] += randomBytes(4000, seed + 1);
    for (int which = 0; which < 2; ++which) {
        const std::string name = which == 0 ? "a.log" : "b.log";
        const std::string whole = dir.read("logs.gone/" + name + ".1") + dir.read("logs.gone/" + name) + dir.read("logs/" + name);
        EXPECT_TRUE(whole == sent[which]) << name << ": " << whole.size() << " of " << sent[which].size();
    }
    const auto directions = combinedDirections(dir.read("c.log.1") + dir.read("c.log"));
    EXPECT_TRUE(directions[0] == sent[0] && directions[1] == sent[1]);
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

// A network port whose server resets the connection once it has spoken (the program is connected
// by then) is told in the words the catalogue gives it, once per loss: also when the connection
// ended before a reconnect step saw it up.
TEST_F(Headless, ANetworkPortThatIsLostSaysHowItsConnectionEnded) {
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
    const std::string resetting = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), resetting));
    Child child({"--headless", "--status-every", "0"});
    EXPECT_NE(child.awaitLine("^<4>.* COM2 " + resetting + " went away: " + resetting +
                              " connection lost: connection reset by peer, retrying$"),
              "") << child.err();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
    done = true;
    resetter.join();
    ::close(listener);
    EXPECT_EQ(child.err().find("closed the connection"), std::string::npos) << child.err();
}

// A server that cannot open its device says so and closes (ser2net): the loss is told with the
// server's own line.
TEST_F(Headless, ANetworkPortWhoseServerCannotOpenItsDeviceIsToldWithTheServersLine) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    PluggableCable served(dir.file("ttyServed"), /*plugged=*/false);
    Ser2netServer server(served.path());
    ASSERT_TRUE(server.start()) << server.error();
    const std::string complaining = "rfc2217://127.0.0.1:" + std::to_string(server.rfc2217Port());
    dir.write("Vorlinex.ini", headlessIni(complaining, second.slavePath()));
    Child child({"--headless", "--status-every", "0"});
    EXPECT_NE(child.awaitLine("^<4>.* COM1 " + complaining + " went away: " + complaining + ": Device open failure: .+$"), "")
        << child.err();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 0) << child.err();
}

}  // namespace
