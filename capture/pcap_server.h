// A PCAP-over-IP server: whoever connects to its TCP port gets a classic pcap header of link
// type 250, then every record of the relay from that moment, as Wireshark, tshark, Zeek and
// Arkime read it (TCP@HOST:PORT). Read-only: what a client sends is read and thrown away.
// The relay's workers only copy each chunk into a bounded queue; the server's own thread formats
// the records and owns the sockets (non-blocking, one poll for all), so that a client that
// stops reading holds up nothing but itself, and is dropped once kClientLimit bytes wait for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/network_port.h"
#include "relay/read_order.h"

// What happened to a client, for the shell to tell.
struct PcapClientNews {
    enum class Kind {
        Connected,
        Left,        // it closed its end, or its connection failed (`error`, else 0)
        Dropped,     // it stopped reading: `waiting` bytes waited for it
        FellBehind,  // the server itself could not keep up (a starved machine): every client ends
    };
    Kind kind = Kind::Connected;
    std::string peer;  // "ADDR:PORT"
    int error = 0;
    int64_t waiting = 0;
};

class PcapServer final : public ReadListener {
public:
    // What may wait for one client before it is dropped.
    static constexpr int64_t kClientLimit = int64_t{8} << 20;
    // What may wait for the server's thread before every client is dropped.
    static constexpr int64_t kQueueLimit = int64_t{16} << 20;
    // How long stop sends the clients what still waits for them.
    static constexpr int64_t kExitWaitMs = 1000;

    PcapServer() = default;
    ~PcapServer();
    PcapServer(const PcapServer&) = delete;
    PcapServer& operator=(const PcapServer&) = delete;

    // Listens on host (a numeric address) and port (0: a free one), and starts the server's
    // thread. 0, else the errno (EINVAL: host is not an address). A server running is stopped first.
    int start(const std::string& host, uint16_t port);
    // Sends each client what waits for it (kExitWaitMs at most), then closes every connection and
    // the port.
    void stop();
    bool running() const { return thread_.joinable(); }
    // The address listened on as "ADDR:PORT" ("[ADDR]:PORT" for IPv6), the port as bound.
    const std::string& address() const { return address_; }
    uint16_t port() const { return port_; }
    // Clients connected now.
    int clients() const { return clients_.load(std::memory_order_relaxed); }

    // Only while a client is connected: the relay pays nothing for a server nobody watches.
    bool takesReads() const override { return clients_.load(std::memory_order_acquire) > 0; }
    void onRead(int channel, const uint8_t* bytes, size_t length, const ReadTime& time) override;

    // What happened to the clients since the last call.
    std::vector<PcapClientNews> takeNews();

private:
    struct Client;
    void run();
    void tell(PcapClientNews news);

    NetworkSocket listener_ = kNoSocket;
    std::string address_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> clients_{0};

    std::mutex queueLock_;  // incoming_ and overflow_
    std::string incoming_;  // a header and the bytes, chunk after chunk
    bool overflow_ = false;

    std::mutex newsLock_;
    std::vector<PcapClientNews> news_;
};
