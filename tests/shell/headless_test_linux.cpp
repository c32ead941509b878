// The headless mode on Linux: the real program as a child process for what main() and its loop
// wire (exit statuses, signals, systemd), and a run stepped in this process for its port lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <optional>
#include <list>
#include <regex>
#include <thread>

#include "shell/headless.h"
#include "tests/shell/headless_on_cables.h"
#include "tests/support/test_socket.h"

namespace {

const std::string kRateEverySecond = "RATE=1\r\n";

// Port 1 on a COM out of range, so on its default, COM1.
class Headless : public HeadlessOnCables {
protected:
    void SetUp() override {
        HeadlessOnCables::SetUp();
        std::string ini = headlessIni(first.slavePath(), second.slavePath(), kRateEverySecond);
        dir.write("Vorlinex.ini", ini.replace(ini.find("COM=0"), 5, "COM=99"));
    }
    ChildProcess& child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
        return children.emplace_back(programUnderTest(), arguments, environment);
    }
    std::list<ChildProcess> children;
};

// Each opens nothing; the parsing is command_line_test's.
TEST_F(Headless, HelpVersionABadOptionAndAMissingSettingsFileExitWithTheirStatusOpeningNothing) {
    const std::string usage = "Usage: vorlinex [--ini PATH] | vorlinex --headless";
    ChildProcess &help = child({"--help"}), &version = child({"--version"});
    ChildProcess& refused = child({"--headless", "--log-a", "a.log", "--frobnicate"});
    ChildProcess& missing = child({"--headless", "--ini", "missing.ini", "--log-a", "a.log"});
    EXPECT_EQ(missing.wait(), 1);
    EXPECT_EQ(missing.err(), "<3>settings " + dir.file("missing.ini") + " cannot be read: No such file or directory\n");
    EXPECT_TRUE(help.wait() == 0 && help.out().starts_with(usage)) << help.out();
    EXPECT_TRUE(version.wait() == 0 && version.out() == "Vorlinex v1.01a\n") << version.out();
    EXPECT_EQ(refused.wait(), 2);
    const std::string err = refused.err();
    EXPECT_TRUE(err.starts_with("vorlinex: unknown option --frobnicate\n" + usage)) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.log")));
}

// What a FIFO's reader gets: 3000 bytes, the seed's.
bool piped(int reader, uint32_t seed) {
    std::string got;
    return eventually([&] {
        char buffer[4096];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<size_t>(n));
        return got.size() >= 3000;
    }) && got == randomBytes(3000, seed);
}

// SIGPIPE ends that capture alone; SIGHUP reopens the captures (one that cannot be opened is told
// and tried again at the next); SIGUSR1 says the status line; SIGTERM ends the run with 0.
TEST_F(Headless, SignalsReopenTheCapturesSayTheStatusAndEndTheRunWithZero) {
    std::filesystem::create_directory(dir.file("logs"));
    const std::string fifo = dir.file("a.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ChildProcess& run = child({"--headless", "--log-a", "a.fifo", "--log-b", "logs/b.log", "--status-every", "0"});
    size_t from = 0, sighup = 0;  // after SIGHUP the outcomes come in either order
    const auto told = [&](const std::string& pattern, size_t& at) { run.expectLine(pattern, at); };
    told("^<4>.*Vorlinex.ini line 2: \\[DATA1\\] COM=99 is out of range \\(0 to 5 .*\\): port 1 uses COM1$", from);
    told("^<5>relaying ", from);
    expectRelaysBothWays(first, second, 51);
    EXPECT_TRUE(piped(reader, 51));
    ::close(reader);
    expectRelaysBothWays(first, second, 61);
    told("^<3>.* capture a ended: .*a.fifo: Broken pipe; relaying goes on$", from);
    std::filesystem::rename(dir.file("logs"), dir.file("logs.gone"));
    run.signal(SIGHUP);
    told("^<3>.* capture a a.fifo could not be opened again: .*no program is reading from this pipe.*; .*next SIGHUP$",
         sighup = from);
    told("^<3>.* capture b logs/b.log could not be reopened: No such file or directory; .*next SIGHUP$", from);
    expectRelaysBothWays(first, second, 71);
    std::filesystem::create_directory(dir.file("logs"));
    const int again = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    run.signal(SIGHUP);
    told("^<5>.* capture a a.fifo opened again after it had ended$", sighup = from);
    told("^<5>.* capture b logs/b.log reopened$", from);
    expectRelaysBothWays(first, second, 81);
    EXPECT_TRUE(piped(again, 81));
    run.signal(SIGUSR1);
    told("^<6>up \\d\\d:\\d\\d:\\d\\d  COM1 " + first.slavePath() + " present  COM2 " + second.slavePath() +
             " present  1>2 12,000 B [\\d,]+ B/s  2>1 16,000 B [\\d,]+ B/s  captures: a 3.0 kB, b \\d.*$",
         from = std::max(from, sighup));
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 0) << run.err();
    ::close(again);
    EXPECT_TRUE(dir.read("logs.gone/b.log") == randomBytes(4000, 52) + randomBytes(4000, 62) + randomBytes(4000, 72));
    EXPECT_TRUE(dir.read("logs/b.log") == randomBytes(4000, 82));
    size_t errors = 0;
    for (size_t at = 0; (at = run.err().find("<3>", at)) != std::string::npos; ++at) ++errors;
    EXPECT_EQ(errors, 3u) << run.err();
}

// systemd: READY=1 once the ports were tried and the captures opened, the status following the
// rates, watchdog pings, STOPPING=1; and a port missing at start or unplugged later told, counted
// and relayed to again once back.
TEST_F(Headless, ToldSystemdReadinessStatusAndWatchdogAndWhenAPortIsMissingOrUnplugged) {
    const std::string socketPath = dir.file("notify");
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    std::vector<std::string> messages;
    const auto awaitMessage = [&](const std::string& pattern) {
        for (pollfd p{socket, POLLIN, 0}; ::poll(&p, 1, 15000) > 0;) {
            char buffer[4096];
            const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
            messages.emplace_back(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            if (std::regex_search(messages.back(), std::regex(pattern))) return messages.back();
        }
        return std::string();
    };
    PluggableCable adapter(dir.file("ttyUSB1"), /*plugged=*/false);
    const std::string path = adapter.path(), when = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d COM2 " + path;
    dir.write("Vorlinex.ini", headlessIni(first.slavePath(), path, kRateEverySecond));
    ChildProcess& run = child({"--headless", "--log-b", "b.log", "--status-every", "1"},
                              {"NOTIFY_SOCKET=" + socketPath, "WATCHDOG_USEC=400000"});
    size_t from = 0;
    const auto told = [&](const std::string& pattern) { run.expectLine(pattern, from); };
    const std::string ready = awaitMessage("READY=1");
    const std::regex readyStatus("READY=1\nSTATUS=COM1 present, COM2 away 00:00:0\\d, 1>2 0 B/s, 2>1 0 B/s");
    EXPECT_TRUE(std::regex_match(ready, readyStatus)) << ready;
    EXPECT_TRUE(std::filesystem::exists(dir.file("b.log"))) << "the captures are open before it is ready";
    told("^<4>Com2 Open Error: " + path + ": No such file or directory");
    told("^<5>relaying COM1 " + first.slavePath() + " <-> COM2 " + path + ", settings ");
    for (int pings = 0; pings < 3; ++pings) EXPECT_EQ(awaitMessage("^WATCHDOG=1$"), "WATCHDOG=1");
    first.send("lost");
    told("^<6>up .*  COM2 " + path + " away \\d\\d:\\d\\d:\\d\\d  .*  undelivered to COM2 4 B");
    adapter.plug();
    told("^<5>" + when + " is back after \\d\\d:\\d\\d:\\d\\d$");
    EXPECT_NE(awaitMessage("^STATUS=COM1 present, COM2 present, 1>2 0 B/s, 2>1 0 B/s$"), "");
    expectRelaysBothWays(first, adapter.device(), 11);
    EXPECT_NE(awaitMessage("^STATUS=COM1 present, COM2 present, 1>2 [1-9][0-9,]* B/s, "), "");
    EXPECT_NE(awaitMessage("^STATUS=COM1 present, COM2 present, 1>2 0 B/s, 2>1 0 B/s$"), "");
    adapter.unplug();
    told("^<4>" + when + " went away: " + path + " unplugged, waiting$");
    adapter.plug();
    told("^<5>" + when + " is back after ");
    expectRelaysBothWays(first, adapter.device(), 12);
    told("^<6>up .*  COM2 " + path + " present  1>2 6,004 B .*  2>1 8,000 B .*captures: b 8.0 kB$");
    run.signal(SIGTERM);
    EXPECT_EQ(awaitMessage("^STOPPING=1$"), "STOPPING=1");
    EXPECT_EQ(run.wait(), 0) << run.err();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), ready), 1);
    EXPECT_TRUE(dir.read("b.log") == randomBytes(4000, 12) + randomBytes(4000, 13));
    ::close(socket);
}

// A run stepped in this process as its loop does: a network connection reset by its server is
// told once per loss, and a refused one once however often it is retried.
TEST(HeadlessRunHere, ANetworkPortThatIsLostOrRefusedSaysHowItsConnectionEndedAndConnectsOnceThePortListens) {
    ScratchDir dir;
    PtyCable first;
    std::vector<std::string> lines;
    size_t seen = 0;
    std::optional<HeadlessRun> run;
    const auto start = [&](const std::string& device2) {
        dir.write("Vorlinex.ini", headlessIni(first.slavePath(), device2, kRateEverySecond));
        lines.clear();
        seen = 0;
        run.emplace(parseCommandLine({"--headless"}), [&](JournalPriority priority, const std::string& text) {
            lines.push_back(journalLine(priority, text));
        });
        return run->start();
    };
    const auto await = [&](const std::string& pattern) {  // a line after the last one found
        EXPECT_TRUE(eventually([&] {
            for (run->step(); seen < lines.size();)
                if (std::regex_search(lines[seen++], std::regex(pattern))) return true;
            return false;
        })) << pattern;
    };
    {
        TestListener server;
        std::atomic<bool> done{false};
        std::jthread resetter([&] {
            while (!done.load())
                if (TestSocket connection = server.accept(100); connection.valid() && !connection.receiveSome().empty())
                    connection.reset();
        });
        const std::string resetting = "rfc2217://127.0.0.1:" + std::to_string(server.port());
        ASSERT_TRUE(start(resetting));
        for (int loss = 0; loss < 2; ++loss)
            await("^<4>.* COM2 " + resetting + " went away: " + resetting + " connection lost: .*, retrying\n");
        run->stop();
        done = true;
    }
    const TestListener closed(-1);  // bound, not listening: refused
    const std::string path = "tcp://127.0.0.1:" + std::to_string(closed.port());
    ASSERT_TRUE(start(path));
    const auto openErrors = [&] {
        return std::ranges::count_if(lines, [](const std::string& l) { return l.find("Open Error") != l.npos; });
    };
    const auto failuresReach = [&](int count) {
        return eventually([&] {
            run->step();
            return run->app.relay.serialPort2.networkRetry.connectFailures >= count;
        });
    };
    // Told by the very step that saw the first connect fail, once, however often it fails again.
    ASSERT_TRUE(failuresReach(1));
    EXPECT_EQ(openErrors(), 1) << "not told when the first connect failed";
    await("^<4>Com2 Open Error: " + path + " not reachable: connection refused \\(it is tried again .*\\)\n");
    EXPECT_TRUE(failuresReach(4));
    EXPECT_EQ(openErrors(), 1);
}

}  // namespace
