// The worker's waits on a network port whose socket has no descriptor to poll: on its network events together with
// the stop request, a reader and a writer waiting on one socket at once.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "relay/network_win32.h"
#include "relay/worker_wait.h"
#include "tests/support/network_test_data.h"

namespace {

// Raises a wake-up after a long while, so that a wait that never ends fails the test instead of
// hanging it; its destructor takes the wake-up away.
struct Watchdog {
    WakeHandle wake = [] { WakeHandle w = kNoWake; return makeWake(w), w; }();
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread thread{[this] {
        if (WaitForSingleObject(done, 10000) == WAIT_TIMEOUT) raiseWake(wake);
    }};
    ~Watchdog() { SetEvent(done), thread.join(), CloseHandle(done), closeWake(wake); }
};

// A wait ends on the stop request and on its time-out; after the peer closed it returns at once:
// the worker sees the port lost, never waits for ever.
TEST(NetworkWaitWin32, AWaitEndsOnTheStopRequestOnTheTimeOutAndAtOnceAfterTheEnd) {
    Connected pair(NetworkScheme::Tcp);
    WakeHandle wake = kNoWake;
    ASSERT_EQ(makeWake(wake), 0);
    EXPECT_EQ(waitForNetworkInput(*pair.port, wake, 20), 0) << "nothing came, nothing raised";
    raiseWake(wake);
    EXPECT_EQ(waitForNetworkInput(*pair.port, wake, -1), WaitWoken);
    closeWake(wake);

    pair.server.sendAll("last words"), pair.server.close();
    const std::string got = readPortUntil(*pair.port);
    EXPECT_TRUE(got == "last words" && pair.port->loss() == NetworkLoss::Closed) << got;
    Watchdog watchdog;
    EXPECT_EQ(waitForNetworkInput(*pair.port, watchdog.wake, -1) & WaitReady, WaitReady);
}

// Reader and writer wait on one socket at once: whichever takes the socket's events must hand
// the other's on. The writer fills the socket and waits for room while the reader waits for
// input; then the server drains and answers. Both must wake for their own reason, not for the
// watchdog's. Which of the two takes the events is up to the system: several rounds.
TEST(NetworkWaitWin32, ReaderAndWriterWaitingOnOneSocketBothWakeForTheirOwnEvents) {
    Connected pair(NetworkScheme::Tcp);
    for (int round = 0; round < 8 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string block(64 * 1024, 'w');
        size_t written = 0;
        for (ssize_t n; written < (256u << 20) &&
                        (n = pair.port->writeData(reinterpret_cast<const uint8_t*>(block.data()), block.size())) > 0;)
            written += static_cast<size_t>(n);  // until the socket takes no more
        ASSERT_TRUE(errno == EAGAIN && pair.port->heldBytes() > 0u) << "the socket never filled";

        Watchdog watchdog;
        std::atomic<int> readerSaw{-2}, writerSaw{-2};
        std::thread reader([&] { readerSaw = waitForNetworkInput(*pair.port, watchdog.wake, -1); }), writer([&] {
            int events = 0;
            // Room comes and goes as the server drains; the writer sends on what it holds.
            while (pair.port->heldBytes() > 0 && !pair.port->lost() &&
                   !((events = waitForNetworkRoom(*pair.port, watchdog.wake, -1)) & WaitWoken))
                pair.port->flush();
            writerSaw = events;
        });
        EXPECT_EQ(pair.server.receive(written, 2000).size(), written);
        writer.join(), pair.server.sendAll("r"), reader.join();
        EXPECT_EQ(writerSaw.load() & WaitWoken, 0) << "the writer never saw room";
        EXPECT_EQ(readerSaw.load(), WaitReady) << "the reader never saw the input";
        uint8_t c = 0;
        EXPECT_TRUE(pair.port->readData(&c, 1) == 1 && c == 'r');
    }
}

}  // namespace
