// Network ports are not built for Windows yet: a connect fails at once (ENOSYS) and no port is
// ever made, so the workers never reach the calls below; they exist for the shared code.
#include "relay/network_port.h"

#include <cerrno>

struct NetworkConnector::Shared {
    ConnectResult result;
};

NetworkConnector::NetworkConnector(NetworkAddress, std::chrono::milliseconds, Done)
    : shared_(std::make_shared<Shared>()) {
    shared_->result.state = ConnectResult::State::Failed;
    shared_->result.failure = ConnectResult::Failure::Connect;
    shared_->result.systemError = ENOSYS;
}

NetworkConnector::~NetworkConnector() = default;
ConnectResult NetworkConnector::result() const { return shared_->result; }
int NetworkConnector::take() { return -1; }
void NetworkConnector::cancel() {}

int tuneConnectedSocket(int) { return ENOSYS; }

NetworkPort::NetworkPort(int fd, NetworkScheme scheme)
    : fd_(fd), scheme_(scheme), codec_(TelnetCodec::Mode::Raw) {
    loss_.store(NetworkLoss::Failed);
    lossError_.store(ENOSYS);
}

NetworkPort::~NetworkPort() = default;
int NetworkPort::start(const NetworkLineSettings&) { return ENOSYS; }
int NetworkPort::sendSettings(const NetworkLineSettings&) { return ENOSYS; }

ssize_t NetworkPort::readData(uint8_t*, size_t) {
    errno = ENOSYS;
    return -1;
}

ssize_t NetworkPort::writeData(const uint8_t*, size_t) {
    errno = ENOSYS;
    return -1;
}

int NetworkPort::outputQueued() const { return -1; }
void NetworkPort::flush() {}
size_t NetworkPort::heldBytes() const { return 0; }
int NetworkPort::readWaitMs() const { return -1; }
std::string NetworkPort::serverMessage() const { return {}; }
NetworkReadBack NetworkPort::readBack() const { return {}; }
