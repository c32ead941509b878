// The saved-timeline side of the timeline window: how soon a combined capture of 100 MB and of
// 1 GB shows its first rows, how long the whole index takes and what it costs in memory, and how
// long a find over a million records takes, live and from the file. Then the Frames view over a
// 1 GB capture of Modbus RTU: how soon its first frames show, how long finding the bad CRCs of a
// million frames takes, and the frames index's memory per row. And the 1 GB capture exported as
// pcapng and pcap for Wireshark, as --export-pcap does: its time and peak memory.
//   bench_timeline [folder] [--keep] [--export-only]
// The files are written to the folder (default $TMPDIR, else /tmp) and removed at the end unless
// --keep is given.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/modbus_traffic.h"
#include "bench/process.h"
#include "display/timeline_file.h"
#include "display/timeline_find.h"
#include "display/timeline_frames.h"
#include "display/timeline_records.h"
#include "record/combined_record.h"
#include "shell/pcap_export.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using bench::statusKb;

// Starts the peak resident size (VmHWM) again from the present one, so that each phase's peak is
// its own.
void resetPeakRss() {
    std::ofstream(bench::procPath(0, "clear_refs")) << "5";
}

// Both directions of a conversation as a serial line gives it: requests and answers as text, now
// and then a binary block, each direction's stream cut into reads of 1..64 bytes mostly, now and
// then a long one.
class Traffic {
public:
    explicit Traffic(uint32_t seed) : random_(seed) {}

    // The next chunk: its channel and bytes.
    int next(std::string& chunk) {
        const int channel = 1 + static_cast<int>(random_() % 2);
        std::string& stream = streams_[channel - 1];
        while (stream.size() < 2048) {
            if (channel == 1) {
                stream += "MEAS:VOLT? " + std::to_string(random_() % 1000) + "\r\n";
            } else if (random_() % 20 == 0) {
                for (int i = 0; i < 200; ++i) stream += static_cast<char>(random_());
            } else {
                stream += "+" + std::to_string(random_() % 10) + "." + std::to_string(random_() % 10000) + "E+00\r\nOK\r\n";
            }
        }
        const uint32_t kind = random_() % 100;
        const size_t length = kind < 95 ? 1 + random_() % 64 : 65 + random_() % 960;
        chunk.assign(stream, 0, length);
        stream.erase(0, length);
        return channel;
    }

private:
    std::mt19937 random_;
    std::string streams_[2];
};

// Writes a combined capture of about `bytes` bytes: read times a few ms apart, records as the
// capture writes them. The number of records.
// A capture written in 8 MB writes, then put on disk and out of the page cache, as a file saved
// yesterday is.
class CaptureWriter {
public:
    CaptureWriter(const std::string& path, uint64_t size) : path_(path), size_(size) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd_ < 0) fail();
    }
    ~CaptureWriter() {
        ::fdatasync(fd_);
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd_);
    }
    bool full() const { return written_ >= size_; }
    // Writes `out` once it holds 8 MB or reaches the size asked for.
    void flush(std::string& out) {
        if (out.size() < (8u << 20) && written_ + out.size() < size_) return;
        if (::write(fd_, out.data(), out.size()) != static_cast<ssize_t>(out.size())) fail();
        written_ += out.size();
        out.clear();
    }

private:
    void fail() const {
        std::perror(path_.c_str());
        std::exit(1);
    }
    std::string path_;
    uint64_t size_;
    uint64_t written_ = 0;
    int fd_ = -1;
};

uint64_t writeCapture(const std::string& path, uint64_t bytes) {
    CaptureWriter file(path, bytes);
    Traffic traffic(1);
    std::mt19937 random(2);
    std::string out, chunk;
    uint64_t records = 0;
    int64_t wall = int64_t{1796687990} * 1000000;
    std::tm local{};
    std::time_t second = -1;
    while (!file.full()) {
        const int channel = traffic.next(chunk);
        const int64_t gap = records == 0 ? 0 : random() % 5000;
        wall += gap;
        if (wall / 1000000 != second) {
            second = static_cast<std::time_t>(wall / 1000000);
            localtime_r(&second, &local);
        }
        appendCombinedRecord(out, local, static_cast<int32_t>(wall % 1000000), gap, channel,
                             reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        ++records;
        file.flush(out);
    }
    return records;
}

// A Modbus capture as written: the bench's transactions, made in pieces so that a gigabyte never
// sits in memory, and where each piece's frames begin, to count the bad CRCs among the first ones.
struct ModbusCapture {
    uint64_t transactions = 0;
    std::vector<uint64_t> pieceStarts;  // the number of each piece's first frame
    uint64_t badEvery = 20;             // in each piece, its every badEvery-th frame

    // Frames with a bad CRC among the first `frames`.
    uint64_t badAmong(uint64_t frames) const {
        uint64_t bad = 0;
        for (size_t i = 0; i < pieceStarts.size() && pieceStarts[i] < frames; ++i) {
            const uint64_t end = i + 1 < pieceStarts.size() ? std::min(pieceStarts[i + 1], frames) : frames;
            bad += (end - pieceStarts[i]) / badEvery;
        }
        return bad;
    }
};

// Writes a combined capture of about `size` bytes of the benchmarks' Modbus RTU transactions
// (bench/modbus_traffic.h): port 1 asks, port 2 answers 1 to 3 ms later; a frame is one read, or
// two reads one time in four.
ModbusCapture writeModbusCapture(const std::string& path, uint64_t size) {
    CaptureWriter file(path, size);
    std::mt19937 random(4);
    std::string out;
    ModbusCapture capture;
    int64_t wall = int64_t{1796687990} * 1000000, last = wall;
    std::tm local{};
    std::time_t second = -1;
    const auto record = [&](int channel, const char* data, size_t length) {
        if (wall / 1000000 != second) {
            second = static_cast<std::time_t>(wall / 1000000);
            localtime_r(&second, &local);
        }
        appendCombinedRecord(out, local, static_cast<int32_t>(wall % 1000000), wall - last, channel,
                             reinterpret_cast<const uint8_t*>(data), length);
        last = wall;
    };
    const auto frame = [&](int channel, const std::string& stream, size_t from, size_t end) {
        const size_t length = end - from;
        const size_t first = random() % 4 == 0 ? 1 + random() % (length - 1) : length;
        record(channel, stream.data() + from, first);
        if (first < length) {
            wall += 300;
            record(channel, stream.data() + from + first, length - first);
        }
    };
    for (uint32_t piece = 0; !file.full(); ++piece) {
        const bench::ModbusTraffic traffic = bench::modbusTraffic(uint64_t{1} << 16, 1000 + piece, capture.badEvery);
        capture.pieceStarts.push_back(2 * capture.transactions);
        for (size_t k = 0; k < traffic.transactions; ++k) {
            frame(1, traffic.requests, k == 0 ? 0 : traffic.requestEnds[k - 1], traffic.requestEnds[k]);
            wall += 1000 + static_cast<int64_t>(random() % 2000);
            frame(2, traffic.answers, k == 0 ? 0 : traffic.answerEnds[k - 1], traffic.answerEnds[k]);
            wall += 5000;
            file.flush(out);
        }
        capture.transactions += traffic.transactions;
    }
    return capture;
}

void line(const char* what, double value, const char* unit, const char* target = nullptr) {
    std::printf("  %-44s %12.3f %-6s%s\n", what, value, unit, target ? target : "");
}

// Opens `path`, or says why it cannot.
bool openOrSay(TimelineFile& file, const std::string& path, const char* label) {
    int error = 0;
    if (file.open(path, error)) return true;
    std::printf("  %s: cannot open: %s\n", label, std::strerror(error));
    return false;
}

// Opens the file, takes the first 60 records as the window's first frame does, waits for the
// whole index; prints the figures.
void openFigures(const std::string& path, const char* label, bool firstRowsTarget) {
    resetPeakRss();
    const long rssBefore = statusKb("VmRSS");
    const Clock::time_point start = Clock::now();
    TimelineFile file;
    if (!openOrSay(file, path, label)) return;
    std::vector<TimelineRecord> first;
    for (;;) {
        const TimelineFile::Progress progress = file.progress();
        if (progress.records >= 60 || progress.done) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    file.read(0, 60, first);
    const double firstRows = secondsSince(start);
    TimelineFile::Progress progress = file.progress();
    while (!progress.done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        progress = file.progress();
    }
    const double whole = secondsSince(start);
    const uint64_t indexBytes = file.indexBytes();
    std::printf(" %s: %.1f MB, %llu records, %llu lines skipped%s\n", label, static_cast<double>(progress.size) / 1e6,
                static_cast<unsigned long long>(progress.records),
                static_cast<unsigned long long>(progress.skippedLines), progress.error ? " (a read failed)" : "");
    char target[64] = "";
    if (firstRowsTarget) std::snprintf(target, sizeof target, "  target < 1 s: %s", firstRows < 1 ? "met" : "MISSED");
    line("first 60 rows read", firstRows, "s", target);
    std::printf("  %-44s %12zu\n", "  records they were", first.size());
    line("whole index", whole, "s");
    line("index rate", static_cast<double>(progress.size) / 1e6 / whole, "MB/s");
    line("index memory", static_cast<double>(indexBytes) / 1e6, "MB");
    line("index memory per record", static_cast<double>(indexBytes) / static_cast<double>(std::max<uint64_t>(1, progress.records)), "B");
    line("resident before open (VmRSS)", static_cast<double>(rssBefore) / 1024, "MiB");
    line("peak resident while indexing (VmHWM)", static_cast<double>(statusKb("VmHWM")) / 1024, "MiB");
}

// Only the first `count` records of a source: a million records of the 1 GB file.
class FirstRecords final : public TimelineSource {
public:
    FirstRecords(const TimelineSource& source, uint64_t count) : source_(source), count_(count) {}
    TimelineExtent extent() const override {
        TimelineExtent extent = source_.extent();
        extent.end = std::min(extent.end, extent.first + count_);
        return extent;
    }
    uint64_t rowsBefore(uint64_t number, TimelineFilter filter) const override { return source_.rowsBefore(number, filter); }
    bool recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInRecord) const override {
        return source_.recordAtRow(row, filter, number, rowInRecord);
    }
    void read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const override {
        const uint64_t end = extent().end;
        if (from < end) source_.read(from, static_cast<size_t>(std::min<uint64_t>(count, end - from)), out);
    }

private:
    const TimelineSource& source_;
    uint64_t count_;
};

// A find to the end of what the source holds, in the slices the window gives it between frames.
void findFigures(const TimelineSource& source, const char* label, const std::string& pattern) {
    const uint64_t records = source.extent().end - source.extent().first;
    const Clock::time_point start = Clock::now();
    TimelineFind find(source, pattern, TimelineFilter::Both);
    size_t slices = 0;
    while (!find.advance(20000)) ++slices;
    const double seconds = secondsSince(start);
    std::printf(" %s: %llu records, %zu matches of \"%s\" in %zu slices\n", label,
                static_cast<unsigned long long>(records), find.count(), pattern == "OK\r\n" ? "OK\\r\\n" : pattern.c_str(),
                slices + 1);
    char target[64];
    std::snprintf(target, sizeof target, "  target < 1 s: %s", seconds < 1 ? "met" : "MISSED");
    line("find to caught-up", seconds, "s", target);
}

// Find over a million records held live, then over the first million of the 1 GB file.
void findOverMillionRecords(const std::string& bigFile) {
    std::printf("find over 1,000,000 records (both directions, a pattern that spans records)\n");
    {
        TimelineRecords live;
        live.setTaking(true);
        Traffic traffic(3);
        std::string chunk;
        ReadTime time{int64_t{1796687990} * 1000000, 1000000};
        for (int i = 0; i < 1000000; ++i) {
            const int channel = traffic.next(chunk);
            time.wallMicros += 1000;
            time.monotonicMicros += 1000;
            live.onRead(channel, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), time);
        }
        findFigures(live, "live records (TimelineRecords)", "OK\r\n");
    }
    {
        TimelineFile file;
        int error = 0;
        if (file.open(bigFile, error)) {
            while (!file.progress().done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const FirstRecords first(file, 1000000);
            findFigures(first, "the 1 GB file's first records", "OK\r\n");
        }
    }
}

// Opens the Modbus capture in the Frames view: the time until its first rows can be shown (the
// file opened, frames cut until all() has rows, 60 of them read), then until a million frames are
// read and errors() holds their bad CRCs, advancing in the slices the window gives it.
void frameFigures(const std::string& path, const ModbusCapture& capture, const char* label) {
    constexpr uint64_t kFrames = 1000000;
    constexpr size_t kSlice = 20000;
    const Clock::time_point start = Clock::now();
    TimelineFile file;
    if (!openOrSay(file, path, label)) return;
    TimelineFrames frames(file, DecodeChoice{}, LineSettings{}, LineSettings{});
    // Frames the records the indexer has so far; true when there are none to take until it goes on.
    const auto step = [&] {
        const bool done = file.progress().done;
        const bool caughtUp = frames.advance(kSlice, 0, done);
        if (caughtUp && !done) std::this_thread::sleep_for(std::chrono::microseconds(200));
        return caughtUp && done;
    };
    std::vector<TimelineRecord> first;
    while (frames.all().extent().end == 0 && !step()) {
    }
    frames.all().read(0, 60, first);
    const double firstRows = secondsSince(start);
    size_t slices = 0;
    while (frames.all().extent().end < kFrames && !step()) ++slices;
    const double million = secondsSince(start);
    const uint64_t rows = frames.all().extent().end;
    const uint64_t found = frames.errors().extent().end;
    const uint64_t bad = capture.badAmong(rows);
    std::vector<TimelineRecord> someErrors;
    frames.errors().read(0, 10, someErrors);
    const bool allBadCrc = std::all_of(someErrors.begin(), someErrors.end(),
                                       [](const TimelineRecord& r) { return r.verdict == Verdict::BadCrc; });
    std::printf(" %s: %llu frames (master %d) in %zu slices, %llu errors found of %llu bad CRCs written%s\n", label,
                static_cast<unsigned long long>(rows), frames.master(), slices + 1,
                static_cast<unsigned long long>(found), static_cast<unsigned long long>(bad),
                found == bad && allBadCrc ? "" : " (WRONG)");
    char target[64];
    std::snprintf(target, sizeof target, "  target < 1 s: %s", firstRows < 1 ? "met" : "MISSED");
    line("open to first frame rows (60 read)", firstRows, "s", target);
    std::printf("  %-44s %12zu\n", "  rows they were", first.size());
    std::snprintf(target, sizeof target, "  target < 2 s: %s", million < 2 ? "met" : "MISSED");
    line("open to bad CRCs of 1,000,000 frames found", million, "s", target);
    line("frames index memory", static_cast<double>(frames.indexBytes()) / 1e6, "MB");
    const double perRow = static_cast<double>(frames.indexBytes()) / static_cast<double>(std::max<uint64_t>(1, rows));
    line("frames index memory per row", perRow, "B");
}

// The capture exported as --export-pcap exports it, the file indexed while its packets are
// written: the time until the output is closed, its size and the peak resident size (VmHWM).
void exportFigures(const std::string& path, const std::string& out, PcapForm form, const char* label) {
    if (std::strstr(label, "from disk") != nullptr) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        if (fd >= 0) ::close(fd);
    }
    resetPeakRss();
    const long rssBefore = statusKb("VmRSS");
    const Clock::time_point start = Clock::now();
    const PcapExportOutcome outcome = exportCaptureAsPcap(path, out, form);
    const double seconds = secondsSince(start);
    if (!outcome.written) {
        std::printf("  %s: %s\n", label, outcome.failure.c_str());
        return;
    }
    std::ifstream written(out, std::ios::binary | std::ios::ate);
    const double megabytes = static_cast<double>(written.tellg()) / 1e6;
    std::printf(" %s: %llu packets, %.1f MB written\n", label, static_cast<unsigned long long>(outcome.packets),
                megabytes);
    line("export time", seconds, "s", seconds < 20 ? "  target < 20 s: met" : "  target < 20 s: MISSED");
    line("export rate (of the capture)", static_cast<double>(std::filesystem::file_size(path)) / 1e6 / seconds, "MB/s");
    line("resident before (VmRSS)", static_cast<double>(rssBefore) / 1024, "MiB");
    line("peak resident while exporting (VmHWM)", static_cast<double>(statusKb("VmHWM")) / 1024, "MiB");
    ::unlink(out.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    bool keep = false, exportOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0) keep = true;
        else if (std::strcmp(argv[i], "--export-only") == 0) exportOnly = true;
        else folder = argv[i];
    }
    struct Size {
        const char* label;
        uint64_t bytes;
        std::string path;
    } sizes[] = {{"100 MB", uint64_t{100} * 1000 * 1000, folder + "/vorlinex-bench-timeline-100MB.log"},
                 {"1 GB", uint64_t{1000} * 1000 * 1000, folder + "/vorlinex-bench-timeline-1GB.log"}};

    std::printf("opening a saved timeline (files in %s, written, synced and dropped from the page cache)\n", folder.c_str());
    for (Size& size : sizes) {
        if (exportOnly && &size != &sizes[1]) continue;
        const Clock::time_point start = Clock::now();
        const uint64_t records = writeCapture(size.path, size.bytes);
        std::printf(" %s written: %llu records in %.1f s\n", size.label, static_cast<unsigned long long>(records),
                    secondsSince(start));
    }
    const auto exportAll = [&] {
        std::printf("exporting the 1 GB capture for Wireshark (--export-pcap; the output removed after each)\n");
        const std::string out = folder + "/vorlinex-bench-timeline-export";
        exportFigures(sizes[1].path, out + ".pcapng", PcapForm::PcapNg, "pcapng, from disk");
        exportFigures(sizes[1].path, out + ".pcapng", PcapForm::PcapNg, "pcapng, again (in the page cache)");
        exportFigures(sizes[1].path, out + ".pcap", PcapForm::Pcap, "pcap, in the page cache");
    };
    if (exportOnly) {
        exportAll();
        if (!keep) ::unlink(sizes[1].path.c_str());
        return 0;
    }
    for (const Size& size : sizes) {
        openFigures(size.path, (std::string(size.label) + ", from disk").c_str(), size.bytes < (uint64_t{1} << 30) / 2);
        openFigures(size.path, (std::string(size.label) + ", again (in the page cache)").c_str(), size.bytes < (uint64_t{1} << 30) / 2);
    }

    exportAll();
    findOverMillionRecords(sizes[1].path);

    const std::string modbus = folder + "/vorlinex-bench-timeline-modbus-1GB.log";
    const Clock::time_point start = Clock::now();
    const ModbusCapture capture = writeModbusCapture(modbus, uint64_t{1000} * 1000 * 1000);
    std::printf("frames of a saved capture of Modbus RTU (1 GB written: %llu transactions in %.1f s)\n",
                static_cast<unsigned long long>(capture.transactions), secondsSince(start));
    frameFigures(modbus, capture, "1 GB of Modbus RTU, from disk");
    frameFigures(modbus, capture, "1 GB of Modbus RTU, again (in the page cache)");

    if (!keep) {
        for (const Size& size : sizes) ::unlink(size.path.c_str());
        ::unlink(modbus.c_str());
    }
    return 0;
}
