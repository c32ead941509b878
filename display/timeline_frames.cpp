#include "display/timeline_frames.h"

#include <algorithm>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "decode/frame_stream.h"
#include "display/grouped_rows.h"
#include "display/record_clock.h"
#include "relay/local_time.h"

namespace {

// Records taken from the base in one read.
constexpr uint64_t kBatch = 4096;
// A value too large for its 32-bit field: the field says so and the value is kept beside the index.
constexpr uint32_t kFar = UINT32_MAX;

// A row of all(): enough to read its frame again from the records. 20 bytes.
struct RowEntry {
    enum : uint8_t { kChannel2 = 1, kRoleShift = 1, kTimeout = 8, kAskedAgain = 16 };
    uint32_t delta;     // the record of its frame's first byte (a timeout: of its request's last byte)
    uint32_t offset;    // of its first byte in that record; a timeout: rows back to its request
    uint32_t gap;       // µs since the frame before, or kFar
    uint32_t response;  // an answer's response time in µs + 1 (0: none); a timeout: how long its request waited
    uint16_t length;
    uint8_t flags;
    uint8_t verdict;
    uint64_t rows() const { return timelineRows(length); }
    int channel() const { return (flags & kChannel2) != 0 ? 2 : 1; }
    bool timeout() const { return (flags & kTimeout) != 0; }
    ModbusRole role() const { return static_cast<ModbusRole>(flags >> kRoleShift & 3); }
};

// An error row: the row of all() (or the record, when the source holds frame rows) it is. 8 bytes.
struct ErrorEntry {
    uint32_t delta;
    uint32_t rowsAndChannel;  // rows << 1, | 1 for channel 2
    uint64_t rows() const { return rowsAndChannel >> 1; }
    int channel() const { return (rowsAndChannel & 1) != 0 ? 2 : 1; }
};

struct TimeAt {
    std::tm local{};
    int32_t micros = 0;
};

// `at` moved on by `micros`, in local time.
TimeAt later(RecordClock& clock, const TimeAt& at, int64_t micros) {
    const int64_t second = clock.seconds(at.local);
    if (second == -1) return at;
    const int64_t total = second * 1'000'000 + at.micros + micros;
    const int64_t seconds = total / 1'000'000 - (total % 1'000'000 < 0 ? 1 : 0);
    TimeAt moved;
    if (!localTimeOf(static_cast<std::time_t>(seconds), moved.local)) return at;
    moved.micros = static_cast<int32_t>(total - seconds * 1'000'000);
    return moved;
}

// Records of the base source read back in runs, for the rows of one read: frames that follow one
// another share their records. Each record read is a copy, so a row far from the last (the next
// error, a timeout's request) reads a few records, and a long run only when the rows go on.
class RecordWindow {
public:
    explicit RecordWindow(const TimelineSource& source) : source_(source) {}
    // Record `number`, or null when the source no longer (or not yet) holds it.
    TimelineRecord* at(uint64_t number) {
        if (TimelineRecord* record = find(number)) return record;
        const bool onwards = !held_.empty() && number == held_.back().number + 1;
        held_.clear();
        source_.read(number, onwards ? kRun : kFirstRun, held_);
        return find(number);
    }

private:
    static constexpr size_t kFirstRun = 8;
    static constexpr size_t kRun = 128;
    TimelineRecord* find(uint64_t number) {
        const auto it = std::lower_bound(held_.begin(), held_.end(), number,
                                         [](const TimelineRecord& r, uint64_t n) { return r.number < n; });
        return it != held_.end() && it->number == number ? &*it : nullptr;
    }
    const TimelineSource& source_;
    std::vector<TimelineRecord> held_;
};

}  // namespace

struct TimelineFrames::State {
    // all(): the frame rows, or the base itself when its records are frame rows already.
    class AllRows final : public TimelineSource {
    public:
        explicit AllRows(const State& state) : s_(state) {}
        TimelineExtent extent() const override;
        uint64_t rowsBefore(uint64_t number, TimelineFilter filter) const override;
        bool recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInRecord) const override;
        void read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const override;

    private:
        const State& s_;
    };
    // errors(): the rows of all() whose verdict is an error, numbered in their own order.
    class ErrorRows final : public TimelineSource {
    public:
        explicit ErrorRows(const State& state) : s_(state) {}
        TimelineExtent extent() const override;
        uint64_t rowsBefore(uint64_t number, TimelineFilter filter) const override {
            return s_.errors.rowsBefore(number, filter);
        }
        bool recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInRecord) const override {
            return s_.errors.atRow(row, filter, number, rowInRecord);
        }
        void read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const override;

    private:
        const State& s_;
    };

    enum class Mode { NotKnown, Decode, Passthrough };

    State(const TimelineSource& source, const DecodeChoice& choice, const LineSettings& line1,
          const LineSettings& line2)
        : base(source), stream(choice, line1, line2), allRows(*this), errorRows(*this) {}

    void take(const TimelineRecord& record);
    void store();
    // Lets the rows go whose first record the base has let go.
    void forget(const TimelineExtent& extent);
    uint32_t fit(int64_t value, uint64_t row, int which) {
        if (value >= 0 && value < kFar) return static_cast<uint32_t>(value);
        far[row * 2 + static_cast<uint64_t>(which)] = value;
        return kFar;
    }
    int64_t wide(uint32_t value, uint64_t row, int which) const {
        if (value != kFar) return value;
        const auto it = far.find(row * 2 + static_cast<uint64_t>(which));
        return it == far.end() ? 0 : it->second;
    }
    // The frame of a row of all() read again from the records, with the read times of its first
    // and last records; false when the base no longer holds them all.
    bool assemble(uint64_t n, RecordWindow& window, Frame& frame, TimeAt& first, TimeAt& last) const;
    // `wall` converts the read times of this read's timeouts.
    bool readRow(uint64_t n, RecordWindow& window, RecordClock& wall, TimelineRecord& record) const;

    const TimelineSource& base;
    FrameStream stream;
    Mode mode = Mode::NotKnown;
    GroupedRows<RowEntry> rows;
    GroupedRows<ErrorEntry> errors;
    std::map<uint64_t, int64_t> far;  // row * 2 + 0: its gap, + 1: its response or wait
    uint64_t next = 0;                // the next record of the base to take
    uint64_t recordBytes = 64;        // the mean size of the records last read
    int64_t clock = 0;                // the running sum of the records' gaps, µs
    bool haveLast = false;
    TimeAt last;                      // the read time of the last record taken
    int64_t lastWall = -1;            // and in µs since the epoch, once asked for; -1: not yet
    RecordClock lastClock;            // for lastWall: records come many to a second
    bool finished = false;
    uint64_t dropped = 0;             // rows let go with the records the base let go for its bound
    uint64_t errorsDropped = 0;       // of them, errors
    std::tm droppedSince{};
    uint64_t baseDropped = 0;         // the base's count when last looked at
    std::vector<FrameRow> made;
    std::vector<TimelineRecord> batch;
    AllRows allRows;
    ErrorRows errorRows;
};

void TimelineFrames::State::take(const TimelineRecord& record) {
    if (mode == Mode::NotKnown) mode = record.frame ? Mode::Passthrough : Mode::Decode;
    if (mode == Mode::Passthrough) {
        if (record.frame && verdictIsError(record.verdict)) {
            const uint64_t rowCount = timelineRows(record.bytes.size());
            const uint32_t channelBit = record.channel == 2 ? 1 : 0;
            errors.add(record.number, ErrorEntry{0, static_cast<uint32_t>(rowCount << 1 | channelBit)});
        }
        return;
    }
    if (record.frame || record.bytes.empty()) return;  // a frame line among the records is no traffic
    // The gaps are the relay's monotonic clock: exact, and free of the wall clock's steps.
    clock += std::max<int64_t>(0, record.gapMicros);
    last = TimeAt{record.local, record.micros};
    lastWall = -1;
    haveLast = true;
    finished = false;
    stream.add(record.channel, reinterpret_cast<const uint8_t*>(record.bytes.data()), record.bytes.size(), clock,
               record.number, made);
    store();
}

void TimelineFrames::State::store() {
    for (const FrameRow& row : made) {
        const uint64_t n = rows.end();
        const bool timeout = row.reading.verdict == Verdict::Timeout;
        RowEntry entry{};
        entry.offset = timeout ? static_cast<uint32_t>(n - row.requestRow) : row.frame.firstOffset;
        entry.gap = fit(row.gapMicros, n, 0);
        if (timeout) entry.response = fit(row.waitedMicros, n, 1);
        else entry.response = row.responseMicros < 0 ? 0 : fit(row.responseMicros + 1, n, 1);
        entry.length = static_cast<uint16_t>(std::min<size_t>(row.frame.bytes.size(), UINT16_MAX));
        int flags = static_cast<int>(row.role) << RowEntry::kRoleShift;
        if (row.frame.channel == 2) flags |= RowEntry::kChannel2;
        if (timeout) flags |= RowEntry::kTimeout;
        if (row.askedAgain) flags |= RowEntry::kAskedAgain;
        entry.flags = static_cast<uint8_t>(flags);
        entry.verdict = static_cast<uint8_t>(row.reading.verdict);
        rows.add(row.frame.firstRecord, entry);
        if (verdictIsError(row.reading.verdict))
            errors.add(n, ErrorEntry{0, static_cast<uint32_t>(entry.rows() << 1 | (entry.channel() == 2 ? 1 : 0))});
    }
    made.clear();
}

void TimelineFrames::State::forget(const TimelineExtent& extent) {
    // A base that starts again (cleared) counts its let-go records anew, and so do its rows.
    if (extent.dropped < baseDropped) {
        dropped = 0;
        errorsDropped = 0;
    }
    baseDropped = extent.dropped;
    if (mode == Mode::Passthrough) {
        uint64_t n = errors.first();
        while (n < errors.end() && errors.keyOf(n) < extent.first) ++n;
        errors.dropBefore(n);
        return;
    }
    // The rows from the oldest on whose first record is gone, and a timeout whose request went
    // with them: it could not be said again.
    uint64_t n = rows.first();
    while (n < rows.end()) {
        uint64_t key = 0;
        const RowEntry& entry = rows.at(n, key);
        if (key >= extent.first && !entry.timeout()) break;
        ++n;
    }
    if (n == rows.first()) return;
    uint64_t e = errors.first();
    while (e < errors.end() && errors.keyOf(e) < n) ++e;
    if (extent.dropped > 0) {
        if (dropped == 0) droppedSince = extent.droppedSince;
        dropped += n - rows.first();
        errorsDropped += e - errors.first();
    }
    rows.dropBefore(n);
    far.erase(far.begin(), far.lower_bound(n * 2));
    errors.dropBefore(e);
}

bool TimelineFrames::State::assemble(uint64_t n, RecordWindow& window, Frame& frame, TimeAt& first,
                                     TimeAt& lastAt) const {
    uint64_t key = 0;
    const RowEntry& entry = rows.at(n, key);
    frame.channel = entry.channel();
    frame.noise = static_cast<Verdict>(entry.verdict) == Verdict::Noise;
    frame.bytes.clear();
    size_t need = entry.length;
    // The frame's bytes are its direction's, from its first record on; the other direction's
    // records lie between.
    for (uint64_t k = key; need > 0; ++k) {
        const TimelineRecord* record = window.at(k);
        if (record == nullptr) return false;
        if (record->frame || record->channel != frame.channel) {
            if (k == key) return false;
            continue;
        }
        const size_t skip = k == key ? entry.offset : 0;
        if (skip >= record->bytes.size()) return false;
        const size_t taken = std::min(need, record->bytes.size() - skip);
        frame.bytes.insert(frame.bytes.end(), record->bytes.begin() + static_cast<std::ptrdiff_t>(skip),
                           record->bytes.begin() + static_cast<std::ptrdiff_t>(skip + taken));
        if (k == key) first = TimeAt{record->local, record->micros};
        lastAt = TimeAt{record->local, record->micros};
        need -= taken;
    }
    return true;
}

bool TimelineFrames::State::readRow(uint64_t n, RecordWindow& window, RecordClock& wall,
                                    TimelineRecord& record) const {
    uint64_t key = 0;
    const RowEntry& entry = rows.at(n, key);
    record.number = n;
    record.frame = true;
    record.verdict = static_cast<Verdict>(entry.verdict);
    record.channel = entry.channel();
    record.gapMicros = wide(entry.gap, n, 0);
    Frame frame;
    TimeAt first, lastAt;
    if (entry.timeout()) {
        // Said again from its request: how long it waited, and what it asked.
        const uint64_t request = n - entry.offset;
        if (request < rows.first() || !assemble(request, window, frame, first, lastAt)) return false;
        const int64_t waited = wide(entry.response, n, 1);
        const TimeAt due = later(wall, lastAt, waited);
        record.local = due.local;
        record.micros = due.micros;
        record.bytes.clear();
        record.summary = timeoutSummary(readFrame(frame, stream.rule(), ModbusRole::Request).summary, waited,
                                        (entry.flags & RowEntry::kAskedAgain) != 0);
        return true;
    }
    if (!assemble(n, window, frame, first, lastAt)) return false;
    FrameRow row;
    row.reading = readFrame(frame, stream.rule(), entry.role());
    row.responseMicros = entry.response == 0 ? -1 : wide(entry.response, n, 1) - 1;
    record.local = first.local;
    record.micros = first.micros;
    record.bytes.assign(frame.bytes.begin(), frame.bytes.end());
    record.summary = row.line();
    return true;
}

TimelineExtent TimelineFrames::State::AllRows::extent() const {
    if (s_.mode == Mode::Passthrough) return s_.base.extent();
    TimelineExtent extent;
    extent.first = s_.rows.first();
    extent.end = s_.rows.end();
    extent.dropped = s_.dropped;
    extent.droppedSince = s_.droppedSince;
    return extent;
}

uint64_t TimelineFrames::State::AllRows::rowsBefore(uint64_t number, TimelineFilter filter) const {
    if (s_.mode == Mode::Passthrough) return s_.base.rowsBefore(number, filter);
    return s_.rows.rowsBefore(number, filter);
}

bool TimelineFrames::State::AllRows::recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number,
                                                 uint64_t& rowInRecord) const {
    if (s_.mode == Mode::Passthrough) return s_.base.recordAtRow(row, filter, number, rowInRecord);
    return s_.rows.atRow(row, filter, number, rowInRecord);
}

void TimelineFrames::State::AllRows::read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const {
    if (s_.mode == Mode::Passthrough) {
        s_.base.read(from, count, out);
        return;
    }
    const uint64_t end = s_.rows.end();
    if (from >= end || count == 0) return;
    const uint64_t last = from + std::min<uint64_t>(count, end - from);
    RecordWindow window(s_.base);
    RecordClock clock;
    for (uint64_t n = std::max(from, s_.rows.first()); n < last; ++n) {
        TimelineRecord record;
        if (s_.readRow(n, window, clock, record)) out.push_back(std::move(record));
    }
}

TimelineExtent TimelineFrames::State::ErrorRows::extent() const {
    TimelineExtent extent;
    extent.first = s_.errors.first();
    extent.end = s_.errors.end();
    extent.dropped = s_.errorsDropped;
    extent.droppedSince = s_.droppedSince;
    return extent;
}

void TimelineFrames::State::ErrorRows::read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const {
    const uint64_t end = s_.errors.end();
    if (from >= end || count == 0) return;
    const uint64_t last = from + std::min<uint64_t>(count, end - from);
    RecordWindow window(s_.base);
    RecordClock clock;
    for (uint64_t n = std::max(from, s_.errors.first()); n < last; ++n) {
        const uint64_t key = s_.errors.keyOf(n);
        TimelineRecord record;
        if (s_.mode == Mode::Passthrough) {
            TimelineRecord* held = window.at(key);
            if (held == nullptr) continue;
            // Taken, not copied: the window is this read's, and each error is a record of its own.
            record = std::move(*held);
        } else if (!s_.readRow(key, window, clock, record)) {
            continue;
        }
        record.number = n;
        out.push_back(std::move(record));
    }
}

TimelineFrames::TimelineFrames(const TimelineSource& records, const DecodeChoice& choice, const LineSettings& line1,
                               const LineSettings& line2)
    : state_(std::make_unique<State>(records, choice, line1, line2)) {}

TimelineFrames::~TimelineFrames() = default;

bool TimelineFrames::advance(size_t records, int64_t nowWallMicros, bool sourceDone) {
    State& s = *state_;
    TimelineExtent extent = s.base.extent();
    s.forget(extent);
    // Records let go before they were taken: what was pending of them is cut as it is.
    if (s.next < extent.first) {
        if (s.mode == State::Mode::Decode) {
            s.stream.finish(s.made);
            s.store();
        }
        s.next = extent.first;
    }
    size_t left = records;
    size_t bytes = 0;
    while (left > 0 && bytes < kSliceBytes && s.next < extent.end) {
        s.batch.clear();
        const uint64_t most = std::min<uint64_t>(left, kBatch);
        // As many records as the bytes left of the slice may hold, going by those read so far:
        // a fast line's records are large, and each one read is a copy.
        const uint64_t fit = (kSliceBytes - bytes) / std::max<uint64_t>(1, s.recordBytes) + 1;
        const size_t want = static_cast<size_t>(std::min<uint64_t>({most, fit, extent.end - s.next}));
        s.base.read(s.next, want, s.batch);
        if (s.batch.empty()) break;
        uint64_t batchBytes = 0;
        for (const TimelineRecord& record : s.batch) batchBytes += record.bytes.size();
        s.recordBytes = std::max<uint64_t>(1, batchBytes / s.batch.size());
        for (const TimelineRecord& record : s.batch) {
            if (record.number < s.next) continue;
            // Records gone between the look at the extent and the read (or a line no longer a
            // record): the bytes on either side of the hole never make one frame.
            if (record.number > s.next && s.mode == State::Mode::Decode) {
                s.stream.finish(s.made);
                s.store();
            }
            s.take(record);
            s.next = record.number + 1;
            bytes += record.bytes.size();
            if (bytes >= kSliceBytes) break;
        }
        left -= std::min(left, want);
    }
    extent = s.base.extent();
    const bool caughtUp = s.next >= extent.end;
    if (caughtUp && s.mode == State::Mode::Decode) {
        if (sourceDone && !s.finished) {
            s.stream.finish(s.made);
            s.store();
            s.finished = true;
        } else if (!sourceDone && nowWallMicros > 0 && s.haveLast) {
            // The quiet since the last record, on the records' own clock. A quiet line is looked
            // at many times over: the last record's wall time is worked out once.
            if (s.lastWall < 0) {
                const int64_t second = s.lastClock.seconds(s.last.local);
                if (second != -1) s.lastWall = second * 1'000'000 + s.last.micros;
            }
            if (s.lastWall >= 0) {
                s.stream.quiet(s.clock + std::max<int64_t>(0, nowWallMicros - s.lastWall), s.made);
                s.store();
            }
        }
    }
    s.forget(extent);
    return caughtUp;
}

const TimelineSource& TimelineFrames::all() const { return state_->allRows; }

const TimelineSource& TimelineFrames::errors() const { return state_->errorRows; }

const std::map<int, UnitFigures>& TimelineFrames::units() const { return state_->stream.units(); }

int TimelineFrames::master() const { return state_->stream.master(); }

uint64_t TimelineFrames::indexBytes() const {
    const State& s = *state_;
    // A map node: the key, the value and about four words of the tree.
    return s.rows.bytes() + s.errors.bytes() + s.far.size() * (2 * sizeof(uint64_t) + 4 * sizeof(void*));
}
