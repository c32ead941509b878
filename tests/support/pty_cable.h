// Virtual serial cables and scratch folders for tests, benchmarks and the demo's checks.
#pragma once

#ifndef _WIN32
#include <unistd.h>  // the tests use the master descriptor with read and write
#endif

#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>

#ifdef _WIN32
using CableEnd = void*;  // the far end's HANDLE
#else
using CableEnd = int;  // the pseudo-terminal's master
#endif

// A pseudo-terminal: the system opens its slave path as a COM device, the test holds the master
// as the device at the other end; its end closes that end, as if the device were unplugged.
// On Windows (under Wine) one of the runner's cables (VORLINEX_WINE_CABLES): program side "COMk",
// far end "\\.\COM(10+k)" held here, both purged when it is handed out.
class PtyCable {
public:
    PtyCable();
    ~PtyCable();
    PtyCable(PtyCable&&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    CableEnd master() const { return master_; }
    // Writes every byte to the device end (waits while the cable is full).
    void send(const std::string& bytes);
    // Reads until `count` bytes arrived or `timeoutMs` passed without any byte arriving.
    std::string receive(size_t count, int timeoutMs = 3000);
    // Reads whatever arrives until the line has been quiet for quietMs.
    std::string receiveUntilQuiet(int quietMs = 300) { return receive(SIZE_MAX / 2, quietMs); }

private:
    CableEnd master_{};
    std::string slavePath_;
    int number_ = 0;  // Windows: the runner's cable number
};

// A USB adapter at a fixed path: a pseudo-terminal behind a symbolic link, new at each plug
// (Linux only: Wine's COM ports are fixed while it runs).
class PluggableCable {
public:
    explicit PluggableCable(std::string linkPath, bool plugged = true);
    void plug();
    void unplug();
    const std::string& path() const { return link_; }
    PtyCable& device() { return *cable_; }  // only while plugged

private:
    std::string link_;
    std::unique_ptr<PtyCable> cable_;
};

// A fresh folder that is the current directory while the object lives.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(ScratchDir&&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    std::string path_, previous_;
};

// A DEVICES section for COM1..COM6; empty entries map to paths that do not exist, never to the
// machine's own serial devices.
std::string devicesSection(const std::array<std::string, 6>& paths);
// Random bytes from a fixed seed.
std::string randomBytes(size_t count, uint32_t seed);
// Random bytes each way between the far ends of two ports: each must arrive whole and in order.
void expectRelaysBothWays(PtyCable& end1, PtyCable& end2, uint32_t seed);
// Waits up to 10 s for the condition, calling `meanwhile` between looks.
bool eventually(const std::function<bool()>& condition, const std::function<void()>& meanwhile = {});
#ifndef _WIN32
// The names of this process's threads but Qt's idle pool threads, which come and go by themselves.
std::multiset<std::string> threadNames();
// Waits until channel 1 and 2 run exactly so many relay workers: a joined thread can stay listed
// a moment while the kernel finishes its exit.
bool eventuallyWorkers(int channel1, int channel2);
#endif
