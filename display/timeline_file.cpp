#include "display/timeline_file.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "display/grouped_rows.h"
#include "display/positional_file.h"
#include "record/combined_record.h"
#include "relay/local_time.h"

namespace {

// The largest chunk a record line is read as. The relay reads at most a few KB at a time, so no
// capture comes near it; the bound keeps a line of a file of another kind (or of a hole) from
// being held whole, and keeps a record's row count small.
constexpr size_t kMaxRecordBytes = size_t{1} << 20;
// The longest summary a frame line may end with: far more than any frame's reading says.
constexpr size_t kMaxSummary = 16384;
// Longer than any record line can be: the head is at most ~64 characters, then 4 per byte, then a
// frame line's verdict and summary.
constexpr size_t kMaxRecordLine = 4 * kMaxRecordBytes + 256 + kMaxSummary;

// The longest line, with its line end, of a record or frame of `rows` rows.
constexpr uint64_t longestLine(uint64_t rows) { return 64 + 4 * kTimelineRowBytes * rows + 8 + 32 + kMaxSummary; }

// The hex column's digits: their value, or -1 for any other character (the writer uses upper
// case only, so a lower-case digit would not write back the same).
constexpr std::array<int8_t, 256> kHexValue = [] {
    std::array<int8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<size_t>(c)] = c >= '0' && c <= '9' ? static_cast<int8_t>(c - '0')
                                        : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                                                               : int8_t{-1};
    }
    return table;
}();

// Exactly `count` decimal digits at p, within [low, high].
inline bool fixedDigits(const char* p, int count, int low, int high, int& value) {
    int v = 0;
    for (int i = 0; i < count; ++i) {
        const unsigned digit = static_cast<unsigned char>(p[i]) - unsigned{'0'};
        if (digit > 9) return false;
        v = v * 10 + static_cast<int>(digit);
    }
    value = v;
    return v >= low && v <= high;
}

// A decimal number as printf writes it: no sign, no leading zero (but "0" itself), at most
// maxDigits digits; p moves past it. Never reads at or past end.
inline bool plainNumber(const char*& p, const char* end, int maxDigits, uint64_t& value) {
    const char* start = p;
    uint64_t v = 0;
    while (p < end && p - start < maxDigits + 1 && static_cast<unsigned>(*p - '0') <= 9) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        ++p;
    }
    const ptrdiff_t digits = p - start;
    if (digits == 0 || digits > maxDigits || (digits > 1 && *start == '0')) return false;
    value = v;
    return true;
}

// What the head of a record line says, before its bytes.
struct RecordHead {
    int year, month, day, hour, minute, second, micros;
    int64_t gapMicros;
    int channel;
    size_t length;
    const char* hex;   // where the hex column starts
    const char* tail;  // where the record's columns end: the line's end, or a frame line's verdict
};

// The head up to the hex column, and that the line's length is exactly what `length` bytes
// make. All reads stay in [line, end).
bool parseHead(const char* line, const char* end, RecordHead& head) {
    // "YYYY-MM-DD HH:MM:SS.uuuuuu +" is 28 characters; the shortest line is longer.
    if (end - line < 28 + 22) return false;
    const char* p = line;
    if (p[4] != '-' || p[7] != '-' || p[10] != ' ' || p[13] != ':' || p[16] != ':' || p[19] != '.' ||
        p[26] != ' ' || p[27] != '+') {
        return false;
    }
    // The ranges a local time can have (60: a leap second); anything else is not a read time.
    if (!fixedDigits(p, 4, 0, 9999, head.year) || !fixedDigits(p + 5, 2, 1, 12, head.month) ||
        !fixedDigits(p + 8, 2, 1, 31, head.day) || !fixedDigits(p + 11, 2, 0, 23, head.hour) ||
        !fixedDigits(p + 14, 2, 0, 59, head.minute) || !fixedDigits(p + 17, 2, 0, 60, head.second) ||
        !fixedDigits(p + 20, 6, 0, 999999, head.micros)) {
        return false;
    }
    p += 28;
    // The gap's seconds: the most an int64 of microseconds holds has 13 digits.
    uint64_t gapSeconds = 0;
    if (!plainNumber(p, end, 13, gapSeconds)) return false;
    // ".uuuuuu 1>2  " is 13 characters.
    if (end - p < 13 || *p != '.') return false;
    int gapFraction = 0;
    if (!fixedDigits(p + 1, 6, 0, 999999, gapFraction)) return false;
    constexpr uint64_t kMaxGapSeconds = static_cast<uint64_t>(INT64_MAX / 1000000);
    if (gapSeconds > kMaxGapSeconds ||
        (gapSeconds == kMaxGapSeconds && gapFraction > static_cast<int>(INT64_MAX % 1000000))) {
        return false;
    }
    head.gapMicros = static_cast<int64_t>(gapSeconds) * 1000000 + gapFraction;
    p += 7;
    if (p[0] != ' ' || p[2] != '>' || p[4] != ' ' || p[5] != ' ') return false;
    if (p[1] == '1' && p[3] == '2') head.channel = 1;
    else if (p[1] == '2' && p[3] == '1') head.channel = 2;
    else return false;
    p += 6;
    uint64_t length = 0;
    if (!plainNumber(p, end, 7, length)) return false;
    if (length > kMaxRecordBytes) return false;
    // "  " + hex (3n - 1, nothing for no bytes) + "  |" + text (n) + "|"
    const size_t columns = length == 0 ? 6 : 4 * static_cast<size_t>(length) + 5;
    if (static_cast<size_t>(end - p) < columns || p[0] != ' ' || p[1] != ' ') return false;
    head.length = static_cast<size_t>(length);
    head.hex = p + 2;
    head.tail = p + columns;
    return true;
}

// What follows a record's columns: nothing on a record line (a chunk is never empty: the relay
// hands on only what it read); on a frame line two spaces, the verdict, a space and the summary,
// and no bytes exactly when it is a timeout.
bool parseTail(const RecordHead& head, const char* end, bool& frame, Verdict& verdict, const char*& summary) {
    frame = head.tail != end;
    if (!frame) return head.length > 0;
    const char* p = head.tail;
    if (end - p < 2 || p[0] != ' ' || p[1] != ' ') return false;
    p += 2;
    for (int v = static_cast<int>(Verdict::Ok); v <= static_cast<int>(Verdict::Timeout); ++v) {
        const std::string_view text = verdictText(static_cast<Verdict>(v));
        if (static_cast<size_t>(end - p) <= text.size() || std::memcmp(p, text.data(), text.size()) != 0 ||
            p[text.size()] != ' ') {
            continue;
        }
        verdict = static_cast<Verdict>(v);
        summary = p + text.size() + 1;
        return (head.length == 0) == (verdict == Verdict::Timeout) && static_cast<size_t>(end - summary) <= kMaxSummary;
    }
    return false;
}

// The hex column and the text column agree with each other and are written as the writer
// writes them; the bytes go to `out` when it is given.
bool parseBytes(const RecordHead& head, uint8_t* out) {
    const size_t n = head.length;
    const char* hex = head.hex;
    if (n == 0) return hex[0] == ' ' && hex[1] == ' ' && hex[2] == '|' && hex[3] == '|';
    const char* text = hex + 3 * n + 2;
    if (hex[3 * n - 1] != ' ' || hex[3 * n] != ' ' || hex[3 * n + 1] != '|' || text[n] != '|') return false;
    for (size_t i = 0; i < n; ++i) {
        const char* digits = hex + 3 * i;
        const int high = kHexValue[static_cast<unsigned char>(digits[0])];
        const int low = kHexValue[static_cast<unsigned char>(digits[1])];
        if ((high | low) < 0) return false;
        // The separator after the last byte is the column gap, checked above.
        if (i + 1 < n && digits[2] != ' ') return false;
        const uint8_t byte = static_cast<uint8_t>(high << 4 | low);
        if (text[i] != recordTextChar(byte)) return false;
        if (out != nullptr) out[i] = byte;
    }
    return true;
}

// A line as the file holds it: one '\r' before the line end is let through, as a file passed
// through a tool that writes CR LF still holds the same records.
inline const char* lineEnd(const char* line, size_t length) {
    const char* end = line + length;
    if (end > line && end[-1] == '\r') --end;
    return end;
}

// The indexer's check, the same answer as parseTimelineRecord without keeping anything.
bool recordLine(const char* line, size_t length, int& channel, size_t& bytes) {
    RecordHead head;
    const char* end = lineEnd(line, length);
    bool frame = false;
    Verdict verdict = Verdict::Ok;
    const char* summary = nullptr;
    if (!parseHead(line, end, head) || !parseTail(head, end, frame, verdict, summary) || !parseBytes(head, nullptr)) {
        return false;
    }
    channel = head.channel;
    bytes = head.length;
    return true;
}

}  // namespace

bool parseTimelineRecord(const char* line, size_t length, TimelineRecord& record) {
    RecordHead head;
    if (line == nullptr) return false;
    const char* end = lineEnd(line, length);
    bool frame = false;
    Verdict verdict = Verdict::Ok;
    const char* summary = nullptr;
    if (!parseHead(line, end, head) || !parseTail(head, end, frame, verdict, summary)) return false;
    // Only the bytes are written before the line is known whole; on false the record holds
    // nothing of use.
    record.bytes.resize(head.length);
    if (!parseBytes(head, reinterpret_cast<uint8_t*>(record.bytes.data()))) return false;
    record.frame = frame;
    record.verdict = frame ? verdict : Verdict::Ok;
    if (frame) record.summary.assign(summary, end);
    else record.summary.clear();
    record.local = std::tm{};
    record.local.tm_year = head.year - 1900;
    record.local.tm_mon = head.month - 1;
    record.local.tm_mday = head.day;
    record.local.tm_hour = head.hour;
    record.local.tm_min = head.minute;
    record.local.tm_sec = head.second;
    record.local.tm_isdst = -1;
    record.micros = head.micros;
    record.gapMicros = head.gapMicros;
    record.channel = head.channel;
    return true;
}

// The index: per record 8 bytes (where its line starts, as the key, and its rows and direction).
struct TimelineFile::Index {
    static constexpr size_t kBlockBytes = size_t{1} << 20;

    struct Entry {
        uint32_t delta;  // the line start, from its group's base
        uint32_t rowsAndChannel;  // rows << 1, | 1 for channel 2
        uint64_t rows() const { return rowsAndChannel >> 1; }
        int channel() const { return (rowsAndChannel & 1) != 0 ? 2 : 1; }
    };
    // A record found by the indexer, before it is published.
    struct Found {
        uint64_t offset;
        uint32_t rowsAndChannel;
    };

    PositionalFile file;
    uint64_t size = 0;
    // One size check at a time, so that a cut is applied whole.
    mutable std::mutex sizeLock;
    std::thread indexer;
    std::atomic<bool> stop{false};

    // Everything below is shared with the indexer and guarded by lock; it is held only to copy
    // out or to publish a batch, never while a block is read or scanned.
    mutable std::mutex lock;
    GroupedRows<Entry> records;
    uint64_t lastLineEnd = 0;  // where the last record's line ends, past its line end
    Progress progress;
    // Once the file was cut: the size it was cut to, and the records it still holds whole.
    bool cut = false;
    uint64_t cutTo = 0;
    uint64_t heldRecords = UINT64_MAX;

    // A pcap or pcapng file (set before its first record is published); how each part of it
    // reads, by where it starts.
    std::atomic<bool> capture{false};
    std::vector<PcapSection> sections;

    uint64_t held() const { return std::min(records.end(), heldRecords); }
    bool checkSize();

    // The most bytes a record of `rows` rows takes from where it starts, as far as it is read.
    uint64_t longest(uint64_t rows) const {
        return capture ? PcapReader::kMostHeadBytes + kTimelineRowBytes * rows : longestLine(rows);
    }
    // The record that starts at `at` (`room` bytes of the file from there), as indexed with `rows`
    // rows; `incomplete` when what is there is too short to tell.
    bool parseAt(const char* at, size_t room, uint64_t key, uint64_t rows, const PcapSection* section,
                 TimelineRecord& record, int64_t& wallMicros, bool& incomplete) const;

    ~Index() {
        stop.store(true, std::memory_order_relaxed);
        if (indexer.joinable()) indexer.join();
    }

    void run();
    void runCapture();
    void publish(std::vector<Found>& found, const Progress& reached, uint64_t lastEnd,
                 const std::vector<PcapSection>* read = nullptr);
    // The section that `key` (where a packet starts) is in; under lock.
    const PcapSection* sectionOf(uint64_t key) const {
        const auto after = std::upper_bound(sections.begin(), sections.end(), key,
                                            [](uint64_t k, const PcapSection& s) { return k < s.start; });
        return after == sections.begin() ? nullptr : &*(after - 1);
    }

    uint64_t rowsBeforeLocked(uint64_t number, TimelineFilter filter) const {
        return records.rowsBefore(std::min(number, held()), filter);
    }
};

void TimelineFile::Index::publish(std::vector<Found>& found, const Progress& reached, uint64_t lastEnd,
                                  const std::vector<PcapSection>* read) {
    std::lock_guard<std::mutex> hold(lock);
    if (read != nullptr && read->size() >= sections.size()) {
        // The last section published may have described more interfaces since.
        if (!sections.empty()) sections.back() = (*read)[sections.size() - 1];
        sections.insert(sections.end(), read->begin() + static_cast<std::ptrdiff_t>(sections.size()), read->end());
    }
    if (!found.empty()) lastLineEnd = lastEnd;
    for (const Found& f : found) records.add(f.offset, Entry{0, f.rowsAndChannel});
    found.clear();
    progress = reached;
    progress.records = records.end();
}

void TimelineFile::Index::run() {
    {
        char head[4];
        int error = 0;
        if (size >= 4 && file.readAt(0, head, 4, error) == 4 &&
            PcapReader::recognises(reinterpret_cast<const uint8_t*>(head), 4)) {
            runCapture();
            return;
        }
    }
    Progress reached;
    reached.size = size;
    std::vector<Found> found;
    found.reserve(16384);
    // The current line's bytes so far at the front, then the block read after them.
    // Left uninitialised: the room for the longest line is touched only by a line that long.
    const std::unique_ptr<char[]> storage(new char[kBlockBytes + kMaxRecordLine]);
    char* const buffer = storage.get();
    size_t carried = 0;  // bytes of the current line held at the front
    bool lineLost = false;  // the current line is not held: too long, or it went through a hole
    uint64_t lineStart = 0;  // where the current line starts in the file
    uint64_t lastEnd = 0;  // where the last record found ends
    uint64_t lineNumber = 1;
    uint64_t next = 0;  // the next byte to read
    bool seekData = true;  // the file system tells where its holes are

    while (next < size && !stop.load(std::memory_order_relaxed)) {
        // A hole reads as zeros, which no record holds: the line it is in is not a record, and
        // a sparse file of gigabytes is walked in the time of its data.
        if (seekData) {
            uint64_t data = next;
            if (!file.nextData(next, data)) {
                seekData = false;
            } else if (data >= size) {
                // Only a hole up to the end: the line in it never ends.
                next = size;
                break;
            } else if (data > next) {
                lineLost = true;
                carried = 0;
                next = data;
                continue;
            }
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockBytes, size - next));
        char* const block = buffer + carried;
        const int64_t n = file.readAt(next, block, want, reached.error);
        if (n < 0) break;
        if (n == 0) {
            // Cut short since it was opened: what is there is all there is.
            publish(found, reached, lastEnd);
            checkSize();
            break;
        }

        const char* const blockEnd = block + n;
        const char* begin = buffer;  // the current line's start, when it is held
        for (const char* scan = block;;) {
            const char* newline = static_cast<const char*>(std::memchr(scan, '\n', static_cast<size_t>(blockEnd - scan)));
            if (newline == nullptr) break;
            int channel = 1;
            size_t bytes = 0;
            if (!lineLost && recordLine(begin, static_cast<size_t>(newline - begin), channel, bytes)) {
                found.push_back(Found{lineStart, static_cast<uint32_t>(timelineRows(bytes) << 1 | (channel == 2 ? 1 : 0))});
                lastEnd = next + static_cast<uint64_t>(newline + 1 - block);
            } else {
                if (reached.skippedLines++ == 0) reached.firstSkippedLine = lineNumber;
            }
            ++lineNumber;
            lineLost = false;
            begin = newline + 1;
            scan = begin;
            lineStart = next + static_cast<uint64_t>(begin - block);
        }
        // The line that goes on past this block stays at the front, unless no record is that long.
        const size_t rest = static_cast<size_t>(blockEnd - begin);
        if (lineLost || rest > kMaxRecordLine) {
            lineLost = true;
            carried = 0;
        } else {
            if (begin != buffer) std::memmove(buffer, begin, rest);
            carried = rest;
        }
        next += static_cast<uint64_t>(n);
        reached.bytesRead = next;
        publish(found, reached, lastEnd);
    }
    // A line that does not end before the size at open may be half written: it is left out.
    reached.bytesRead = std::max(reached.bytesRead, next);
    reached.done = true;
    publish(found, reached, lastEnd);
}

// A pcap or pcapng file is read in order: a packet block is walked through, not searched for, so a
// damaged one ends the walk there (its records before it stay).
void TimelineFile::Index::runCapture() {
    capture.store(true);
    Progress reached;
    reached.size = size;
    reached.capture = true;
    PcapReader reader;
    std::vector<Found> found;
    found.reserve(16384);
    const std::unique_ptr<char[]> buffer(new char[kBlockBytes]);
    uint64_t next = 0;
    bool ended = true;  // the file's end was reached as it was at open
    while (next < size && !stop.load(std::memory_order_relaxed)) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockBytes, size - next));
        const int64_t n = file.readAt(next, buffer.get(), want, reached.error);
        if (n <= 0) {
            // A read that failed, or a file cut short since it was opened.
            ended = false;
            if (n == 0) {
                publish(found, reached, 0, &reader.sections());
                checkSize();
            }
            break;
        }
        const auto take = [&](const PcapPacket& packet) {
            const uint64_t rows = timelineRows(packet.length);
            found.push_back(Found{packet.offset, static_cast<uint32_t>(rows << 1 | (packet.channel == 2 ? 1 : 0))});
        };
        reader.feed(reinterpret_cast<const uint8_t*>(buffer.get()), static_cast<size_t>(n), take);
        next += static_cast<uint64_t>(n);
        reached.bytesRead = next;
        reached.skippedLines = reader.skipped();
        reached.firstSkippedLine = reader.firstSkipped();
        if (reader.stopped()) break;
        publish(found, reached, 0, &reader.sections());
    }
    // The last packet cut short at the size of open says so: it may be half written.
    if (ended && next >= size) reader.finish();
    reached.stop = reader.stop();
    reached.stopAt = reader.stopAt();
    reached.linkType = reader.refusedLinkType();
    reached.skippedLines = reader.skipped();
    reached.firstSkippedLine = reader.firstSkipped();
    reached.done = true;
    publish(found, reached, 0, &reader.sections());
}

bool TimelineFile::Index::parseAt(const char* at, size_t room, uint64_t key, uint64_t rows, const PcapSection* section,
                                  TimelineRecord& record, int64_t& wallMicros, bool& incomplete) const {
    if (!capture.load(std::memory_order_relaxed)) {
        const char* newline = static_cast<const char*>(std::memchr(at, '\n', room));
        incomplete = newline == nullptr;
        return newline != nullptr && parseTimelineRecord(at, static_cast<size_t>(newline - at), record);
    }
    incomplete = false;
    PcapPacket packet;
    const auto* bytes = reinterpret_cast<const uint8_t*>(at);
    if (section == nullptr || PcapReader::readPacket(*section, bytes, room, key, packet) != PcapPacketKind::Data) {
        incomplete = room < longest(rows);
        return false;
    }
    // A packet written over since it was indexed is left out, as a line is.
    if (timelineRows(packet.length) != rows) return false;
    record.bytes.assign(reinterpret_cast<const char*>(packet.bytes), packet.length);
    record.channel = packet.channel;
    record.frame = false;
    record.verdict = Verdict::Ok;
    record.summary.clear();
    wallMicros = packet.wallMicros;
    const std::time_t second = static_cast<std::time_t>(wallMicros / 1000000);
    record.local = std::tm{};
    localTimeOf(second, record.local);
    record.micros = static_cast<int32_t>(wallMicros % 1000000);
    record.gapMicros = 0;
    return true;
}

bool TimelineFile::Index::checkSize() {
    std::lock_guard<std::mutex> one(sizeLock);
    uint64_t now = 0;
    if (!file.sizeNow(now)) return false;
    uint64_t candidate = 0, start = 0, rows = 0, end = 0;
    PcapSection section;
    bool inSection = false;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (now >= (cut ? cutTo : size)) return cut;
        // Records whose lines start before the new end; the last of them may be cut in two.
        candidate = records.firstFrom(now);
        if (candidate > 0) {
            rows = records.at(candidate - 1, start).rows();
            end = candidate == records.end() ? lastLineEnd : 0;
            if (const PcapSection* in = sectionOf(start); capture && in != nullptr) {
                section = *in;
                inSection = true;
            }
        }
    }
    uint64_t whole = candidate;
    if (candidate > 0 && !(end != 0 && end <= now)) {
        // Whether the last one's line still ends within the file: read it.
        const uint64_t most = std::min<uint64_t>(longest(rows), now - start);
        std::string line(static_cast<size_t>(most), '\0');
        size_t got = 0;
        while (got < line.size()) {
            int error = 0;
            const int64_t n = file.readAt(start + got, line.data() + got, line.size() - got, error);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        TimelineRecord record;
        int64_t wall = 0;
        bool incomplete = false;
        if (!parseAt(line.data(), got, start, rows, inSection ? &section : nullptr, record, wall, incomplete)) --whole;
    }
    std::lock_guard<std::mutex> hold(lock);
    cut = true;
    cutTo = now;
    heldRecords = std::min(heldRecords, whole);
    return true;
}

TimelineFile::TimelineFile() = default;

TimelineFile::~TimelineFile() = default;

bool TimelineFile::open(const std::string& path, int& error) {
    index_.reset();
    auto index = std::make_unique<Index>();
    error = index->file.open(path);
    if (error != 0) return false;
    // Only a regular file has a size to walk; anything else opens as holding nothing.
    index->size = index->file.size();
    index->progress.size = index->size;
    Index* raw = index.get();
    index->indexer = std::thread([raw] { raw->run(); });
    index_ = std::move(index);
    error = 0;
    return true;
}

TimelineFile::Progress TimelineFile::progress() const {
    if (!index_) return Progress{true};
    std::lock_guard<std::mutex> hold(index_->lock);
    Progress progress = index_->progress;
    progress.records = index_->held();
    progress.cut = index_->cut;
    progress.cutTo = index_->cutTo;
    return progress;
}

bool TimelineFile::checkSize() const { return index_ && index_->checkSize(); }

uint64_t TimelineFile::indexBytes() const {
    if (!index_) return 0;
    std::lock_guard<std::mutex> hold(index_->lock);
    return index_->records.bytes();
}

TimelineExtent TimelineFile::extent() const {
    TimelineExtent extent;
    if (!index_) return extent;
    std::lock_guard<std::mutex> hold(index_->lock);
    extent.end = index_->held();
    return extent;
}

uint64_t TimelineFile::rowsBefore(uint64_t number, TimelineFilter filter) const {
    if (!index_) return 0;
    std::lock_guard<std::mutex> hold(index_->lock);
    return index_->rowsBeforeLocked(number, filter);
}

bool TimelineFile::recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInRecord) const {
    if (!index_) return false;
    const Index& index = *index_;
    std::lock_guard<std::mutex> hold(index.lock);
    if (row >= index.rowsBeforeLocked(index.held(), filter)) return false;
    return index.records.atRow(row, filter, number, rowInRecord);
}

void TimelineFile::read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const {
    if (!index_ || count == 0) return;
    const Index& index = *index_;
    // Where the records are, copied out so that the file is read without the lock.
    struct Place {
        uint64_t start;
        uint64_t rows;
        size_t section;  // in `sections`, for a packet
    };
    std::vector<Place> places;
    std::vector<PcapSection> sections;
    bool capture = false;
    uint64_t before = 0;
    {
        std::lock_guard<std::mutex> hold(index.lock);
        if (from >= index.held()) return;
        // Known before the first record was published. A packet's gap is to the record before
        // it, which is read too.
        capture = index.capture.load();
        before = capture && from > 0 ? 1 : 0;
        const uint64_t last = from + std::min<uint64_t>(count, index.held() - from);
        places.reserve(static_cast<size_t>(last - from + before));
        index.records.forEach(from - before, last, [&](uint64_t, uint64_t start, const Index::Entry& entry) {
            Place place{start, entry.rows(), SIZE_MAX};
            if (const PcapSection* section = capture ? index.sectionOf(start) : nullptr) {
                if (sections.empty() || sections.back().start != section->start) sections.push_back(*section);
                place.section = sections.size() - 1;
            }
            places.push_back(place);
        });
    }
    std::string buffer;
    bool short_ = false;
    bool havePrevious = false;
    int64_t previous = 0;
    for (size_t i = 0; i < places.size();) {
        // Records that follow one another are read in one go, up to a few MB.
        size_t j = i + 1;
        uint64_t span = index.longest(places[i].rows);
        while (j < places.size() && places[j].start <= places[j - 1].start + index.longest(places[j - 1].rows) &&
               places[j].start - places[i].start + index.longest(places[j].rows) <= (uint64_t{4} << 20)) {
            span = places[j].start - places[i].start + index.longest(places[j].rows);
            ++j;
        }
        const uint64_t start = places[i].start;
        span = std::min<uint64_t>(span, index.size - std::min(start, index.size));
        buffer.resize(static_cast<size_t>(span));
        size_t got = 0;
        while (got < buffer.size()) {
            int readError = 0;
            const int64_t n = index.file.readAt(start + got, buffer.data() + got, buffer.size() - got, readError);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        for (size_t k = i; k < j; ++k) {
            const Place& place = places[k];
            const uint64_t at = place.start - start;
            if (at >= got) {
                short_ = true;
                break;
            }
            const size_t room = static_cast<size_t>(std::min<uint64_t>(got - at, index.longest(place.rows)));
            TimelineRecord record;
            int64_t wall = 0;
            bool incomplete = false;
            // A record that no longer reads (the file was changed since) is left out.
            if (!index.parseAt(buffer.data() + at, room, place.start, place.rows,
                               place.section < sections.size() ? &sections[place.section] : nullptr, record, wall,
                               incomplete)) {
                short_ = short_ || incomplete;
                havePrevious = false;
                continue;
            }
            if (capture) {
                // As the live timeline counts it: a time that goes back gives no gap.
                record.gapMicros = havePrevious && wall > previous ? wall - previous : 0;
                havePrevious = true;
                previous = wall;
                if (k < before) continue;
            }
            record.number = from - before + k;
            out.push_back(std::move(record));
        }
        i = j;
    }
    // A record that ends nowhere: the file may have been cut since; if so, what it still holds
    // whole is all it holds from now on.
    if (short_) index_->checkSize();
}
