#include "shell/pcap_export.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "display/timeline_export.h"
#include "display/timeline_file.h"
#include "shell/command_line.h"

namespace {

// A saved capture names no ports: the relay's own.
constexpr const char* kInterfaceName = "COM1 <-> COM2";

void waitAWhile() { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }

}  // namespace

PcapExportOutcome exportCaptureAsPcap(const std::string& capturePath, const std::string& outPath, PcapForm form) {
    PcapExportOutcome outcome;
    std::error_code ignored;
    // Writing over the capture would empty it before it is read.
    if (std::filesystem::equivalent(capturePath, outPath, ignored)) {
        outcome.failure = outPath + " is the capture itself";
        return outcome;
    }
    TimelineFile file;
    int error = 0;
    if (!file.open(capturePath, error)) {
        outcome.failure = "cannot open " + capturePath + ": " + std::strerror(error);
        return outcome;
    }
    // Nothing is written until the file shows itself a capture: its first record, or its end.
    TimelineFile::Progress progress = file.progress();
    for (; !progress.done && progress.records == 0; progress = file.progress()) waitAWhile();
    if (progress.error != 0) {
        outcome.failure = "cannot read " + capturePath + ": " + std::strerror(progress.error);
        return outcome;
    }
    if (progress.records == 0 && progress.skippedLines > 0) {
        outcome.failure = capturePath + " is not a combined capture or frame log: line " +
                          std::to_string(progress.firstSkippedLine) + " is not a record";
        return outcome;
    }

    TimelineExport exporting(file, TimelineSelection{}, form, versionText(), kInterfaceName, outPath,
                             [&file] { return file.progress().done; });
    TimelineExport::Progress written = exporting.progress();
    for (; !written.done; written = exporting.progress()) waitAWhile();
    progress = file.progress();
    if (written.error != 0) {
        outcome.failure = "cannot write " + outPath + ": " + std::strerror(written.error);
        return outcome;
    }
    if (progress.error != 0) {
        outcome.failure = "cannot read " + capturePath + ": " + std::strerror(progress.error) + "; " + outPath +
                          " holds the " + std::to_string(written.records) + " records before it";
        return outcome;
    }
    outcome.written = true;
    outcome.packets = written.records;
    if (progress.skippedLines > 0) {
        outcome.notice = std::to_string(progress.skippedLines) + " lines of " + capturePath +
                         " are not records and were left out, the first is line " +
                         std::to_string(progress.firstSkippedLine);
    }
    if (progress.cut) {
        outcome.notice += std::string(outcome.notice.empty() ? "" : "; ") + capturePath + " was cut to " +
                          std::to_string(progress.cutTo) +
                          " bytes while it was read: the records it still held were written";
    }
    return outcome;
}

int runPcapExport(const std::string& capturePath, const std::string& outPath, PcapForm form) {
    const PcapExportOutcome outcome = exportCaptureAsPcap(capturePath, outPath, form);
    if (!outcome.written) {
        std::fprintf(stderr, "vorlinex: %s\n", outcome.failure.c_str());
        return 1;
    }
    if (!outcome.notice.empty()) std::fprintf(stderr, "vorlinex: %s\n", outcome.notice.c_str());
    return 0;
}
