// The Telnet / Com Port Control codec against any server bytes. The input itself, as a server's
// stream, gives the same data, replies and answers whole, a byte at a time and in odd pieces,
// holds bounded memory and never answers a negotiation twice. Then a stream built from the input
// (data encoded by the codec among negotiations, commands, subnegotiations and answers the
// codec's own commands make) gives back exactly its data and exactly those answers.
#include <algorithm>
#include <vector>

#include "relay/telnet_codec.h"
#include "tests/fuzz/fuzz_support.h"

using namespace telnet;

namespace {

struct Received {
    std::string data, reply = {};
    std::vector<TelnetEvent> events = {};
    bool operator==(const Received&) const = default;
};

// `in` in pieces of the lengths `piece` gives (at least 1), after the client's opening when
// `started`. Replies are whole negotiations; read a byte at a time, none says again what the
// client last said of that option with no refusal between: that answers an answer, a loop.
template <typename Piece>
Received receiveInPieces(TelnetCodec::Mode mode, bool started, const std::string& in, Piece piece) {
    TelnetCodec codec(mode);
    Received r;
    uint8_t said[2][256] = {};  // [local?][option]: the verb last sent, 0 for none
    std::string out;
    if (started) codec.start(out);
    for (size_t at = 0, n = 0;;) {
        for (size_t i = 0; i + 2 < out.size(); i += 3) {
            const auto verb = static_cast<uint8_t>(out[i + 1]), option = static_cast<uint8_t>(out[i + 2]);
            FUZZ_REQUIRE(static_cast<uint8_t>(out[i]) == IAC && verb >= WILL && verb <= DONT);
            uint8_t& last = said[verb == WILL || verb == WONT ? 1 : 0][option];
            FUZZ_REQUIRE(n > 1 || last == 0 || (last == WILL || last == DO) != (verb == WILL || verb == DO));
            last = verb;
        }
        FUZZ_REQUIRE(out.size() % 3 == 0);
        if (at == in.size()) return r;
        n = std::min(std::max<size_t>(piece(), 1), in.size() - at);
        const size_t eventsBefore = r.events.size();
        out.clear();
        codec.receive(reinterpret_cast<const uint8_t*>(in.data()) + at, n, r.data, out, r.events);
        FUZZ_REQUIRE(codec.heldBytes() <= TelnetCodec::kMaxSubnegotiation);
        r.reply += out;
        at += n;
        for (size_t e = eventsBefore; e < r.events.size(); ++e)  // refused or turned off: asking again is new
            if (r.events[e].kind == TelnetEvent::Kind::OptionRefused)
                said[r.events[e].side == TelnetSide::Local ? 1 : 0][r.events[e].option] = 0;
    }
}

// Whole, a byte at a time and in pieces of 1 to 13 bytes: the same, and never more than was given.
Received receiveEveryWay(TelnetCodec::Mode mode, bool started, const std::string& in) {
    const Received whole = receiveInPieces(mode, started, in, [&] { return in.size(); });
    FUZZ_REQUIRE(receiveInPieces(mode, started, in, [] { return 1; }) == whole);
    size_t next = in.size();
    FUZZ_REQUIRE(receiveInPieces(mode, started, in, [&] { return (next = next * 7 + 3) % 13; }) == whole);
    FUZZ_REQUIRE(whole.data.size() <= in.size() && whole.reply.size() <= in.size());
    FUZZ_REQUIRE(whole.events.size() <= in.size() / 3 + 1);
    if (mode == TelnetCodec::Mode::Raw) FUZZ_REQUIRE(whole == Received{in});
    return whole;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (bool started : {false, true})
        for (auto mode : {TelnetCodec::Mode::Raw, TelnetCodec::Mode::Rfc2217}) receiveEveryWay(mode, started, input);

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
                encoder.encodeData(reinterpret_cast<const uint8_t*>(block.data()), block.size(), stream);
                FUZZ_REQUIRE(stream.size() - before == block.size() + std::count(block.begin(), block.end(), '\xff'));
                expectedData += block;
                break;
            }
            case 1:  // a negotiation
                stream += {static_cast<char>(IAC), static_cast<char>(in.ConsumeIntegralInRange<uint8_t>(WILL, DONT)),
                           static_cast<char>(in.ConsumeIntegral<uint8_t>())};
                break;
            case 2:  // a command without an option: NOP, GA, a stray SE, an unknown byte
                stream += {static_cast<char>(IAC), static_cast<char>(in.ConsumeIntegralInRange<uint8_t>(0, SB - 1))};
                break;
            case 3: {  // another option's subnegotiation, short or overlong, with commands inside
                const auto option = in.ConsumeIntegral<uint8_t>();
                stream += {static_cast<char>(IAC), static_cast<char>(SB),
                           static_cast<char>(option == COM_PORT_OPTION ? option + 1 : option)};
                for (char c : in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 400))) {
                    stream += c;
                    if (c == '\xff') stream += static_cast<char>(in.ConsumeBool() ? IAC : 241);
                }
                stream += {static_cast<char>(IAC), static_cast<char>(SE)};
                break;
            }
            case 4: {  // a server's answer: the codec's own command with its code plus 100
                const uint32_t value = in.ConsumeIntegral<uint32_t>();
                const auto small = static_cast<uint8_t>(value);
                std::string command;
                using C = TelnetCodec;
                const int which = in.ConsumeIntegralInRange(0, 5);
                const bool made = which == 0 ? encoder.setBaudRate(value, command)
                : which == 1 ? encoder.setDataSize(small, command)
                : which == 2 ? encoder.setParity(C::Parity{small}, command)
                : which == 3 ? encoder.setStopSize(C::StopSize{small}, command)
                : which == 4 ? encoder.setControl(C::Control{small}, command)
                             : encoder.purge(C::Purge{small}, command);
                FUZZ_REQUIRE(made && command.size() >= 7 && static_cast<uint8_t>(command[3]) <= 12);
                TelnetEvent answer;
                answer.command = static_cast<ComPortCommand>(command[3]);
                answer.value = answer.command == ComPortCommand::SetBaudRate ? value : small;
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
