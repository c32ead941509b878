// Watching a relay on another machine: its PCAP-over-IP server (ours, on 127.0.0.1) read into a
// live record list, through a relay that is not there yet, goes and comes back; and a stream that
// is not one of serial records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/pcap_server.h"
#include "display/remote_timeline.h"
#include "tests/support/pty_cable.h"
#include "tests/support/test_socket.h"

namespace {

using Status = RemoteTimeline::Status;

// A second of the far relay's clock an hour behind ours, as a rig's unset clock may be.
constexpr int64_t kFarStart = 1796687990000000;  // 2026-12-07 23:59:50 UTC

struct Sent {
    int channel;
    std::string bytes;
    int64_t wallMicros;
};

// Records of both directions, ever longer, 1.5 ms apart on the far relay's clock.
void serve(PcapServer& server, std::vector<Sent>& sent, int count) {
    for (int i = 0; i < count; ++i) {
        const size_t n = sent.size();
        Sent s{n % 3 == 2 ? 2 : 1, randomBytes(1 + n % 40, static_cast<uint32_t>(n)),
               kFarStart + static_cast<int64_t>(n) * 1500};
        server.onRead(s.channel, reinterpret_cast<const uint8_t*>(s.bytes.data()), s.bytes.size(),
                      ReadTime{s.wallMicros, s.wallMicros});
        sent.push_back(s);
    }
}

// The records held must be those sent, in order, with their times and the gaps between them.
void expectSent(RemoteTimeline& remote, const std::vector<Sent>& sent) {
    std::vector<TimelineRecord> got;
    remote.records().read(0, sent.size() + 1, got);
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].channel, sent[i].channel) << i;
        EXPECT_EQ(got[i].bytes, sent[i].bytes) << i;
        EXPECT_EQ(got[i].micros, sent[i].wallMicros % 1000000) << i;
        EXPECT_EQ(got[i].gapMicros, i == 0 ? 0 : 1500) << i;
    }
    EXPECT_EQ(remote.status().records, sent.size());
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
    EXPECT_EQ(remote.status().why, Status::Why::Connect);
    EXPECT_EQ(remote.status().systemError, ECONNREFUSED);

    std::vector<Sent> sent;
    for (int run = 1; run <= 2; ++run) {
        ASSERT_EQ(server.start("127.0.0.1", port), 0) << "run " << run;
        ASSERT_TRUE(eventually([&] { return server.clients() == 1; })) << "run " << run;
        EXPECT_TRUE(stateIs(remote, Status::State::Watching));
        EXPECT_EQ(remote.status().connections, static_cast<uint64_t>(run));
        serve(server, sent, 300);
        ASSERT_TRUE(eventually([&] { return remote.records().extent().end == sent.size(); }))
            << remote.records().extent().end << " of " << sent.size();
        server.stop();
        ASSERT_TRUE(stateIs(remote, Status::State::Waiting)) << "run " << run;
        EXPECT_EQ(remote.status().why, Status::Why::Closed);
    }
    expectSent(remote, sent);
    EXPECT_LT(remote.nowWallMicros(), ReadTime::now().wallMicros - int64_t{3000} * 1000000)
        << "the far relay's clock, not ours";
}

// A server that speaks something else: its reason, and no further try.
TEST(RemoteTimeline, AStreamThatIsNotPcapEndsTheWatchingWithItsReason) {
    TestListener listener;
    RemoteTimeline remote(NetworkAddress{NetworkScheme::Tcp, "127.0.0.1", listener.port()});
    TestSocket peer = listener.accept();
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(peer.sendAll("220 mail.example ESMTP ready\r\n"));
    ASSERT_TRUE(stateIs(remote, Status::State::Ended));
    const Status status = remote.status();
    EXPECT_EQ(status.why, Status::Why::Stream);
    EXPECT_EQ(status.stop, PcapStop::NotPcap);
    EXPECT_EQ(status.records, 0u);
    // A try again would come within the first back-off.
    EXPECT_FALSE(listener.accept(2000).valid()) << "no second try";
}

}  // namespace
