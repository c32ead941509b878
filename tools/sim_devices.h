// Two simulated serial devices for the demo and its test: a host (device A) that sends commands,
// Japanese text in Shift-JIS and binary frames, and an instrument (device B) that answers every
// command it receives. Each sits at the device end (the master) of a pseudo-terminal whose slave
// path the program opens as a COM port.
#pragma once

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/raw_pty.h"

// UTF-8 text as Shift-JIS (code page 932), the encoding the program shows and relays. Characters
// the code page lacks are left out; the demo's texts have none.
inline std::string shiftJis(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv: no CP932");
    std::string out(utf8.size() * 2 + 8, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* to = out.data();
    size_t toLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &to, &toLeft) == static_cast<size_t>(-1)) {
            if (errno != EILSEQ) break;
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    out.resize(out.size() - toLeft);
    return out;
}

// The host's binary frame: STX, payload length, payload, checksum (payload sum, low 8 bits), ETX.
// The payload holds every control byte 0x00..0x1F and every high byte 0x80..0xFF, so that the
// frame carries CR, LF, NUL and Shift-JIS lead bytes that are not text.
constexpr char frameStart = 0x02;
constexpr char frameEnd = 0x03;

inline std::string binaryFramePayload() {
    std::string payload;
    for (int b = 0x00; b <= 0x1F; ++b) payload += static_cast<char>(b);
    for (int b = 0x80; b <= 0xFF; ++b) payload += static_cast<char>(b);
    return payload;
}

inline char frameChecksum(const std::string& payload) {
    unsigned sum = 0;
    for (char c : payload) sum += static_cast<unsigned char>(c);
    return static_cast<char>(sum & 0xFF);
}

inline std::string binaryFrame(const std::string& payload = binaryFramePayload()) {
    std::string frame(1, frameStart);
    frame += static_cast<char>(payload.size());
    frame += payload;
    frame += frameChecksum(payload);
    frame += frameEnd;
    return frame;
}

// The requests the host makes in Japanese and the instrument's answers to them (UTF-8 here,
// Shift-JIS on the line).
inline const char* const japaneseTemperatureRequest = "温度を測定してください";
inline const char* const japaneseStatusRequest = "状態を教えてください";
inline const char* const japaneseStatusAnswer = "状態：正常、異常はありません";
inline const char* const statusAnswer = "OK 稼働中";
inline const char* const unknownAnswer = "ERR 不明なコマンド";
inline const char* const identityAnswer = "SIMTECH,TM-100,00042,1.01";

// Device B: an instrument that reads CR/LF-terminated commands and STX..ETX frames and answers
// each with one CR LF-terminated line.
class InstrumentDevice {
public:
    // Takes the bytes as they arrive (in any pieces) and returns the answers they complete.
    std::string feed(const std::string& bytes) {
        std::string answers;
        for (char c : bytes) {
            switch (state_) {
            case State::text:
                if (c == frameStart && line_.empty()) {
                    state_ = State::length;
                } else if (c == '\r' || c == '\n') {
                    // CR LF, a lone CR and a lone LF all end a line; the empty line between
                    // CR and LF is no command.
                    if (!line_.empty() || lineTooLong_) answers += answer(line_);
                    line_.clear();
                    lineTooLong_ = false;
                } else if (line_.size() < maxLine) {
                    line_ += c;
                } else {
                    lineTooLong_ = true;
                }
                break;
            case State::length:
                frameLength_ = static_cast<unsigned char>(c);
                payload_.clear();
                state_ = frameLength_ == 0 ? State::checksum : State::payload;
                break;
            case State::payload:
                payload_ += c;
                if (payload_.size() == frameLength_) state_ = State::checksum;
                break;
            case State::checksum:
                checksumOk_ = c == frameChecksum(payload_);
                state_ = State::trailer;
                break;
            case State::trailer:
                ++framesReceived_;
                answers += (checksumOk_ && c == frameEnd)
                               ? "BIN OK " + std::to_string(payload_.size()) + "\r\n"
                               : std::string("BIN NG\r\n");
                state_ = State::text;
                break;
            }
        }
        return answers;
    }

    int commandsAnswered() const { return commandsAnswered_; }
    int framesReceived() const { return framesReceived_; }

private:
    enum class State { text, length, payload, checksum, trailer };
    static constexpr size_t maxLine = 256;

    std::string answer(const std::string& command) {
        ++commandsAnswered_;
        if (lineTooLong_) return shiftJis(unknownAnswer) + "\r\n";
        if (command == "*IDN?") return std::string(identityAnswer) + "\r\n";
        if (command == "MEAS?") return measurement() + " C\r\n";
        if (command == "STAT?") return shiftJis(statusAnswer) + "\r\n";
        if (command == shiftJis(japaneseTemperatureRequest)) {
            return shiftJis("現在の温度は" + measurement().substr(1) + "度です") + "\r\n";
        }
        if (command == shiftJis(japaneseStatusRequest)) return shiftJis(japaneseStatusAnswer) + "\r\n";
        return shiftJis(unknownAnswer) + "\r\n";
    }

    // A reading that drifts a little from one measurement to the next, like a real sensor.
    std::string measurement() {
        int hundredths = 2340 + (measurements_++ * 7) % 23;
        char text[16];
        std::snprintf(text, sizeof text, "+%d.%02d", hundredths / 100, hundredths % 100);
        return text;
    }

    State state_ = State::text;
    std::string line_;
    bool lineTooLong_ = false;
    size_t frameLength_ = 0;
    std::string payload_;
    bool checksumOk_ = false;
    int measurements_ = 0;
    int commandsAnswered_ = 0;
    int framesReceived_ = 0;
};

// How fast the host talks: the pause between two of its messages, and one longer quiet period
// per round, so that the program's date-time line shows up when traffic resumes.
struct HostPace {
    int stepMs = 900;
    int quietMs = 4500;
};

// Device A: a host that works through a fixed round of messages, again and again.
class HostDevice {
public:
    explicit HostDevice(HostPace pace = {}) : pace_(pace) {
        // A line end after each frame, as many instrument protocols have it, so that the text
        // after a frame starts on a line of its own on screen.
        const std::string frame = binaryFrame() + "\r\n";
        const std::string temperature = shiftJis(japaneseTemperatureRequest) + "\r\n";
        const std::string status = shiftJis(japaneseStatusRequest) + "\r\n";
        // A short opening, then the quiet period, then the long stretch that the demo's
        // pictures are taken in; its first frame comes only after a few lines of text, so that
        // the text display shows text, not a frame, at the moment of the pictures.
        round_ = {"*IDN?\r\n", "MEAS?\r\n", frame, temperature, "STAT?\r\n",
                  "MEAS?\r\n", status, "STAT?\r\n", "MEAS?\r\n", temperature, frame,
                  "MEAS?\r\n", "*IDN?\r\n", "MEAS?\r\n", status, "STAT?\r\n", "MEAS?\r\n"};
    }

    // The pause before message `index` of the round (the first one of a round follows a step).
    int pauseBefore(size_t index) const { return index == quietBefore ? pace_.quietMs : pace_.stepMs; }

    // The next message; advances through the round.
    const std::string& next() {
        const std::string& message = round_[next_];
        next_ = (next_ + 1) % round_.size();
        return message;
    }
    size_t nextIndex() const { return next_; }
    const std::vector<std::string>& round() const { return round_; }

    static constexpr size_t quietBefore = 5;

private:
    HostPace pace_;
    std::vector<std::string> round_;
    size_t next_ = 0;
};

// Everything the two devices sent and received, for the closing summary and the relay check.
struct DeviceTraffic {
    std::string hostSent;
    std::string hostReceived;
    std::string instrumentReceived;
    std::string instrumentSent;
    int commandsAnswered = 0;
    int framesReceived = 0;
};

// True when `received` is an unbroken, unchanged run of `sent`: nothing dropped, repeated or
// reordered in between. Bytes may be missing at the ends only (sent before the far port was
// opened, or still on the way when the devices stopped).
inline bool receivedInOrder(const std::string& sent, const std::string& received) {
    return received.empty() || sent.find(received) != std::string::npos;
}

// A pseudo-terminal for one device: the device holds the master, the program opens the slave.
class SimPty {
public:
    SimPty() { master_ = openRawPty(&slavePath_); }
    ~SimPty() {
        if (master_ >= 0) ::close(master_);
    }
    SimPty(const SimPty&) = delete;
    SimPty& operator=(const SimPty&) = delete;

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

private:
    int master_ = -1;
    std::string slavePath_;
};

namespace simdetail {

// Whether someone holds the slave open: the master reports a hang-up while nobody does.
inline bool slaveOpen(int master) {
    pollfd p{master, POLLIN, 0};
    return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

// Reads what is there. EIO (nobody holds the slave) and EAGAIN just give nothing.
inline std::string readAvailable(int master) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Writes every byte unless the slave goes away or a stop is asked for; returns what was written.
inline size_t writeAll(int master, const std::string& bytes, const std::function<bool()>& stop) {
    size_t done = 0;
    while (done < bytes.size() && !stop()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 100);
            if (p.revents & POLLHUP) break;
        } else {
            break;
        }
    }
    return done;
}

}  // namespace simdetail

// Runs device A on masterA and device B on masterB until stop() returns true (asked at least
// every 100 ms). The host talks only while the program holds its port open, starting a moment
// after it opened it (the program empties a port's queues right after opening it); the
// instrument answers whatever reaches it.
inline DeviceTraffic runDevices(int masterA, int masterB, const std::function<bool()>& stop,
                                HostPace pace = {}) {
    using Clock = std::chrono::steady_clock;
    constexpr auto settle = std::chrono::milliseconds(500);
    DeviceTraffic traffic;
    HostDevice host(pace);
    InstrumentDevice instrument;
    bool hostListening = false;
    Clock::time_point nextSend{};

    while (!stop()) {
        const auto now = Clock::now();
        const bool aOpen = simdetail::slaveOpen(masterA);
        const bool bOpen = simdetail::slaveOpen(masterB);
        if (aOpen && !hostListening) {
            hostListening = true;
            nextSend = std::max(nextSend, now + settle);
        } else if (!aOpen) {
            hostListening = false;
        }

        if (hostListening && now >= nextSend) {
            const std::string& message = host.next();
            traffic.hostSent.append(message, 0, simdetail::writeAll(masterA, message, stop));
            nextSend = now + std::chrono::milliseconds(host.pauseBefore(host.nextIndex()));
        }

        // Wait for bytes on the open sides; a closed side would report its hang-up at once
        // and keep poll from waiting at all, so it is left out.
        int waitMs = 100;
        if (hostListening) {
            auto untilSend = std::chrono::duration_cast<std::chrono::milliseconds>(nextSend - Clock::now());
            waitMs = static_cast<int>(std::clamp<long long>(untilSend.count(), 0, 100));
        }
        pollfd p[2] = {{aOpen ? masterA : -1, POLLIN, 0}, {bOpen ? masterB : -1, POLLIN, 0}};
        ::poll(p, 2, waitMs);

        if (p[0].revents & POLLIN) traffic.hostReceived += simdetail::readAvailable(masterA);
        if (p[1].revents & POLLIN) {
            std::string bytes = simdetail::readAvailable(masterB);
            traffic.instrumentReceived += bytes;
            std::string answers = instrument.feed(bytes);
            if (!answers.empty()) {
                traffic.instrumentSent.append(answers, 0, simdetail::writeAll(masterB, answers, stop));
            }
        }
    }
    traffic.commandsAnswered = instrument.commandsAnswered();
    traffic.framesReceived = instrument.framesReceived();
    return traffic;
}
