// How a network port that is not open is told: the box of an open that failed, and the status
// bar's part for the port while it retries. The same words on every system, whatever its errno
// values are.
#include <gtest/gtest.h>

#include <cerrno>

#include "relay/relay.h"
#include "shell/message_catalogue.h"

namespace {

TEST(NetworkPortReports, TheBoxAndTheStatusSayWhyTheConnectionIsNotThere) {
    const std::string path = "rfc2217://127.0.0.1:4001", again = " (it is tried again until it answers)", retrying = ", retrying";
    const std::string refused = " not reachable: connection refused", reset = " connection lost: connection reset by peer";
    const std::string noAddress = " not reachable: no address for lab-pi", serverSays = ": Device open failure: No such file";
    // The box after "ComN Open Error\n<path>", the status after "COMN: <path>".
    const std::tuple<PortRefusal, int, const char*, std::string, std::string> table[] = {
        {RefusalUnreachable, ETIMEDOUT, "", " not reachable: connection timed out" + again,
         " not reachable: connection timed out" + retrying},
        {RefusalUnreachable, ECONNREFUSED, "", refused + again, refused + retrying},
        {RefusalUnreachable, 0, "no address for lab-pi", noAddress + again, noAddress + retrying},
        // A connection that ended before any reconnect step saw it up is owed as a failed open.
        {RefusalConnectionLost, ECONNRESET, "", reset + retrying, reset + retrying},
        {RefusalConnectionLost, 0, "", " closed the connection" + retrying, " closed the connection" + retrying},
        {RefusalServerMessage, 0, serverSays.c_str() + 2, serverSays, serverSays},
        {RefusalConnecting, 0, "", " connecting", " connecting"},
    };
    for (const auto& [kind, systemError, detail, box, status] : table) {
        PortOpenFailure failure;
        failure.kind = kind, failure.systemError = systemError, failure.path = path, failure.detail = detail;
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
    // A port its worker found gone, before the reconnect step closed it, says how its connection
    // ended as it will once closed.
    Relay relay;
    relay.comDevicePaths[4] = "tcp://[::1]:2217";
    relay.serialPort2.settings.comIndex = 4;
    relay.serialPort2.presence = PortLost;
    EXPECT_EQ(portStatusText(relay), "COM5: tcp://[::1]:2217 closed the connection, retrying");
    EXPECT_EQ(portAbsenceText(relay, 2), "tcp://[::1]:2217 closed the connection, retrying");
}

}  // namespace
