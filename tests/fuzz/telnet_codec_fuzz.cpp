// The Telnet / Com Port Control codec against any server bytes. The input itself, as a server's
// stream, gives the same data, replies and answers whole, cut anywhere and a byte at a time, and
// holds bounded memory. Then a stream built from the input (data encoded by the codec among
// negotiations, commands, subnegotiations and answers the codec's own commands make) gives back
// exactly its data and exactly those answers: no data byte comes from inside a command.
#include <algorithm>
#include <vector>

#include "relay/telnet_codec.h"
#include "tests/fuzz/fuzz_support.h"

using namespace telnet;

namespace {

struct Received {
    std::string data, reply;
    std::vector<TelnetEvent> events;
    bool operator==(const Received&) const = default;
};

// `in` in pieces of the lengths `piece` gives, one after another (a length of 0 counts as 1),
// after the client's opening when `started`.
template <typename Piece>
Received receiveInPieces(TelnetCodec::Mode mode, bool started, const std::string& in, Piece piece) {
    TelnetCodec codec(mode);
    Received r;
    std::string opening;
    if (started) codec.start(opening);
    for (size_t at = 0; at < in.size();) {
        const size_t n = std::min(std::max<size_t>(piece(), 1), in.size() - at);
        codec.receive(reinterpret_cast<const uint8_t*>(in.data()) + at, n, r.data, r.reply,
                      r.events);
        FUZZ_REQUIRE(codec.heldBytes() <= TelnetCodec::kMaxSubnegotiation);
        at += n;
    }
    return r;
}

// What the client last said of each option of each side: a reply that says it again, with no
// refusal from the server in between, is an answer to the server's answer, the start of a loop.
// Fed a byte at a time, so that each reply is checked against the state it was made in.
void checkNoNegotiationRepeats(bool started, const std::string& in) {
    TelnetCodec codec(TelnetCodec::Mode::Rfc2217);
    uint8_t said[2][256] = {};  // [side][option]: the verb last sent, 0 for none
    std::string out;
    if (started) codec.start(out);
    for (size_t at = 0;; ++at) {
        for (size_t i = 0; i + 2 < out.size(); i += 3) {
            const uint8_t verb = static_cast<uint8_t>(out[i + 1]),
                          option = static_cast<uint8_t>(out[i + 2]);
            const bool local = verb == WILL || verb == WONT, positive = verb == WILL || verb == DO;
            uint8_t& last = said[local ? 0 : 1][option];
            FUZZ_REQUIRE(last == 0 || (last == WILL || last == DO) != positive);
            last = verb;
        }
        if (at == in.size()) break;
        std::string data;
        std::vector<TelnetEvent> events;
        out.clear();
        codec.receive(reinterpret_cast<const uint8_t*>(in.data()) + at, 1, data, out, events);
        for (const TelnetEvent& e : events)  // refused or turned off: asking again is new
            if (e.kind == TelnetEvent::Kind::OptionRefused)
                said[e.side == TelnetSide::Local ? 0 : 1][e.option] = 0;
    }
}

// Whole, a byte at a time and in pieces of 1 to 13 bytes: the same, and never more than was given.
Received receiveEveryWay(TelnetCodec::Mode mode, bool started, const std::string& in) {
    const Received whole = receiveInPieces(mode, started, in, [&] { return in.size(); });
    FUZZ_REQUIRE(receiveInPieces(mode, started, in, [] { return 1; }) == whole);
    size_t next = in.size();
    FUZZ_REQUIRE(receiveInPieces(mode, started, in, [&] { return (next = next * 7 + 3) % 13; }) ==
                 whole);
    FUZZ_REQUIRE(whole.data.size() <= in.size());
    FUZZ_REQUIRE(whole.events.size() <= in.size() / 3 + 1);
    // Replies are whole negotiations, no more of them than the server sent.
    FUZZ_REQUIRE(whole.reply.size() <= in.size() && whole.reply.size() % 3 == 0);
    for (size_t i = 0; i < whole.reply.size(); i += 3) {
        FUZZ_REQUIRE(static_cast<uint8_t>(whole.reply[i]) == IAC);
        FUZZ_REQUIRE(static_cast<uint8_t>(whole.reply[i + 1]) >= WILL);
        FUZZ_REQUIRE(static_cast<uint8_t>(whole.reply[i + 1]) <= DONT);
    }
    if (mode == TelnetCodec::Mode::Raw)
        FUZZ_REQUIRE(whole.data == in && whole.reply.empty() && whole.events.empty());
    else
        checkNoNegotiationRepeats(started, in);
    return whole;
}

std::string bytes(std::initializer_list<uint8_t> values) {
    return {values.begin(), values.end()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (bool started : {false, true}) {
        receiveEveryWay(TelnetCodec::Mode::Raw, started, input);
        receiveEveryWay(TelnetCodec::Mode::Rfc2217, started, input);
    }

    FuzzedDataProvider in(data, size);
    const bool started = in.ConsumeBool();
    const TelnetCodec encoder(TelnetCodec::Mode::Rfc2217);
    std::string stream, expectedData;
    std::vector<TelnetEvent> expectedAnswers;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0: {  // data, encoded as it is sent
                const std::string block = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 64));
                const size_t before = stream.size();
                encoder.encodeData(reinterpret_cast<const uint8_t*>(block.data()), block.size(),
                                   stream);
                FUZZ_REQUIRE(stream.size() - before ==
                             block.size() + std::count(block.begin(), block.end(), '\xff'));
                expectedData += block;
                break;
            }
            case 1:  // a negotiation
                stream += bytes({IAC, in.ConsumeIntegralInRange<uint8_t>(WILL, DONT),
                                 in.ConsumeIntegral<uint8_t>()});
                break;
            case 2:  // a command without an option: NOP, GA, a stray SE, an unknown byte
                stream += bytes({IAC, in.ConsumeIntegralInRange<uint8_t>(0, SB - 1)});
                break;
            case 3: {  // another option's subnegotiation, short or overlong, with commands inside
                uint8_t option = in.ConsumeIntegral<uint8_t>();
                if (option == COM_PORT_OPTION) ++option;
                stream += bytes({IAC, SB, option});
                const std::string payload =
                    in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 400));
                for (char c : payload) {
                    stream += c;
                    if (c == '\xff') stream += bytes({in.ConsumeBool() ? IAC : uint8_t{241}});
                }
                stream += bytes({IAC, SE});
                break;
            }
            case 4: {  // a server's answer: the codec's own command with its code plus 100
                TelnetEvent answer;
                std::string command;
                const uint32_t value = in.ConsumeIntegral<uint32_t>();
                const auto small = static_cast<uint8_t>(value);
                switch (in.ConsumeIntegralInRange(0, 5)) {
                    case 0:
                        encoder.setBaudRate(value, command);
                        answer.value = value;
                        break;
                    case 1:
                        encoder.setDataSize(small, command);
                        answer.value = small;
                        break;
                    case 2:
                        encoder.setParity(TelnetCodec::Parity{small}, command);
                        answer.value = small;
                        break;
                    case 3:
                        encoder.setStopSize(TelnetCodec::StopSize{small}, command);
                        answer.value = small;
                        break;
                    case 4:
                        encoder.setControl(TelnetCodec::Control{small}, command);
                        answer.value = small;
                        break;
                    default:
                        encoder.purge(TelnetCodec::Purge{small}, command);
                        answer.value = small;
                        break;
                }
                FUZZ_REQUIRE(command.size() >= 7 && static_cast<uint8_t>(command[3]) <= 12);
                answer.command = static_cast<ComPortCommand>(command[3]);
                command[3] = static_cast<char>(command[3] + 100);
                stream += command;
                expectedAnswers.push_back(answer);
                break;
            }
        }
    }
    const Received r = receiveEveryWay(TelnetCodec::Mode::Rfc2217, started, stream);
    FUZZ_REQUIRE(r.data == expectedData);
    std::vector<TelnetEvent> answers;
    for (const TelnetEvent& e : r.events)
        if (e.kind == TelnetEvent::Kind::ComPortAnswer) answers.push_back(e);
    FUZZ_REQUIRE(answers == expectedAnswers);
    return 0;
}
