// How the headless mode words what it has to say: lines on stderr with the journal's priority
// prefixes (sd-daemon's "<3>" error .. "<6>" info, which systemd's journal takes as the line's
// priority and a terminal shows as they are), the status line, and systemd's one-line STATUS.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "capture/pcap_server.h"

enum class JournalPriority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// "<4>" + text + "\n"; a text of several lines becomes one, its line ends read as ": ".
std::string journalLine(JournalPriority priority, const std::string& text);
// "2026-12-07 23:59:01", local time: the moment of an event.
std::string eventTimeText(std::time_t when);
// "00:00:41", "3d 04:12:09": days only once there is one.
std::string durationText(int64_t seconds);
// "12,345,678"
std::string groupedNumber(int64_t value);
// "512 B", "12.3 kB", "12.3 MB", "1.2 GB" (powers of 1000).
std::string sizeText(int64_t bytes);

// What one status line tells, gathered by the headless relay.
struct HeadlessStatus {
    struct Port {
        std::string name;  // "COM1"
        std::string path;  // "/dev/ttyUSB0", "rfc2217://lab-pi:4001"
        // "present", or why not: "away" (unplugged or not connected), "refused" (there, but not
        // opened; tried again), "closed" (will not come back by itself)
        std::string state;
        int64_t stateSeconds = 0;  // for how long it has not been present
    };
    struct Direction {
        int64_t totalBytes = 0;      // read from its source since the start
        int64_t bytesPerSecond = 0;  // over the last second
        int64_t undelivered = 0;     // read, but not taken by the destination (cleared when it came back)
    };
    struct Capture {
        std::string label;  // "a", "b", "combined"
        int64_t bytes = 0;
        bool ended = false;  // a write failed: it takes nothing more
    };
    int64_t upSeconds = 0;
    Port ports[2];
    Direction directions[2];  // 1>2, 2>1
    std::vector<Capture> captures;  // the ones asked for
    struct Unit {
        int unit = 0;
        int64_t medianMicros = -1;  // -1: no answer yet
    };
    struct Frames {
        bool asked = false;  // --decode was given
        int64_t frames = 0, errors = 0;
        std::vector<Unit> units;
    } frames;
    struct Listen {
        std::string address;  // empty: no --pcap-listen
        int clients = 0;
    } listen;
};

// "up 3d 04:12:09  COM1 /dev/ttyUSB0 present  COM2 /dev/ttyUSB1 away 00:00:41  1>2 12,345,678 B
// 2,312 B/s  2>1 9,876,543 B 18 B/s  undelivered to COM2 1,234 B  captures: a 12.3 MB, b 9.8 MB,
// combined 81.2 MB  frames 1,234 errors 3  unit 17 median 1.500 ms" (one line): undelivered only
// when there is some, captures and frames only when asked for.
std::string statusLineText(const HeadlessStatus& status);
// systemd's STATUS=: "COM1 present, COM2 away 00:00:41, 1>2 2,312 B/s, 2>1 18 B/s"
std::string notifyStatusText(const HeadlessStatus& status);

// The event lines (the caller adds the priority prefix):
// "2026-12-07 23:59:01 COM2 /dev/ttyUSB1 went away: /dev/ttyUSB1 unplugged, waiting"
std::string portWentAwayText(std::time_t when, const std::string& name, const std::string& path, const std::string& why);
// "2026-12-07 23:59:42 COM2 /dev/ttyUSB1 is back after 00:00:41"
std::string portCameBackText(std::time_t when, const std::string& name, const std::string& path, int64_t awaySeconds);
// "2026-12-07 23:59:42 capture a /var/log/a.log reopened"
std::string captureReopenedText(std::time_t when, const std::string& label, const std::string& path);
// "... capture a /var/log/a.log could not be reopened: No such file or directory; it goes on
// into the file it had, and is reopened again at the next SIGHUP"
std::string captureReopenFailedText(std::time_t when, const std::string& label, const std::string& path, int error);
// A capture that had ended, opened again at a SIGHUP:
// "2026-12-07 23:59:42 capture a /var/log/a.log opened again after it had ended"
std::string captureResumedText(std::time_t when, const std::string& label, const std::string& path);
// "... capture a /var/log/a.log could not be opened again: Permission denied; it is tried again
// at the next SIGHUP"
std::string captureResumeFailedText(std::time_t when, const std::string& label, const std::string& path,
                                    const std::string& why);
// "... capture a /var/log/a.log is not opened again yet: its writer still waits for the old
// file; it is tried again at the next SIGHUP"
std::string captureResumeWaitsText(std::time_t when, const std::string& label, const std::string& path);
// "... capture a ended: <why>; relaying goes on"
std::string captureEndedText(std::time_t when, const std::string& label, const std::string& why);
// "capture a /var/log/a.log cannot be opened: Permission denied"
std::string captureOpenRefusedText(const std::string& label, const std::string& path, const std::string& why);
// "pcap-listen 127.0.0.1:57012: PCAP-over-IP to whoever connects (wireshark -k -i TCP@127.0.0.1:57012)"
std::string pcapListeningText(const std::string& address);
// "pcap-listen 127.0.0.1:57012 cannot listen: Address already in use"
std::string pcapListenRefusedText(const std::string& address, int error);
// "2026-12-07 23:59:42 pcap-listen client 127.0.0.1:45678 connected" (left, left: <why>,
// dropped: it stopped reading, 8,388,700 bytes waited for it)
std::string pcapClientText(std::time_t when, const PcapClientNews& news);
