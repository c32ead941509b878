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
        tell(Status::Why::Failed, errno, {}, nullptr, true);
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

void RemoteTimeline::setState(Status::State state) {
    std::lock_guard<std::mutex> hold(lock_);
    status_.state = state;
}

void RemoteTimeline::tell(Status::Why why, int systemError, std::string message, const PcapReader* reader,
                          bool ends) {
    std::lock_guard<std::mutex> hold(lock_);
    // The news of a try replaces the last one's whole, so that the window never reads half of it.
    status_.why = why;
    status_.systemError = systemError;
    status_.message = std::move(message);
    status_.stop = reader != nullptr ? reader->stop() : PcapStop::None;
    status_.stopAt = reader != nullptr ? reader->stopAt() : 0;
    status_.linkType = reader != nullptr ? reader->refusedLinkType() : 0;
    if (ends) status_.state = Status::State::Ended;
}

void RemoteTimeline::run() {
    int failures = 0;
    std::shared_ptr<NetworkLookup> lookup;
    while (!stopping()) {
        setState(Status::State::Connecting);
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
                failures = 0;
                if (watch(port)) return;
            } else {
                const Status::Why why = result.failure == ConnectResult::Failure::Resolve    ? Status::Why::Resolve
                                        : result.failure == ConnectResult::Failure::TimedOut ? Status::Why::TimedOut
                                                                                             : Status::Why::Connect;
                tell(why, result.systemError, result.resolverMessage);
            }
        }
        if (stopping()) break;
        const auto delay = networkRetryDelay(++failures);
        {
            // Waiting and when it ends, together: the window counts down to the next try.
            std::lock_guard<std::mutex> hold(lock_);
            status_.state = Status::State::Waiting;
            status_.retryAt = std::chrono::steady_clock::now() + delay;
        }
        clearWake(wake_);
        if (!stopping()) sleepUnlessWoken(wake_, static_cast<int>(delay.count()));
    }
}

bool RemoteTimeline::watch(NetworkPort& port) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        status_.state = Status::State::Watching;
        ++status_.connections;
    }
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
            tell(Status::Why::Failed, errno);
            return false;
        }
        if (events & WaitWoken) clearWake(wake_);
        for (int reads = 0; reads < kReadsPerLook && !stopping(); ++reads) {
            const ssize_t n = port.readData(buffer.data(), buffer.size());
            if (n == 0) {
                tell(Status::Why::Closed);
                return false;
            }
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                tell(Status::Why::Failed, errno);
                return false;
            }
            reader.feed(buffer.data(), static_cast<size_t>(n), take);
            if (!reader.stopped()) continue;
            // Damage may be the connection's: tried again. Another format or link type would
            // come back the same, so it ends the watching.
            const PcapStop stop = reader.stop();
            const bool again = stop == PcapStop::Malformed || stop == PcapStop::Truncated;
            tell(Status::Why::Stream, 0, {}, &reader, !again);
            return !again;
        }
    }
    return true;
}
