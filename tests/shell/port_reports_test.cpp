// How a network port that is not open is told, in the same words on every system.
#include <gtest/gtest.h>

#include <cerrno>

#include "relay/relay.h"
#include "shell/message_catalogue.h"

namespace {

TEST(NetworkPortReports, TheBoxAndTheStatusSayWhyTheConnectionIsNotThere) {
    const std::string path = "rfc2217://127.0.0.1:4001", again = " (it is tried again until it answers)";
    const std::string timedOut = " not reachable: connection timed out", refused = " not reachable: connection refused";
    const std::string reset = " connection lost: connection reset by peer, retrying", closed = " closed the connection";
    const std::string noAddress = " not reachable: no address for lab-pi", server = ": Device open failure: No such";
    // The box after "ComN Open Error\n<path>", the status after "COMN: <path>".
    const std::tuple<PortRefusal, int, const char*, std::string, std::string> table[] = {
        {RefusalUnreachable, ETIMEDOUT, "", timedOut + again, timedOut + ", retrying"},
        {RefusalUnreachable, ECONNREFUSED, "", refused + again, refused + ", retrying"},
        {RefusalUnreachable, 0, "no address for lab-pi", noAddress + again, noAddress + ", retrying"},
        // A connection that ended before any reconnect step saw it up is owed as a failed open.
        {RefusalConnectionLost, ECONNRESET, "", reset, reset},
        {RefusalConnectionLost, 0, "", closed + ", retrying", closed + ", retrying"},
        {RefusalServerMessage, 0, server.c_str() + 2, server, server},
        {RefusalConnecting, 0, "", " connecting", " connecting"},
    };
    for (const auto& [kind, systemError, detail, box, status] : table) {
        PortOpenFailure failure;
        failure.kind = kind;
        failure.systemError = systemError;
        failure.path = path;
        failure.detail = detail;
        for (int port : {1, 2}) {
            std::vector<BoxRequest> boxes;
            reportPortOpen([&boxes](const BoxRequest& r) { boxes.push_back(r); }, PortOpenFailed, port, failure);
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, "Com" + std::to_string(port) + " Open Error\n" + path + box);
            EXPECT_EQ(boxes[0].icon, BoxIcon::Error);
            Relay relay;
            SerialPort& serialPort = port == 1 ? relay.serialPort1 : relay.serialPort2;
            serialPort.settings.comIndex = 3;
            serialPort.presence = PortAway;
            serialPort.openFailure = failure;
            EXPECT_EQ(portStatusText(relay), "COM4: " + path + status);
        }
    }
    // A port its worker found gone says how its connection ended before the reconnect step closes it.
    Relay relay;
    relay.comDevicePaths[4] = "tcp://[::1]:2217";
    relay.serialPort2.settings.comIndex = 4;
    relay.serialPort2.presence = PortLost;
    EXPECT_EQ(portStatusText(relay), "COM5: tcp://[::1]:2217 closed the connection, retrying");
    EXPECT_EQ(portAbsenceText(relay, 2), "tcp://[::1]:2217 closed the connection, retrying");
}

}  // namespace
