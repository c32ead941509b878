// Relaying between a serial server on the network and a local device: the relay engine against
// socat, each behind a ser2net of its own on this machine, in the same run and measured in
// alternation, so that the load of a shared machine falls on all of them alike.
//
//   bench_network [--mb N] [--messages N] [--rounds N] [--link-mb N]
//
// Each relay has a far device (a pty whose slave ser2net serves, chardelay off) and a near
// device (a pty whose slave the relay opens); the benchmark holds both masters and measures the
// way from the far device to the near one, then the way back. Last, the way from a local device
// into the network over a link that holds each packet 20 ms each way, the engine against socat.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <set>

#include "bench/relay_measure.h"
#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "relay/serial_port.h"
#include "relay/telnet_codec.h"
#include "settings/config.h"
#include "tests/support/delayed_link.h"
#include "tests/support/serial_servers.h"

namespace {

using bench::Clock;
using bench::fmt;
using bench::StreamCheck;

struct Options {
    size_t bytes = 4u << 20;
    size_t linkBytes = 2u << 20;
    int messages = 2000;
    int rounds = 5;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--mb")
            o.bytes = static_cast<size_t>(std::atof(argv[++i]) * (1 << 20));
        else if (a == "--messages")
            o.messages = std::max(1, std::atoi(argv[++i]));
        else if (a == "--rounds")
            o.rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--link-mb")
            o.linkBytes = static_cast<size_t>(std::atof(argv[++i]) * (1 << 20));
    }
    return o;
}

// Random bytes of which about one in eight is 0xFF, with a run of eight every 4 KiB: the Telnet
// escape, which ser2net doubles on its rfc2217 port and the client must undouble.
std::string bytesWithManyFF(size_t count, uint32_t seed) {
    std::string s = randomBytes(count, seed);
    for (size_t i = 0; i < count; ++i)
        if ((static_cast<uint8_t>(s[i]) & 7) == 0 || i % 4096 < 8)
            s[i] = '\xff';
    return s;
}

enum class Kind { Socat, Engine, Direct };

// One relay under measurement, with its own devices and its own ser2net.
struct Subject {
    Subject(std::string n, Kind k, bool overRfc2217)
        : name(std::move(n)), kind(k), rfc2217(overRfc2217) {}
    ~Subject() {
        if (socketFd >= 0)
            ::close(socketFd);
    }
    Subject(Subject&&) = delete;

    std::string name;
    Kind kind;
    bool rfc2217;   // which of ser2net's two ports the relay uses
    PtyCable far;   // the device behind ser2net
    PtyCable near;  // the device at the relay's local port
    Ser2netServer server{far.slavePath()};
    pid_t serverPid = -1;
    pid_t relayPid = -1;  // -1: the benchmark reads ser2net itself
    int socketFd = -1;    // Direct: the benchmark's own connection to ser2net
    // Direct over the rfc2217 port: the project's codec takes the Telnet out of what ser2net
    // sends, and the benchmark answers its negotiation.
    std::unique_ptr<TelnetCodec> codec;
    int nearFd() const { return kind == Kind::Direct ? socketFd : near.master(); }

    bool relaying = false;
    std::string failure;  // why it never relayed
    std::string ending;
    std::vector<double> latUs, mbps, mbpsOut;  // mbpsOut: near device -> far device
    double relayCpu = 0, serverCpu = 0, mbRelayed = 0;
    StreamCheck total;
    uint64_t leftOver = 0;  // bytes that came after everything expected had come
    uint16_t port() const { return rfc2217 ? server.rfc2217Port() : server.rawPort(); }
};

// The ser2net children of this process: a server's pid is the one that is new after it started.
std::set<pid_t> ser2netChildren() {
    std::set<pid_t> found;
    for (const pid_t pid : bench::allProcesses()) {
        const bench::ProcStat stat = bench::procStat(pid);
        if (stat.comm == "ser2net" && stat.fields.size() > 1 && std::atoi(stat.fields[1].c_str()) == ::getpid())
            found.insert(pid);
    }
    return found;
}

[[noreturn]] void stopAndExit(Relay& relay, int status) {
    relay.stopRelayAndClosePorts();
    std::fflush(nullptr);
    ::_exit(status);  // not exit(): the parent's objects (cables, servers) are not ours
}

// The child that runs the relay engine: COM1 the network port, COM2 the near device, started as
// the program starts them. A network port's connect runs in the background; the reconnect step,
// taken as often as the program's owner thread takes it, completes it and starts the workers.
[[noreturn]] void runEngine(const Config& config, const std::string& networkPath) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    // Blocked before any thread starts, so that the workers inherit the mask.
    sigprocmask(SIG_BLOCK, &term, nullptr);
    auto termWithin = [&](long ms) {
        const timespec wait{ms / 1000, (ms % 1000) * 1000000};
        return sigtimedwait(&term, nullptr, &wait) == SIGTERM;
    };

    Relay relay;
    applyConfig(relay, config);
    relay.comDevicePaths[0] = networkPath;
    const int first = relay.openPort("com1", relay.serialPort1);
    if (first == PortOpened) {
        configurePort(relay.serialPort1);
        startRelayWorker(relay.relayChannel1);
    }
    if (relay.openPort("com2", relay.serialPort2) != PortOpened) {
        std::fprintf(stderr, "engine: the near device did not open\n");
        stopAndExit(relay, 3);
    }
    configurePort(relay.serialPort2);
    startRelayWorker(relay.relayChannel2);

    auto connected = [&] {
        return relay.serialPort1.isOpen() && relay.serialPort1.presence.load() == PortPresent;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!connected()) {
        if (Clock::now() > deadline) {
            std::fprintf(
                stderr,
                "engine: COM1 %s not connected after 10 s (openPort gave %d, presence %d)\n",
                networkPath.c_str(), first, relay.serialPort1.presence.load());
            stopAndExit(relay, 4);
        }
        if (termWithin(20))
            stopAndExit(relay, 0);
        reconnectPorts(relay);
    }
    while (!termWithin(250)) reconnectPorts(relay);
    stopAndExit(relay, 0);
}

pid_t startEngine(Subject& s) {
    ScratchDir scratch;  // the current directory while the configuration is read
    // COM1's entry is left empty here and set to the network path in the child.
    scratch.write("Vorlinex.ini", bench::relayIni("", s.near.slavePath(), 115200));
    const Config config = loadConfig();
    const std::string path =
        std::string(s.rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(s.port());
    return bench::forkInto([&] { runEngine(config, path); });
}

std::string socatTcpAddress(const Subject& s) { return bench::socatTcp("127.0.0.1", s.port()); }

std::string socatCommand(const Subject& s) {
    return "socat -b 65536 " + socatTcpAddress(s) + " " + bench::socatDevice(s.near.slavePath());
}

pid_t startSocat(const Subject& s) { return bench::startSocat(socatTcpAddress(s), bench::socatDevice(s.near.slavePath())); }

int connectDirect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// Reads what the near end has: data bytes into `out`, > 0; 0 when only Telnet commands came
// (their replies are sent); -1 when nothing could be read.
ssize_t readNear(Subject& s, char* out, size_t capacity) {
    const ssize_t n = ::read(s.nearFd(), out, capacity);
    if (n <= 0 || !s.codec)
        return n > 0 ? n : -1;
    std::string data, reply;
    std::vector<TelnetEvent> events;
    s.codec->receive(reinterpret_cast<const uint8_t*>(out), static_cast<size_t>(n), data, reply,
                     events);
    if (!reply.empty())
        bench::writeAll(s.socketFd, reply);
    std::memcpy(out, data.data(), data.size());  // never more than was read
    return static_cast<ssize_t>(data.size());
}

// Reads at the near end until `expect` is complete or it is quiet for quietMs, comparing as it
// goes; `lastByteAt` is when the last byte came.
StreamCheck receive(Subject& s, const std::string& expect, int quietMs,
                    Clock::time_point* lastByteAt = nullptr) {
    StreamCheck c;
    c.expected = expect.size();
    std::vector<char> buf(65536);
    while (c.received < c.expected) {
        pollfd p{s.nearFd(), POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0)
            break;
        const ssize_t n = readNear(s, buf.data(), buf.size());
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                ::usleep(10000);  // EIO: the slave is not held
            continue;
        }
        if (n > 0 && lastByteAt != nullptr)
            *lastByteAt = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
            const uint64_t at = c.received + static_cast<uint64_t>(i);
            if (at >= c.expected || buf[i] != expect[at])
                ++c.wrong;
        }
        c.received += static_cast<uint64_t>(n);
    }
    return c;
}

// Whatever arrives at the near end until it is quiet: the number of data bytes.
uint64_t drainNear(Subject& s, int quietMs) {
    uint64_t bytes = 0;
    char buf[4096];
    for (pollfd p{s.nearFd(), POLLIN, 0}; ::poll(&p, 1, quietMs) > 0;) {
        const ssize_t n = readNear(s, buf, sizeof buf);
        if (n > 0)
            bytes += static_cast<uint64_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            ::usleep(10000);
    }
    return bytes;
}

// Whether bytes written at the far device arrive at the near one: probes until one gets through
// (ser2net may flush the device when it opens it, so early probes can vanish), then drains the
// rest. Gives up early when the relay's process has ended.
bool waitRelaying(Subject& s, double timeoutSeconds) {
    const auto t0 = Clock::now();
    while (bench::secondsSince(t0) < timeoutSeconds) {
        if (s.relayPid > 0) {
            int status = 0;
            if (::waitpid(s.relayPid, &status, WNOHANG) == s.relayPid) {
                s.relayPid = -1;
                s.failure =
                    WIFEXITED(status)
                        ? "its process exited with " + std::to_string(WEXITSTATUS(status)) +
                              " before relaying"
                        : "its process was killed by signal " + std::to_string(WTERMSIG(status));
                return false;
            }
        }
        bench::writeAll(s.far.master(), "?");
        if (receive(s, "?", 200).received > 0) {
            drainNear(s, 300);
            return true;
        }
    }
    s.failure = "no probe byte got through in " + fmt(timeoutSeconds, 0) + " s";
    return false;
}

// 16-byte messages from the far device to the near one, each sent after the previous arrived.
void latency(Subject& s, int count, uint32_t seed) {
    const std::string all = bytesWithManyFF(static_cast<size_t>(count) * 16, seed);
    for (int i = 0; i < count; ++i) {
        const std::string msg = all.substr(static_cast<size_t>(i) * 16, 16);
        const auto t0 = Clock::now();
        bench::writeAll(s.far.master(), msg);
        const StreamCheck c = receive(s, msg, 2000);
        if (c.received == 16)
            s.latUs.push_back(bench::secondsSince(t0) * 1e6);
        s.total.add(c);
        if (c.received != 16)
            s.leftOver += drainNear(s, 300);
    }
}

// One round of throughput: from the first byte written to the last byte read.
void throughput(Subject& s, const std::string& data) {
    const double relay0 = s.relayPid > 0 ? bench::processCpuSeconds(s.relayPid) : 0;
    const double server0 = bench::processCpuSeconds(s.serverPid);
    const auto t0 = Clock::now();
    Clock::time_point last = t0;
    std::thread writer([&] { bench::writeAll(s.far.master(), data); });
    const StreamCheck c = receive(s, data, 5000, &last);
    writer.join();
    const double seconds = std::chrono::duration<double>(last - t0).count();
    s.mbps.push_back(seconds > 0 ? static_cast<double>(c.received) / 1e6 / seconds : NAN);
    if (s.relayPid > 0)
        s.relayCpu += bench::processCpuSeconds(s.relayPid) - relay0;
    s.serverCpu += bench::processCpuSeconds(s.serverPid) - server0;
    s.mbRelayed += static_cast<double>(c.received) / 1e6;
    s.total.add(c);
}

// One round of the other way, from the near device through the relay and ser2net to the far
// device: from the first byte written to the last byte read.
void throughputOut(Subject& s, const std::string& data) {
    const auto t0 = Clock::now();
    Clock::time_point last = t0;
    std::thread writer([&] { bench::writeAll(s.near.master(), data); });
    const StreamCheck c = bench::readAndCompare(s.far.master(), data, 5000, &last);
    writer.join();
    const double seconds = std::chrono::duration<double>(last - t0).count();
    s.mbpsOut.push_back(seconds > 0 ? static_cast<double>(c.received) / 1e6 / seconds : NAN);
    s.total.add(c);
}

// ---- Over a delayed link: a local device into a raw TCP server, the engine against socat ----

struct LinkFigures {
    std::string skipped;  // why it did not run
    std::vector<double> socatMbps, engineMbps;
    StreamCheck socat, engine;
    std::string failure;
};

// A listener on the server's side of the link; its port.
int linkListener(uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, DelayedLink::kServerAddress, &a.sin_addr);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

int acceptWithin(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// Runs on a thread of its own: the link's namespace is that thread's, and the relays it starts
// (socat, and the engine's workers and connect thread) live in it with it.
LinkFigures measureDelayedLink(const Options& opt, uint64_t bytesPerSecond) {
    LinkFigures f;
    DelayedLink link(std::chrono::milliseconds(20), bytesPerSecond);
    if (!link.error().empty()) {
        f.skipped = link.error();
        return f;
    }
    uint16_t socatPort = 0, enginePort = 0;
    const int socatListener = linkListener(socatPort), engineListener = linkListener(enginePort);
    PtyCable socatNear, engineNear;
    const std::string server = DelayedLink::kServerSeenFromClient;

    // socat: the near device into the server, as it would relay a device to a raw TCP port.
    const pid_t socatPid =
        bench::startSocat(bench::socatDevice(socatNear.slavePath()), bench::socatTcp(server, socatPort));
    const int socatSink = acceptWithin(socatListener, 10000);

    // The engine in this process: COM1 the server over the link, COM2 the near device.
    ScratchDir scratch;
    scratch.write("Vorlinex.ini", bench::relayIni("", engineNear.slavePath(), 115200));
    Relay relay;
    applyConfig(relay, loadConfig());
    relay.comDevicePaths[0] = "tcp://" + server + ":" + std::to_string(enginePort);
    relay.openPort("com1", relay.serialPort1);
    if (relay.openPort("com2", relay.serialPort2) == PortOpened) {
        configurePort(relay.serialPort2);
        startRelayWorker(relay.relayChannel2);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (relay.serialPort1.presence.load() != PortPresent && Clock::now() < deadline) {
        reconnectPorts(relay);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int engineSink = acceptWithin(engineListener, 1000);

    if (socatSink < 0 || engineSink < 0) {
        f.failure = socatSink < 0 ? "socat never connected" : "the engine never connected";
    } else {
        for (int r = 0; r < opt.rounds; ++r) {
            const std::string data = bytesWithManyFF(opt.linkBytes, static_cast<uint32_t>(300 + r));
            for (int k = 0; k < 2; ++k) {
                const bool engine = (k + r) % 2 == 1;
                PtyCable& near = engine ? engineNear : socatNear;
                const int sink = engine ? engineSink : socatSink;
                StreamCheck c;
                const double mbps = bench::blast(near.master(), sink, data, c);
                (engine ? f.engineMbps : f.socatMbps).push_back(mbps);
                (engine ? f.engine : f.socat).add(c);
            }
        }
    }
    relay.stopRelayAndClosePorts();
    ::kill(socatPid, SIGTERM);
    ::waitpid(socatPid, nullptr, 0);
    for (int fd : {socatSink, engineSink, socatListener, engineListener})
        if (fd >= 0)
            ::close(fd);
    return f;
}

bool clean(const Subject& s) {
    return s.total.lost() == 0 && s.total.wrong == 0 && s.total.extra() == 0 && s.leftOver == 0;
}

using Subjects = std::vector<std::unique_ptr<Subject>>;

void printSetting(const Options& opt, Subject& socat) {
    std::printf(
        "bench_network: far device (pty) -> ser2net on 127.0.0.1 (chardelay false) -> relay\n"
        "  -> near device (pty), one way; each relay with devices and a ser2net of its own\n");
    std::printf("  socat tcp        %s\n", socatCommand(socat).c_str());
    std::printf(
        "                   ser2net's raw port: socat speaks no Telnet, so over the rfc2217\n"
        "                   port it would pass the negotiation and doubled 0xFF bytes on as\n"
        "                   data; it is the reference for both rows of the engine\n");
    std::printf(
        "  engine tcp       the relay engine in a child process: COM1 tcp://127.0.0.1:<raw>,\n"
        "                   COM2 the near pty, 115200 8N1 (not pacing a pty), both workers\n");
    std::printf(
        "  engine rfc2217   the same, COM1 rfc2217://127.0.0.1:<telnet>: settings sent, 0xFF\n"
        "                   doubled by ser2net and undoubled by the engine\n");
    std::printf(
        "  ser2net tcp      no relay: the benchmark reads ser2net's raw port itself (the floor)\n");
    std::printf(
        "  ser2net rfc2217  the same over the telnet port, decoded by the engine's codec\n");
    std::printf(
        "  %.1f MiB one way per round, %d rounds in turn (median shown), about one byte in\n"
        "  eight 0xFF; %d x 16 B messages, each sent once the previous one arrived, in\n"
        "  interleaved blocks of 10\n",
        static_cast<double>(opt.bytes) / (1 << 20), opt.rounds, opt.messages);
    std::fflush(stdout);

}

// Starts each subject's ser2net, then its relay (or its direct connection), and waits until it
// relays. False if a ser2net did not start.
bool startAll(Subjects& subjects) {
    for (auto& s : subjects) {
        const std::set<pid_t> before = ser2netChildren();
        if (!s->server.start()) {
            std::printf("ser2net did not start: %s\n", s->server.error().c_str());
            return false;
        }
        for (pid_t pid : ser2netChildren())
            if (before.count(pid) == 0)
                s->serverPid = pid;
    }
    // Every relay is forked before the benchmark starts a thread of its own.
    for (auto& s : subjects) {
        if (s->kind == Kind::Socat)
            s->relayPid = startSocat(*s);
        else if (s->kind == Kind::Engine)
            s->relayPid = startEngine(*s);
        else if ((s->socketFd = connectDirect(s->port())) < 0)
            s->failure = "no connection to ser2net";
        else if (s->rfc2217) {
            s->codec = std::make_unique<TelnetCodec>(TelnetCodec::Mode::Rfc2217);
            std::string hello;
            s->codec->start(hello);
            bench::writeAll(s->socketFd, hello);
        }
    }
    for (auto& s : subjects) {
        if (s->failure.empty())
            s->relaying = waitRelaying(*s, 20);
        if (!s->relaying)
            std::printf("%s does not relay: %s\n", s->name.c_str(), s->failure.c_str());
    }
    std::fflush(stdout);
    return true;
}

// Latency in interleaved blocks, then throughput both ways in turn; stops the relays. Returns
// the seconds it took.
double measureAll(Subjects& subjects, const Options& opt) {
    std::vector<Subject*> measured;
    for (auto& s : subjects)
        if (s->relaying)
            measured.push_back(s.get());

    const auto t0 = Clock::now();
    const int block = 10;
    for (int done = 0, b = 0; done < opt.messages; done += block, ++b)
        for (Subject* s : measured)
            latency(*s, std::min(block, opt.messages - done), static_cast<uint32_t>(1000 + b));
    for (int r = 0; r < opt.rounds; ++r) {
        const std::string data = bytesWithManyFF(opt.bytes, static_cast<uint32_t>(200 + r));
        for (size_t k = 0; k < measured.size(); ++k)
            throughput(*measured[(k + r) % measured.size()], data);
    }
    for (Subject* s : measured) s->leftOver += drainNear(*s, 300);
    // The other way, near device to far device, for the relays (ser2net alone has no such way).
    for (int r = 0; r < opt.rounds; ++r) {
        const std::string data = bytesWithManyFF(opt.bytes, static_cast<uint32_t>(400 + r));
        for (size_t k = 0; k < measured.size(); ++k) {
            Subject& s = *measured[(k + r) % measured.size()];
            if (s.kind != Kind::Direct)
                throughputOut(s, data);
        }
    }
    const double seconds = bench::secondsSince(t0);
    for (auto& s : subjects)
        if (s->relayPid > 0)
            s->ending = bench::stopRelay(s->relayPid);
    return seconds;
}

void printTable(const Subjects& subjects, double seconds) {
    auto row = [&](const char* what, auto value) {
        std::printf("  %-28s", what);
        for (auto& s : subjects) std::printf(" %15s", value(*s).c_str());
        std::printf("\n");
    };
    std::printf("\nmeasured in %.1f s\n\n", seconds);
    row("", [](const Subject& s) { return s.name; });
    row("throughput (MB/s)",
        [](const Subject& s) { return fmt(bench::percentile(s.mbps, 50), 2); });
    row("local->network (MB/s)", [](const Subject& s) {
        return s.kind == Kind::Direct ? std::string("-") : fmt(bench::percentile(s.mbpsOut, 50), 2);
    });
    row("relay CPU s per MB", [](const Subject& s) {
        return s.kind == Kind::Direct ? std::string("-") : fmt(s.relayCpu / s.mbRelayed, 4);
    });
    row("ser2net CPU s per MB", [](const Subject& s) { return fmt(s.serverCpu / s.mbRelayed, 4); });
    row("latency 16 B p50 (us)",
        [](const Subject& s) { return fmt(bench::percentile(s.latUs, 50), 1); });
    row("latency 16 B p99 (us)",
        [](const Subject& s) { return fmt(bench::percentile(s.latUs, 99), 1); });
    row("bytes expected", [](const Subject& s) { return std::to_string(s.total.expected); });
    row("bytes lost", [](const Subject& s) { return std::to_string(s.total.lost()); });
    row("bytes wrong (reordered, bad)",
        [](const Subject& s) { return std::to_string(s.total.wrong); });
    row("bytes extra",
        [](const Subject& s) { return std::to_string(s.total.extra() + s.leftOver); });
    for (auto& s : subjects)
        if (!s->ending.empty())
            std::printf("  %-15s ended: %s\n", s->name.c_str(), s->ending.c_str());

}

void printAgainstSocat(const Subjects& subjects, const Subject& socat) {
    std::printf("\nagainst socat over the same ser2net (raw TCP port):\n");
    for (auto& s : subjects) {
        if (s->kind != Kind::Engine)
            continue;
        if (!s->relaying || !socat.relaying) {
            std::printf("  %-15s not compared: %s did not relay\n", s->name.c_str(),
                        s->relaying ? "socat" : s->name.c_str());
            continue;
        }
        auto target = [&](const char* what, double ratio, bool met, const char* goal) {
            std::printf("  %-15s %-22s %8s  (target %s)  %s\n", s->name.c_str(), what,
                        fmt(ratio, 2).c_str(), goal, met ? "PASS" : "MISS");
        };
        const double lat = bench::percentile(s->latUs, 50) / bench::percentile(socat.latUs, 50);
        const double thr = bench::percentile(s->mbps, 50) / bench::percentile(socat.mbps, 50);
        const double cpu = (s->relayCpu / s->mbRelayed) / (socat.relayCpu / socat.mbRelayed);
        target("latency p50 ratio", lat, lat <= 1.2, "<= 1.2");
        target("throughput ratio", thr, thr >= 0.5, ">= 0.5");
        const double out = bench::percentile(s->mbpsOut, 50) / bench::percentile(socat.mbpsOut, 50);
        target("local->network ratio", out, out >= 0.5, ">= 0.5");
        target("CPU per MB ratio", cpu, cpu <= 3, "<= 3");
    }

}

// Returns 1 if the link did not run or the engine did not relay exactly over it.
int measureDelayedLinks(const Options& opt) {
    // Over the delayed link, on a thread whose network namespace holds the link: as fast as
    // the forwarder goes, then at 100 Mbit/s as a real link carries.
    int status = 0;
    for (const uint64_t rate : {uint64_t{0}, uint64_t{12500000}}) {
        LinkFigures link;
        std::thread([&] { link = measureDelayedLink(opt, rate); }).join();
        std::printf("\nlocal device -> raw TCP server over a link holding each packet 20 ms each way,\n"
                    "%s (a namespace of its own, two TUN devices and a forwarder), %.1f MiB per\n"
                    "round, %d rounds each in turn, median shown:\n",
                    rate == 0 ? "no rate limit" : "100 Mbit/s", static_cast<double>(opt.linkBytes) / (1 << 20),
                    opt.rounds);
        if (!link.skipped.empty()) {
            std::printf("  skipped: %s\n", link.skipped.c_str());
            continue;
        }
        if (!link.failure.empty()) {
            std::printf("\n*** DELAYED LINK DID NOT RUN: %s ***\n", link.failure.c_str());
            status = 1;
            continue;
        }
        const double socatMbps = bench::percentile(link.socatMbps, 50);
        const double engineMbps = bench::percentile(link.engineMbps, 50);
        auto figures = [](const char* who, double mbps, const StreamCheck& c) {
            std::printf("  %-7s %8s MB/s   bytes lost %llu, wrong %llu, extra %llu\n", who, fmt(mbps, 2).c_str(),
                        static_cast<unsigned long long>(c.lost()), static_cast<unsigned long long>(c.wrong),
                        static_cast<unsigned long long>(c.extra()));
        };
        figures("socat", socatMbps, link.socat);
        figures("engine", engineMbps, link.engine);
        std::printf("  (the engine keeps at most %zu KiB in flight: over a 40 ms round trip at most\n"
                    "  %.1f MB/s, however fast the link)\n",
                    NetworkPort::kMaxInFlight / 1024, static_cast<double>(NetworkPort::kMaxInFlight) / 0.040 / 1e6);
        std::printf("  engine %-22s %8s  (target >= 1)  %s\n", "MB/s", fmt(engineMbps, 2).c_str(),
                    engineMbps >= 1 ? "PASS" : "MISS");
        const double ratio = engineMbps / socatMbps;
        std::printf("  engine %-22s %8s  (target >= 0.5)  %s\n", "throughput ratio", fmt(ratio, 2).c_str(),
                    ratio >= 0.5 ? "PASS" : "MISS");
        if (link.engine.lost() + link.engine.wrong + link.engine.extra() != 0) {
            std::printf("\n*** engine over the delayed link DID NOT RELAY EXACTLY ***\n");
            status = 1;
        }
    }
    return status;
}

// Returns 1 if a subject never relayed or did not relay exactly.
int judgeRelaying(const Subjects& subjects) {
    int status = 0;
    for (auto& s : subjects) {
        if (!s->relaying) {
            std::printf("\n*** %s NEVER RELAYED: %s ***\n", s->name.c_str(), s->failure.c_str());
            status = 1;
        } else if (!clean(*s)) {
            std::printf(
                "\n*** %s DID NOT RELAY EXACTLY: %llu bytes lost, %llu wrong, %llu extra "
                "of %llu ***\n",
                s->name.c_str(), static_cast<unsigned long long>(s->total.lost()),
                static_cast<unsigned long long>(s->total.wrong),
                static_cast<unsigned long long>(s->total.extra() + s->leftOver),
                static_cast<unsigned long long>(s->total.expected));
            status = 1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const Options opt = parseOptions(argc, argv);
    if (const std::string why = Ser2netServer::unavailable(); !why.empty()) {
        std::printf("bench_network: %s\n", why.c_str());
        return 2;
    }
    Subjects subjects;
    subjects.push_back(std::make_unique<Subject>("socat tcp", Kind::Socat, false));
    subjects.push_back(std::make_unique<Subject>("engine tcp", Kind::Engine, false));
    subjects.push_back(std::make_unique<Subject>("engine rfc2217", Kind::Engine, true));
    subjects.push_back(std::make_unique<Subject>("ser2net tcp", Kind::Direct, false));
    subjects.push_back(std::make_unique<Subject>("ser2net rfc2217", Kind::Direct, true));
    Subject& socat = *subjects[0];

    printSetting(opt, socat);
    if (!startAll(subjects)) return 2;
    const double seconds = measureAll(subjects, opt);
    printTable(subjects, seconds);
    printAgainstSocat(subjects, socat);
    int status = measureDelayedLinks(opt);
    status |= judgeRelaying(subjects);
    if (status == 0)
        std::printf("\nno byte lost, wrong or extra in any relay\n");
    return status;
}
