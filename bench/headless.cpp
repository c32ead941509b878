// The real program in its headless mode, with no window system, both captures and the combined
// capture written, under paced traffic both ways: its CPU, its resident size over time, every
// byte at the far ends and in the capture files; with --soak, a long run whose captures are
// rotated (renamed away, then SIGHUP) every 10 s; phase 4, raw pty speed again with --pcap-listen and
// two clients reading the PCAP-over-IP stream, against phase 2 without them.
//
//   bench_headless [path/to/vorlinex] [--phase-seconds S] [--only-phase 1|2|3|4] [--soak] [--soak-seconds S]
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/relay_measure.h"
#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"

namespace {

// The bytes of one direction, made again from the seed by whoever checks them: the writer, the
// far end's reader and every capture reader each run their own copy, so no stream is held whole.
class ByteStream {
public:
    explicit ByteStream(uint64_t seed) : state_(seed) {}
    uint8_t next() {
        if (left_ == 0) {
            uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);  // splitmix64
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word_ = z ^ (z >> 31);
            left_ = 8;
        }
        const uint8_t b = static_cast<uint8_t>(word_);
        word_ >>= 8, --left_;
        return b;
    }

private:
    uint64_t state_, word_ = 0;
    int left_ = 0;
};

// Compares what comes against the stream, byte for byte.
struct Checker {
    explicit Checker(uint64_t seed) : stream(seed) {}
    ByteStream stream;
    uint64_t count = 0;
    uint64_t wrong = 0;
    void feed(const char* data, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (static_cast<uint8_t>(data[i]) != stream.next()) ++wrong;
        }
        count += n;
    }
};

uint64_t seedOf(int direction, int phase) { return 1000u * static_cast<uint64_t>(phase) + static_cast<uint64_t>(direction) + 1; }

// One direction: a paced writer into `from`, a reader at `to` that checks every byte.
class PacedDirection {
public:
    PacedDirection(int from, int to, uint64_t seed, double bytesPerSecond, double periodSeconds)
        : from_(from), to_(to), seed_(seed), chunk_(static_cast<size_t>(std::lround(bytesPerSecond * periodSeconds))),
          period_(periodSeconds), checker_(seed) {}
    void start() {
        stop_ = false;
        reader_ = std::thread([this] { read(); });
        writer_ = std::thread([this] { write(); });
    }
    // Stops the writer; waits until the reader has every byte sent or the line has been quiet
    // for quietSeconds.
    void finish(double quietSeconds) {
        stop_ = true;
        writer_.join();
        readUntil_ = sent_.load();
        quiet_ = quietSeconds;
        done_ = true;
        reader_.join();
    }
    uint64_t sent() const { return sent_; }
    uint64_t received() const { return received_; }
    uint64_t wrong() const { return checker_.wrong; }
    double lateSecondsMax() const { return lateMax_; }
    // The rate the writer kept, from its first chunk to the end of its last period (or later,
    // when it fell behind).
    double rateKept() const { return writeSeconds_ > 0 ? static_cast<double>(sent_) / writeSeconds_ : NAN; }

private:
    void write() {
        ByteStream stream(seed_);
        std::string chunk(chunk_, '\0');
        const auto began = bench::Clock::now();
        auto next = began;
        const auto period = std::chrono::duration_cast<bench::Clock::duration>(std::chrono::duration<double>(period_));
        while (!stop_) {
            for (char& c : chunk) c = static_cast<char>(stream.next());
            bench::writeAll(from_, chunk);
            sent_ += chunk.size();
            next += period;
            const double late = std::chrono::duration<double>(bench::Clock::now() - next).count();
            if (late > lateMax_) lateMax_ = late;
            std::this_thread::sleep_until(next);
        }
        writeSeconds_ = bench::secondsSince(began);
    }
    void read() {
        std::vector<char> buffer(65536);
        auto lastByte = bench::Clock::now();
        for (;;) {
            if (done_ && (received_ >= readUntil_ || bench::secondsSince(lastByte) > quiet_)) return;
            pollfd p{to_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = ::read(to_, buffer.data(), buffer.size());
            if (n <= 0) {
                ::usleep(10000);
                continue;
            }
            checker_.feed(buffer.data(), static_cast<size_t>(n));
            received_ += static_cast<uint64_t>(n);
            lastByte = bench::Clock::now();
        }
    }

    int from_, to_;
    uint64_t seed_;
    size_t chunk_;
    double period_;
    Checker checker_;
    std::thread writer_, reader_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> sent_{0}, received_{0}, readUntil_{0};
    double quiet_ = 5;
    double lateMax_ = 0;  // the writer's worst delay behind its schedule (a cable that was full)
    double writeSeconds_ = 0;
};

// The scheduler's own count of the time each thread ran (nanoseconds, from /proc/<pid>/task/*/
// schedstat), summed: counted to the nanosecond, where utime + stime may be sampled at the timer
// tick, which a process that runs in short bursts at a paced writer's rhythm can meet unevenly.
// Both are printed. Threads that ended are not in it: the set of threads is returned too, so
// that the caller can tell whether one ended.
double cpuSecondsFromSchedstat(pid_t pid, std::vector<std::string>* threads) {
    const auto tasks = bench::procEntries(pid, "task");
    if (!tasks) return NAN;
    double total = 0;
    for (const std::string& tid : *tasks) {
        const auto ranNs = bench::threadRanNs(pid, tid);
        if (!ranNs) return NAN;
        total += *ranNs / 1e9;
        if (threads != nullptr) threads->push_back(tid);
    }
    if (threads != nullptr) std::sort(threads->begin(), threads->end());
    return total;
}

// One thread's counters: its name, the scheduler's run time, and its context switches (a
// voluntary one is a wait that blocked, so roughly a wake-up; an involuntary one a preemption).
struct ThreadCounters {
    std::string name;
    double ranNs = 0;
    long voluntary = 0, involuntary = 0;
};

std::map<std::string, ThreadCounters> threadCounters(pid_t pid) {
    std::map<std::string, ThreadCounters> all;
    for (const std::string& tid : bench::procEntries(pid, "task").value_or(std::vector<std::string>{})) {
        ThreadCounters c;
        std::ifstream(bench::procPath(pid, "task/" + tid + "/comm")) >> c.name;
        c.ranNs = bench::threadRanNs(pid, tid).value_or(0);
        c.voluntary = std::max(0L, bench::procStatusValue(pid, "voluntary_ctxt_switches", "task/" + tid + "/status"));
        c.involuntary = std::max(0L, bench::procStatusValue(pid, "nonvoluntary_ctxt_switches", "task/" + tid + "/status"));
        all[tid] = c;
    }
    return all;
}

// Where the time went, thread by thread, per second of the phase.
void printThreads(const std::map<std::string, ThreadCounters>& before,
                  const std::map<std::string, ThreadCounters>& after, double wall) {
    for (const auto& [tid, end] : after) {
        const auto start = before.find(tid);
        if (start == before.end()) continue;
        const ThreadCounters& s = start->second;
        std::printf("    thread %-14s %6s ms/s run, %7s wake-ups/s, %7s preemptions/s\n", end.name.c_str(),
                    bench::fmt((end.ranNs - s.ranNs) / 1e6 / wall, 2).c_str(),
                    bench::fmt((end.voluntary - s.voluntary) / wall, 1).c_str(),
                    bench::fmt((end.involuntary - s.involuntary) / wall, 1).c_str());
    }
}

// utime + stime of the whole process (every thread, those ended too) from /proc/<pid>/stat.
double cpuSecondsFromStat(pid_t pid) {
    const bench::ProcStat stat = bench::procStat(pid);
    if (stat.fields.size() < 13) return NAN;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    return (std::atof(stat.fields[11].c_str()) + std::atof(stat.fields[12].c_str())) / ticks;  // utime, stime
}

long rssKb(pid_t pid) { return bench::procStatusValue(pid, "VmRSS"); }

long descriptorCount(pid_t pid) {
    const auto fds = bench::procEntries(pid, "fd");
    return fds ? static_cast<long>(fds->size()) : -1;
}

// A figure sampled once a second: first, the one at 10 s, last, max.
struct Samples {
    std::vector<long> values;
    long first() const { return values.empty() ? -1 : values.front(); }
    long last() const { return values.empty() ? -1 : values.back(); }
    long max() const { return values.empty() ? -1 : *std::max_element(values.begin(), values.end()); }
    long atTen() const { return values.empty() ? -1 : values[std::min<size_t>(10, values.size() - 1)]; }
    // Flat: no more than `slack` above the value at 10 s by the end (start-up has settled by then).
    bool flat(long slack) const { return !values.empty() && last() - atTen() <= slack; }
};

// The program as a child in the scratch folder, no window system in its environment, its
// output into a file there.
class Headless {
public:
    Headless(const std::string& program, const std::string& ini, const std::string& errFile,
             const std::vector<std::string>& more = {})
        : errFile_(errFile) {
        std::vector<std::string> args = {program, "--headless", "--ini", ini, "--log-a", "a.log", "--log-b", "b.log",
                                         "--log-combined", "c.log", "--status-every", "0"};
        args.insert(args.end(), more.begin(), more.end());
        bench::Launch child(args);
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET", "WATCHDOG_USEC",
                                 "WATCHDOG_PID"})
            child.withoutEnv(name);
        pid_ = bench::launch(child.output(errFile, true));
    }
    ~Headless() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    pid_t pid() const { return pid_; }
    std::string output() const {
        std::ifstream in(errFile_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    size_t count(const std::string& text) const {
        const std::string all = output();
        size_t n = 0;
        for (size_t at = 0; (at = all.find(text, at)) != std::string::npos; at += text.size()) ++n;
        return n;
    }
    bool waitFor(const std::string& text, double seconds) const {
        const auto t0 = bench::Clock::now();
        while (bench::secondsSince(t0) < seconds) {
            if (output().find(text) != std::string::npos) return true;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) return false;
            ::usleep(50000);
        }
        return false;
    }
    // SIGTERM and the exit status (128 + signal when killed by one; -1 when it had to be killed).
    int terminate() {
        ::kill(pid_, SIGTERM);
        const auto t0 = bench::Clock::now();
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (bench::secondsSince(t0) > 20) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                reaped_ = true;
                return -1;
            }
            ::usleep(10000);
        }
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    std::string errFile_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Files read one after the other as one stream of a direction's bytes.
Checker checkPlainFiles(const std::vector<std::string>& files, uint64_t seed) {
    Checker checker(seed);
    std::vector<char> buffer(1 << 20);
    for (const std::string& name : files) {
        std::ifstream in(name, std::ios::binary);
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            checker.feed(buffer.data(), static_cast<size_t>(in.gcount()));
        }
    }
    return checker;
}

// The combined files in order, read record by record by the program's own record reader, each
// record's bytes checked against its direction.
struct CombinedCheck {
    CombinedCheck(uint64_t seed1, uint64_t seed2) : direction{Checker(seed1), Checker(seed2)} {}
    Checker direction[2];
    uint64_t records = 0;
    uint64_t bytesOnDisk = 0;
    std::string error;  // the first line that is not a record
};

CombinedCheck checkCombinedFiles(const std::vector<std::string>& files, uint64_t seed1, uint64_t seed2) {
    CombinedCheck check(seed1, seed2);
    std::vector<char> buffer(8 << 20);
    for (const std::string& name : files) {
        std::ifstream in(name, std::ios::binary);
        std::string pending;
        for (;;) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const size_t got = static_cast<size_t>(in.gcount());
            check.bytesOnDisk += got;
            pending.append(buffer.data(), got);
            // Whole lines now, the rest with the next read; all of it at the end of the file.
            const size_t cut = got == 0 ? pending.size() : pending.rfind('\n') + 1;  // npos + 1 == 0
            if (cut > 0) {
                std::string error;
                for (const CombinedRecord& r : parseCombinedRecords(pending.substr(0, cut), error)) {
                    ++check.records;
                    if (r.channel == 1 || r.channel == 2)
                        check.direction[r.channel - 1].feed(r.bytes.data(), r.bytes.size());
                }
                if (!error.empty() && check.error.empty()) check.error = name + " " + error;
                pending.erase(0, cut);
            }
            if (got == 0) break;
        }
    }
    return check;
}

uint64_t fileSize(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string mb(double bytes) { return bench::fmt(bytes / 1e6, 2) + " MB"; }

// The floor under the program's figure: the same traffic through the bare system calls the
// workers make for every chunk (wait, read up to the read limit, ask the output queue, write),
// one thread each way and nothing else. On a virtual machine a pty write that must wake an idle
// processor costs many times what it costs on a busy one, so this floor moves from run to run;
// printed beside the program's figure, it tells the program's own cost from the machine's.
double bareRelayPercent(int phase, double rate, double period, double seconds) {
    PtyCable port1, port2;
    auto openRaw = [](const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        return fd;
    };
    const int slave1 = openRaw(port1.slavePath()), slave2 = openRaw(port2.slavePath());
    std::atomic<bool> stop{false};
    double cpuSeconds[2] = {0, 0};
    auto relay = [&](int from, int to, size_t limit, double& cpu) {
        std::vector<uint8_t> buffer(limit);
        bool more = false;
        while (!stop) {
            if (!more) {
                pollfd p{from, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
            }
            const ssize_t n = ::read(from, buffer.data(), limit);
            more = n == static_cast<ssize_t>(limit);
            for (ssize_t off = 0; n > 0 && off < n;) {
                int queued = 0;
                ::ioctl(to, TIOCOUTQ, &queued);
                const ssize_t w = ::write(to, buffer.data() + off, static_cast<size_t>(n - off));
                if (w > 0) off += w;
                else ::usleep(1000);
            }
        }
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        cpu = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    };
    std::thread one(relay, slave1, slave2, 256, std::ref(cpuSeconds[0]));
    std::thread two(relay, slave2, slave1, 1024, std::ref(cpuSeconds[1]));
    PacedDirection forth(port1.master(), port2.master(), seedOf(0, phase), rate, period);
    PacedDirection back(port2.master(), port1.master(), seedOf(1, phase), rate, period);
    const auto t0 = bench::Clock::now();
    forth.start(), back.start();
    std::this_thread::sleep_until(t0 + std::chrono::duration<double>(seconds));
    forth.finish(10), back.finish(10);
    const double wall = bench::secondsSince(t0);
    stop = true;
    one.join(), two.join();
    ::close(slave1), ::close(slave2);
    const bool exact = forth.received() == forth.sent() && forth.wrong() == 0 && back.received() == back.sent() &&
                       back.wrong() == 0;
    const double percent = (cpuSeconds[0] + cpuSeconds[1]) / wall * 100;
    std::printf("  bare system calls alone           %s %% of a core (poll, read, TIOCOUTQ, write per chunk, both "
                "ways, %s s; bytes %s): the machine's floor now\n",
                bench::fmt(percent, 2).c_str(), bench::fmt(wall, 1).c_str(), exact ? "exact" : "NOT EXACT");
    return percent;
}

struct Outcome {
    bool bytesOk = true;
    double cpuPercent = NAN;
    bool rssFlat = false;
};

// A PCAP-over-IP client on 127.0.0.1 that reads everything until the server closes, counting.
class StreamReader {
public:
    explicit StreamReader(uint16_t port) {
        s_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(s_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return;
        thread_ = std::thread([this] {
            std::vector<char> buffer(1 << 16);
            for (ssize_t n; (n = ::recv(s_, buffer.data(), buffer.size(), 0)) > 0;) bytes_ += static_cast<uint64_t>(n);
        });
    }
    ~StreamReader() {
        if (thread_.joinable()) {
            ::shutdown(s_, SHUT_RDWR);
            thread_.join();
        }
        ::close(s_);
    }
    // Waits for the server's end of the stream; the bytes read.
    uint64_t finish() {
        if (thread_.joinable()) thread_.join();
        return bytes_;
    }

private:
    int s_ = -1;
    std::atomic<uint64_t> bytes_{0};
    std::thread thread_;
};

// One run of the program under traffic both ways; `rotateEvery` > 0 renames the captures away
// and sends SIGHUP that often.
Outcome runPhase(const std::string& program, int phase, const char* title, double rate, double period,
                 double seconds, double rotateEvery, bool streamClients = false) {
    Outcome outcome;
    std::printf("\n== phase %d: %s: 2 x %.0f B/s (%.0f B every %.0f ms each way) for %.0f s%s (load %s)\n", phase, title,
                rate, rate * period, period * 1000, seconds,
                rotateEvery > 0 ? (", captures renamed away and SIGHUP every " + bench::fmt(rotateEvery, 0) + " s").c_str() : "",
                bench::loadAverages().c_str());
    std::fflush(stdout);
    ScratchDir dir;
    PtyCable port1, port2;
    dir.write("headless.ini", bench::relayIni(port1.slavePath(), port2.slavePath(), 115200));
    Headless child(program, dir.file("headless.ini"), dir.file("vorlinex.out"),
                   streamClients ? std::vector<std::string>{"--pcap-listen", "0"} : std::vector<std::string>{});
    if (!child.waitFor("relaying ", 30)) {
        std::printf("  the program did not start relaying within 30 s; its output:\n%s\n", child.output().c_str());
        outcome.bytesOk = false;
        return outcome;
    }
    std::vector<std::unique_ptr<StreamReader>> readers;
    if (streamClients) {
        const std::string out = child.output(), mark = "pcap-listen 127.0.0.1:";
        const size_t at = out.find(mark);
        const int port = at == std::string::npos ? 0 : std::atoi(out.c_str() + at + mark.size());
        for (int i = 0; i < 2; ++i) readers.push_back(std::make_unique<StreamReader>(static_cast<uint16_t>(port)));
        const auto t0 = bench::Clock::now();
        while (child.count(" connected\n") < 2 && bench::secondsSince(t0) < 30) ::usleep(50000);
        std::printf("  PCAP-over-IP on port %d, %zu clients connected\n", port, child.count(" connected\n"));
    }
    PacedDirection forth(port1.master(), port2.master(), seedOf(0, phase), rate, period);
    PacedDirection back(port2.master(), port1.master(), seedOf(1, phase), rate, period);
    Samples rss, fds;
    const double cpu0 = cpuSecondsFromStat(child.pid());
    std::vector<std::string> threads0, threads1;
    const double ran0 = cpuSecondsFromSchedstat(child.pid(), &threads0);
    const auto perThread0 = threadCounters(child.pid());
    const auto t0 = bench::Clock::now();
    forth.start(), back.start();
    int rotations = 0;
    for (int second = 0; bench::secondsSince(t0) < seconds; ++second) {
        rss.values.push_back(rssKb(child.pid()));
        fds.values.push_back(descriptorCount(child.pid()));
        if (rotateEvery > 0 && second > 0 && std::fmod(second, rotateEvery) == 0) {
            ++rotations;
            const std::string n = "." + std::to_string(rotations);
            for (const char* name : {"a.log", "b.log", "c.log"})
                std::filesystem::rename(dir.file(name), dir.file(name + n));
            ::kill(child.pid(), SIGHUP);
        }
        std::this_thread::sleep_until(t0 + std::chrono::seconds(second + 1));
    }
    forth.finish(10), back.finish(10);
    const double wall = bench::secondsSince(t0);
    const double cpu = cpuSecondsFromStat(child.pid()) - cpu0;
    const double ran = cpuSecondsFromSchedstat(child.pid(), &threads1) - ran0;
    const auto perThread1 = threadCounters(child.pid());
    const int status = child.terminate();

    // The target takes the scheduler's exact count when every thread lived through the phase,
    // else the sampled one.
    const bool ranWhole = !std::isnan(ran) && threads0 == threads1;
    outcome.cpuPercent = (ranWhole ? ran : cpu) / wall * 100;
    std::printf("  CPU (utime+stime, all threads)   %s s over %s s = %s %% of a core (sampled at the tick)\n",
                bench::fmt(cpu, 2).c_str(), bench::fmt(wall, 1).c_str(), bench::fmt(cpu / wall * 100, 2).c_str());
    if (ranWhole) {
        std::printf("  CPU (run time, all threads)      %s s over %s s = %s %% of a core (the scheduler's count)\n",
                    bench::fmt(ran, 2).c_str(), bench::fmt(wall, 1).c_str(), bench::fmt(ran / wall * 100, 2).c_str());
    } else {
        std::printf("  CPU (run time)                   not counted: a thread ended or /proc has no schedstat\n");
    }
    printThreads(perThread0, perThread1, wall);
    std::printf("  VmRSS (kB, once a second)        first %ld, at 10 s %ld, last %ld, max %ld: %s\n", rss.first(),
                rss.atTen(), rss.last(), rss.max(), rss.flat(1024) ? "flat (last - at 10 s <= 1 MB)" : "GROWING (last - at 10 s > 1 MB)");
    outcome.rssFlat = rss.flat(1024);
    if (rotateEvery > 0) {
        std::printf("  descriptors (/proc/PID/fd)       first %ld, at 10 s %ld, last %ld, max %ld: %s\n", fds.first(),
                    fds.atTen(), fds.last(), fds.max(), fds.flat(0) ? "flat" : "GROWING");
    }
    PacedDirection* dirs[2] = {&forth, &back};
    const char* names[2] = {"1->2", "2->1"};
    for (int d = 0; d < 2; ++d) {
        const PacedDirection& x = *dirs[d];
        const bool ok = x.received() == x.sent() && x.wrong() == 0;
        outcome.bytesOk = outcome.bytesOk && ok;
        std::printf("  far end %s                      sent %llu, received %llu, wrong %llu, rate kept %s B/s, "
                    "writer at most %s ms late: %s\n",
                    names[d], static_cast<unsigned long long>(x.sent()), static_cast<unsigned long long>(x.received()),
                    static_cast<unsigned long long>(x.wrong()), bench::fmt(x.rateKept(), 0).c_str(),
                    bench::fmt(x.lateSecondsMax() * 1000, 1).c_str(), ok ? "exact" : "BYTES LOST OR WRONG");
    }

    // The files in the order they were written: the rotated ones, then the current one.
    auto inOrder = [&](const std::string& name) {
        std::vector<std::string> files;
        for (int r = 1; r <= rotations; ++r) files.push_back(dir.file(name + "." + std::to_string(r)));
        files.push_back(dir.file(name));
        return files;
    };
    const char* captureNames[2] = {"a.log", "b.log"};
    for (int d = 0; d < 2; ++d) {
        uint64_t size = 0;
        for (const std::string& f : inOrder(captureNames[d])) size += fileSize(f);
        const Checker c = checkPlainFiles(inOrder(captureNames[d]), seedOf(d, phase));
        const bool ok = c.count == dirs[d]->received() && c.wrong == 0;
        outcome.bytesOk = outcome.bytesOk && ok;
        std::printf("  capture %s (%s)%s  %llu B on disk against %llu relayed, wrong %llu: %s\n", d == 0 ? "a" : "b",
                    names[d], rotations > 0 ? (" in " + std::to_string(rotations + 1) + " files").c_str() : "",
                    static_cast<unsigned long long>(size), static_cast<unsigned long long>(dirs[d]->received()),
                    static_cast<unsigned long long>(c.wrong), ok ? "every byte once, in order" : "MISMATCH");
    }
    const CombinedCheck combined = checkCombinedFiles(inOrder("c.log"), seedOf(0, phase), seedOf(1, phase));
    bool combinedOk = combined.error.empty();
    for (int d = 0; d < 2; ++d)
        combinedOk = combinedOk && combined.direction[d].count == dirs[d]->received() && combined.direction[d].wrong == 0;
    outcome.bytesOk = outcome.bytesOk && combinedOk;
    const double relayed = static_cast<double>(forth.received() + back.received());
    std::printf("  combined capture%s  %s, %llu records, %s B per byte relayed; 1->2 %llu B (wrong %llu), "
                "2->1 %llu B (wrong %llu): %s\n",
                rotations > 0 ? (" in " + std::to_string(rotations + 1) + " files").c_str() : "",
                mb(static_cast<double>(combined.bytesOnDisk)).c_str(), static_cast<unsigned long long>(combined.records),
                bench::fmt(static_cast<double>(combined.bytesOnDisk) / relayed, 2).c_str(),
                static_cast<unsigned long long>(combined.direction[0].count),
                static_cast<unsigned long long>(combined.direction[0].wrong),
                static_cast<unsigned long long>(combined.direction[1].count),
                static_cast<unsigned long long>(combined.direction[1].wrong),
                combinedOk ? "every byte of both directions, in order" : "MISMATCH");
    if (!combined.error.empty()) std::printf("    first line that is not a record: %s\n", combined.error.c_str());
    // Each client's stream: the pcap header, then a 16-byte record header and the 12 bytes of
    // link type 250's own before each record's bytes.
    const uint64_t streamSize = 24 + 28 * combined.records + forth.received() + back.received();
    for (size_t i = 0; i < readers.size(); ++i) {
        const uint64_t got = readers[i]->finish();
        const bool ok = got == streamSize;
        outcome.bytesOk = outcome.bytesOk && ok;
        std::printf("  PCAP-over-IP client %zu            %llu B read, %llu B for every record: %s\n", i + 1,
                    static_cast<unsigned long long>(got), static_cast<unsigned long long>(streamSize),
                    ok ? "every record" : "MISMATCH");
    }
    if (rotations > 0) {
        const size_t reopened = child.count(" reopened\n");
        std::printf("  SIGHUPs %d; reopens told %zu of %d; reopen failures told %zu\n", rotations, reopened, 3 * rotations,
                    child.count("could not be reopened"));
    }
    std::printf("  ending                           exit status %d after SIGTERM%s\n", status, status == 0 ? "" : " (0 expected)");
    if (status != 0) {
        outcome.bytesOk = false;
        std::printf("  the program's output:\n%s\n", child.output().c_str());
    }
    std::fflush(stdout);
    if (rotateEvery == 0) bareRelayPercent(phase, rate, period, seconds);
    return outcome;
}

// The targets of the phases that ran; true if every byte arrived where it should.
bool judge(const Outcome& slow, const Outcome& fast, const Outcome& soaked, const Outcome& streamed, bool first,
           bool second, bool soak, bool fourth) {
    auto target = [](const std::string& what, bool met, const std::string& detail) {
        std::printf("  target %-48s %s  (%s)\n", what.c_str(), met ? "PASS" : "MISS", detail.c_str());
    };
    std::printf("\n");
    if (first) target("phase 1 CPU <= 1.5 % of a core", slow.cpuPercent <= 1.5, bench::fmt(slow.cpuPercent, 2) + " %");
    if (second) target("phase 2 CPU <= 8 % of a core", fast.cpuPercent <= 8, bench::fmt(fast.cpuPercent, 2) + " %");
    if (first) target("phase 1 RSS flat", slow.rssFlat, "last - at 10 s <= 1 MB");
    if (second) target("phase 2 RSS flat", fast.rssFlat, "last - at 10 s <= 1 MB");
    if (soak) target("phase 3 RSS flat", soaked.rssFlat, "last - at 10 s <= 1 MB");
    if (fourth) {
        const double above = streamed.cpuPercent - fast.cpuPercent;
        target("phase 4 CPU <= phase 2 + 2 points of a core", above <= 2,
               bench::fmt(streamed.cpuPercent, 2) + " % against " + bench::fmt(fast.cpuPercent, 2) + " %: " +
                   bench::fmt(above, 2) + " points above");
        target("phase 4 RSS flat", streamed.rssFlat, "last - at 10 s <= 1 MB");
    }
    const bool bytesOk = slow.bytesOk && fast.bytesOk && (!soak || soaked.bytesOk) && (!fourth || streamed.bytesOk);
    target("every byte at the far ends and in captures", bytesOk, bytesOk ? "exact" : "see above");
    return bytesOk;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string program = bench::programBesideThis();
    double phaseSeconds = 60;
    double soakSeconds = 600;
    bool soak = false;
    int only = 0;  // 0: phases 1 and 2 (and the soak when asked)
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--soak") == 0) soak = true;
        else if (std::strcmp(argv[i], "--soak-seconds") == 0 && i + 1 < argc) soak = true, soakSeconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--phase-seconds") == 0 && i + 1 < argc) phaseSeconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--only-phase") == 0 && i + 1 < argc) only = std::atoi(argv[++i]);
        else program = argv[i];
    }
    // The program runs in a scratch folder: a path given relative to here must still find it.
    program = std::filesystem::absolute(program).string();
    std::printf("bench_headless: %s --headless, all three captures, between pty cables, no window system\n",
                program.c_str());

    if (only == 3) soak = true;
    // Phase 4 is measured against phase 2, which runs with it.
    const bool first = only == 0 || only == 1, second = only == 0 || only == 2 || only == 4;
    const bool fourth = only == 0 || only == 4;
    const Outcome slow = !first ? Outcome{} : runPhase(program, 1, "a 460800-baud line's worth", 46080, 0.1, phaseSeconds, 0);
    const Outcome fast = !second ? Outcome{} : runPhase(program, 2, "raw pty speed", 1200000, 0.01, phaseSeconds, 0);
    Outcome soaked;
    if (soak) soaked = runPhase(program, 3, "soak with rotation", 20480, 0.1, soakSeconds, 10);
    const Outcome streamed = !fourth ? Outcome{}
                                     : runPhase(program, 4, "raw pty speed, --pcap-listen with two reading clients",
                                                1200000, 0.01, phaseSeconds, 0, true);

    return judge(slow, fast, soaked, streamed, first, second, soak, fourth) ? 0 : 1;
}
