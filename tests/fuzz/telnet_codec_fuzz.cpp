// The Telnet codec against any server bytes: the same whole, a byte at a time and in odd pieces,
// bounded memory, never an answer to an answer; and a stream built from the input (encoded data among
// negotiations, other commands and answers to the codec's own commands) gives back its data and answers.
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

// `in` in pieces of the lengths `piece` gives (at least 1). Read a byte at a time, no reply says
// again what the client last said of that option with no refusal between: that would be a loop.
template <typename Piece>
Received receiveInPieces(TelnetCodec::Mode mode, bool started, const std::string& in, Piece piece) {
    TelnetCodec codec(mode);
    Received r;
    uint8_t said[2][256] = {};  // [local?][option]: the verb last sent, 0 for none
    std::string out;
    if (started) codec.start(out);
    for (size_t at = 0, n = 0;;) {
        FUZZ_REQUIRE(out.size() % 3 == 0);
        for (size_t i = 0; i < out.size(); i += 3) {
            const auto verb = static_cast<uint8_t>(out[i + 1]);
            FUZZ_REQUIRE(static_cast<uint8_t>(out[i]) == IAC && verb >= WILL && verb <= DONT);
            uint8_t& last = said[verb == WILL || verb == WONT][static_cast<uint8_t>(out[i + 2])];
            FUZZ_REQUIRE(n > 1 || last == 0 || (last == WILL || last == DO) != (verb == WILL || verb == DO));
            last = verb;
        }
        if (at == in.size()) return r;
        n = std::min(std::max<size_t>(piece(), 1), in.size() - at);
        const size_t eventsBefore = r.events.size();
        out.clear();
        codec.receive(reinterpret_cast<const uint8_t*>(in.data()) + at, n, r.data, out, r.events);
        FUZZ_REQUIRE(codec.heldBytes() <= TelnetCodec::kMaxSubnegotiation);
        r.reply += out, at += n;
        for (size_t e = eventsBefore; e < r.events.size(); ++e)  // refused or turned off: asking again is new
            if (r.events[e].kind == TelnetEvent::Kind::OptionRefused)
                said[r.events[e].side == TelnetSide::Local][r.events[e].option] = 0;
    }
}

Received receiveEveryWay(TelnetCodec::Mode mode, bool started, const std::string& in) {
    const Received whole = receiveInPieces(mode, started, in, [&] { return in.size(); });
    FUZZ_REQUIRE(receiveInPieces(mode, started, in, [] { return 1; }) == whole);
    FUZZ_REQUIRE(receiveInPieces(mode, started, in,
                                 [next = in.size()]() mutable { return (next = next * 7 + 3) % 13; }) == whole);
    FUZZ_REQUIRE(whole.data.size() <= in.size() && whole.reply.size() <= in.size() && whole.events.size() <= in.size() / 3 + 1);
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
    const auto add = [&](std::initializer_list<int> bytes) { for (int b : bytes) stream += static_cast<char>(b); };
    while (in.remaining_bytes() > 0) {
        const int kind = in.ConsumeIntegralInRange(0, 4);
        if (kind == 0) {  // data, encoded as it is sent
            const std::string block = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 64));
            const size_t before = stream.size();
            encoder.encodeData(reinterpret_cast<const uint8_t*>(block.data()), block.size(), stream);
            FUZZ_REQUIRE(stream.size() - before == block.size() + std::count(block.begin(), block.end(), '\xff'));
            expectedData += block;
        } else if (kind == 1) {  // a negotiation
            add({IAC, in.ConsumeIntegralInRange<uint8_t>(WILL, DONT), in.ConsumeIntegral<uint8_t>()});
        } else if (kind == 2) {  // a command without an option: NOP, GA, a stray SE, an unknown byte
            add({IAC, in.ConsumeIntegralInRange<uint8_t>(0, SB - 1)});
        } else if (kind == 3) {  // another option's subnegotiation, short or overlong, with commands inside
            const auto option = in.ConsumeIntegral<uint8_t>();
            add({IAC, SB, option == COM_PORT_OPTION ? option + 1 : option});
            for (char c : in.ConsumeBytesAsString(in.ConsumeIntegralInRange(0, 400))) {
                stream += c;
                if (c == '\xff') add({in.ConsumeBool() ? IAC : 241});
            }
            add({IAC, SE});
        } else {  // a server's answer: the codec's own command with its code plus 100
            using C = TelnetCodec;
            const uint32_t value = in.ConsumeIntegral<uint32_t>();
            const auto small = static_cast<uint8_t>(value);
            const int which = in.ConsumeIntegralInRange(0, 5);
            std::string command;
            FUZZ_REQUIRE(which == 0   ? encoder.setBaudRate(value, command)
                         : which == 1 ? encoder.setDataSize(small, command)
                         : which == 2 ? encoder.setParity(C::Parity{small}, command)
                         : which == 3 ? encoder.setStopSize(C::StopSize{small}, command)
                         : which == 4 ? encoder.setControl(C::Control{small}, command)
                                      : encoder.purge(C::Purge{small}, command));
            FUZZ_REQUIRE(command.size() >= 7 && static_cast<uint8_t>(command[3]) <= 12);
            const auto code = static_cast<ComPortCommand>(command[3]);
            expectedAnswers.push_back({TelnetEvent::Kind::ComPortAnswer, 0, TelnetSide::Local, code,
                                       code == ComPortCommand::SetBaudRate ? value : small});
            command[3] = static_cast<char>(command[3] + 100);
            stream += command;
        }
    }
    const Received r = receiveEveryWay(TelnetCodec::Mode::Rfc2217, started, stream);
    std::vector<TelnetEvent> answers;
    std::copy_if(r.events.begin(), r.events.end(), std::back_inserter(answers),
                 [](const TelnetEvent& e) { return e.kind == TelnetEvent::Kind::ComPortAnswer; });
    FUZZ_REQUIRE(r.data == expectedData && answers == expectedAnswers);
    return 0;
}
