// Message boxes: the numbered catalogue, and how the shell words what the layers below report.
// Each shows its box through the box function of the one who asks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "display/remote_timeline.h"
#include "relay/serial_port.h"
#include "shell/box_request.h"

struct ComOutOfRange;
struct ConfigReadFailure;
struct ConfigSaveResult;
struct CaptureFailure;
struct CaptureOpenFailure;
struct StartupEntryResult;
struct UnitFigures;
enum class SettingsRefusal;
struct Relay;

// Codes 1..16 of the catalogue; a box owned by the main window. Any other code shows no box
// (only a note on stderr): no caller passes one.
void showMessage(const BoxFunction& boxes, int code);

// What openPort returned, told to the user: "ComN Open Error" for the port the user chose
// (portNumber, one-based), with what the open found on a second line when it named a device
// ("/dev/ttyUSB0: permission denied (join the dialout group)"), "EVMASK Error" for a device that
// is no serial line, with the port, the device and the system's reason on a second line ("COM1:
// /dev/null is not a serial line (Inappropriate ioctl for device)"); nothing when the port opened
// or shutdown refused the open.
void reportPortOpen(const BoxFunction& boxes, int result, int64_t portNumber, const PortOpenFailure& failure = {});

// The status bar's word on the ports, "" when all is well: per port that is not open for a
// reason the user should know, why ("COM1: /dev/ttyUSB0 unplugged, waiting", "COM1: /dev/pts/3
// was closed by its other end"), or the settings its device did not take ("COM1: the device
// set 8 data bits instead of 7"); a direction whose worker could not start; then "12,345 bytes
// not delivered to COM2" per channel that could not deliver.
// A network port is also told when it is connecting or not reachable ("COM1: rfc2217://lab-pi:4001
// not reachable: connection refused, retrying"), when its server set other values than asked
// ("COM1: the server set 4096 baud instead of 12345"), and when it is raw ("COM2: tcp://
// carries no line settings").
std::string portStatusText(const Relay& relay);
// Why one port (1 or 2) is not open, as the status bar words it ("/dev/ttyUSB0 unplugged,
// waiting"); "" while it is open and present.
std::string portAbsenceText(const Relay& relay, int port);
// The last line and modem state each network port's server sent, one line per port, for the
// status bar's tooltip; "" while none came.
std::string portLineStateText(const Relay& relay);

// What saveConfig returned: "Configuration Data Saved", or the error naming the file and why.
void reportConfigSave(const BoxFunction& boxes, const ConfigSaveResult& result);

// The settings file named on the command line cannot be used; the program ends. For stderr:
// "settings /etc/vorlinex.ini cannot be read: No such file or directory"; as a box, "Settings
// File Error", the file and why.
std::string settingsUnreadableText(const ConfigReadFailure& failure);
void reportSettingsUnreadable(const BoxFunction& boxes, const ConfigReadFailure& failure);
// A COM key out of range, which took its port's default instead: "/etc/vorlinex.ini line 2:
// [DATA1] COM=99 is out of range (0 to 5 for COM1 to COM6): port 1 uses COM1". The box says the
// same.
std::string comOutOfRangeText(const std::string& path, const ComOutOfRange& outOfRange);
void reportComOutOfRange(const BoxFunction& boxes, const std::string& path, const ComOutOfRange& outOfRange);

// The devices window's DEVICES section could not be written: the file and why. Nothing when it
// was written: the new mapping shows in the labels.
void reportDevicesSave(const BoxFunction& boxes, const ConfigSaveResult& result);
// The timeline window's choice of view and decoding could not be kept in the DECODE section: the
// file and why. Nothing when it was kept.
void reportDecodeSave(const BoxFunction& boxes, const ConfigSaveResult& result);

// Why a capture could not be opened: the system's reason, or the capture that already writes
// the file ("(already being captured by LOG A)").
std::string captureOpenReasonText(const std::string& fullPath, const CaptureOpenFailure& failure);
// A capture that could not be opened: "File Open Error。", the file, and why (the system's reason,
// or the capture that already writes the file).
void reportCaptureOpen(const BoxFunction& boxes, const std::string& fullPath, const CaptureOpenFailure& failure);
// A capture that ended early: "File Write Error。", the file, why, and that it has been closed.
void reportCaptureFailure(const BoxFunction& boxes, const CaptureFailure& failure);
// A capture whose tail could not be written when the program ended, for stderr; "" for none.
std::string captureLostAtExitText(const CaptureFailure& failure);
// The display's text refused the fixed-pitch font: "InitialFont Error", a box owned by the view.
void reportInitialFontError(const BoxFunction& boxes, void* view);
// How "登録" went: "スタートアップへ登録しました。", or "スタートアップへ登録できません。" with the
// reason on a second line.
void reportStartupEntry(const BoxFunction& boxes, const StartupEntryResult& result);
// A settings dialog refused a choice: the range to keep to, or that both ports cannot share a
// COM name.
void reportSettingsRefusal(const BoxFunction& boxes, SettingsRefusal refusal);

// The timeline window's title: both ports, port 1's first ("Com1 <-> Com2").
std::string timelineTitleText(const Relay& relay);
// Below the list while it does not follow: "1,234 new records: End to follow", or while held,
// "HOLD: 1,234 new records: release HOLD to show them", and once the bound let records go
// meanwhile, "HOLD: 1,234 new records, 200 records let go meanwhile to keep the bound: release
// HOLD to show the newest".
std::string timelineNewRecordsText(uint64_t count, bool held, uint64_t letGo = 0);
// Above the list once its bound let records go:
// "41,200 earlier records dropped since 14:03:27: the combined capture keeps everything".
std::string timelineDroppedText(uint64_t count, const std::tm& since);
// Under a saved timeline's list: "File line 812 is not a timeline record (3 such lines skipped)".
std::string timelineSkippedLinesText(uint64_t firstLine, uint64_t count);
// Under a saved timeline's list once it was cut while open: "The file was cut to 1,000,000 bytes
// while open: only the records it still holds are shown".
std::string timelineFileCutText(uint64_t size);
// A copy from the timeline too large for the clipboard: the offer to save it to a file instead.
std::string timelineSelectionTooLargeText(size_t limitBytes);
// Under the timeline's list, how that save goes: declined (`path` ""), written so far, done, or
// failed with the system's reason.
std::string timelineSelectionSaveText(const std::string& path, uint64_t records, uint64_t bytes, bool done, int error,
                                      size_t limitBytes);
// Under the timeline's list, how an export goes: "Exporting to PATH: 1,204 records so far",
// "Exported 1,204 records to PATH", failed with the system's reason, or (ECANCELED) ended with the
// list it was started from.
std::string timelineExportText(const std::string& path, uint64_t records, bool done, int error);
// The find bar's status: "3 of 41", "41 matches", "searching…", "no match".
std::string timelineFindText(size_t current, size_t total, bool searching, bool capped = false);
// The bar under the timeline's frames, a line per unit: "unit 17: 1,204 transactions, 3 errors,
// response min 1.203 / median 1.500 / p99 2.100 / max 3.000 ms" ("no answer yet" before one).
std::string timelineUnitsText(const std::map<int, UnitFigures>& units);
// A saved timeline that could not be opened: the file and why (the system's reason, or
// `error` 0: no line of it is a timeline record).
void reportTimelineOpen(const BoxFunction& boxes, const std::string& path, int error);
// Under a pcap or pcapng file's list: "Packet 12 holds no serial data (3 such packets skipped)".
std::string timelineSkippedPacketsText(uint64_t firstPacket, uint64_t count);
// Why a pcap or pcapng file was read only up to byte `at`: "Link type 1 (Ethernet): only serial
// records (link type 250) can be shown", "The capture is damaged at byte 1,204", "The capture
// ends inside a packet at byte 1,204"; PcapStop::None: none of its packets is a serial record.
std::string timelineCaptureStopText(PcapStop stop, uint64_t at, uint32_t linkType);
// Under the records a pcap or pcapng file did show, why its reading stopped before its end: "The
// capture is damaged at byte 1,204: only the records before it are shown".
std::string timelineCaptureStoppedText(PcapStop stop, uint64_t at, uint32_t linkType);
// The note of a window watching a relay on another machine: "Watching tcp://rig7:57012
// (read-only)", "tcp://rig7:57012: Connection refused; trying again in 2 s", and the like.
std::string remoteTimelineText(const std::string& address, const RemoteTimeline::Status& status,
                               std::chrono::steady_clock::time_point now);
// OPEN of a network path that is not a relay's stream (rfc2217://, or no HOST:PORT).
void reportRemoteOpen(const BoxFunction& boxes, const std::string& path);
// A pcap or pcapng file that shows no record: the file and why (timelineCaptureStopText).
void reportTimelineCaptureOpen(const BoxFunction& boxes, const std::string& path, PcapStop stop, uint64_t at,
                               uint32_t linkType);
