// The capture windows in the running program: the menu starts a capture and its window ends it,
// what it shows, the boxes, no stalled file holding the UI. What a capture writes is capture_log_test's.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <cstring>
#include <filesystem>

#include "tests/shell/qt/shell_harness.h"
#include "tests/support/combined_records.h"

namespace {

bool itemEnabled(int id) {
    QAction* item = runningVorlinex().mainMenuItem(id);
    return item != nullptr && item->isEnabled();
}

class CaptureInProgram : public ProgramOnCables {
protected:
    static int logEnabled(int channel) { return runningVorlinex().app.captures.captureLog(channel).logEnabled.load(); }
    // A capture started from the menu, the file dialog replaced by `path`.
    static QWidget* start(int channel, const std::string& path) {
        Vorlinex& v = runningVorlinex();
        v.captureWindows.setCaptureFileChooser([path](int) { return std::optional(QString::fromStdString(path)); });
        v.mainMenuItem(captureCommand(channel))->trigger();
        return v.captureWindows.captureLogWindow(channel);
    }
    // A refused write ends port 1's capture with one box, its item offered again while the box is up;
    // started again, it captures. True when every check held.
    bool captureUntilRefused(int error) {
        const std::string path = error == ENOSPC ? "/dev/full" : dir.file(error == EPIPE ? "pipe" : "big.txt");
        const bool fifo = error == EPIPE && ::mkfifo(path.c_str(), 0600) == 0;
        const int reader = fifo ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        const rlimit limit{20000, 20000};
        if (error == EFBIG) ::setrlimit(RLIMIT_FSIZE, &limit);
        bool offeredUnderTheBox = false;
        run([&](Vorlinex&, QWidget*) {
            QPointer<QWidget> window = start(1, path);
            ASSERT_TRUE(window);
            ::close(reader);
            EXPECT_TRUE(waitUntil([&] {
                if (window) flow(first, second, randomBytes(2000, 9));
                return window.isNull();
            }, 30000));
            ASSERT_TRUE(start(1, dir.file("again.txt")));
            flow(first, second, "captured again");
            EXPECT_TRUE(waitUntil([&] { return dir.read("again.txt") == "captured again"; }));
        }, false, [&](const BoxRequest& box) {
            recordedBoxes().push_back(box);
            offeredUnderTheBox = waitUntil([] { return itemEnabled(kCommandLogA); });  // the box's loop runs meanwhile
        });
        EXPECT_TRUE(offeredUnderTheBox);
        EXPECT_EQ(recordedBoxes().size(), 1u) << "a refused write is reported once";
        for (const BoxRequest& box : recordedBoxes())
            EXPECT_TRUE(box.text.find(path) != std::string::npos &&
                        box.text.find(std::strerror(error)) != std::string::npos)
                << box.text;
        return !HasFailure();
    }
};

// All three from the menu, each item off while its capture runs; a file another capture writes
// refused with a box; CLOSE or the close box ends it, dialog keys do not; no pipe holds the UI.
TEST_F(CaptureInProgram, TheMenuStartsEachCaptureItsWindowShowsAndEndsItAndNoPipeHoldsTheUi) {
    std::string sent1, sent2;
    dir.write("both.txt", std::string(100000, 'x'));  // emptied: the window's captures start afresh
    run([&](Vorlinex&, QWidget*) {
        QPointer<QWidget> log1 = start(1, dir.file("one.txt")), log2 = start(2, dir.file("two.txt")),
                          both = start(kCombinedCapture, dir.file("both.txt"));
        ASSERT_TRUE(log1 && log2 && both);
        EXPECT_FALSE(itemEnabled(kCommandLogA) || itemEnabled(kCommandLogB) || itemEnabled(kCommandLogC));
        EXPECT_EQ(controlText(both, kLogDirection), "Com1 <-> Com2");
        sent1 = flow(first, second, randomBytes(1500, 20));
        sent2 = flow(second, first, randomBytes(2500, 40));
        EXPECT_TRUE(waitUntil([&] {
            return controlText(log1, kLogByteCount) == "1500" && controlText(log2, kLogByteCount) == "2500" &&
                   controlText(both, kLogByteCount) == "4000" && dir.read("one.txt") == sent1;
        }));
        click(both, kLogClose);
        click(log1, kLogClose);
        EXPECT_TRUE(waitUntil([] { return itemEnabled(kCommandLogC) && itemEnabled(kCommandLogA); }) &&
                    !itemEnabled(kCommandLogB));
        EXPECT_EQ(start(kCombinedCapture, dir.file("two.txt")), nullptr);
        ASSERT_EQ(recordedBoxes().size(), 1u);
        const std::string held = "\n(already being captured by LOG B)";
        EXPECT_EQ(recordedBoxes()[0].text, "File Open Error。\n" + dir.file("two.txt") + held);
        recordedBoxes().clear();

        const QString name = QString(70, 'L') + ".txt";  // CLOSE is clicked above and below: the close box here
        QPointer<QWidget> window = start(1, dir.file(name.toStdString()));
        ASSERT_TRUE(window);
        auto* box = child<QGroupBox>(window, kLogFileName);
        EXPECT_EQ(box->title(), "Log File Name： " + name);
        EXPECT_GE(box->width(), box->fontMetrics().horizontalAdvance(box->title())) << "the name shown whole";
        EXPECT_EQ(child<QPushButton>(window, kLogClose)->text(), "CLOSE");
        for (QWidget* target : {window.data(), child(window, kLogClose)}) {
            pressKeys(target, {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter});
            QApplication::processEvents();
            ASSERT_TRUE(window && window->isVisible()) << "dialog keys end nothing";
        }
        window->close();
        EXPECT_FALSE((window && window->isVisible()) || logEnabled(1));
        EXPECT_TRUE(waitUntil([&] { return itemEnabled(kCommandLogA); }));

        StalledPipes stalled(dir, {"pipe1", "pipe3"});
        QPointer<QWidget> windows[] = {start(1, dir.file("pipe1")), start(kCombinedCapture, dir.file("pipe3"))};
        const std::string sent = flow(first, second, randomBytes(5000, 11));  // less than either write-out size
        waitUntil([] { return false; }, 2500);  // the timed write-outs come due
        ASSERT_TRUE(windows[0] && windows[1]);
        click(windows[0], kLogClose);
        click(windows[1], kLogClose);
        EXPECT_FALSE((windows[0] && windows[0]->isVisible()) || (windows[1] && windows[1]->isVisible()));
        EXPECT_FALSE(logEnabled(1) || runningVorlinex().app.captures.combinedCapture.enabled());
        EXPECT_FALSE(stalled.rescued()) << "the UI thread waited for a pipe";
        for (StalledPipes::Pipe& p : stalled.pipes) ::close(std::exchange(p.filler, -1));
        EXPECT_TRUE(waitUntil([&] {
            const bool drained = stalled.pipes[0].drain() && stalled.pipes[1].drain();
            return drained && itemEnabled(kCommandLogA) && itemEnabled(kCommandLogC);
        }, 30000));
        EXPECT_EQ(stalled.pipes[0].got.substr(stalled.pipes[0].filled), sent);
    });
    std::string error, directions[2];
    for (const CombinedRecord& r : parseCombinedRecords(dir.read("both.txt"), error))
        directions[r.channel - 1] += r.bytes;
    EXPECT_TRUE(error.empty() && directions[0] == sent1 && directions[1] == sent2);
    EXPECT_EQ(dir.read("two.txt"), sent2);  // written out by the shutdown
    EXPECT_TRUE(recordedBoxes().empty());
}

// A full device, a pipe without reader, a file past the size limit (the program ignores SIGPIPE
// and SIGXFSZ): the capture ends alone. In a child process each.
TEST_F(CaptureInProgram, ARefusedWriteEndsThatCaptureAloneAndItIsOfferedAgainWhileItsBoxIsStillUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const int error : {ENOSPC, EPIPE, EFBIG})
        EXPECT_EXIT(std::_Exit(captureUntilRefused(error) ? 0 : 1), ::testing::ExitedWithCode(0), "") << error;
}

// The real file dialog: a new name without a dot gets ".txt" once asked (No: the dialog again),
// an existing one is kept; a cancel starts nothing.
TEST_F(CaptureInProgram, FileDialogListsEveryFileAndCancellingChangesNothing) {
    dir.write("README", "an older and longer file without a dot");
    dir.write("notes.txt", "a dot");
    QFileDialog().setDirectory(QString::fromStdString(dir.path()));  // not the folder of an earlier case
    const QStringList answers = {"", "newcapture", "README"};  // one per dialog shown; "": Cancel
    QStringList filters, listed, asked;
    int answered = 0, ticks = 0;
    QTimer answering;
    QObject::connect(&answering, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || dialog->property("answered").toBool()) return;
        auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (types && view && name) {
            filters = QStringList{types->currentText()};
            listed.clear();
            for (int i = 0; i < types->count(); ++i) filters << types->itemText(i);
            for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
                listed << view->model()->index(row, 0, view->rootIndex()).data().toString();
            // The folder is read in the background: wait until the file with a dot shows.
            if (!listed.contains("notes.txt") && ++ticks < 200) return;
            name->setText(answers.value(answered));
        }
        dialog->setProperty("answered", true);
        const bool accept = name && !answers.value(answered++).isEmpty();
        QMetaObject::invokeMethod(dialog, accept ? "accept" : "reject", Qt::QueuedConnection);
    });
    answering.start(50);
    run([&](Vorlinex& v, QWidget*) {
        v.captureWindows.setCreateFilePrompt([&](const QString& path) {
            asked << path;
            return false;
        });
        v.mainMenuItem(kCommandLogA)->trigger();
        EXPECT_EQ(filters, QStringList({"All Files(*.*)", "All Files(*.*)", "txt files(*.txt)"}));  // chosen first
        EXPECT_TRUE(listed.contains("README") && listed.contains("notes.txt")) << listed.join(", ").toStdString();
        EXPECT_TRUE(!v.captureWindows.captureLogWindow(1) && itemEnabled(kCommandLogA) && !logEnabled(1));
        EXPECT_TRUE(asked.isEmpty());
        v.mainMenuItem(kCommandLogA)->trigger();
        EXPECT_EQ(asked, QStringList({QString::fromStdString(dir.file("newcapture.txt"))}));
        QWidget* window = v.captureWindows.captureLogWindow(1);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(controlText(window, kLogDirection), "Com1 -> Com2");
        first.send("into README");
        EXPECT_TRUE(waitUntil([&] { return controlText(window, kLogByteCount) == "11"; }));
    });
    answering.stop();
    EXPECT_EQ(answered, 3);
    EXPECT_EQ(dir.read("README"), "into README");
    EXPECT_FALSE(std::filesystem::exists(dir.file("newcapture.txt")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("README.txt")));
    EXPECT_TRUE(recordedBoxes().empty());
}

}  // namespace
