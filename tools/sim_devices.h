// Two simulated serial devices for the demo and its test: a host (device A) that sends commands,
// Japanese text in Shift-JIS, binary frames and, once a round, a run of Modbus RTU requests, and an
// instrument (device B) that answers every command and request it receives. Each sits at the
// device end (the master) of a pseudo-terminal whose slave path the program opens as a COM port.
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
#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode/framer.h"
#include "decode/modbus.h"
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

// The demo's line carries a little Modbus RTU too: the host asks as a master, the instrument
// answers as units 1 and 2. Frames are paced as the line's rate would carry them, with at least
// the quiet gap of 3.5 characters between two frames, and get their CRC as they go out.
struct LineTiming {
    int64_t charMicros = 0;  // one character (8 data bits, no parity, one stop bit: the demo's line)
    int64_t gapMicros = 0;   // the quiet gap that ends an RTU frame

    explicit LineTiming(uint32_t baud)
        : charMicros(characterMicros(baud, 8, false, false)), gapMicros(quietGapMicros(baud, 8, false, false)) {}
    std::chrono::microseconds onLine(size_t bytes) const {
        return std::chrono::microseconds(charMicros * static_cast<int64_t>(bytes));
    }
    std::chrono::microseconds gap() const { return std::chrono::microseconds(gapMicros); }
};

namespace simdetail {

inline const uint8_t* bytesOf(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

inline uint16_t be16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) << 8 | static_cast<uint8_t>(s[at + 1]));
}

inline void putBe16(std::string& s, uint16_t value) {
    s += static_cast<char>(value >> 8);
    s += static_cast<char>(value & 0xFF);
}

// Whether a whole RTU frame carries the CRC of its other bytes.
inline bool crcHolds(const std::string& frame) {
    if (frame.size() < 4) return false;
    const size_t n = frame.size() - 2;
    const uint16_t carried =
        static_cast<uint16_t>(static_cast<uint8_t>(frame[n]) | static_cast<uint8_t>(frame[n + 1]) << 8);
    return modbusCrc(bytesOf(frame), n) == carried;
}

}  // namespace simdetail

// Seals the frames of both devices as they go onto the line: the CRC, low byte first, and on
// every 20th frame of either direction a wrong one, so that the frame view has bad CRCs to show
// at a rate known in advance.
class ModbusLine {
public:
    static constexpr int badEvery = 20;

    std::string seal(std::string pdu) {
        uint16_t crc = modbusCrc(simdetail::bytesOf(pdu), pdu.size());
        if (++frames_ % badEvery == 0) {
            crc ^= 0x0101;
            ++badFrames_;
        }
        pdu += static_cast<char>(crc & 0xFF);
        pdu += static_cast<char>(crc >> 8);
        return pdu;
    }
    int frames() const { return frames_; }
    int badFrames() const { return badFrames_; }

private:
    int frames_ = 0;
    int badFrames_ = 0;
};

// The instrument's Modbus side: unit 1 with 16 holding and 2 input registers, unit 2 with 8
// holding registers and none for input. It serves Read Holding Registers, Read Input Registers,
// Write Single Register and Write Multiple Registers; anything else gets the exception a real
// device gives (1 illegal function, 2 illegal data address, 3 illegal data value).
class ModbusSlave {
public:
    static bool servesUnit(int unit) { return unit == 1 || unit == 2; }

    // The answer (unit, function, data; the CRC is added as it goes out) to a request whose CRC held.
    std::string answer(const std::string& request) {
        const int unit = static_cast<uint8_t>(request[0]);
        const int function = static_cast<uint8_t>(request[1]);
        std::vector<uint16_t>& holding = unit == 1 ? holding1_ : holding2_;
        std::string pdu = request.substr(0, 2);
        const auto exception = [&](int code) {
            pdu[1] = static_cast<char>(function | 0x80);
            pdu += static_cast<char>(code);
            return pdu;
        };
        const uint16_t start = simdetail::be16(request, 2);
        const uint16_t count = simdetail::be16(request, 4);
        switch (function) {
            case 3:
            case 4: {
                const std::vector<uint16_t> table = function == 3 ? holding : inputRegisters(unit);
                if (count == 0 || count > 125) return exception(3);
                if (start + count > table.size()) return exception(2);
                pdu += static_cast<char>(count * 2);
                for (size_t i = start; i < start + count; ++i) simdetail::putBe16(pdu, table[i]);
                return pdu;
            }
            case 6:
                if (start >= holding.size()) return exception(2);
                holding[start] = count;  // the value, where the other functions have the count
                return request.substr(0, 6);
            case 16: {
                if (count == 0 || count > 123 || static_cast<uint8_t>(request[6]) != count * 2) return exception(3);
                if (start + count > holding.size()) return exception(2);
                for (size_t i = 0; i < count; ++i) holding[start + i] = simdetail::be16(request, 7 + 2 * i);
                return request.substr(0, 6);
            }
            default:
                return exception(1);
        }
    }

private:
    // Unit 1's inputs: the temperature in hundredths of a degree, drifting from one reading to
    // the next, and the hours run.
    std::vector<uint16_t> inputRegisters(int unit) {
        if (unit != 1) return {};
        return {static_cast<uint16_t>(2340 + (inputReads_++ * 7) % 23), 1234};
    }

    std::vector<uint16_t> holding1_ = {2340, 2350, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 42};
    std::vector<uint16_t> holding2_ = {1, 9600, 0, 0, 0, 0, 0, 0};
    int inputReads_ = 0;
};

// The host's Modbus side: the next request from a fixed list that goes through both units and
// the functions the instrument serves, and one request for a register it does not have.
class ModbusMaster {
public:
    // The next request (unit, function, data; the CRC is added as it goes out).
    std::string nextRequest() {
        const int step = asked_ % 9;
        const auto value = static_cast<uint16_t>(2300 + 5 * (asked_ % 17));
        ++asked_;
        answer_.clear();
        switch (step) {
            case 0: return request(1, 3, 0, 4);
            case 1: return request(2, 3, 0, 2);
            case 2: return request(1, 6, 1, value);
            case 3: return request(1, 4, 0, 2);
            case 4: return writeRegisters(2, 4, {value, static_cast<uint16_t>(value / 10)});
            case 5: return request(2, 3, 4, 2);
            case 6: return request(2, 3, 100, 2);  // unit 2 has no register 100
            case 7: return writeRegisters(1, 8, {value, 0, static_cast<uint16_t>(asked_)});
            default: return request(1, 3, 8, 3);
        }
    }

    // The bytes that came back since the request; true once they make a whole answer by its
    // function's rule, whose CRC it then checks.
    bool takeAnswer(const std::string& bytes) {
        answer_ += bytes;
        const RtuLengths lengths = rtuLengths(simdetail::bytesOf(answer_), answer_.size());
        if (lengths.need > answer_.size()) return false;
        if (lengths.answer != 0 && answer_.size() < lengths.answer) return false;
        ++answered_;
        if (!simdetail::crcHolds(answer_)) ++badAnswers_;
        return true;
    }
    // A request whose answer did not come in time.
    void giveUp() { ++unanswered_; }

    size_t answerLength() const { return answer_.size(); }
    int asked() const { return asked_; }
    int answered() const { return answered_; }
    int badAnswers() const { return badAnswers_; }
    int unanswered() const { return unanswered_; }

private:
    static std::string request(int unit, int function, uint16_t address, uint16_t countOrValue) {
        std::string pdu{static_cast<char>(unit), static_cast<char>(function)};
        simdetail::putBe16(pdu, address);
        simdetail::putBe16(pdu, countOrValue);
        return pdu;
    }
    static std::string writeRegisters(int unit, uint16_t address, const std::vector<uint16_t>& values) {
        std::string pdu = request(unit, 16, address, static_cast<uint16_t>(values.size()));
        pdu += static_cast<char>(values.size() * 2);
        for (uint16_t v : values) simdetail::putBe16(pdu, v);
        return pdu;
    }

    int asked_ = 0;
    int answered_ = 0;
    int badAnswers_ = 0;
    int unanswered_ = 0;
    std::string answer_;
};

// Device B: an instrument that reads CR/LF-terminated commands, STX..ETX frames and Modbus RTU
// requests to its units 1 and 2, and answers each command and frame with one CR LF-terminated
// line. Its Modbus answers wait in a queue: they go out a moment later, as a device on a real
// line answers (runDevices paces them).
class InstrumentDevice {
public:
    // A Modbus answer to send: unit, function and data (the CRC goes on as it is sent), and the
    // length of the request it answers.
    struct ModbusAnswer {
        std::string pdu;
        size_t requestLength = 0;
    };

    // Takes the bytes as they arrive (in any pieces) and returns the text answers they complete.
    std::string feed(const std::string& bytes) {
        std::string answers;
        for (char c : bytes) {
            switch (state_) {
            case State::text:
                textByte(c, answers);
                break;
            case State::unitOrStart:
                // A Modbus request's second byte is its function code (below 0x80); the binary
                // frame's is its length, 160.
                if (static_cast<unsigned char>(c) < 0x80 &&
                    rtuLengths(simdetail::bytesOf(request_ + c), 2).known) {
                    request_ += c;
                    state_ = State::modbus;
                } else if (request_[0] == frameStart) {
                    lengthByte(c);
                } else {
                    state_ = State::text;
                    line_ = request_;
                    textByte(c, answers);
                }
                break;
            case State::modbus:
                modbusByte(c);
                break;
            case State::length:
                lengthByte(c);
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

    // The Modbus answers the bytes fed so far call for, oldest first.
    std::vector<ModbusAnswer> takeModbusAnswers() {
        std::vector<ModbusAnswer> due;
        due.swap(modbusAnswers_);
        return due;
    }

    int commandsAnswered() const { return commandsAnswered_; }
    int framesReceived() const { return framesReceived_; }

    int modbusRequests() const { return modbusRequests_; }
    int modbusIgnored() const { return modbusIgnored_; }

private:
    enum class State { text, unitOrStart, modbus, length, payload, checksum, trailer };
    static constexpr size_t maxLine = 256;

    void textByte(char c, std::string& answers) {
        if (line_.empty() && (c == frameStart || ModbusSlave::servesUnit(static_cast<unsigned char>(c)))) {
            // STX starts a binary frame, and is also unit 2's address: the next byte tells.
            request_.assign(1, c);
            state_ = State::unitOrStart;
        } else if (c == '\r' || c == '\n') {
            // CR LF, a lone CR and a lone LF all end a line; the empty line between CR and LF
            // is no command.
            if (!line_.empty() || lineTooLong_) answers += answer(line_);
            line_.clear();
            lineTooLong_ = false;
        } else if (line_.size() < maxLine) {
            line_ += c;
        } else {
            lineTooLong_ = true;
        }
    }

    void lengthByte(char c) {
        frameLength_ = static_cast<unsigned char>(c);
        payload_.clear();
        state_ = frameLength_ == 0 ? State::checksum : State::payload;
    }

    // A request is whole at the length its function's rule gives; one whose CRC does not hold
    // gets no answer, as on a real line.
    void modbusByte(char c) {
        request_ += c;
        const RtuLengths lengths = rtuLengths(simdetail::bytesOf(request_), request_.size());
        if (lengths.need > request_.size()) return;
        if (lengths.request != 0 && request_.size() < lengths.request) return;
        state_ = State::text;
        ++modbusRequests_;
        if (lengths.request == 0 || !simdetail::crcHolds(request_)) {
            ++modbusIgnored_;
            return;
        }
        modbusAnswers_.push_back({slave_.answer(request_), request_.size()});
    }

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
    std::string request_;
    ModbusSlave slave_;
    std::vector<ModbusAnswer> modbusAnswers_;
    int modbusRequests_ = 0;
    int modbusIgnored_ = 0;
    size_t frameLength_ = 0;
    std::string payload_;
    bool checksumOk_ = false;
    int measurements_ = 0;
    int commandsAnswered_ = 0;
    int framesReceived_ = 0;
};

// How fast the host talks: the pause between two of its messages, one longer quiet period per
// round, so that the program's date-time line shows up when traffic resumes, and the line's rate,
// which paces its Modbus requests and the instrument's answers to them.
struct HostPace {
    int stepMs = 800;
    int quietMs = 3600;
    uint32_t baud = 9600;
    int modbusIdleMs = 20;  // between an answer and the next request
};

// One step of the host's round: a message, or a run of Modbus transactions.
struct HostStep {
    std::string message;
    int modbusTransactions = 0;
};

// Device A: a host that works through a fixed round of messages, again and again.
class HostDevice {
public:
    // Transactions in the round's Modbus run: 40 frames, two of them with a bad CRC.
    static constexpr int modbusRun = ModbusLine::badEvery;

    explicit HostDevice(HostPace pace = {}) : pace_(pace) {
        // A line end after each frame, as many instrument protocols have it, so that the text
        // after a frame starts on a line of its own on screen.
        const std::string frame = binaryFrame() + "\r\n";
        const std::string temperature = shiftJis(japaneseTemperatureRequest) + "\r\n";
        const std::string status = shiftJis(japaneseStatusRequest) + "\r\n";
        // A short opening that ends in the Modbus run, then the quiet period, then the long
        // stretch that the demo's pictures are taken in; its first frame comes only after a few
        // lines of text, so that the text display shows text, not a frame, at the moment of the
        // pictures.
        for (const std::string& message :
             {std::string("*IDN?\r\n"), std::string("MEAS?\r\n"), frame, temperature, std::string("STAT?\r\n")}) {
            round_.push_back({message});
        }
        round_.push_back({"", modbusRun});
        for (const std::string& message :
             {std::string("STAT?\r\n"), std::string("MEAS?\r\n"), status, std::string("STAT?\r\n"),
              std::string("MEAS?\r\n"), temperature, frame, std::string("MEAS?\r\n"), std::string("*IDN?\r\n"),
              std::string("MEAS?\r\n"), status, std::string("STAT?\r\n"), std::string("MEAS?\r\n")}) {
            round_.push_back({message});
        }
    }

    // The pause before step `index` of the round (the first one of a round follows a step); after
    // a Modbus run, from its last answer.
    int pauseBefore(size_t index) const { return index == quietBefore ? pace_.quietMs : pace_.stepMs; }

    // The next step; advances through the round.
    const HostStep& next() {
        const HostStep& step = round_[next_];
        next_ = (next_ + 1) % round_.size();
        return step;
    }
    size_t nextIndex() const { return next_; }
    const std::vector<HostStep>& round() const { return round_; }

    static constexpr size_t quietBefore = 6;

private:
    HostPace pace_;
    std::vector<HostStep> round_;
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
    // Modbus: the host's requests, the answers it got and how many of those had a bad CRC, the
    // requests that got none; the instrument's count of requests and of those it ignored for a
    // bad CRC; the frames on the line and how many went out with a bad CRC.
    int modbusAsked = 0;
    int modbusAnswered = 0;
    int modbusBadAnswers = 0;
    int modbusUnanswered = 0;
    int modbusRequestsReceived = 0;
    int modbusRequestsIgnored = 0;
    int modbusFrames = 0;
    int modbusBadFrames = 0;
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
// instrument answers whatever reaches it: text at once, a Modbus request once the request would
// have crossed the line and a quiet gap and a moment's work have passed.
inline DeviceTraffic runDevices(int masterA, int masterB, const std::function<bool()>& stop,
                                HostPace pace = {}) {
    using Clock = std::chrono::steady_clock;
    constexpr auto settle = std::chrono::milliseconds(500);
    // How long the host waits for a Modbus answer, as a master's timeout does.
    constexpr auto answerTimeout = std::chrono::milliseconds(1000);
    const LineTiming line(pace.baud);
    DeviceTraffic traffic;
    HostDevice host(pace);
    InstrumentDevice instrument;
    ModbusLine modbusLine;
    ModbusMaster modbusMaster;
    bool hostListening = false;
    Clock::time_point nextSend{};
    int modbusLeft = 0;  // requests still to ask in the host's Modbus run
    bool awaitingAnswer = false;
    Clock::time_point answerDeadline{};
    struct DueAnswer {
        Clock::time_point due;
        std::string pdu;
    };
    std::deque<DueAnswer> answersDue;

    // After a Modbus answer (or none): the next request, or the next step of the round.
    const auto transactionDone = [&](Clock::time_point answeredAt) {
        awaitingAnswer = false;
        const int pauseMs = modbusLeft > 0 ? pace.modbusIdleMs : host.pauseBefore(host.nextIndex());
        nextSend = answeredAt + line.onLine(modbusMaster.answerLength()) + line.gap() +
                   std::chrono::milliseconds(pauseMs);
    };

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

        if (hostListening && !awaitingAnswer && now >= nextSend) {
            if (modbusLeft == 0) {
                const HostStep& step = host.next();
                modbusLeft = step.modbusTransactions;
                if (modbusLeft == 0) {
                    traffic.hostSent.append(step.message, 0, simdetail::writeAll(masterA, step.message, stop));
                    nextSend = now + std::chrono::milliseconds(host.pauseBefore(host.nextIndex()));
                }
            }
            if (modbusLeft > 0) {
                --modbusLeft;
                const std::string request = modbusLine.seal(modbusMaster.nextRequest());
                traffic.hostSent.append(request, 0, simdetail::writeAll(masterA, request, stop));
                awaitingAnswer = true;
                answerDeadline = now + line.onLine(request.size()) + answerTimeout;
            }
        }
        if (awaitingAnswer && now >= answerDeadline) {
            modbusMaster.giveUp();
            transactionDone(now);
        }
        while (!answersDue.empty() && now >= answersDue.front().due) {
            const std::string answer = modbusLine.seal(answersDue.front().pdu);
            answersDue.pop_front();
            traffic.instrumentSent.append(answer, 0, simdetail::writeAll(masterB, answer, stop));
        }

        // Wait for bytes on the open sides, or until the next thing falls due; a closed side
        // would report its hang-up at once and keep poll from waiting at all, so it is left out.
        Clock::time_point wake = now + std::chrono::milliseconds(100);
        if (hostListening) wake = std::min(wake, awaitingAnswer ? answerDeadline : nextSend);
        if (!answersDue.empty()) wake = std::min(wake, answersDue.front().due);
        // Rounded up: a wait that ends short of its moment only spins once more.
        const auto untilWake = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
        const int waitMs = static_cast<int>(std::clamp<long long>(untilWake.count(), 0, 100));
        pollfd p[2] = {{aOpen ? masterA : -1, POLLIN, 0}, {bOpen ? masterB : -1, POLLIN, 0}};
        ::poll(p, 2, waitMs);

        if (p[0].revents & POLLIN) {
            const std::string bytes = simdetail::readAvailable(masterA);
            traffic.hostReceived += bytes;
            if (awaitingAnswer && modbusMaster.takeAnswer(bytes)) transactionDone(Clock::now());
        }
        if (p[1].revents & POLLIN) {
            std::string bytes = simdetail::readAvailable(masterB);
            const auto arrived = Clock::now();
            traffic.instrumentReceived += bytes;
            std::string answers = instrument.feed(bytes);
            if (!answers.empty()) {
                traffic.instrumentSent.append(answers, 0, simdetail::writeAll(masterB, answers, stop));
            }
            // A Modbus answer waits for the request's bytes to cross the line, the quiet gap
            // after it and the unit's own time: unit 2 is the slower one, and neither takes the
            // same time twice running.
            for (InstrumentDevice::ModbusAnswer& answer : instrument.takeModbusAnswers()) {
                const bool slow = answer.pdu[0] == 2;
                const auto work = std::chrono::microseconds((slow ? 6000 : 1500) +
                                                            500 * (instrument.modbusRequests() % (slow ? 5 : 3)));
                answersDue.push_back({arrived + line.onLine(answer.requestLength) + line.gap() + work,
                                      std::move(answer.pdu)});
            }
        }
    }
    traffic.commandsAnswered = instrument.commandsAnswered();
    traffic.framesReceived = instrument.framesReceived();
    traffic.modbusAsked = modbusMaster.asked();
    traffic.modbusAnswered = modbusMaster.answered();
    traffic.modbusBadAnswers = modbusMaster.badAnswers();
    traffic.modbusUnanswered = modbusMaster.unanswered();
    traffic.modbusRequestsReceived = instrument.modbusRequests();
    traffic.modbusRequestsIgnored = instrument.modbusIgnored();
    traffic.modbusFrames = modbusLine.frames();
    traffic.modbusBadFrames = modbusLine.badFrames();
    return traffic;
}
