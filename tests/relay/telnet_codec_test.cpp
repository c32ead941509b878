// The Telnet / Com Port Control codec alone: what a server's bytes give (data, replies, answers)
// however the reads cut them, the negotiation that must settle instead of looping, the commands
// it encodes, and servers that send malformed or endless commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "relay/telnet_codec.h"

using namespace telnet;
using Kind = TelnetEvent::Kind;

void PrintTo(const TelnetEvent& e, std::ostream* os) {
    *os << "{kind " << int(e.kind) << " option " << int(e.option) << " side " << int(e.side)
        << " command " << int(e.command) << " value " << e.value << "}";
}

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

TelnetEvent agreedEvent(uint8_t option, TelnetSide side) {
    return {Kind::OptionAgreed, option, side};
}
TelnetEvent refusedEvent(uint8_t option, TelnetSide side) {
    return {Kind::OptionRefused, option, side};
}
TelnetEvent answerEvent(ComPortCommand command, uint32_t value = 0) {
    TelnetEvent e;
    e.command = command;
    e.value = value;
    return e;
}
TelnetEvent floodEvent() { return {Kind::CommandFlood}; }

// A server's answer to `command` (its code plus 100) with the value bytes as sent, escaped.
std::string serverAnswer(ComPortCommand command, const std::string& escapedValue) {
    return bytes({IAC, SB, COM_PORT_OPTION, static_cast<int>(command) + 100}) + escapedValue +
           bytes({IAC, SE});
}

struct Received {
    std::string data, reply;
    std::vector<TelnetEvent> events;
};

// `in` given to one codec in pieces that end at each of `cuts`.
Received receiveInPieces(TelnetCodec& codec, const std::string& in, std::vector<size_t> cuts) {
    Received r;
    cuts.push_back(in.size());
    size_t from = 0;
    for (size_t cut : cuts) {
        codec.receive(reinterpret_cast<const uint8_t*>(in.data()) + from, cut - from, r.data,
                      r.reply, r.events);
        from = cut;
    }
    return r;
}

Received receive(TelnetCodec& codec, const std::string& in) {
    return receiveInPieces(codec, in, {});
}

Received receiveFresh(const std::string& in, std::vector<size_t> cuts = {}) {
    TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
    return receiveInPieces(codec, in, std::move(cuts));
}

// Whole, cut once at every position, and a byte at a time: the same data, replies and events.
void expectSameHoweverCut(const std::string& in) {
    const Received whole = receiveFresh(in);
    for (size_t cut = 0; cut <= in.size(); ++cut) {
        SCOPED_TRACE(cut);
        const Received cutOnce = receiveFresh(in, {cut});
        ASSERT_EQ(cutOnce.data, whole.data);
        ASSERT_EQ(cutOnce.reply, whole.reply);
        ASSERT_EQ(cutOnce.events, whole.events);
    }
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < in.size(); ++i) everyByte.push_back(i);
    const Received oneByOne = receiveFresh(in, everyByte);
    EXPECT_EQ(oneByOne.data, whole.data);
    EXPECT_EQ(oneByOne.reply, whole.reply);
    EXPECT_EQ(oneByOne.events, whole.events);
}

std::string encode(const TelnetCodec& codec, const std::string& data) {
    std::string out;
    codec.encodeData(reinterpret_cast<const uint8_t*>(data.data()), data.size(), out);
    return out;
}

}  // namespace

TEST(TelnetCodec, RawModeTakesEveryByteAsDataBothWaysAndSendsNoSettings) {
    TelnetCodec raw(TelnetCodec::Mode::Raw);
    std::string asked;
    raw.start(asked);
    EXPECT_EQ(asked, "");
    const std::string stream =
        bytes({'a', IAC, IAC, IAC, WILL, ECHO_OPTION, IAC, SB, 44, 101, IAC, SE, IAC});
    const Received r = receive(raw, stream);
    EXPECT_EQ(r.data, stream);
    EXPECT_EQ(r.reply, "");
    EXPECT_TRUE(r.events.empty());
    EXPECT_EQ(encode(raw, bytes({IAC, 0, IAC})), bytes({IAC, 0, IAC}));
    std::string out;
    EXPECT_FALSE(raw.setBaudRate(9600, out));
    EXPECT_FALSE(raw.setControl(TelnetCodec::Control::DtrOn, out));
    EXPECT_EQ(out, "");
}

// Each server stream gives these data bytes and answers, whole or cut anywhere.
TEST(TelnetCodec, EscapesCommandsAndAnswersGiveTheSameDataAndEventsHoweverTheReadsCutThem) {
    struct Case {
        const char* name;
        std::string in, data;
        std::vector<TelnetEvent> events;
    };
    const Case cases[] = {
        {"escaped 0xFF", bytes({'a', IAC, IAC, 'b', IAC, IAC, IAC, IAC}),
         bytes({'a', IAC, 'b', IAC, IAC}), {}},
        {"NOP, GA, DM, AYT", bytes({'a', IAC, 241, 'b', IAC, 249, IAC, 242, IAC, 246, 'c'}), "abc",
         {}},
        {"unknown command byte", bytes({'a', IAC, 7, 'b', IAC, 200, IAC, 0}), "ab", {}},
        {"stray SE", bytes({'a', IAC, SE, 'b'}), "ab", {}},
        {"another option's subnegotiation",
         bytes({'a', IAC, SB, 24, 1, IAC, IAC, 'x', IAC, SE, 'b'}), "ab", {}},
        {"a command inside a subnegotiation is dropped",
         bytes({IAC, SB, 44, 102, IAC, 241, 7, IAC, SE, 'z'}), "z",
         {answerEvent(ComPortCommand::SetDataSize, 7)}},
        {"baud rate", "d" + serverAnswer(ComPortCommand::SetBaudRate, bytes({0, 1, 0xC2, 0})) + "e",
         "de", {answerEvent(ComPortCommand::SetBaudRate, 115200)}},
        {"baud rate with 0xFF escaped",
         serverAnswer(ComPortCommand::SetBaudRate, bytes({IAC, IAC, 0, IAC, IAC, 1})), "",
         {answerEvent(ComPortCommand::SetBaudRate, 0xFF00FF01)}},
        {"baud rate with extra bytes",
         serverAnswer(ComPortCommand::SetBaudRate, bytes({0, 0, 0x25, 0x80, 0, 0, 0, 0})), "",
         {answerEvent(ComPortCommand::SetBaudRate, 9600)}},
        {"short baud rate",
         serverAnswer(ComPortCommand::SetBaudRate, bytes({0x25, 0x80})) + "x", "x", {}},
        {"data size, parity, stop size, control",
         serverAnswer(ComPortCommand::SetDataSize, bytes({8})) +
             serverAnswer(ComPortCommand::SetParity, bytes({3})) +
             serverAnswer(ComPortCommand::SetStopSize, bytes({2})) +
             serverAnswer(ComPortCommand::SetControl, bytes({11})),
         "",
         {answerEvent(ComPortCommand::SetDataSize, 8), answerEvent(ComPortCommand::SetParity, 3),
          answerEvent(ComPortCommand::SetStopSize, 2),
          answerEvent(ComPortCommand::SetControl, 11)}},
        {"line and modem state, flow control, purge, masks",
         serverAnswer(ComPortCommand::NotifyLineState, bytes({0x60})) + "1" +
             serverAnswer(ComPortCommand::NotifyModemState, bytes({IAC, IAC})) + "2" +
             serverAnswer(ComPortCommand::FlowControlSuspend, "") + "3" +
             serverAnswer(ComPortCommand::FlowControlResume, "") +
             serverAnswer(ComPortCommand::PurgeData, bytes({3})) +
             serverAnswer(ComPortCommand::SetLineStateMask, bytes({0})) +
             serverAnswer(ComPortCommand::SetModemStateMask, bytes({IAC, IAC})),
         "123",
         {answerEvent(ComPortCommand::NotifyLineState, 0x60),
          answerEvent(ComPortCommand::NotifyModemState, 0xFF),
          answerEvent(ComPortCommand::FlowControlSuspend),
          answerEvent(ComPortCommand::FlowControlResume), answerEvent(ComPortCommand::PurgeData, 3),
          answerEvent(ComPortCommand::SetLineStateMask, 0),
          answerEvent(ComPortCommand::SetModemStateMask, 0xFF)}},
        {"no answer: the signature, a client's code, an empty one, a value missing",
         serverAnswer(ComPortCommand::Signature, "ser2net") +
             bytes({IAC, SB, 44, 1, 0, 0, 0x25, 0x80, IAC, SE, IAC, SB, 44, IAC, SE}) +
             serverAnswer(ComPortCommand::SetParity, "") + bytes({IAC, SB, 44, 113, 1, IAC, SE}),
         "", {}},
        {"negotiations among data",
         bytes({'a', IAC, WILL, BINARY, 'b', IAC, DO, 44, IAC, WILL, ECHO_OPTION, 'c', IAC, IAC}),
         bytes({'a', 'b', 'c', IAC}),
         {agreedEvent(BINARY, TelnetSide::Remote), agreedEvent(44, TelnetSide::Local)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Received r = receiveFresh(c.in);
        EXPECT_EQ(r.data, c.data);
        EXPECT_EQ(r.events, c.events);
        expectSameHoweverCut(c.in);
    }
}

// One stream of everything at once: data, escapes, negotiations with their replies,
// subnegotiations, an overlong one, commands.
TEST(TelnetCodec, AMixedStreamIsTheSameWholeCutAnywhereAndAByteAtATime) {
    std::string in = bytes({'h', 'i', IAC, IAC, IAC, DO, BINARY, IAC, WILL, ECHO_OPTION, 0, IAC});
    in += bytes({IAC, IAC, WILL, 99, IAC, SB, 44, 101, 0, 0, IAC, IAC, 0, IAC, SE, '\r', '\n'});
    in += bytes({IAC, SB, 44, 106}) + std::string(300, 'x') + bytes({IAC, SE, 'y', IAC, 241});
    in += serverAnswer(ComPortCommand::SetControl, bytes({3})) + bytes({IAC, IAC, IAC, DONT, 44});
    const Received r = receiveFresh(in);
    EXPECT_EQ(r.data, bytes({'h', 'i', IAC, 0, IAC, '\r', '\n', 'y', IAC}));
    EXPECT_EQ(r.reply, bytes({IAC, WILL, BINARY, IAC, DONT, ECHO_OPTION, IAC, DONT, 99}));
    expectSameHoweverCut(in);
}

TEST(TelnetCodec, AnIacAtTheEndOfAReadWaitsForTheNextRead) {
    const std::pair<std::string, std::string> cases[] = {
        {bytes({IAC, 'd', 'e'}), bytes({'a', 'b', 'c', IAC, 'd', 'e'})},  // IAC IAC: one 0xFF
        {bytes({241, 'd', 'e'}), "abcde"},                                // IAC NOP: nothing
        {bytes({SB, 44, 106, 1, IAC, SE, 'd'}), "abcd"},                  // a subnegotiation
    };
    for (const auto& [next, data] : cases) {
        TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
        const Received first = receive(codec, bytes({'a', 'b', 'c', IAC}));
        EXPECT_EQ(first.data, "abc");
        EXPECT_EQ(first.data + receive(codec, next).data, data);
    }
}

// Conversations with a server, turn by turn: what the codec replies to each of its reads (or,
// at a start, asks) and what it reports; then which options stand agreed. Refusals and
// acknowledgements are answered once, never again: no answer loop.
TEST(TelnetCodec, NegotiationIsAnsweredOnceAndSettles) {
    struct Turn {
        bool start;  // the codec's start instead of a read: `reply` is what it asks
        std::string in, reply;
        std::vector<TelnetEvent> events = {};
    };
    struct Conversation {
        const char* name;
        std::vector<Turn> turns;
        std::vector<std::pair<uint8_t, TelnetSide>> agreed, notAgreed = {};
    };
    using S = TelnetSide;
    const std::string asks = bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL, COM_PORT_OPTION});
    const std::string oddAsks = bytes({IAC, WILL, ECHO_OPTION, IAC, DO, ECHO_OPTION, IAC, WILL, 99, IAC, DO, 200,
                                       IAC, WILL, COM_PORT_OPTION, IAC, DO, 255});
    const Conversation conversations[] = {
        {"the start asks for binary and no go-ahead both ways and offers the com port option, once",
         {{true, "", asks}, {true, "", ""}}, {}, {{BINARY, S::Local}, {COM_PORT_OPTION, S::Local}}},
        {"acknowledgements of what was asked are not acknowledged, nor a request repeated after",
         {{true, "", asks},
          {false, bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, SGA, IAC, WILL, SGA, IAC, DO, COM_PORT_OPTION}), "",
           {agreedEvent(BINARY, S::Local), agreedEvent(BINARY, S::Remote), agreedEvent(SGA, S::Local),
            agreedEvent(SGA, S::Remote), agreedEvent(COM_PORT_OPTION, S::Local)}},
          {false, bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, COM_PORT_OPTION, IAC, WILL, SGA}), ""}},
         {{BINARY, S::Local}, {BINARY, S::Remote}, {SGA, S::Local}, {SGA, S::Remote}, {COM_PORT_OPTION, S::Local}}},
        {"echo, unknown options and the server's com port option are refused once",
         {{false, oddAsks,
           bytes({IAC, DONT, ECHO_OPTION, IAC, WONT, ECHO_OPTION, IAC, DONT, 99, IAC, WONT, 200, IAC, DONT,
                  COM_PORT_OPTION, IAC, WONT, 255})},
          {false, oddAsks, ""},
          {false, bytes({IAC, WONT, ECHO_OPTION, IAC, DONT, 99}), ""}},  // refusals of what was never on
         {}, {{ECHO_OPTION, S::Remote}, {COM_PORT_OPTION, S::Remote}}},
        {"a refusal is taken silently, a turn-off agreed once, and an offer again taken",
         {{true, "", asks},
          {false, bytes({IAC, DONT, COM_PORT_OPTION, IAC, WONT, SGA, IAC, WILL, BINARY}), "",
           {refusedEvent(COM_PORT_OPTION, S::Local), refusedEvent(SGA, S::Remote), agreedEvent(BINARY, S::Remote)}},
          {false, bytes({IAC, WONT, BINARY, IAC, WONT, BINARY}), bytes({IAC, DONT, BINARY}),
           {refusedEvent(BINARY, S::Remote)}},
          {false, bytes({IAC, WILL, BINARY, IAC, DO, COM_PORT_OPTION}), bytes({IAC, DO, BINARY, IAC, WILL, COM_PORT_OPTION}),
           {agreedEvent(BINARY, S::Remote), agreedEvent(COM_PORT_OPTION, S::Local)}}},
         {{BINARY, S::Remote}, {COM_PORT_OPTION, S::Local}}, {{SGA, S::Remote}}},
        {"a server that speaks first is answered once, and the start does not ask again",
         {{false, bytes({IAC, DO, BINARY, IAC, WILL, SGA}), bytes({IAC, WILL, BINARY, IAC, DO, SGA}),
           {agreedEvent(BINARY, S::Local), agreedEvent(SGA, S::Remote)}},
          {true, "", bytes({IAC, DO, BINARY, IAC, WILL, SGA, IAC, WILL, COM_PORT_OPTION})}},
         {{BINARY, S::Local}, {SGA, S::Remote}}},
    };
    for (const Conversation& c : conversations) {
        SCOPED_TRACE(c.name);
        TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
        for (size_t turn = 0; turn < c.turns.size(); ++turn) {
            SCOPED_TRACE(turn);
            const Turn& t = c.turns[turn];
            Received r;
            if (t.start) codec.start(r.reply);
            else r = receive(codec, t.in);
            EXPECT_EQ(r.reply, t.reply);
            EXPECT_EQ(r.events, t.events);
        }
        for (const auto& [option, side] : c.agreed) EXPECT_TRUE(codec.agreed(option, side)) << int(option);
        for (const auto& [option, side] : c.notAgreed) EXPECT_FALSE(codec.agreed(option, side)) << int(option);
    }
}

// Two parties that acknowledge what they are told: the classic loop when the client answers
// acknowledgements. A server that agrees to everything, and one that refuses everything, and
// this codec against itself: each conversation goes quiet within a few turns.
TEST(TelnetCodec, NegotiationWithAgreeingRefusingOrEqualPeersGoesQuiet) {
    // The naive server: answers every negotiation it gets, agreeing or refusing.
    const auto naive = [](bool agree) {
        return [agree](const std::string& in) {
            std::string out;
            for (size_t i = 0; i + 2 < in.size(); i += 3) {
                const uint8_t verb = static_cast<uint8_t>(in[i + 1]);
                const bool ask = verb == WILL || verb == DO;
                const uint8_t yes = verb == WILL || verb == WONT ? DO : WILL;
                const uint8_t no = verb == WILL || verb == WONT ? DONT : WONT;
                out += bytes({IAC, ask && agree ? yes : no, static_cast<uint8_t>(in[i + 2])});
            }
            return out;
        };
    };
    for (bool agree : {true, false}) {
        SCOPED_TRACE(agree);
        TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
        std::string toServer;
        codec.start(toServer);
        const auto server = naive(agree);
        int turns = 0;
        for (; !toServer.empty() && turns < 20; ++turns)
            toServer = receive(codec, server(toServer)).reply;
        EXPECT_LE(turns, 2);
        EXPECT_EQ(codec.agreed(BINARY, TelnetSide::Local), agree);
        EXPECT_EQ(codec.agreed(COM_PORT_OPTION, TelnetSide::Local), agree);
    }

    TelnetCodec a(TelnetCodec::Mode::Rfc2217), b(TelnetCodec::Mode::Rfc2217);
    std::string aToB, bToA;
    a.start(aToB);
    b.start(bToA);
    int turns = 0;
    for (; (!aToB.empty() || !bToA.empty()) && turns < 20; ++turns) {
        const Received atB = receive(b, aToB), atA = receive(a, bToA);
        aToB = atA.reply, bToA = atB.reply;
    }
    EXPECT_LE(turns, 3);
    for (TelnetCodec* codec : {&a, &b}) {
        EXPECT_TRUE(codec->agreed(BINARY, TelnetSide::Local));
        EXPECT_TRUE(codec->agreed(SGA, TelnetSide::Remote));
        EXPECT_FALSE(codec->agreed(COM_PORT_OPTION, TelnetSide::Local));  // neither says DO
    }
}

TEST(TelnetCodec, CommandsCarryTheirValuesWith0xFFEscaped) {
    using C = TelnetCodec;
    const C codec(C::Mode::Rfc2217);
    // What one encoder appends for `value`.
    const auto sent = [&]<typename V>(bool (C::*encoder)(V, std::string&) const, V value) {
        std::string out = "before";
        EXPECT_TRUE((codec.*encoder)(value, out));
        EXPECT_EQ(out.substr(0, 6), "before");
        return out.substr(6);
    };
    const auto command = [](int code, std::initializer_list<int> value) {
        return bytes({IAC, SB, COM_PORT_OPTION, code}) + bytes(value) + bytes({IAC, SE});
    };
    const std::pair<std::string, std::string> cases[] = {
        {sent(&C::setBaudRate, 115200u), command(1, {0, 1, 0xC2, 0})},
        {sent(&C::setBaudRate, 0x0000FFFFu), command(1, {0, 0, IAC, IAC, IAC, IAC})},
        {sent(&C::setBaudRate, 0xFFFFFFFFu), command(1, {IAC, IAC, IAC, IAC, IAC, IAC, IAC, IAC})},
        {sent(&C::setBaudRate, 12345u), command(1, {0, 0, 0x30, 0x39})},
        {sent(&C::setDataSize, uint8_t{7}), command(2, {7})},
        {sent(&C::setDataSize, uint8_t{0xFF}), command(2, {IAC, IAC})},
        {sent(&C::setParity, C::Parity::None), command(3, {1})},
        {sent(&C::setParity, C::Parity::Odd), command(3, {2})},
        {sent(&C::setParity, C::Parity::Even), command(3, {3})},
        {sent(&C::setParity, C::Parity::Mark), command(3, {4})},
        {sent(&C::setParity, C::Parity::Space), command(3, {5})},
        {sent(&C::setStopSize, C::StopSize::One), command(4, {1})},
        {sent(&C::setStopSize, C::StopSize::Two), command(4, {2})},
        {sent(&C::setStopSize, C::StopSize::OneAndAHalf), command(4, {3})},
        {sent(&C::setControl, C::Control::FlowNone), command(5, {1})},
        {sent(&C::setControl, C::Control::FlowXonXoff), command(5, {2})},
        {sent(&C::setControl, C::Control::FlowRtsCts), command(5, {3})},
        {sent(&C::setControl, C::Control::BreakOff), command(5, {6})},
        {sent(&C::setControl, C::Control::DtrOn), command(5, {8})},
        {sent(&C::setControl, C::Control::DtrOff), command(5, {9})},
        {sent(&C::setControl, C::Control::RtsOn), command(5, {11})},
        {sent(&C::setControl, C::Control::RtsOff), command(5, {12})},
        {sent(&C::purge, C::Purge::Both), command(12, {3})},
    };
    for (const auto& [made, expected] : cases) EXPECT_EQ(made, expected);
}

// What the client sends, answered by a server that echoes it back as its answer (code plus
// 100): the value read is the value sent, 0xFF bytes and all.
TEST(TelnetCodec, ARateSentAndEchoedBackAsTheAnswerReadsTheSame) {
    for (uint32_t rate : {0u, 50u, 12345u, 0xFFu, 0xFF00u, 0x0000FFFFu, 0xFF0000FFu, 0xFFFFFFFFu}) {
        TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
        std::string sent;
        ASSERT_TRUE(codec.setBaudRate(rate, sent));
        sent[3] = static_cast<char>(static_cast<uint8_t>(sent[3]) + 100);
        EXPECT_EQ(receive(codec, sent).events,
                  std::vector<TelnetEvent>{answerEvent(ComPortCommand::SetBaudRate, rate)});
    }
}

TEST(TelnetCodec, DataEncodedThenReceivedIsTheDataWithItsFFBytesDoubledOnTheWire) {
    std::string data;
    for (int i = 0; i < 1024; ++i) data += static_cast<char>(i % 3 == 0 ? 0xFF : i * 7);
    data += bytes({IAC, IAC, IAC});
    TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
    const std::string wire = encode(codec, data);
    EXPECT_EQ(wire.size(), data.size() + std::count(data.begin(), data.end(), '\xff'));
    EXPECT_EQ(encode(codec, bytes({1, IAC, 2})), bytes({1, IAC, IAC, 2}));
    const Received r = receive(codec, wire);
    EXPECT_EQ(r.data, data);
    EXPECT_TRUE(r.events.empty());
}

// The boundary: 256 bytes are kept, 257 dropped whole; the data after its IAC SE is data again.
TEST(TelnetCodec, ASubnegotiationLongerThan256BytesIsDroppedAndDataFollowsItsEnd) {
    const std::string kept = serverAnswer(ComPortCommand::SetBaudRate,
                                          bytes({0, 0, 0x25, 0x80}) + std::string(251, 'p'));
    const std::string dropped = serverAnswer(ComPortCommand::SetBaudRate,
                                             bytes({0, 0, 0x25, 0x80}) + std::string(252, 'p'));
    EXPECT_EQ(receiveFresh(kept + "a").events,
              std::vector<TelnetEvent>{answerEvent(ComPortCommand::SetBaudRate, 9600)});
    const Received r = receiveFresh(dropped + "a" + kept);
    EXPECT_EQ(r.data, "a");
    EXPECT_EQ(r.events, std::vector<TelnetEvent>{answerEvent(ComPortCommand::SetBaudRate, 9600)});
    // An overlong one with escaped 0xFF bytes and stray commands in it: still dropped whole.
    std::string noisy = bytes({IAC, SB, 44, 107});
    for (int i = 0; i < 200; ++i) noisy += bytes({IAC, IAC, IAC, 241});
    expectSameHoweverCut(noisy + bytes({IAC, SE, 'z'}));
    EXPECT_EQ(receiveFresh(noisy + bytes({IAC, SE, 'z'})).data, "z");
}

// A server that never ends a subnegotiation, or sends nothing but commands: no data byte comes
// from it, what the codec holds stays bounded, and each 64 KiB run of commands is reported once.
TEST(TelnetCodec, AMegabyteWithoutADataByteHoldsBoundedMemoryAndIsReportedAsAFlood) {
    std::string tail(1 << 20, 'x');  // inside a subnegotiation never ended: not data
    for (size_t i = 0; i < tail.size(); i += 5) tail[i] = static_cast<char>(IAC);  // IAC x: dropped
    const std::string streams[] = {
        bytes({IAC, SB, COM_PORT_OPTION, 106}) + tail,
        [] {
            std::string s;
            for (int i = 0; i < (1 << 19); ++i) s += bytes({IAC, 241});  // NOP
            return s;
        }(),
        [] {
            std::string s;
            for (int i = 0; i < (1 << 20) / 3; ++i) s += bytes({IAC, WILL, 100 + i % 150});
            return s;
        }(),
    };
    for (const std::string& stream : streams) {
        TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
        Received r;
        for (size_t at = 0; at < stream.size(); at += 4096) {
            codec.receive(reinterpret_cast<const uint8_t*>(stream.data()) + at,
                          std::min<size_t>(4096, stream.size() - at), r.data, r.reply, r.events);
            ASSERT_LE(codec.heldBytes(), TelnetCodec::kMaxSubnegotiation);
        }
        EXPECT_EQ(r.data, "");
        EXPECT_EQ(r.events, std::vector<TelnetEvent>{floodEvent()});
        EXPECT_LE(r.reply.size(), 150u * 3);  // each unknown option refused once
    }
}

TEST(TelnetCodec, AFloodIsCountedFromTheLastDataByte) {
    std::string commands;  // two bytes short of a flood
    while (commands.size() < TelnetCodec::kCommandFloodBytes - 2) commands += bytes({IAC, 241});
    // Under the limit, data between: never a flood; an escaped 0xFF is data and restarts the count.
    const std::string apart = commands + "d" + commands + bytes({IAC, IAC}) + commands;
    EXPECT_TRUE(receiveFresh(apart).events.empty());
    // Two more command bytes reach it: reported once, and again after data.
    const std::string flood = commands + bytes({IAC, 241});
    EXPECT_EQ(receiveFresh(flood + flood + "d" + flood).events,
              (std::vector<TelnetEvent>{floodEvent(), floodEvent()}));
}
