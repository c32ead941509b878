// The Telnet and Com Port Control (RFC 2217) side of one network port, with no I/O: bytes from
// the socket go in, the device's data, the replies the protocol owes and the server's answers
// come out; data and line settings go in, the bytes to send come out. Its state is carried from
// one call to the next, so a command may be split across reads at any byte, and it can be tested
// a byte at a time and fuzzed alone while the socket code around it stays small.
//
// A raw TCP port (tcp://) uses the same codec in raw mode: every byte is data both ways.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telnet {
inline constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                         SE = 240;
inline constexpr uint8_t BINARY = 0, ECHO_OPTION = 1, SGA = 3, COM_PORT_OPTION = 44;
}  // namespace telnet

// Whose option a negotiation is about: ours (the server said DO/DONT) or the server's (it said
// WILL/WONT).
enum class TelnetSide : uint8_t { Local, Remote };

// The commands of the Com Port Control option, by their client codes; the server answers each
// with its code plus 100.
enum class ComPortCommand : uint8_t {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};

// Something the server said that is not data.
struct TelnetEvent {
    enum class Kind : uint8_t {
        OptionAgreed,   // `option` of `side` is now on
        OptionRefused,  // `option` of `side` is off: refused when asked, or turned off
        ComPortAnswer,  // the server's answer or notification `command`, with its `value`
        CommandFlood,   // 64 KiB of commands with no data byte between: not a device server
    };
    Kind kind = Kind::ComPortAnswer;
    uint8_t option = 0;
    TelnetSide side = TelnetSide::Local;
    ComPortCommand command = ComPortCommand::Signature;
    // The rate in bits per second, the data size, the parity, stop size or control code, the
    // line or modem state bits, the purge target; 0 for a command that carries none.
    uint32_t value = 0;

    bool operator==(const TelnetEvent&) const = default;
};

class TelnetCodec {
public:
    enum class Mode : uint8_t { Raw, Rfc2217 };
    // The values of SET-PARITY, SET-STOPSIZE, SET-CONTROL and PURGE-DATA.
    enum class Parity : uint8_t { None = 1, Odd = 2, Even = 3, Mark = 4, Space = 5 };
    enum class StopSize : uint8_t { One = 1, Two = 2, OneAndAHalf = 3 };
    enum class Control : uint8_t {
        FlowNone = 1,
        FlowXonXoff = 2,
        FlowRtsCts = 3,
        BreakOn = 5,
        BreakOff = 6,
        DtrOn = 8,
        DtrOff = 9,
        RtsOn = 11,
        RtsOff = 12,
    };
    enum class Purge : uint8_t { Receive = 1, Transmit = 2, Both = 3 };

    // Longest subnegotiation kept; a longer one is dropped whole.
    static constexpr size_t kMaxSubnegotiation = 256;
    // Command bytes without a data byte after which a CommandFlood is reported.
    static constexpr size_t kCommandFloodBytes = 64 * 1024;

    explicit TelnetCodec(Mode mode) : mode_(mode) {}

    Mode mode() const { return mode_; }

    // Appends what the client says first: BINARY and SUPPRESS-GO-AHEAD asked for both ways, and
    // the offer of the Com Port Control option. Never DO COM-PORT-OPTION: servers refuse it.
    void start(std::string& out);

    // Takes `n` bytes read from the socket: appends the data bytes to `data`, the negotiation
    // replies owed to the server to `reply` (to be sent), and what the server said to `events`.
    void receive(const uint8_t* bytes, size_t n, std::string& data, std::string& reply,
                 std::vector<TelnetEvent>& events);

    // Appends data to send: 0xFF doubled, as Telnet needs, except in raw mode.
    void encodeData(const uint8_t* bytes, size_t n, std::string& out) const;

    // Each appends one Com Port Control command with its value (0xFF in it doubled); in raw mode
    // they append nothing and return false, as raw TCP carries no line settings.
    bool setBaudRate(uint32_t bitsPerSecond, std::string& out) const;
    bool setDataSize(uint8_t bits, std::string& out) const;
    bool setParity(Parity parity, std::string& out) const;
    bool setStopSize(StopSize stopSize, std::string& out) const;
    bool setControl(Control control, std::string& out) const;
    bool purge(Purge target, std::string& out) const;

    // Whether `option` of `side` has been agreed.
    bool agreed(uint8_t option, TelnetSide side) const;
    // The bytes held between calls for an unfinished subnegotiation: never above
    // kMaxSubnegotiation, whatever the server sends.
    size_t heldBytes() const { return subnegotiation_.size(); }

private:
    // One side of one option, as RFC 1143 keeps it (this side never turns an option off, so
    // never wants one off); `refused` stops a second refusal, so that a server that keeps asking
    // gets no answer loop.
    enum class Q : uint8_t { No, Yes, WantYes };
    struct OptionState {
        Q us = Q::No, him = Q::No;
        bool refusedUs = false, refusedHim = false;
    };
    enum class State : uint8_t { Data, Iac, Negotiate, SbOption, SbData, SbIac };

    bool wanted(uint8_t option, TelnetSide side) const;
    void ask(uint8_t verb, uint8_t option, std::string& out);
    void negotiate(uint8_t verb, uint8_t option, std::string& reply,
                   std::vector<TelnetEvent>& events);
    void subnegotiated(std::vector<TelnetEvent>& events);
    void keep(uint8_t b);
    void countCommand(size_t bytes, std::vector<TelnetEvent>& events);
    bool comPort(ComPortCommand command, const uint8_t* value, size_t n, std::string& out) const;

    Mode mode_;
    State state_ = State::Data;
    uint8_t verb_ = 0;
    uint8_t sbOption_ = 0;
    bool sbOverlong_ = false;
    std::string subnegotiation_;
    size_t commandRun_ = 0;  // command bytes since the last data byte
    std::array<OptionState, 256> options_{};
};
