// Watching a relay on another machine: its PCAP-over-IP server (ours, on 127.0.0.1) read into a live record list,
// through a relay that is not there yet, goes and comes back; and a stream that is not one of serial records.
#include <gtest/gtest.h>

#include <string>

#include "capture/pcap_server.h"
#include "display/remote_timeline.h"
#include "tests/display/timeline_lines.h"
#include "tests/support/pty_cable.h"
#include "tests/support/test_socket.h"

namespace {

using Status = RemoteTimeline::Status;

// A second of the far relay's clock an hour behind ours, as a rig's unset clock may be.
constexpr int64_t kFarStart = 1796687990000000;  // 2026-12-07 23:59:50 UTC

// Records of both directions, ever longer, 1.5 ms apart on the far relay's clock; `sent` takes them too.
void serve(PcapServer& server, TimelineRecords& sent, int count) {
    for (int i = 0; i < count; ++i) {
        const uint64_t n = sent.extent().end;
        const int channel = n % 3 == 2 ? 2 : 1;
        const std::string bytes = randomBytes(1 + n % 40, static_cast<uint32_t>(n));
        const int64_t wall = kFarStart + static_cast<int64_t>(n) * 1500;
        server.onRead(channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ReadTime{wall, wall});
        takeRead(sent, channel, bytes, wall, wall);
    }
}

bool stateIs(const RemoteTimeline& remote, Status::State state) {
    return eventually([&] { return remote.status().state == state; });
}

// Nobody listens yet: refused, tried again; the relay starts: records come in order; it stops:
// the closed connection is told and tried again; it comes back on its port: the list goes on.
// Its requests would time out by the far relay's clock, not by ours.
TEST(RemoteTimeline, FollowsTheRelaysStreamThroughItsAbsenceItsEndAndItsReturn) {
    PcapServer server;
    ASSERT_EQ(server.start("127.0.0.1", 0), 0);
    const uint16_t port = server.port();
    server.stop();

    RemoteTimeline remote(NetworkAddress{NetworkScheme::Tcp, "127.0.0.1", port});
    ASSERT_TRUE(stateIs(remote, Status::State::Waiting));
    EXPECT_EQ(std::make_pair(remote.status().why, remote.status().systemError),
              std::make_pair(Status::Why::Connect, ECONNREFUSED));

    TimelineRecords sent;
    sent.setTaking(true);
    for (int run = 1; run <= 2; ++run) {
        ASSERT_EQ(server.start("127.0.0.1", port), 0) << "run " << run;
        ASSERT_TRUE(eventually([&] { return server.clients() == 1; })) << "run " << run;
        EXPECT_TRUE(stateIs(remote, Status::State::Watching));
        EXPECT_EQ(remote.status().connections, static_cast<uint64_t>(run));
        serve(server, sent, 300);
        ASSERT_TRUE(eventually([&] { return remote.records().extent().end == sent.extent().end; }))
            << remote.records().extent().end << " of " << sent.extent().end;
        server.stop();
        ASSERT_TRUE(stateIs(remote, Status::State::Waiting)) << "run " << run;
        EXPECT_EQ(remote.status().why, Status::Why::Closed);
    }
    // The records held are those sent, in order, with their times and the gaps between them.
    EXPECT_EQ(linesOf(remote.records()), linesOf(sent));
    EXPECT_EQ(remote.status().records, sent.extent().end);
    EXPECT_LT(remote.nowWallMicros(), ReadTime::now().wallMicros - int64_t{3000} * 1000000)
        << "the far relay's clock, not ours";
}

// A server that speaks something else: its reason, and no further try.
TEST(RemoteTimeline, AStreamThatIsNotPcapEndsTheWatchingWithItsReason) {
    TestListener listener;
    RemoteTimeline remote(NetworkAddress{NetworkScheme::Tcp, "127.0.0.1", listener.port()});
    TestSocket peer = listener.accept();
    ASSERT_TRUE(peer.valid() && peer.sendAll("220 mail.example ESMTP ready\r\n"));
    ASSERT_TRUE(stateIs(remote, Status::State::Ended));
    const Status status = remote.status();
    EXPECT_EQ(std::make_tuple(status.why, status.stop, status.records),
              std::make_tuple(Status::Why::Stream, PcapStop::NotPcap, uint64_t{0}));
    // A try again would come within the first back-off.
    EXPECT_FALSE(listener.accept(2000).valid()) << "no second try";
}

}  // namespace
