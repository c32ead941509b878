#include "capture/pcap_server.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

#include "capture/listen_socket.h"
#include "record/pcap_record.h"
#include "relay/network_connect.h"

namespace {

// How often the server takes what the workers queued when no socket wakes it: records reach the
// clients within this time, and an idle server wakes 20 times a second.
constexpr int kLookMs = 50;

// What the queue keeps in front of each chunk's bytes.
struct EntryHeader {
    int32_t channel;
    uint32_t length;
    int64_t wallMicros;
};

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// One connection: the formatted blocks it has not taken yet, shared with the other clients.
struct PcapServer::Client {
    NetworkSocket socket = kNoSocket;
    std::string peer;
    std::deque<std::shared_ptr<const std::string>> blocks;
    size_t sentOfFirst = 0;  // of blocks.front()
    int64_t waiting = 0;     // bytes in blocks not yet sent
    bool ended = false;

    void add(const std::shared_ptr<const std::string>& block) {
        blocks.push_back(block);
        waiting += static_cast<int64_t>(block->size());
    }
    // Sends what the socket takes now; -1 when the connection failed (`error`).
    int sendSome(int& error) {
        while (!blocks.empty()) {
            const std::string& block = *blocks.front();
            const int64_t n = sendWaiting(socket, block.data() + sentOfFirst, block.size() - sentOfFirst, error);
            if (n < 0) return -1;
            if (n == 0) return 0;
            sentOfFirst += static_cast<size_t>(n);
            waiting -= n;
            if (sentOfFirst == block.size()) {
                blocks.pop_front();
                sentOfFirst = 0;
            }
        }
        return 0;
    }
};

PcapServer::~PcapServer() { stop(); }

int PcapServer::start(const std::string& host, uint16_t port) {
    stop();
    uint16_t bound = 0;
    if (const int error = listenOn(host, port, listener_, bound); error != 0) return error;
    port_ = bound;
    address_ = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(bound);
    stopping_.store(false);
    {
        std::lock_guard<std::mutex> hold(queueLock_);
        incoming_.clear();
        overflow_ = false;
    }
    try {
        thread_ = std::thread([this] { run(); });
        pthread_setname_np(thread_.native_handle(), "vx-pcap-listen");
    } catch (const std::system_error& error) {
        closeNetworkSocket(listener_);
        listener_ = kNoSocket;
        return error.code().value();
    }
    return 0;
}

void PcapServer::stop() {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    thread_.join();
    closeNetworkSocket(listener_);
    listener_ = kNoSocket;
}

void PcapServer::onRead(int channel, const uint8_t* bytes, size_t length, const ReadTime& time) {
    if (length == 0) return;
    const EntryHeader header{channel, static_cast<uint32_t>(length), time.wallMicros};
    std::lock_guard<std::mutex> hold(queueLock_);
    if (overflow_) return;
    if (static_cast<int64_t>(incoming_.size() + length) > kQueueLimit) {
        // The server's thread has not come for a long while: its clients would miss records.
        overflow_ = true;
        incoming_.clear();
        return;
    }
    incoming_.append(reinterpret_cast<const char*>(&header), sizeof header);
    incoming_.append(reinterpret_cast<const char*>(bytes), length);
}

std::vector<PcapClientNews> PcapServer::takeNews() {
    std::lock_guard<std::mutex> hold(newsLock_);
    return std::exchange(news_, {});
}

void PcapServer::tell(PcapClientNews news) {
    std::lock_guard<std::mutex> hold(newsLock_);
    // An owner that never asks (the window) must not make it grow without end.
    if (news_.size() >= 256) news_.erase(news_.begin());
    news_.push_back(std::move(news));
}

void PcapServer::run() {
    std::vector<Client> clients;
    std::vector<SocketWait> waits;
    std::string batch;
    std::vector<char> discard(65536);
    std::string header;
    appendPcapStart(header, PcapForm::Pcap, "", "");
    const auto pcapHeader = std::make_shared<const std::string>(header);
    int64_t stopDeadline = 0;

    for (;;) {
        const bool stopping = stopping_.load();
        if (stopping && stopDeadline == 0) stopDeadline = nowMs() + kExitWaitMs;

        // What the workers queued, as records every client gets.
        bool overflow = false;
        {
            std::lock_guard<std::mutex> hold(queueLock_);
            batch.swap(incoming_);
            incoming_.clear();
            overflow = std::exchange(overflow_, false);
        }
        if (overflow) {
            for (Client& client : clients) {
                tell({PcapClientNews::Kind::FellBehind, client.peer, 0, client.waiting});
                client.ended = true;
            }
        } else if (!batch.empty() && !clients.empty()) {
            auto block = std::make_shared<std::string>();
            block->reserve(batch.size() + batch.size() / 8);
            for (size_t at = 0; at + sizeof(EntryHeader) <= batch.size();) {
                EntryHeader entry;
                std::memcpy(&entry, batch.data() + at, sizeof entry);
                at += sizeof entry;
                appendPcapRecord(*block, PcapForm::Pcap, entry.wallMicros, entry.channel,
                                 reinterpret_cast<const uint8_t*>(batch.data() + at), entry.length);
                at += entry.length;
            }
            const std::shared_ptr<const std::string> shared = std::move(block);
            for (Client& client : clients) client.add(shared);
        }

        // At the end: what waits is sent for a moment more, nobody new is let in.
        const bool flushed = std::ranges::all_of(clients, [](const Client& c) { return c.ended || c.waiting == 0; });
        if (stopping && (flushed || nowMs() >= stopDeadline)) break;

        waits.clear();
        waits.push_back({listener_, !stopping, false});
        for (const Client& client : clients) waits.push_back({client.socket, !client.ended, client.waiting > 0});
        waitSockets(waits, kLookMs);

        if (waits[0].input) {
            std::string peer;
            for (NetworkSocket s; (s = acceptWaiting(listener_, peer)) != kNoSocket;) {
                Client& client = clients.emplace_back();
                client.socket = s;
                client.peer = peer;
                client.add(pcapHeader);
                tell({PcapClientNews::Kind::Connected, peer, 0, 0});
            }
        }
        for (size_t i = 0; i < clients.size() && i + 1 < waits.size(); ++i) {
            Client& client = clients[i];
            const SocketWait& wait = waits[i + 1];
            if (client.ended) continue;
            int error = 0;
            if (wait.input || wait.failed) {
                // Read-only: what a client sends is thrown away; its end of stream is its leaving.
                int64_t n = 0;
                while ((n = receiveWaiting(client.socket, discard.data(), discard.size(), error)) > 0) {}
                if (n == 0 || n == -2) {
                    tell({PcapClientNews::Kind::Left, client.peer, n == 0 ? 0 : error, client.waiting});
                    client.ended = true;
                    continue;
                }
            }
        }
        for (Client& client : clients) {
            if (client.ended) continue;
            int error = 0;
            if (client.waiting > 0 && client.sendSome(error) < 0) {
                tell({PcapClientNews::Kind::Left, client.peer, error, client.waiting});
                client.ended = true;
            } else if (client.waiting > kClientLimit) {
                // It stopped reading: it would hold the rest in memory without end.
                tell({PcapClientNews::Kind::Dropped, client.peer, 0, client.waiting});
                client.ended = true;
            }
        }
        std::erase_if(clients, [](const Client& client) {
            if (client.ended) closeNetworkSocket(client.socket);
            return client.ended;
        });
        clients_.store(static_cast<int>(clients.size()), std::memory_order_release);
    }
    for (Client& client : clients) closeGracefully(client.socket);
    clients_.store(0, std::memory_order_release);
}
