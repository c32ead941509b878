#include "decode/transactions.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "decode/nmea.h"

namespace {

std::string millis(int64_t micros, const char* unit, int64_t per) {
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%03lld %s", static_cast<long long>(micros / per),
                  static_cast<long long>(micros % per / (per / 1000)), unit);
    return text;
}

// A frame whose own check holds: a good one, or one of a function nobody decodes.
bool sound(const FrameReading& r) { return r.verdict == Verdict::Ok || r.verdict == Verdict::Unknown; }

bool answers(const FrameReading& answer, const FrameReading& request) {
    return answer.unit == request.unit && (answer.function == request.function || answer.function == (request.function | 0x80));
}

}  // namespace

FrameReading readFrame(const Frame& frame, FrameRule rule, ModbusRole role) {
    const uint8_t* p = frame.bytes.data();
    const size_t n = frame.bytes.size();
    if (frame.noise) {
        FrameReading r;
        r.verdict = Verdict::Noise;
        r.summary = std::to_string(n) + (n == 1 ? " byte" : " bytes") + " outside any frame";
        return r;
    }
    switch (rule) {
        case FrameRule::ModbusRtu: return readRtu(p, n, role);
        case FrameRule::ModbusAscii: return readAscii(p, n, role);
        case FrameRule::Nmea: return readNmea(p, n);
        default: return {};
    }
}

std::string timeoutSummary(const std::string& request, int64_t waitedMicros, bool askedAgain) {
    return (askedAgain ? "no answer before the next request, after " : "timeout after ") +
           millis(waitedMicros, "s", 1'000'000) + ": " + request;
}

std::string FrameRow::line() const {
    if (responseMicros < 0) return reading.summary;
    return reading.summary + ", answer after " + millis(responseMicros, "ms", 1000);
}

void UnitFigures::addResponse(int64_t micros) {
    if (responseMicros.size() < kKept) responseMicros.push_back(micros);
    else responseMicros[static_cast<size_t>(answered) % kKept] = micros;
    answered += 1;
    if (fastestMicros < 0 || micros < fastestMicros) fastestMicros = micros;
    if (micros > slowestMicros) slowestMicros = micros;
}

int64_t UnitFigures::percentile(double p) const {
    if (responseMicros.empty()) return -1;
    // A partial sort: the window's bar asks twice a second for 65,536 times per unit.
    std::vector<int64_t> kept = responseMicros;
    const size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(kept.size())));
    const auto at = kept.begin() + static_cast<std::ptrdiff_t>(std::clamp<size_t>(rank, 1, kept.size()) - 1);
    std::nth_element(kept.begin(), at, kept.end());
    return *at;
}

Transactions::Transactions(FrameRule rule, int master, int64_t timeoutMicros)
    : rule_(rule), master_(master), timeoutMicros_(timeoutMicros),
      modbus_(rule == FrameRule::ModbusRtu || rule == FrameRule::ModbusAscii) {}

ModbusRole Transactions::roleOf(int channel) const {
    if (master_ == 0) return ModbusRole::Unknown;
    return channel == master_ ? ModbusRole::Request : ModbusRole::Answer;
}

void Transactions::timeOut(std::vector<FrameRow>& out, int64_t nextRequestMicros) {
    FrameRow row;
    const int64_t due = request_.frame.lastMicros + timeoutMicros_;
    // Asked again before the time ran out: the wait ended there.
    const bool early = nextRequestMicros < due;
    row.frame.channel = request_.frame.channel;
    row.frame.firstMicros = row.frame.lastMicros = early ? nextRequestMicros : due;
    row.frame.firstRecord = row.frame.lastRecord = request_.frame.lastRecord;
    row.gapMicros = lastFrameMicros_ == INT64_MIN ? 0 : std::max<int64_t>(0, row.frame.firstMicros - lastFrameMicros_);
    row.reading.verdict = Verdict::Timeout;
    row.reading.unit = request_.reading.unit;
    row.reading.function = request_.reading.function;
    row.role = ModbusRole::Request;
    row.requestRow = requestRow_;
    row.waitedMicros = early ? std::max<int64_t>(0, nextRequestMicros - request_.frame.lastMicros) : timeoutMicros_;
    row.askedAgain = early;
    row.reading.summary = timeoutSummary(request_.reading.summary, row.waitedMicros, early);
    units_[request_.reading.unit].errors += 1;
    asked_ = false;
    give(std::move(row), out);
}

void Transactions::give(FrameRow row, std::vector<FrameRow>& out) {
    out.push_back(std::move(row));
    ++given_;
}

void Transactions::quiet(int64_t nowMicros, std::vector<FrameRow>& out) {
    if (asked_ && nowMicros - request_.frame.lastMicros > timeoutMicros_) timeOut(out, INT64_MAX);
}

void Transactions::add(Frame frame, std::vector<FrameRow>& out) {
    if (modbus_) quiet(frame.firstMicros, out);
    FrameRow row;
    row.gapMicros = lastFrameMicros_ == INT64_MIN ? 0 : frame.firstMicros - lastFrameMicros_;
    lastFrameMicros_ = frame.firstMicros;
    row.frame = std::move(frame);
    ModbusRole role = modbus_ ? roleOf(row.frame.channel) : ModbusRole::Unknown;
    row.reading = readFrame(row.frame, rule_, role);
    if (!modbus_) {
        give(std::move(row), out);
        return;
    }
    if (master_ == 0 && sound(row.reading)) {
        // The side whose frame the other side answers is the master's.
        if (haveUnknown_ && lastUnknown_.frame.channel != row.frame.channel && answers(row.reading, lastUnknown_.reading)) {
            master_ = lastUnknown_.frame.channel;
            request_ = lastUnknown_;
            requestRow_ = lastUnknownRow_;
            request_.reading = readFrame(request_.frame, rule_, ModbusRole::Request);
            asked_ = true;
            units_[request_.reading.unit].transactions += 1;
            role = ModbusRole::Answer;
            row.reading = readFrame(row.frame, rule_, role);
        } else {
            lastUnknown_ = row;
            lastUnknownRow_ = given_;
            haveUnknown_ = true;
        }
    }
    const int unit = row.reading.unit;
    if (role == ModbusRole::Request) {
        if (asked_) timeOut(out, row.frame.firstMicros);  // asked again before any answer
        if (sound(row.reading) && unit > 0) {  // unit 0 is a broadcast: nobody answers it
            request_ = row;
            requestRow_ = given_;
            asked_ = true;
            units_[unit].transactions += 1;
        }
        if (verdictIsError(row.reading.verdict) && unit >= 0) units_[unit].errors += 1;
    } else if (role == ModbusRole::Answer) {
        if (asked_ && sound(row.reading) && answers(row.reading, request_.reading)) {
            row.responseMicros = row.frame.firstMicros - request_.frame.lastMicros;
            UnitFigures& figures = units_[unit];
            figures.addResponse(row.responseMicros);
            if (row.reading.exception >= 0) figures.errors += 1;
            asked_ = false;
        } else if (verdictIsError(row.reading.verdict)) {
            const int who = asked_ ? request_.reading.unit : unit;
            if (who >= 0) units_[who].errors += 1;
            // A damaged answer is still the answer: the request waits no longer.
            if (asked_ && row.reading.verdict != Verdict::Noise) {
                row.responseMicros = row.frame.firstMicros - request_.frame.lastMicros;
                asked_ = false;
            }
        }
    }
    row.role = role;
    give(std::move(row), out);
}
