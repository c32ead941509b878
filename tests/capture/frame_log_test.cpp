// The frame log on a real file: frame lines, a timeout told on a quiet line, the last frame kept
// at the close.
#include <gtest/gtest.h>

#include <string>

#include "shell/session.h"
#include "tests/decode/rtu_frame.h"
#include "tests/support/pty_cable.h"

namespace {

TEST(FrameLog, WritesFrameLinesTellsATimeoutWhenTheLineIsQuietAndKeepsTheLastFrameAtTheClose) {
    ScratchDir dir;
    Session app;
    DecodeChoice choice;
    choice.timeoutMicros = 1000;
    app.captures.frameDecoding.choose(choice, LineSettings{}, LineSettings{});
    ASSERT_EQ(app.captures.openFrameCapture(dir.file("frames.log")), 1);
    const auto read = [&](int channel, const std::vector<uint8_t>& bytes) {
        app.captures.frameCapture.onRead(channel, bytes.data(), bytes.size(), ReadTime::now());
    };
    const std::vector<uint8_t> request = rtu({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03});
    read(1, request);
    read(2, rtu({0x11, 0x03, 0x02, 0x00, 0x2A}));
    read(1, request);
    // Nothing more comes: the writer's own look must find the time run out.
    EXPECT_TRUE(eventually([&] { return dir.read("frames.log").find("[timeout]") != std::string::npos; }));
    read(1, {request.begin(), request.begin() + 5});
    ASSERT_TRUE(app.captures.frameCapture.close());

    const std::string log = dir.read("frames.log");
    std::vector<std::string> verdicts;
    for (size_t at = log.find("  ["); at != std::string::npos; at = log.find("  [", at + 1))
        verdicts.push_back(log.substr(at + 2, log.find(']', at) - at - 1));
    EXPECT_EQ(verdicts, (std::vector<std::string>{"[ok]", "[ok]", "[ok]", "[timeout]", "[truncated]"})) << log;
    EXPECT_NE(log.find("→ 1 register 0x002A, answer after "), std::string::npos) << log;
    const FrameFigures figures = app.captures.frameDecoding.figures();
    EXPECT_EQ(figures.frames, 4);
    EXPECT_EQ(figures.errors, 2);
    EXPECT_EQ(figures.units.at(17).transactions, 2);
}

}  // namespace
