// The timeline window: both directions in one list, live from the relay or read from a saved
// combined capture, with hold, filter, find and copy; as the records read, or as the frames the
// devices said, decoded by the protocol chosen in the window.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QFont>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decode/decode_choice.h"
#include "decode/transactions.h"
#include "display/qt/timeline_view.h"
#include "display/remote_timeline.h"
#include "display/timeline_find.h"
#include "display/timeline_selection.h"
#include "display/timeline_source.h"
#include "record/pcap_reader.h"
#include "relay/line_settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;
class QWidget;
class TimelineExport;
class TimelineFile;
class TimelineFrames;
class TimelineRecords;

// Which view the window shows, and how it cuts and reads frames in the Frames view.
struct TimelineDecode {
    bool frames = false;  // the Frames view; else the records as read
    DecodeChoice choice;
    bool errorsOnly = false;
};
bool operator==(const TimelineDecode& a, const TimelineDecode& b);

// The find bar's word on a search: "3 of 41", "searching…", "no match".
using FindStatusText = std::function<QString(size_t current, size_t total, bool searching, bool capped)>;

// What the timeline windows take from the application that hosts them; set once at start-up.
struct TimelineWindowHost {
    std::function<QWidget*()> owner;  // of new windows and the file dialog; null while there is none
    std::function<QFont()> fixedFont;
    // The live window's title as the ports stand now ("Com1 <-> Com2").
    std::function<QString()> title;
    // Whether a thin rule marks pauses, and from how many seconds, as the options stand now.
    std::function<std::pair<bool, int>()> pauseRule;
    TimelineTexts texts;
    FindStatusText findStatus;
    // "File line 812 is not a timeline record (3 such lines skipped)".
    std::function<QString(uint64_t firstLine, uint64_t count)> skippedLines;
    // A saved timeline that was cut shorter while open, to `size` bytes.
    std::function<QString(uint64_t size)> fileCut;
    // A pcap or pcapng file: "Packet 12 holds no serial data (3 such packets skipped)"; and why its
    // reading stopped before its end, under the records it did read.
    std::function<QString(uint64_t firstPacket, uint64_t count)> skippedPackets;
    std::function<QString(PcapStop stop, uint64_t at, uint32_t linkType)> captureStopped;
    // A copy too large for the clipboard: offers to save the selection to a file instead and asks
    // for it; nullopt when the user declines.
    std::function<std::optional<QString>(QWidget* owner)> chooseSelectionFile;
    // How that save goes: "" for `path` when it was declined; `error` the system's errno.
    std::function<QString(const std::string& path, uint64_t records, uint64_t bytes, bool done, int error)> selectionSave;
    // EXPORT: asks for the file the list goes to, as pcapng (pcap when its name ends in .pcap);
    // nullopt when the user declines.
    std::function<std::optional<QString>(QWidget* owner)> chooseExportFile;
    // What an export names: the program and its version; the interface, the live list's ports
    // ("COM1 <-> COM2") or a saved file's.
    std::function<std::string()> exportApplication;
    std::function<std::string(bool live)> exportInterface;
    // How an export goes: packets written so far, done, or `error` the system's errno (ECANCELED:
    // it ended with the list it was started from, after `records`).
    std::function<QString(const std::string& path, uint64_t records, bool done, int error)> exportProgress;
    // Takes Esc and Enter from a window that must not act on them.
    std::function<void(QDialog& window)> keepDialogKeys;
    // A file that could not be opened as a timeline: the system's errno, or 0 when it holds no
    // record.
    std::function<void(const std::string& path, int error)> reportFileOpenFailure;
    // A pcap or pcapng file that shows no record: why its reading stopped (PcapStop::None: it
    // holds no serial record).
    std::function<void(const std::string& path, PcapStop stop, uint64_t at, uint32_t linkType)>
        reportCaptureOpenFailure;
    // A window watching a relay on another machine: how its connection stands (`now` is the
    // steady clock's, for the time to the next try).
    std::function<QString(const std::string& address, const RemoteTimeline::Status& status,
                          std::chrono::steady_clock::time_point now)>
        remoteStatus;
    // OPEN of a network address that is not a relay's stream to watch (tcp://HOST:PORT).
    std::function<void(const std::string& path)> reportRemoteOpenFailure;
    // The view and decoding a window opens with, as last kept; and the user's change of them, to
    // keep. A frame log opened shows its frames without changing what is kept.
    std::function<TimelineDecode()> decode;
    std::function<void(const TimelineDecode& decode)> keepDecode;
    // Port 1's and port 2's lines as set now: a quiet gap not set is 3.5 of their characters.
    std::function<std::pair<LineSettings, LineSettings>()> lines;
    // The bar under the frames: per unit, transactions, errors and response times.
    std::function<QString(const std::map<int, UnitFigures>& units)> unitFigures;
};

// The timeline window's controls, by object name.
namespace timeline_control {
inline constexpr const char* kList = "list";
inline constexpr const char* kHold = "HOLD";
inline constexpr const char* kClear = "CLEAR";
inline constexpr const char* kOpen = "OPEN";
inline constexpr const char* kExport = "EXPORT";
inline constexpr const char* kEnd = "END";
inline constexpr const char* kFilter = "filter";
inline constexpr const char* kFindBar = "findBar";
inline constexpr const char* kFindPattern = "findPattern";
inline constexpr const char* kFindHex = "findHex";
inline constexpr const char* kFindStatus = "findStatus";
inline constexpr const char* kNote = "note";
// Records | Frames, and the Frames view's own controls.
inline constexpr const char* kMode = "mode";
inline constexpr const char* kDecodeBar = "decodeBar";
inline constexpr const char* kProtocol = "protocol";
inline constexpr const char* kGap = "gap";
inline constexpr const char* kDelimiter = "delimiter";
inline constexpr const char* kMaster = "master";
inline constexpr const char* kTimeout = "timeout";
inline constexpr const char* kErrorsOnly = "errorsOnly";
inline constexpr const char* kUnits = "units";
}  // namespace timeline_control

class TimelineWindow : public QDialog {
    Q_OBJECT
public:
    // The live window over `records` (HOLD and CLEAR), a read-only one over a file it owns, or
    // one over the records of a relay on another machine that it watches (HOLD and CLEAR too).
    TimelineWindow(const TimelineWindowHost& host, TimelineRecords& records, QWidget* owner);
    TimelineWindow(const TimelineWindowHost& host, std::unique_ptr<TimelineFile> file, const QString& title,
                   QWidget* owner);
    TimelineWindow(const TimelineWindowHost& host, std::unique_ptr<RemoteTimeline> remote, const QString& title,
                   QWidget* owner);
    ~TimelineWindow() override;

    TimelineView* view() const { return view_; }
    bool readOnly() const { return records_ == nullptr; }
    TimelineFile* file() const { return file_.get(); }
    RemoteTimeline* remote() const { return remote_.get(); }
    void setPauseRule(bool on, int seconds);
    void setFilter(TimelineFilter filter);

    // The view and decoding shown; a change rebuilds the frames from the first record held.
    const TimelineDecode& decode() const { return decode_; }
    void setDecode(const TimelineDecode& decode);
    // The frames while the Frames view is shown, else null.
    const TimelineFrames* frames() const { return frames_.get(); }
    // Frames one slice more of the records, as its timer does; true once it has caught up.
    bool advanceFrames();
    // The bar of per-unit figures, as shown; empty when hidden.
    QString unitsText() const;

    // The find bar (Ctrl+F): the pattern as typed, read as hex when `hex` is set or it looks so.
    void openFindBar();
    void setFindPattern(const QString& pattern, bool hex);
    // Runs one slice of the search, as its timer does; true once it has caught up.
    bool advanceFind();
    // F3 / Enter and Shift+F3 / Shift+Enter: the next or previous match, wrapping; false when
    // there is none (yet).
    bool findNext();
    bool findPrevious();
    // The match shown, 0-based, while the search still holds it; and the matches found so far.
    std::optional<size_t> currentMatch() const;
    size_t matchCount() const;
    QString findStatusText() const;
    // The note under the list: lines of a file that were skipped, that the file was cut while
    // open, and how a save of a selection too large for the clipboard or an export goes.
    QString noteText() const;
    // Whether a save of a selection is being written, or its end is still to be told.
    bool saving() const;
    // EXPORT: the rows selected, or all the list shows, to a file the host asks for.
    void exportList();
    // Whether an export is being written, or its end is still to be told.
    bool exporting() const;

signals:
    // OPEN or Ctrl+O: the host is to ask for a file.
    void openFileAsked();
    // END or the close box; the window deletes itself afterwards.
    void ended();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void build(const QString& title);
    void buildDecodeBar(QVBoxLayout* layout);
    void showDecode();
    void decodeChanged();
    void applyDecode(const TimelineDecode& decode, bool keep);
    void dropFrames();
    int64_t lineGapMicros() const;
    void buildFrames();
    // The list's source: the records, or the frames (all, or the errors only).
    const TimelineSource& shownSource() const;
    void showSource();
    void updateUnits();
    void startFind();
    void updateFindStatus();
    void pollFile();
    void pollRemote();
    void offerSave(const TimelineSelection& selection);
    void pollSave();
    void pollExport();
    void endWriters();
    void updateNote();
    void step(bool forward);
    void end();

    const TimelineWindowHost& host_;
    std::unique_ptr<RemoteTimeline> remote_;  // before records_, which may be its list
    TimelineRecords* records_ = nullptr;
    std::unique_ptr<TimelineFile> file_;
    const TimelineSource* source_ = nullptr;

    TimelineView* view_ = nullptr;
    QPushButton* hold_ = nullptr;
    QComboBox* filter_ = nullptr;
    QWidget* findBar_ = nullptr;
    QLineEdit* pattern_ = nullptr;
    QCheckBox* hex_ = nullptr;
    QLabel* findStatus_ = nullptr;
    QLabel* note_ = nullptr;
    QComboBox* mode_ = nullptr;
    QWidget* decodeBar_ = nullptr;
    QComboBox* protocol_ = nullptr;
    QLineEdit* gap_ = nullptr;
    QLineEdit* delimiter_ = nullptr;
    QComboBox* master_ = nullptr;
    QLineEdit* timeout_ = nullptr;
    QCheckBox* errorsOnly_ = nullptr;
    QPlainTextEdit* units_ = nullptr;

    TimelineDecode decode_;
    std::unique_ptr<TimelineFrames> frames_;
    QTimer framesTimer_;
    QElapsedTimer unitsClock_;

    std::unique_ptr<TimelineFind> find_;
    std::string findError_;
    std::optional<TimelineMatch> current_;
    QTimer findTimer_;
    QTimer fileTimer_;
    QString fileNote_, saveNote_, exportNote_;
    std::unique_ptr<TimelineSelectionSave> save_;
    QTimer saveTimer_;
    std::unique_ptr<TimelineExport> export_;
    QTimer exportTimer_;
    bool ending_ = false;
};

// The live timeline window and the file windows, made by the application that owns the records
// (which outlive the windows).
class TimelineWindows {
public:
    TimelineWindows(TimelineWindowHost host, TimelineRecords& records);
    ~TimelineWindows();
    TimelineWindows(const TimelineWindows&) = delete;
    TimelineWindows& operator=(const TimelineWindows&) = delete;

    // DISP "Com<->Com": opens the live window on an empty list, or raises it when open.
    void openTimelineWindow();
    TimelineWindow* timelineWindow() const { return live_.data(); }
    // A title as the ports stand now, for the live window.
    void setTitle(const QString& title);
    // The options changed: every window's pause rule follows.
    void setPauseRule(bool on, int seconds);

    // OPEN: asks for a file ("Vorlinex Timeline Open"), or a relay's address typed as
    // tcp://HOST:PORT, then opens it in a window of its own.
    void openTimelineFile();
    // Opens `path` in a read-only window once its first record is indexed; a file that cannot
    // be opened or holds no record is reported and opens nothing. A network path opens a window
    // watching the relay there at once, however its connection goes.
    void openTimelineFile(const QString& path);
    // Replaces the file dialog (tests); an empty function brings the dialog back.
    void setFileChooser(std::function<std::optional<QString>()> chooser) { chooser_ = std::move(chooser); }
    // Files still being indexed before their window opens.
    size_t pendingFiles() const { return pending_.size(); }
    // The windows OPEN opened (files and relays watched), still shown.
    std::vector<TimelineWindow*> fileWindows() const;

private:
    struct Pending;
    void pollPending();
    void openRemote(const std::string& path);
    void adopt(TimelineWindow* window);

    TimelineWindowHost host_;
    TimelineRecords& records_;
    QPointer<TimelineWindow> live_;
    QByteArray liveGeometry_;  // where the user last had it, for this session
    std::vector<QPointer<TimelineWindow>> files_;
    std::vector<std::unique_ptr<Pending>> pending_;
    std::unique_ptr<QTimer> pendingTimer_;
    std::function<std::optional<QString>()> chooser_;
};
