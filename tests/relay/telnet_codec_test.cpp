// The Telnet / Com Port Control codec alone: a server's bytes, negotiation that settles, the commands it encodes.
#include <gtest/gtest.h>

#include <ostream>

#include "tests/support/network_test_data.h"

using namespace telnet;
using Kind = TelnetEvent::Kind;
using S = TelnetSide;

void PrintTo(const TelnetEvent& e, std::ostream* os) {
    *os << "{kind " << int(e.kind) << " option " << int(e.option) << " side " << int(e.side) << " command "
        << int(e.command) << " value " << e.value << "}";
}

namespace {

const auto bytes = bytesOf;
TelnetEvent agreed(uint8_t option, S side) { return {Kind::OptionAgreed, option, side}; }
TelnetEvent refused(uint8_t option, S side) { return {Kind::OptionRefused, option, side}; }
TelnetEvent answer(ComPortCommand command, uint32_t value = 0) {
    return {Kind::ComPortAnswer, 0, S::Local, command, value};
}
const TelnetEvent kFlood{Kind::CommandFlood};

struct Received {
    std::string data, reply = {};
    std::vector<TelnetEvent> events = {};
    bool operator==(const Received&) const = default;
};

Received receive(TelnetCodec& codec, const std::string& in) {
    Received r;
    codec.receive(reinterpret_cast<const uint8_t*>(in.data()), in.size(), r.data, r.reply, r.events);
    return r;
}
Received receiveFresh(const std::string& in) {
    TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
    return receive(codec, in);
}

}  // namespace

// Each server stream gives these data bytes, replies and events. (Escapes, other commands and options, the answers
// to the codec's own commands and any cut of the reads: the fuzz harness's seeds.)
TEST(TelnetCodec, ServerStreamsGiveTheirDataRepliesAndEvents) {
    using C = ComPortCommand;
    struct Case { const char* name; std::string in; Received out; };
    const Case cases[] = {
        {"a command inside a subnegotiation is dropped", bytes({IAC, SB, 44, 102, IAC, 241, 7, IAC, SE, 'z'}),
         {"z", "", {answer(C::SetDataSize, 7)}}},
        {"a baud rate's extra bytes are ignored, one too short is no answer",
         serverAnswer(C::SetBaudRate, bytes({0, 0, 0x25, 0x80, 0, 0, 0, 0})) +
             serverAnswer(C::SetBaudRate, bytes({0x25, 0x80})) + "x",
         {"x", "", {answer(C::SetBaudRate, 9600)}}},
        {"the answers to no command of the codec's own",
         serverAnswer(C::NotifyLineState, bytes({0x60})) + "1" + serverAnswer(C::NotifyModemState, bytes({IAC})) +
             "2" + serverAnswer(C::FlowControlSuspend, "") + "3" + serverAnswer(C::FlowControlResume, "") +
             serverAnswer(C::SetLineStateMask, bytes({0})) + serverAnswer(C::SetModemStateMask, bytes({IAC})),
         {"123", "",
          {answer(C::NotifyLineState, 0x60), answer(C::NotifyModemState, 0xFF), answer(C::FlowControlSuspend),
           answer(C::FlowControlResume), answer(C::SetLineStateMask, 0), answer(C::SetModemStateMask, 0xFF)}}},
        {"no answer: the signature, a client's code, an empty one, a value missing, an unknown code",
         serverAnswer(C::Signature, "ser2net") + bytes({IAC, SB, 44, 1, 0, 0, 0x25, 0x80, IAC, SE}) +
             bytes({IAC, SB, 44, IAC, SE}) + serverAnswer(C::SetParity, "") + bytes({IAC, SB, 44, 113, 1, IAC, SE}),
         {}},
        {"negotiations among data",
         bytes({'a', IAC, WILL, BINARY, 'b', IAC, DO, 44, IAC, WILL, ECHO_OPTION, 'c', IAC, IAC}),
         {bytes({'a', 'b', 'c', IAC}), bytes({IAC, DO, BINARY, IAC, WILL, 44, IAC, DONT, ECHO_OPTION}),
          {agreed(BINARY, S::Remote), agreed(44, S::Local)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Received r = receiveFresh(c.in);
        EXPECT_EQ(r.data, c.out.data);
        EXPECT_EQ(r.reply, c.out.reply);
        EXPECT_EQ(r.events, c.out.events);
    }
}

// Conversations with a server, turn by turn, then the options agreed: refusals and
// acknowledgements are answered once, never again, so that no answer loop starts.
TEST(TelnetCodec, NegotiationIsAnsweredOnceAndSettles) {
    struct Turn { bool start; std::string in, reply; std::vector<TelnetEvent> events = {}; };  // start: `reply` is what it asks
    struct Conversation { const char* name; std::vector<Turn> turns; std::vector<std::pair<uint8_t, S>> agreed, notAgreed = {}; };
    const int CPO = COM_PORT_OPTION;
    const std::string asks = bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL, CPO}),
                      oddAsks = bytes({IAC, WILL, ECHO_OPTION, IAC, DO, ECHO_OPTION, IAC, WILL, 99, IAC, DO, 200, IAC,
                                       WILL, CPO, IAC, DO, 255});
    const Conversation conversations[] = {
        {"the start asks for binary and no go-ahead both ways and offers the com port option, once; the "
         "acknowledgements are not acknowledged, nor a request repeated after",
         {{true, "", asks},
          {true, "", ""},
          {false, bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, SGA, IAC, WILL, SGA, IAC, DO, CPO}), "",
           {agreed(BINARY, S::Local), agreed(BINARY, S::Remote), agreed(SGA, S::Local), agreed(SGA, S::Remote),
            agreed(CPO, S::Local)}},
          {false, bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, CPO, IAC, WILL, SGA}), ""}},
         {{BINARY, S::Local}, {BINARY, S::Remote}, {SGA, S::Local}, {SGA, S::Remote}, {CPO, S::Local}}},
        {"echo, unknown options and the server's com port option are refused once",
         {{false, oddAsks, bytes({IAC, DONT, ECHO_OPTION, IAC, WONT, ECHO_OPTION, IAC, DONT, 99, IAC, WONT, 200,
                                  IAC, DONT, CPO, IAC, WONT, 255})},
          {false, oddAsks, ""},
          {false, bytes({IAC, WONT, ECHO_OPTION, IAC, DONT, 99}), ""}},  // refusals of what was never on
         {},
         {{ECHO_OPTION, S::Remote}, {CPO, S::Remote}}},
        {"a refusal is taken silently, a turn-off agreed once, and an offer again taken",
         {{true, "", asks},
          {false, bytes({IAC, DONT, CPO, IAC, WONT, SGA, IAC, WILL, BINARY}), "",
           {refused(CPO, S::Local), refused(SGA, S::Remote), agreed(BINARY, S::Remote)}},
          {false, bytes({IAC, WONT, BINARY, IAC, WONT, BINARY}), bytes({IAC, DONT, BINARY}),
           {refused(BINARY, S::Remote)}},
          {false, bytes({IAC, WILL, BINARY, IAC, DO, CPO}), bytes({IAC, DO, BINARY, IAC, WILL, CPO}),
           {agreed(BINARY, S::Remote), agreed(CPO, S::Local)}}},
         {{BINARY, S::Remote}, {CPO, S::Local}},
         {{SGA, S::Remote}}},
        {"a server that speaks first is answered once, and the start does not ask again",
         {{false, bytes({IAC, DO, BINARY, IAC, WILL, SGA}), bytes({IAC, WILL, BINARY, IAC, DO, SGA}),
           {agreed(BINARY, S::Local), agreed(SGA, S::Remote)}},
          {true, "", bytes({IAC, DO, BINARY, IAC, WILL, SGA, IAC, WILL, CPO})}},
         {{BINARY, S::Local}, {SGA, S::Remote}}},
    };
    for (const Conversation& c : conversations) {
        SCOPED_TRACE(c.name);
        TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
        for (size_t turn = 0; turn < c.turns.size(); ++turn) {
            SCOPED_TRACE(turn);
            const Turn& t = c.turns[turn];
            Received r;
            t.start ? codec.start(r.reply) : void(r = receive(codec, t.in));
            EXPECT_EQ(r.reply, t.reply);
            EXPECT_EQ(r.events, t.events);
        }
        for (const auto& [option, side] : c.agreed) EXPECT_TRUE(codec.agreed(option, side)) << int(option);
        for (const auto& [option, side] : c.notAgreed) EXPECT_FALSE(codec.agreed(option, side)) << int(option);
    }
}

// Each command with its code and value (0xFF in it doubled: the fuzz harness reads them back).
TEST(TelnetCodec, CommandsAreSentWithTheirCodesAndRawModeSendsBytesAsTheyAre) {
    using C = TelnetCodec;
    const C codec(C::Mode::Rfc2217);
    std::string out, expected;
    const auto sent = [&](bool appended, int code, std::initializer_list<int> value) {
        EXPECT_TRUE(appended) << code;
        expected += bytes({IAC, SB, COM_PORT_OPTION, code}) + bytes(value) + bytes({IAC, SE});
    };
    sent(codec.setBaudRate(115200, out), 1, {0, 1, 0xC2, 0});
    sent(codec.setBaudRate(12345, out), 1, {0, 0, 0x30, 0x39});
    sent(codec.setDataSize(7, out), 2, {7});
    using P = C::Parity;
    for (auto [parity, value] : {std::pair{P::None, 1}, {P::Odd, 2}, {P::Even, 3}, {P::Mark, 4}, {P::Space, 5}})
        sent(codec.setParity(parity, out), 3, {value});
    for (auto [stop, value] : {std::pair{C::StopSize::One, 1}, {C::StopSize::Two, 2}, {C::StopSize::OneAndAHalf, 3}})
        sent(codec.setStopSize(stop, out), 4, {value});
    using K = C::Control;
    for (auto [control, value] : {std::pair{K::FlowNone, 1}, {K::FlowXonXoff, 2}, {K::FlowRtsCts, 3}, {K::BreakOn, 5},
                                  {K::BreakOff, 6}, {K::DtrOn, 8}, {K::DtrOff, 9}, {K::RtsOn, 11}, {K::RtsOff, 12}})
        sent(codec.setControl(control, out), 5, {value});
    for (auto [purge, value] : {std::pair{C::Purge::Receive, 1}, {C::Purge::Transmit, 2}, {C::Purge::Both, 3}})
        sent(codec.purge(purge, out), 12, {value});
    EXPECT_EQ(out, expected);

    // Raw: bytes go as they are (and are read as they are: the fuzz harness), and no settings are sent.
    TelnetCodec raw(TelnetCodec::Mode::Raw);
    out.clear();
    raw.start(out);
    const std::string rawData = bytes({IAC, 0, IAC});
    std::string rawOut;
    raw.encodeData(reinterpret_cast<const uint8_t*>(rawData.data()), rawData.size(), rawOut);
    EXPECT_EQ(rawOut, rawData);
    EXPECT_FALSE(raw.setBaudRate(9600, out) || raw.setControl(TelnetCodec::Control::DtrOn, out) || !out.empty());
}

// The boundary: a subnegotiation of 256 bytes is kept, 257 dropped whole; the data after its IAC SE is data again.
TEST(TelnetCodec, ALongSubnegotiationOrAFloodIsDroppedAndTheCodecHoldsBoundedMemory) {
    const auto rate = [](size_t pad) {
        return serverAnswer(ComPortCommand::SetBaudRate, bytes({0, 0, 0x25, 0x80}) + std::string(pad, 'p'));
    };
    EXPECT_TRUE(receiveFresh(rate(252) + "a" + rate(251)) == (Received{"a", "", {answer(ComPortCommand::SetBaudRate, 9600)}}));

    // 64 KiB of commands without a data byte are a flood, reported once, and again after data; an escaped 0xFF is
    // data. Whatever the server sends, the codec holds little, and each unknown option is refused once.
    std::string commands;  // two bytes short of 64 KiB
    while (commands.size() < 64 * 1024 - 2) commands += bytes({IAC, 241});
    EXPECT_TRUE(receiveFresh(commands + "d" + commands + bytes({IAC, IAC}) + commands).events.empty());
    const std::string flood = commands + bytes({IAC, 241});
    EXPECT_EQ(receiveFresh(flood + flood + "d" + flood).events, (std::vector{kFlood, kFlood}));

    std::string unended = bytes({IAC, SB, COM_PORT_OPTION, 106}), offers;  // a subnegotiation never ended
    for (int i = 0; i < 40000; ++i) unended += bytes({'x', IAC, IAC, IAC, 241});  // escaped 0xFF and NOPs inside
    for (int i = 0; i < 60000; ++i) offers += bytes({IAC, WILL, 100 + i % 150});
    for (const std::string* stream : {&unended, &offers}) {
        TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
        Received r;
        for (size_t at = 0; at < stream->size(); at += 4096) {
            const size_t n = std::min<size_t>(4096, stream->size() - at);
            codec.receive(reinterpret_cast<const uint8_t*>(stream->data()) + at, n, r.data, r.reply, r.events);
            ASSERT_LE(codec.heldBytes(), 256u);
        }
        EXPECT_TRUE(r == (Received{"", r.reply, {kFlood}}));
        EXPECT_LE(r.reply.size(), 150u * 3);
    }
}
