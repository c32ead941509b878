#include "relay/telnet_codec.h"

#include <cstring>

using namespace telnet;

namespace {

// The server answers a client's command with its code plus 100.
constexpr uint8_t kServerCodeOffset = 100;

void appendCommand(std::string& out, uint8_t verb, uint8_t option) {
    out += static_cast<char>(IAC);
    out += static_cast<char>(verb);
    out += static_cast<char>(option);
}

TelnetEvent optionEvent(TelnetEvent::Kind kind, uint8_t option, TelnetSide side) {
    TelnetEvent event;
    event.kind = kind;
    event.option = option;
    event.side = side;
    return event;
}

}  // namespace

bool TelnetCodec::wanted(uint8_t option, TelnetSide side) const {
    if (option == BINARY || option == SGA) return true;
    // The Com Port Control option is the client's to offer; the server's own is refused.
    return option == COM_PORT_OPTION && side == TelnetSide::Local;
}

void TelnetCodec::ask(uint8_t verb, uint8_t option, std::string& out) {
    Q& q = verb == WILL ? options_[option].us : options_[option].him;
    if (q != Q::No) return;  // already on, or already asked
    q = Q::WantYes;
    appendCommand(out, verb, option);
}

void TelnetCodec::start(std::string& out) {
    if (mode_ == Mode::Raw) return;
    ask(WILL, BINARY, out);
    ask(DO, BINARY, out);
    ask(WILL, SGA, out);
    ask(DO, SGA, out);
    ask(WILL, COM_PORT_OPTION, out);
}

// RFC 1143 without its queue: this side never turns an option off, so it only ever asks for one
// (WantYes), and it answers a request only when the request changes the option's state. An
// option it does not want is refused once; a server that asks again is not answered again.
void TelnetCodec::negotiate(uint8_t verb, uint8_t option, std::string& reply,
                            std::vector<TelnetEvent>& events) {
    const TelnetSide side = verb == DO || verb == DONT ? TelnetSide::Local : TelnetSide::Remote;
    const bool local = side == TelnetSide::Local;
    OptionState& state = options_[option];
    Q& q = local ? state.us : state.him;
    bool& refused = local ? state.refusedUs : state.refusedHim;
    const uint8_t yes = local ? WILL : DO, no = local ? WONT : DONT;

    if (verb == DO || verb == WILL) {
        if (q == Q::WantYes) {
            q = Q::Yes;
            events.push_back(optionEvent(TelnetEvent::Kind::OptionAgreed, option, side));
        } else if (q == Q::No && wanted(option, side)) {
            q = Q::Yes;
            appendCommand(reply, yes, option);
            events.push_back(optionEvent(TelnetEvent::Kind::OptionAgreed, option, side));
        } else if (q == Q::No && !refused) {
            refused = true;
            appendCommand(reply, no, option);
        }
    } else {
        if (q == Q::Yes) appendCommand(reply, no, option);  // the server turned it off: agree
        if (q != Q::No)
            events.push_back(optionEvent(TelnetEvent::Kind::OptionRefused, option, side));
        q = Q::No;
    }
}

bool TelnetCodec::agreed(uint8_t option, TelnetSide side) const {
    const OptionState& state = options_[option];
    return (side == TelnetSide::Local ? state.us : state.him) == Q::Yes;
}

void TelnetCodec::subnegotiated(std::vector<TelnetEvent>& events) {
    const std::string& sub = subnegotiation_;
    if (sbOption_ != COM_PORT_OPTION || sub.empty()) return;
    const uint8_t code = static_cast<uint8_t>(sub[0]);
    if (code < kServerCodeOffset + static_cast<uint8_t>(ComPortCommand::SetBaudRate) ||
        code > kServerCodeOffset + static_cast<uint8_t>(ComPortCommand::PurgeData))
        return;  // not an answer (the signature's text is not wanted either)
    TelnetEvent event;
    event.command = static_cast<ComPortCommand>(code - kServerCodeOffset);
    const auto* value = reinterpret_cast<const uint8_t*>(sub.data()) + 1;
    const size_t length = sub.size() - 1;
    switch (event.command) {
        case ComPortCommand::SetBaudRate:
            if (length < 4) return;  // some servers add bytes after the four: those are ignored
            event.value = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 |
                          uint32_t{value[2]} << 8 | value[3];
            break;
        case ComPortCommand::FlowControlSuspend:
        case ComPortCommand::FlowControlResume:
            break;
        default:
            if (length < 1) return;
            event.value = value[0];
    }
    events.push_back(event);
}

void TelnetCodec::receive(const uint8_t* bytes, size_t n, std::string& data, std::string& reply,
                          std::vector<TelnetEvent>& events) {
    if (mode_ == Mode::Raw) {
        data.append(reinterpret_cast<const char*>(bytes), n);
        return;
    }
    const uint8_t* const end = bytes + n;
    for (const uint8_t* p = bytes; p < end;) {
        if (state_ == State::Data) {
            // The common case: a run of data up to the next IAC, taken whole.
            const auto* iac = static_cast<const uint8_t*>(std::memchr(p, IAC, end - p));
            const uint8_t* const runEnd = iac ? iac : end;
            if (runEnd != p) {
                data.append(reinterpret_cast<const char*>(p), runEnd - p);
                commandRun_ = 0;
            }
            p = runEnd;
            if (p == end) break;
        }
        const uint8_t b = *p++;
        switch (state_) {
            case State::Data:  // b is IAC: what follows says whether it escapes a data byte
                state_ = State::Iac;
                break;
            case State::Iac:
                if (b == IAC) {
                    data += static_cast<char>(IAC);
                    commandRun_ = 0;
                    state_ = State::Data;
                    break;
                }
                countCommand(2, events);
                if (b == WILL || b == WONT || b == DO || b == DONT) {
                    verb_ = b;
                    state_ = State::Negotiate;
                } else if (b == SB) {
                    state_ = State::SbOption;
                } else {
                    state_ = State::Data;  // NOP, GA, a stray SE or an unknown command: consumed
                }
                break;
            case State::Negotiate:
                countCommand(1, events);
                negotiate(verb_, b, reply, events);
                state_ = State::Data;
                break;
            case State::SbOption:
                countCommand(1, events);
                sbOption_ = b;
                subnegotiation_.clear();
                sbOverlong_ = false;
                state_ = State::SbData;
                break;
            case State::SbData:
                countCommand(1, events);
                if (b == IAC) {
                    state_ = State::SbIac;
                } else {
                    keep(b);
                }
                break;
            case State::SbIac:
                countCommand(1, events);
                if (b == SE) {
                    if (!sbOverlong_) subnegotiated(events);
                    subnegotiation_.clear();
                    state_ = State::Data;
                    break;
                }
                // An escaped 0xFF is kept; IAC and any other command inside it is dropped.
                if (b == IAC) keep(b);
                state_ = State::SbData;
                break;
        }
    }
}

void TelnetCodec::keep(uint8_t b) {
    if (sbOverlong_) return;
    if (subnegotiation_.size() == kMaxSubnegotiation) {
        sbOverlong_ = true;
        subnegotiation_.clear();
        return;
    }
    subnegotiation_ += static_cast<char>(b);
}

void TelnetCodec::countCommand(size_t bytes, std::vector<TelnetEvent>& events) {
    const size_t before = commandRun_;
    commandRun_ += bytes;
    if (before < kCommandFloodBytes && commandRun_ >= kCommandFloodBytes)
        events.push_back({TelnetEvent::Kind::CommandFlood});
}

void TelnetCodec::encodeData(const uint8_t* bytes, size_t n, std::string& out) const {
    const auto* const end = bytes + n;
    if (mode_ == Mode::Raw) {
        out.append(reinterpret_cast<const char*>(bytes), n);
        return;
    }
    for (const uint8_t* p = bytes; p < end;) {
        const auto* iac = static_cast<const uint8_t*>(std::memchr(p, IAC, end - p));
        const uint8_t* const runEnd = iac ? iac + 1 : end;
        out.append(reinterpret_cast<const char*>(p), runEnd - p);
        if (iac) out += static_cast<char>(IAC);
        p = runEnd;
    }
}

bool TelnetCodec::comPort(ComPortCommand command, const uint8_t* value, size_t n,
                          std::string& out) const {
    if (mode_ == Mode::Raw) return false;
    out += static_cast<char>(IAC);
    out += static_cast<char>(SB);
    out += static_cast<char>(COM_PORT_OPTION);
    out += static_cast<char>(command);
    encodeData(value, n, out);
    out += static_cast<char>(IAC);
    out += static_cast<char>(SE);
    return true;
}

bool TelnetCodec::setBaudRate(uint32_t bitsPerSecond, std::string& out) const {
    const uint8_t value[4] = {static_cast<uint8_t>(bitsPerSecond >> 24),
                              static_cast<uint8_t>(bitsPerSecond >> 16),
                              static_cast<uint8_t>(bitsPerSecond >> 8),
                              static_cast<uint8_t>(bitsPerSecond)};
    return comPort(ComPortCommand::SetBaudRate, value, sizeof value, out);
}

bool TelnetCodec::setDataSize(uint8_t bits, std::string& out) const {
    return comPort(ComPortCommand::SetDataSize, &bits, 1, out);
}

bool TelnetCodec::setParity(Parity parity, std::string& out) const {
    const auto value = static_cast<uint8_t>(parity);
    return comPort(ComPortCommand::SetParity, &value, 1, out);
}

bool TelnetCodec::setStopSize(StopSize stopSize, std::string& out) const {
    const auto value = static_cast<uint8_t>(stopSize);
    return comPort(ComPortCommand::SetStopSize, &value, 1, out);
}

bool TelnetCodec::setControl(Control control, std::string& out) const {
    const auto value = static_cast<uint8_t>(control);
    return comPort(ComPortCommand::SetControl, &value, 1, out);
}

bool TelnetCodec::purge(Purge target, std::string& out) const {
    const auto value = static_cast<uint8_t>(target);
    return comPort(ComPortCommand::PurgeData, &value, 1, out);
}
