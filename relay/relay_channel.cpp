#include "relay/relay_channel.h"

// STUB: filled by the relay work.
RelayChannel relayChannel1(1, serialPort1, serialPort2, 256);
RelayChannel relayChannel2(2, serialPort2, serialPort1, 1024);
RelayChannel& relayChannel(int number) { return number == 2 ? relayChannel2 : relayChannel1; }
std::atomic<int32_t> leftMouseButtonDown{0};
void relayWorker(RelayChannel&) {}
void startRelayWorker(RelayChannel&) {}
void requestWorkerStop(RelayChannel&) {}
void joinRelayWorker(RelayChannel&) {}
std::string formatTimeStamp(RelayChannel&) { return {}; }
