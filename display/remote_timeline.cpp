#include "display/remote_timeline.h"

#include <cerrno>
#include <vector>

#include "relay/network_device.h"

namespace {

// How long the thread sleeps at most before it looks at its stop request again, should a wake
// be missed; the wake ends every wait at once.
constexpr int kLookMs = 1000;
// Read at most this much before looking at the stop request again.
constexpr size_t kReadBytes = size_t{64} << 10;
constexpr int kReadsPerLook = 64;

}  // namespace

RemoteTimeline::RemoteTimeline(const NetworkAddress& address, uint64_t maxRecords, uint64_t maxBytes)
    : address_(address), records_(maxRecords, maxBytes) {
    records_.setTaking(true);
    if (makeWake(wake_) != 0) {
        setStatus(Status::State::Ended, Status::Why::Failed, errno);
        return;
    }
    thread_ = std::thread([this] { run(); });
    nameWorkerThread(thread_, "remote timeline");
}

RemoteTimeline::~RemoteTimeline() {
    stop_.store(true, std::memory_order_release);
    if (wake_ != kNoWake) raiseWake(wake_);
    if (thread_.joinable()) thread_.join();
    closeWake(wake_);
}

RemoteTimeline::Status RemoteTimeline::status() const {
    std::lock_guard<std::mutex> hold(lock_);
    return status_;
}

int64_t RemoteTimeline::nowWallMicros() const {
    const ReadTime now = ReadTime::now();
    std::lock_guard<std::mutex> hold(lock_);
    if (!farKnown_) return now.wallMicros;
    return farWallMicros_ +
           std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - farAt_).count();
}

void RemoteTimeline::setStatus(Status::State state, Status::Why why, int systemError) {
    std::lock_guard<std::mutex> hold(lock_);
    status_.state = state;
    // A new try keeps the last one's news, so that the user still reads why the connection
    // before went; an ending replaces it.
    if (why == Status::Why::None) return;
    status_.why = why;
    status_.systemError = systemError;
    status_.message.clear();
}

void RemoteTimeline::run() {
    int failures = 0;
    std::shared_ptr<NetworkLookup> lookup;
    while (!stopping()) {
        setStatus(Status::State::Connecting);
        ConnectResult result;
        {
            clearWake(wake_);
            NetworkConnector connector(address_, NetworkConnector::kDefaultTimeout, [this] { raiseWake(wake_); },
                                       lookup);
            while ((result = connector.result()).state == ConnectResult::State::Pending && !stopping())
                sleepUnlessWoken(wake_, kLookMs);
            if (stopping()) break;
            lookup = connector.unfinishedLookup();
            if (result.state == ConnectResult::State::Connected) {
                NetworkPort port(connector.take(), NetworkScheme::Tcp);
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    ++status_.connections;
                }
                failures = 0;
                if (watch(port)) return;
            } else {
                switch (result.failure) {
                    case ConnectResult::Failure::Resolve: {
                        setStatus(Status::State::Waiting, Status::Why::Resolve, result.systemError);
                        std::lock_guard<std::mutex> hold(lock_);
                        status_.message = result.resolverMessage;
                        break;
                    }
                    case ConnectResult::Failure::TimedOut:
                        setStatus(Status::State::Waiting, Status::Why::TimedOut, result.systemError);
                        break;
                    default:
                        setStatus(Status::State::Waiting, Status::Why::Connect, result.systemError);
                        break;
                }
            }
        }
        if (stopping()) break;
        const auto delay = networkRetryDelay(++failures);
        {
            std::lock_guard<std::mutex> hold(lock_);
            status_.state = Status::State::Waiting;
            status_.retryAt = std::chrono::steady_clock::now() + delay;
        }
        clearWake(wake_);
        if (!stopping()) sleepUnlessWoken(wake_, static_cast<int>(delay.count()));
    }
}

bool RemoteTimeline::watch(NetworkPort& port) {
    setStatus(Status::State::Watching);
    // Each connection is a stream of its own, its header first.
    PcapReader reader;
    std::vector<uint8_t> buffer(kReadBytes);
    const auto take = [this](const PcapPacket& packet) {
        // The far relay's read times are the records' times and gaps alike.
        records_.onRead(packet.channel, packet.bytes, packet.length, ReadTime{packet.wallMicros, packet.wallMicros});
        std::lock_guard<std::mutex> hold(lock_);
        ++status_.records;
        farWallMicros_ = packet.wallMicros;
        farAt_ = std::chrono::steady_clock::now();
        farKnown_ = true;
    };
    while (!stopping()) {
        const int events = waitForNetworkInput(port, wake_, kLookMs);
        if (events < 0) {
            setStatus(Status::State::Waiting, Status::Why::Failed, errno);
            return false;
        }
        if (events & WaitWoken) clearWake(wake_);
        for (int reads = 0; reads < kReadsPerLook && !stopping(); ++reads) {
            const ssize_t n = port.readData(buffer.data(), buffer.size());
            if (n == 0) {
                setStatus(Status::State::Waiting, Status::Why::Closed);
                return false;
            }
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                setStatus(Status::State::Waiting, Status::Why::Failed, errno);
                return false;
            }
            reader.feed(buffer.data(), static_cast<size_t>(n), take);
            if (!reader.stopped()) continue;
            // Damage may be the connection's: tried again. Another format or link type would
            // come back the same, so it ends the watching.
            const PcapStop stop = reader.stop();
            const bool again = stop == PcapStop::Malformed || stop == PcapStop::Truncated;
            setStatus(again ? Status::State::Waiting : Status::State::Ended, Status::Why::Stream);
            std::lock_guard<std::mutex> hold(lock_);
            status_.stop = stop;
            status_.stopAt = reader.stopAt();
            status_.linkType = reader.refusedLinkType();
            return !again;
        }
    }
    return true;
}
