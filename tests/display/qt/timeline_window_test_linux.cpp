// The timeline window as real widgets over real records fed as the read order feeds them, and over real files.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScrollBar>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "display/qt/timeline_view.h"
#include "display/qt/timeline_window.h"
#include "display/timeline_file.h"
#include "display/timeline_frames.h"
#include "record/pcap_record.h"
#include "shell/qt/window_hosts.h"
#include "tests/decode/rtu_frame.h"
#include "tests/display/timeline_lines.h"
#include "tests/shell/qt/shell_harness.h"
#include "tests/support/pty_cable.h"

namespace {

using namespace timeline_control;

constexpr int64_t kStart = int64_t{1796645007} * 1000000;  // a wall clock reading, in microseconds

std::string bytesOf(const std::vector<uint8_t>& frame) { return std::string(frame.begin(), frame.end()); }

class TimelineInTheProgram : public ProgramOnCables {};

class TimelineWindowTest : public ::testing::Test {
protected:
    // A live window over `records`, on screen and sized for 20 rows or so.
    void open(TimelineRecords* over = nullptr) {
        fedTo = over != nullptr ? over : fedTo;
        window = new TimelineWindow(host, *fedTo, nullptr);
        window->show();
        window->resize(1100, 480);
        QApplication::processEvents();
        view = window->view();
    }
    ~TimelineWindowTest() override { delete window.data(); }

    // One chunk as the read order hands it over, `gapMicros` after the one before.
    void feed(int channel, const std::string& bytes, int64_t gapMicros = 1000) {
        clock += gapMicros;
        takeRead(*fedTo, channel, bytes, clock, clock);
    }
    // `count` records, both directions in turn, of 1..40 bytes.
    void feedMany(int count) {
        for (int i = 0; i < count; ++i, ++fed)
            feed(1 + fed % 2, std::string(1 + fed * 7 % 40, static_cast<char>('a' + fed % 26)));
    }
    std::vector<uint64_t> inSight() {
        view->refresh();
        return view->recordsInSight();
    }
    std::vector<QString> rowsInSight() {
        view->refresh();
        return view->rowsInSight();
    }
    void searchAll(TimelineWindow* in, const QString& pattern, bool hex = false) {
        for (in->setFindPattern(pattern, hex); !in->advanceFind();) continue;
    }

    Vorlinex v;
    TimelineWindowHost host = timelineWindowHostOf(v);
    TimelineRecords records{3000, 1 << 20};
    TimelineRecords* fedTo = &records;
    QPointer<TimelineWindow> window;
    TimelineView* view = nullptr;
    int64_t clock = kStart;
    int fed = 0;
};

}  // namespace

// Scrolled up, rows stay in place while records arrive and go, the line below counting; End follows. HOLD, CLEAR.
TEST_F(TimelineWindowTest, FollowsTheEndKeepsScrolledRowsInPlaceHoldsAndClears) {
    open();
    feedMany(500);
    EXPECT_TRUE(records.takesReads() && inSight().size() > 5 && inSight().back() == 499u && view->following() &&
                view->newRecordsLine().isEmpty());
    QScrollBar* bar = view->verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    const std::vector<uint64_t> before = inSight();
    const int value = bar->value();
    const auto inPlace = [&] {  // the line below may take the last row
        const std::vector<uint64_t> now = inSight();
        return now.size() + 1 >= before.size() && std::equal(now.begin(), now.end(), before.begin());
    };
    feedMany(1234);
    EXPECT_TRUE(!view->following() && inPlace() && bar->value() == value);
    EXPECT_EQ(view->newRecordsLine(), QStringLiteral("1,234 new records: End to follow"));
    feedMany(3000 - 1734 + 100);  // older records go (the bound is 3000): the top record stays on top
    EXPECT_TRUE(records.extent().first == 100u && inPlace());
    feedMany(before.front());  // once it has gone itself, the first held is on top
    EXPECT_EQ(inSight().front(), records.extent().first);
    view->findChild<QPushButton*>(QStringLiteral("newRecordsLine"))->click();  // follows, as End does
    EXPECT_TRUE(view->following());
    bar->setValue(0);
    feedMany(1);
    EXPECT_TRUE(inSight().front() == records.extent().first &&
                view->newRecordsLine() == QStringLiteral("1 new record: End to follow"));
    pressKeys(view, {Qt::Key_End});
    EXPECT_TRUE(view->following() && view->newRecordsLine().isEmpty() && inSight().back() == records.extent().end - 1);

    // HOLD: what is shown stays; the records keep coming; releasing shows them all.
    auto* hold = window->findChild<QPushButton*>(kHold);
    hold->click();
    const uint64_t heldEnd = records.extent().end;
    const std::vector<uint64_t> held = inSight();
    feedMany(40);
    EXPECT_EQ(inSight(), held);
    EXPECT_EQ(view->newRecordsLine(), QStringLiteral("HOLD: 40 new records, 40 records let go meanwhile to keep the "
                                                     "bound: release HOLD to show the newest"));
    view->selectAll();
    EXPECT_EQ(view->selectionText(), linesOf(records, [&](const TimelineRecord& r) { return r.number < heldEnd; }))
        << "a held list selects what it shows";
    pressKeys(view, {Qt::Key_Space});  // Space releases too, and the button follows
    EXPECT_TRUE(!hold->isChecked() && !view->held() && inSight().back() == records.extent().end - 1);
    pressKeys(view, {Qt::Key_Space});
    const std::vector<QString> heldRows = rowsInSight();
    EXPECT_TRUE(hold->isChecked() && view->held());
    feedMany(3000);
    EXPECT_EQ(rowsInSight(), heldRows) << "held while the bound lets every record in sight go";
    hold->click();
    // Above the records held, how many went and since when; the first held is drawn with its date.
    const QDateTime since = QDateTime::fromMSecsSinceEpoch((kStart + 1000) / 1000);
    const QString dropped = QLocale(QLocale::English).toString(qulonglong{records.extent().first});
    EXPECT_EQ(view->droppedLine(), QStringLiteral("%1 earlier records dropped since %2: the combined capture keeps "
                                                  "everything").arg(dropped, since.toString(u"HH:mm:ss")));
    bar->setValue(0);
    const std::vector<QString> top = rowsInSight();
    EXPECT_TRUE(top.at(0).startsWith(since.toString(u"yyyy-"))) << top[0].toStdString();
    EXPECT_FALSE(top.at(1).contains(QLatin1Char('-'))) << "the date only on the first";

    window->findChild<QPushButton*>(kClear)->click();  // an empty list that takes the records after it
    EXPECT_TRUE(records.extent().empty() && inSight().empty());
    feed(2, "after");
    EXPECT_EQ(inSight(), std::vector<uint64_t>{records.extent().first});
    window->findChild<QPushButton*>(kEnd)->click();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull() && !records.takesReads()) << "END: the window goes and the list stops taking records";
}

// The filter hides rows, never records; copies give the capture's lines; clicks choose the records under them.
TEST_F(TimelineWindowTest, FilterHidesRowsCopyGivesCaptureLinesAndClicksChooseRecords) {
    open();
    feedMany(300);
    auto* filter = window->findChild<QComboBox*>(kFilter);
    for (int shown : {1, 2, 0}) {
        filter->setCurrentIndex(shown);
        const auto kept = [&](const TimelineRecord& x) { return shown == 0 || x.channel == shown; };
        std::vector<TimelineRecord> r;
        for (uint64_t number : inSight()) records.read(number, 1, r);
        EXPECT_TRUE(std::all_of(r.begin(), r.end(), kept));
        pressKeys(view, {Qt::Key_A, Qt::Key_C}, Qt::ControlModifier);
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), linesOf(records, kept));
    }
    EXPECT_EQ(inSight().back(), 299u) << "no record was lost under the filter";

    view->verticalScrollBar()->setValue(10);
    const std::vector<uint64_t> rows = inSight();
    const auto rowOf = [&](uint64_t number) {  // the middle of the first row of a record in sight
        const auto row = records.rowsBefore(number, TimelineFilter::Both) -
                         records.rowsBefore(records.extent().first, TimelineFilter::Both) -
                         view->verticalScrollBar()->value();
        return QPoint(200, static_cast<int>(row) * view->rowHeight() + view->rowHeight() / 2);
    };
    const auto only = [&](uint64_t from, uint64_t to, int channel = 0) {
        return linesOf(records, [&](const TimelineRecord& r) {
            return r.number >= from && r.number <= to && (channel == 0 || r.channel == channel);
        });
    };
    // A click, a Shift+click below, one above (from the first clicked, upwards), a drag.
    const std::tuple<size_t, size_t, Qt::KeyboardModifiers, size_t, size_t> gestures[] = {
        {2, 2, {}, 2, 2}, {5, 5, Qt::ShiftModifier, 2, 5}, {0, 0, Qt::ShiftModifier, 0, 2}, {4, 3, {}, 3, 4}};
    for (const auto& [press, release, modifiers, from, to] : gestures) {
        mouse(view->viewport(), QEvent::MouseButtonPress, rowOf(rows[press]), Qt::LeftButton, modifiers);
        if (modifiers == Qt::NoModifier) {
            mouse(view->viewport(), QEvent::MouseMove, rowOf(rows[release]));
            mouse(view->viewport(), QEvent::MouseButtonRelease, rowOf(rows[release]));
        }
        EXPECT_EQ(view->selectionText(), only(rows[from], rows[to])) << press << " to " << release;
    }
    filter->setCurrentIndex(1);
    EXPECT_EQ(view->selectionText(), only(rows[3], rows[4], 1)) << "a selection copies the records shown only";
}

// The find bar reaches the search (code page 932, hex, keys, filter); the match is selected and brought into sight.
TEST_F(TimelineWindowTest, TheFindBarSearchesTheRecordsShownAndSelectsTheMatch) {
    open();
    feed(1, "*ID");
    feed(2, "xxN?");  // the other direction between the halves of "*IDN?"
    feed(1, "N?\r\n");
    for (int i = 0; i < 40; ++i) feed(1 + i % 2, "..*IDN?..");
    searchAll(window, QStringLiteral("*IDN?"));
    EXPECT_EQ(window->findStatusText(), QStringLiteral("41 matches"));
    ASSERT_TRUE(window->findNext() && window->currentMatch() == std::optional<size_t>(0));
    EXPECT_EQ(view->selectionText(),
              linesOf(records, [](const TimelineRecord& r) { return r.number == 0 || r.number == 2; }))
        << "not the one between";
    window->findPrevious();
    EXPECT_TRUE(window->findStatusText() == QStringLiteral("41 of 41") && inSight().back() == 42u)
        << "the match is brought into sight";
    auto* pattern = window->findChild<QLineEdit*>(kFindPattern);
    const std::tuple<QWidget*, int, Qt::KeyboardModifiers, const char*> keys[] = {
        {pattern, Qt::Key_Return, {}, "1 of 41"},
        {pattern, Qt::Key_Return, Qt::ShiftModifier, "41 of 41"},
        {view, Qt::Key_F3, {}, "1 of 41"}};
    for (const auto& [to, key, modifiers, status] : keys) {
        pressKeys(to, {key}, modifiers);
        EXPECT_EQ(window->findStatusText(), QString::fromLatin1(status)) << key;
    }
    searchAll(window, QStringLiteral("4e3f0d0a"), true);
    EXPECT_EQ(window->matchCount(), 1u) << "channel 1's N?\\r\\n, as hex";
    feed(2, "OK \x89\xd2\x93\xad\x92\x86\r\n");
    searchAll(window, QString::fromUtf8("稼働中"));
    EXPECT_EQ(window->matchCount(), 1u);
    searchAll(window, QStringLiteral("OK"));
    window->findChild<QComboBox*>(kFilter)->setCurrentIndex(1);
    while (!window->advanceFind()) continue;
    EXPECT_EQ(window->findStatusText(), QStringLiteral("no match")) << "the filter reaches the search";
}

// The program's window: with DATETIME on, a rule marks each record after a pause of DATETIMEVAL seconds, until
// OPTION's OK turns it off. OPEN gives a saved capture a read-only window; its note tells lines skipped and a cut.
// A pcapng (as Wireshark saves serial records) shows the records the live window showed, times and gaps alike. A
// file with no record (settings, random binary), none at all, a folder, a pcapng of another link type or a network
// address that is not tcp:// is a box and no window; the dialog's name field takes a relay's address as typed.
TEST_F(TimelineWindowTest, PausesAreRuledAsTheOptionsSayAndSavedTimelinesOpenReadOnly) {
    std::vector<BoxRequest> boxes;
    v.boxes = [&](const BoxRequest& box) { boxes.push_back(box); };
    v.app.relay.appOptions.DATETIME = 1;
    v.app.relay.appOptions.DATETIMEVAL = 2;
    v.timelineWindows.openTimelineWindow();
    ASSERT_TRUE(window = v.timelineWindows.timelineWindow());
    view = window->view();
    fedTo = &v.app.timeline;
    feed(1, "first");
    feed(2, "after a pause", 2000000);
    feed(1, "soon after", 1999999);
    view->refresh();
    const auto ruled = [&](int row) {
        const QImage rows = view->viewport()->grab().toImage();
        return rows.pixelColor(1, row * view->rowHeight() * rows.height() / view->viewport()->height()) !=
               view->palette().color(QPalette::Base);
    };
    EXPECT_TRUE(!ruled(0) && ruled(1) && !ruled(2));
    AppOptions options = v.app.relay.appOptions;
    options.DATETIME = 0;
    v.settingsHost.applyOptions(options);
    EXPECT_FALSE(ruled(1));

    feedMany(50);
    const std::string lines = linesOf(v.app.timeline);
    std::string capture;  // the same records as a pcapng
    appendPcapStart(capture, PcapForm::PcapNg, "test", "COM1 <-> COM2");
    for (TimelineRecord r : readAll(v.app.timeline))
        appendPcapRecord(capture, PcapForm::PcapNg, std::mktime(&r.local) * int64_t{1000000} + r.micros, r.channel,
                         reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size());
    ScratchDir dir;
    const size_t cut = lines.find('\n', 200) + 1;
    dir.write("saved.txt", lines.substr(0, cut) + "not a record\n" + lines.substr(cut));
    dir.write("empty.txt", "");
    dir.write("session.pcapng", capture);
    capture[static_cast<uint8_t>(capture[4]) + 8] = '\x01';  // the interface's link type, after the section header
    dir.write("ethernet.pcapng", capture);
    // A file window once its file is read, all of it selected.
    const auto opened = [&](size_t windows) {
        EXPECT_TRUE(waitUntil([&] { return v.timelineWindows.fileWindows().size() == windows; }));
        TimelineWindow* saved = v.timelineWindows.fileWindows().back();
        EXPECT_TRUE(waitUntil([&] { return saved->file()->progress().done; }));
        saved->view()->refresh();
        saved->view()->selectAll();
        return saved;
    };
    v.timelineWindows.setFileChooser([&] { return std::optional<QString>(QString::fromStdString(dir.file("saved.txt"))); });
    window->findChild<QPushButton*>(kOpen)->click();
    TimelineWindow* saved = opened(1);
    EXPECT_TRUE(saved->windowTitle() == QStringLiteral("saved.txt") && saved->readOnly() &&
                !saved->findChild<QPushButton*>(kHold) && !saved->findChild<QPushButton*>(kClear));
    const auto badLine = std::count(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(cut), '\n') + 1;
    const QString skipped = QStringLiteral("File line %1 is not a timeline record (1 such line skipped)").arg(badLine);
    EXPECT_TRUE(waitUntil([&] { return saved->noteText() == skipped; })) << saved->noteText().toStdString();
    EXPECT_EQ(std::make_pair(saved->view()->recordsInSight().front(), saved->view()->selectionText()),
              std::make_pair(uint64_t{0}, lines)) << "at its top";
    searchAll(saved, QStringLiteral("aaaa"));
    EXPECT_TRUE(saved->matchCount() > 0 && boxes.empty());
    ASSERT_EQ(::truncate(dir.file("saved.txt").c_str(), 1000), 0);
    const QString cutNote =
        QStringLiteral("\nThe file was cut to 1,000 bytes while open: only the records it still holds are shown");
    EXPECT_TRUE(waitUntil([&] { return saved->noteText().endsWith(cutNote); })) << saved->noteText().toStdString();

    v.timelineWindows.openTimelineFile(QString::fromStdString(dir.file("session.pcapng")));
    TimelineWindow* session = opened(2);
    EXPECT_EQ(session->view()->selectionText(), lines);
    EXPECT_TRUE(session->windowTitle() == QStringLiteral("session.pcapng") && session->noteText().isEmpty());

    dir.write("Vorlinex.ini", "[DEVICES]\nCOM1=/dev/ttyUSB0\r\n[DATETIME]\nDATETIME=1\n");
    dir.write("random.bin", randomBytes(3 << 20, 8));
    const std::string none = "Not a timeline: no line of the file is a timeline record";
    const std::pair<std::string, std::string> refused[] = {{dir.file("empty.txt"), none},
        {dir.file("Vorlinex.ini"), none}, {dir.file("random.bin"), none},
        {dir.file("ethernet.pcapng"), "Link type 1 (Ethernet): only serial records (link type 250) can be shown"},
        {dir.file("missing.txt"), "No such file or directory"}, {dir.file(""), "Is a directory"},
        {"rfc2217://127.0.0.1:9", "A relay on another machine is watched as tcp://HOST:PORT"}};
    for (size_t i = 0; const auto& [name, reason] : refused) {
        v.timelineWindows.openTimelineFile(QString::fromStdString(name));
        ASSERT_TRUE(waitUntil([&] { return v.timelineWindows.pendingFiles() == 0; }) && boxes.size() == ++i);
        EXPECT_EQ(boxes.back().text, "Timeline Open Error\n" + name + "\n" + reason);
    }

    v.timelineWindows.setFileChooser(nullptr);
    QTimer::singleShot(0, window, [] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral(" tcp://127.0.0.1:9 "));
        dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->click();
    });
    window->findChild<QPushButton*>(kOpen)->click();
    ASSERT_EQ(v.timelineWindows.fileWindows().size(), 3u);
    TimelineWindow* watching = v.timelineWindows.fileWindows().back();
    EXPECT_TRUE(watching->remote() != nullptr && watching->windowTitle() == QStringLiteral("tcp://127.0.0.1:9"));
}

// A row: time, gap, direction, count, hex and text in columns; further rows only bytes; the date on the first
// record held and of each day; the largest record's count apart from its direction.
TEST_F(TimelineWindowTest, RowsShowTheDateOnTheFirstRecordOfEachDayAndContinuationRowsOnlyBytes) {
    clock = QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59, 999)).toMSecsSinceEpoch() * 1000;
    open();
    feed(1, std::string(20, 'A'), 0);
    feed(2, "B\x01", 1100);
    feed(1, "C", 5);
    const std::vector<QString> rows = rowsInSight();
    ASSERT_GE(rows.size(), 4u);
    const auto words = [](const QString& row) { return row.split(QLatin1Char(' '), Qt::SkipEmptyParts).join(QLatin1Char(' ')); };
    EXPECT_EQ(words(rows[0]), QStringLiteral("2026-12-07 23:59:59.999000 +0.000000 1>2 20") +
                                  QStringLiteral(" 41").repeated(16) + QStringLiteral(" AAAAAAAAAAAAAAAA"));
    EXPECT_EQ(words(rows[1]), QStringLiteral("41 41 41 41 AAAA"));
    EXPECT_EQ(words(rows[2]), QStringLiteral("2026-12-08 00:00:00.000100 +0.001100 2>1 2 42 01 B."));
    EXPECT_EQ(words(rows[3]), QStringLiteral("00:00:00.000105 +0.000005 1>2 1 43 C"));
    EXPECT_EQ(rows[1].indexOf(QLatin1String("41")), rows[0].indexOf(QLatin1String("41"))) << "the dump's columns line up";
    EXPECT_EQ(rows[3].indexOf(QLatin1String("00:00:00")), rows[2].indexOf(QLatin1String("00:00:00")));
    feed(2, std::string(size_t{1} << 20, 'D'), 7);
    view->refresh();
    view->verticalScrollBar()->setValue(0);
    const QString large = view->rowsInSight().front();
    EXPECT_EQ(words(large).section(QLatin1Char(' '), 2, 5), QStringLiteral("+0.000007 2>1 1048576 44")) << large.toStdString();
    EXPECT_EQ(large.indexOf(QLatin1String("44")), rows[0].indexOf(QLatin1String("41")));
}

// Copies larger than a slice go out between frames, each record once, in order. More than the clipboard
// takes is offered as a file, written in the background; the note says how it went or that nothing was.
TEST_F(TimelineWindowTest, LargeCopiesGoOutInSlicesOrToAFileInTheBackground) {
    TimelineRecords many{100000, uint64_t{256} << 20};
    ScratchDir dir;
    const std::string path = dir.file("selection.txt");
    size_t offers = 0;
    host.chooseSelectionFile = [&](QWidget*) {
        return offers++ == 0 ? std::optional<QString>(QString::fromStdString(path)) : std::nullopt;
    };
    open(&many);
    for (int i = 0; i < 54000; ++i) feed(1 + i % 2, std::string(i < 34000 ? 1000 : 1 + i % 7, static_cast<char>(i % 251)));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    const auto copy = [&](uint64_t first, unsigned channels) {
        view->selectRecords(first, many.extent().end - 1, channels);
        pressKeys(view, {Qt::Key_C}, Qt::ControlModifier);
    };
    copy(34000, 2);
    EXPECT_TRUE(view->copying() && QGuiApplication::clipboard()->text() == QStringLiteral("before"))
        << "20,000 records were written out in one go";
    ASSERT_TRUE(waitUntil([&] { return !view->copying(); }));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              linesOf(many, [](const TimelineRecord& r) { return r.number >= 34000 && r.channel == 2; }));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    const std::string lines = linesOf(many);
    ASSERT_GT(linesOf(many, [](const TimelineRecord& r) { return r.channel == 2; }).size(), TimelineView::kMaxClipboardBytes);
    const QString savedNote =
        QStringLiteral("The selection was saved to %1: 54,000 records, %2 bytes")
            .arg(QString::fromStdString(path), QLocale(QLocale::English).toString(qulonglong{lines.size()}));
    const QString tooMuch =
        QStringLiteral("Not copied: the selection is more than 64 MB of text, too much for the clipboard");
    // Every record; then port 2's alone, whose size the rows do not tell.
    for (const auto& [channels, note] : {std::pair{3u, savedNote}, std::pair{2u, tooMuch}}) {
        copy(0, channels);
        ASSERT_TRUE(waitUntil([&] { return !view->copying() && !window->saving(); }));
        EXPECT_TRUE(QGuiApplication::clipboard()->text() == QStringLiteral("before") && window->noteText() == note)
            << window->noteText().toStdString();
    }
    EXPECT_EQ(offers, 2u);
    EXPECT_TRUE(dir.read("selection.txt") == lines) << "the file holds the selection's lines";
    delete window.data();  // before the records it reads go
}

// EXPORT writes the list shown as pcapng, or pcap when the name ends in .pcap: every record, or in Frames a packet
// per frame row, the timeout left out, or the rows selected. Read back, the same times, directions and bytes; a
// file that cannot be made says why under the list.
TEST_F(TimelineWindowTest, ExportWritesTheListOrTheFramesSelectedAsWiresharkReadsThem) {
    ScratchDir dir;
    std::string chosen;
    host.chooseExportFile = [&](QWidget*) { return std::optional<QString>(QString::fromStdString(dir.file(chosen))); };
    host.keepDecode = {};  // the INI stays as it is
    open();
    const std::string request = bytesOf(rtu({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}));
    feed(1, request.substr(0, 3), 300000);
    feed(1, request.substr(3), 1000);
    feed(2, bytesOf(rtu({0x11, 0x03, 0x02, 0x00, 0x2A})), 300000);
    feed(1, bytesOf(rtu({0x11, 0x03, 0x00, 0x01, 0x00, 0x01})), 300000);  // left unanswered
    // The rows that have bytes, each as a capture line without its gap: time, direction and bytes.
    const auto packetsOf = [](const std::vector<TimelineRecord>& rows) {
        std::string lines;
        for (TimelineRecord r : rows) {
            r.gapMicros = 0;
            if (!r.bytes.empty()) lines += recordLine(r);
        }
        return lines;
    };
    // EXPORT to `name`; once it is done, what the note under the list says.
    const auto exportTo = [&](const std::string& name) {
        chosen = name;
        window->findChild<QPushButton*>(kExport)->click();
        EXPECT_TRUE(waitUntil([&] { return !window->exporting(); }));
        return window->noteText().toStdString();
    };
    // Exported as the note says, `count` packets that read back as `rows` do.
    const auto expectExported = [&](const std::string& name, const std::vector<TimelineRecord>& rows, int count) {
        EXPECT_EQ(exportTo(name), "Exported " + std::to_string(count) + " records to " + dir.file(name));
        TimelineFile file;
        indexed(file, dir.file(name));
        EXPECT_EQ(packetsOf(readAll(file)), packetsOf(rows));
    };

    expectExported("records.pcap", readAll(records), 4);
    EXPECT_EQ(dir.read("records.pcap").substr(0, 4), "\xD4\xC3\xB2\xA1") << "classic pcap, by its name";

    TimelineDecode frames;
    frames.frames = true;
    frames.choice.gapMicros = 20000;
    frames.choice.master = 1;
    window->setDecode(frames);
    ASSERT_TRUE(waitUntil([&] { return window->frames()->all().extent().end == 4; }));
    const std::vector<TimelineRecord> rows = readAll(window->frames()->all());
    ASSERT_TRUE(rows[0].bytes == request && rows[3].verdict == Verdict::Timeout && rows[3].bytes.empty());
    expectExported("frames.pcapng", rows, 3);  // the timeout has no bytes
    EXPECT_NE(dir.read("frames.pcapng").find("Vorlinex v1.01a"), std::string::npos) << "the section names the program";
    view->selectRecords(1, 3, 3);
    expectExported("selected.pcapng", {rows[1], rows[2]}, 2);

    const std::string missing = dir.file("missing/frames.pcapng");
    EXPECT_EQ(exportTo("missing/frames.pcapng"),
              "The records could not be exported to " + missing + ": No such file or directory");
}

// The program's window in Frames: a Modbus master on port 1's cable and its slave on port 2's. Each frame is
// one row, also one written in pieces; the answer carries its response time; errors only holds exactly the
// bad CRC and the timeout; find lands on the frame; a copy is the frame log's lines, and a file of them opens
// in Frames as it is. DECODE is read at start (a bad value as its default) and kept as the controls change.
TEST_F(TimelineInTheProgram, FramesShowEachFrameOnceWithItsAnswerTimeErrorsFindCopyAndTheChoiceIsKept) {
    const std::string ini = dir.read("Vorlinex.ini") + "[DECODE]\nView=Frames\nProtocol=gap:0\nTimeout=0\n";
    dir.write("Vorlinex.ini", ini);
    run([&](Vorlinex& v, QWidget*) {
        v.timelineWindows.openTimelineWindow();
        QPointer<TimelineWindow> window = v.timelineWindows.timelineWindow();
        ASSERT_TRUE(window);
        TimelineView* view = window->view();
        auto* protocol = window->findChild<QComboBox*>(kProtocol);
        auto* timeout = window->findChild<QLineEdit*>(kTimeout);
        ASSERT_TRUE(window->frames() && protocol && timeout);
        EXPECT_TRUE(window->findChild<QComboBox*>(kMode)->currentText() == QStringLiteral("Frames") &&
                    protocol->currentText() == QStringLiteral("Modbus RTU") &&
                    timeout->text() == QStringLiteral("1000"))
            << "read at start; what is not a protocol or a time reads as the default";
        // Times longer than a busy machine's pauses: the frame written in pieces is joined by its length, and
        // every answer comes in time.
        for (const auto& [edit, text] : {std::pair{window->findChild<QLineEdit*>(kGap), "2000"}, {timeout, "3000"}}) {
            edit->setText(QString::fromLatin1(text));
            emit edit->editingFinished();
        }

        std::vector<std::vector<uint8_t>> frames = {
            rtu({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}), rtu({0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40}),
            rtu({0x11, 0x03, 0x00, 0x01, 0x00, 0x01}), rtu({0x11, 0x03, 0x02, 0x00, 0x2A}),
            rtu({0x11, 0x06, 0x00, 0x10, 0x12, 0x34}), rtu({0x11, 0x06, 0x00, 0x10, 0x12, 0x34}),
            rtu({0x11, 0x01, 0x00, 0x13, 0x00, 0x25})};  // left unanswered
        frames[3].back() ^= 0xFF;  // a bad CRC
        const auto sent = std::chrono::steady_clock::now();
        flow(first, second, bytesOf(frames[0]));
        flow(second, first, bytesOf(frames[1]));
        const auto answered = std::chrono::steady_clock::now();
        flow(first, second, bytesOf(frames[2]));
        flow(second, first, bytesOf(frames[3]));
        const std::string pieces = bytesOf(frames[4]);
        for (const auto& [from, length] : {std::pair{0, 2}, {2, 3}, {5, 3}})
            flow(first, second, pieces.substr(from, length));
        flow(second, first, bytesOf(frames[5]));
        flow(first, second, bytesOf(frames[6]));

        const TimelineFrames* shown = window->frames();
        ASSERT_TRUE(waitUntil([&] { return shown->all().extent().end == 8; })) << shown->all().extent().end;
        const std::vector<TimelineRecord> rows = readAll(shown->all());
        EXPECT_EQ(view->source(), &shown->all());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_TRUE(rows[i].frame && rows[i].bytes == bytesOf(frames[i]) && rows[i].channel == 1 + int(i % 2)) << i;
            EXPECT_EQ(rows[i].verdict, i == 3 ? Verdict::BadCrc : Verdict::Ok) << i;
        }
        std::smatch after;
        ASSERT_TRUE(std::regex_search(rows[1].summary, after, std::regex(", answer after ([0-9]+)\\.([0-9]{3}) ms$")))
            << rows[1].summary;
        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(answered - sent).count();
        const int64_t response = std::stoll(after[1]) * 1000 + std::stoll(after[2]);
        EXPECT_TRUE(response > 0 && response <= waited) << response << " of " << waited;
        EXPECT_TRUE(rows[7].verdict == Verdict::Timeout && rows[7].bytes.empty() &&
                    rows[7].summary.starts_with("timeout after 3.000 s: unit 17 ")) << rows[7].summary;
        EXPECT_TRUE(waitUntil([&] {
            return window->unitsText().startsWith(QStringLiteral("unit 17: 4 transactions, 2 errors, response min "));
        })) << window->unitsText().toStdString();
        EXPECT_EQ(window->findChild<QComboBox*>(kMaster)->itemText(0), QStringLiteral("master found: 1>2"));

        // Find: the pattern lies in the frame written in pieces, and in its echo after it.
        for (window->setFindPattern(QStringLiteral("00 10 12 34"), true); !window->advanceFind();) continue;
        ASSERT_TRUE(window->matchCount() == 2 && window->findNext());
        EXPECT_TRUE(view->match()->startRecord == 4 && view->match()->endRecord == 4);
        EXPECT_EQ(view->selectionText(), frameLines({rows[4]})) << "a frame row copies as the frame log's line";

        window->findChild<QCheckBox*>(kErrorsOnly)->click();
        EXPECT_EQ(view->source(), &shown->errors()) << "what errors() holds is the frames test's";
        window->findChild<QComboBox*>(kMode)->setCurrentIndex(0);
        EXPECT_TRUE(view->source() == &v.app.timeline && !window->frames() && window->unitsText().isEmpty() &&
                    v.app.timeline.extent().end >= 9) << "the records as read, each piece one";
        const std::string kept =
            "[DECODE]\nView=Records\nProtocol=modbus-rtu\nTimeout=3000\nGap=2000\nMaster=0\nErrorsOnly=1\n";
        EXPECT_EQ(dir.read("Vorlinex.ini"), ini.substr(0, ini.find("[DECODE]")) + kept);

        window->findChild<QPushButton*>(kEnd)->click();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        v.timelineWindows.openTimelineWindow();
        window = v.timelineWindows.timelineWindow();
        EXPECT_TRUE(!window->frames() && window->findChild<QLineEdit*>(kGap)->text() == QStringLiteral("2000") &&
                    window->findChild<QCheckBox*>(kErrorsOnly)->isChecked()) << "a new window opens as they were left";

        // A frame log opens in Frames and shows its lines as they are; what is kept stays.
        dir.write("frames.txt", frameLines(rows));
        v.timelineWindows.openTimelineFile(QString::fromStdString(dir.file("frames.txt")));
        ASSERT_TRUE(waitUntil([&] { return v.timelineWindows.fileWindows().size() == 1; }));
        TimelineWindow* log = v.timelineWindows.fileWindows().front();
        ASSERT_TRUE(log->decode().frames && log->frames());
        EXPECT_TRUE(waitUntil([&] { return log->frames()->all().extent().end == 8; })) << "a row a line";
        EXPECT_EQ(log->view()->source(), &log->frames()->errors()) << "errors only, as kept";
        EXPECT_EQ(dir.read("Vorlinex.ini"), ini.substr(0, ini.find("[DECODE]")) + kept);
        // Another protocol is kept as --decode names it; a delimiter starts from CR LF, a quiet gap from the gap set.
        for (const auto& [index, text] : {std::pair{4, "delim:0D0A"}, {3, "gap:2000"}, {2, "nmea"}}) {
            window->findChild<QComboBox*>(kProtocol)->setCurrentIndex(index);
            EXPECT_NE(dir.read("Vorlinex.ini").find(std::string("\nProtocol=") + text + "\n"), std::string::npos) << text;
        }
        EXPECT_TRUE(recordedBoxes().empty());
    });
}
