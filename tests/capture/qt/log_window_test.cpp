// Captures through the running program: the file dialog, the log windows and their counters
// while bytes flow over pty cables, and the ways a capture ends.
#include <gtest/gtest.h>

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <cstring>
#include <deque>

#include "capture/capture_log.h"
#include "capture/qt/log_window.h"
#include "relay/relay_channel.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

QGroupBox* nameBox(QWidget* window) { return window->findChild<QGroupBox*>(QStringLiteral("1065")); }

void clickClose(QWidget* window) {
    auto* button = window->findChild<QPushButton*>(QStringLiteral("1009"));
    ASSERT_TRUE(button != nullptr && button->text() == "CLOSE");
    button->click();
}

bool itemEnabled(int id) { return mainMenuItem(id) != nullptr && mainMenuItem(id)->isEnabled(); }

// The program on two cables; the file dialog is replaced by the path the test gives.
class CaptureInProgram : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("Vorlinex.ini", vorlinexIni({device1.slavePath(), device2.slavePath()}));
        recordBoxes();
        setCaptureFileChooser([this](int) { return std::optional<QString>(chosen); });
    }
    void TearDown() override { setCaptureFileChooser({}); setCreateFilePrompt({}); }

    QWidget* start(int channel, const std::string& path) {
        chosen = QString::fromStdString(path);
        mainMenuItem(channel == 2 ? 40011 : 40010)->trigger();
        return captureLogWindow(channel);
    }
    void flow(PtyCable& from, PtyCable& to, const std::string& bytes) {
        from.send(bytes);
        EXPECT_EQ(to.receive(bytes.size(), 10000), bytes);
    }

    ScratchDir dir;
    PtyCable device1, device2;
    QString chosen;
};

TEST_F(CaptureInProgram, BothDirectionsCaptureIntoTheirFilesWhileBytesFlowBothWays) {
    std::string sent1, sent2;
    runVorlinex([&](QWidget*) {
        QPointer<QWidget> log1 = start(1, dir.file("one.txt")), log2 = start(2, dir.file("two.txt"));
        ASSERT_TRUE(log1 && log2);
        EXPECT_FALSE(itemEnabled(40010));
        EXPECT_FALSE(itemEnabled(40011));
        EXPECT_EQ(log2->windowTitle(), QStringLiteral("Vorlinex： Log"));
        EXPECT_EQ(controlText(log1, 1067), "Com1 -> Com2");
        EXPECT_EQ(controlText(log2, 1067), "Com2 -> Com1");

        for (int round = 0; round < 5; ++round) {
            const std::string a = randomBytes(1500, 20 + round), b = randomBytes(2500, 40 + round);
            flow(device1, device2, a);
            flow(device2, device1, b);
            sent1 += a;
            sent2 += b;
        }
        // Less than a stream buffer each: the line has gone quiet, and still it reaches the disk.
        EXPECT_TRUE(waitUntil([&] {
            return controlText(log1, 1066) == QString::number(sent1.size()) &&
                   controlText(log2, 1066) == QString::number(sent2.size()) &&
                   dir.read("one.txt") == sent1 && dir.read("two.txt") == sent2;
        }));

        // Closing one leaves the other capturing.
        clickClose(log1);
        flow(device1, device2, "not captured");
        const std::string more = randomBytes(3000, 60);
        flow(device2, device1, more);
        sent2 += more;
        EXPECT_TRUE(waitUntil([&] { return controlText(log2, 1066) == QString::number(sent2.size()); }));
    });
    // Shutdown writes out the capture still open.
    EXPECT_EQ(dir.read("one.txt"), sent1);
    EXPECT_EQ(dir.read("two.txt"), sent2);
    EXPECT_TRUE(recordedBoxes().empty());
}

// Each way of ending, one after the other; each capture's name is shorter than the last.
TEST_F(CaptureInProgram, EachWayOfEndingEndsTheCaptureAndTheNextMakesANewWindowWithExactlyItsName) {
    const std::pair<QString, void (*)(QWidget*)> ways[] = {
        {QString(70, 'L') + ".txt", [](QWidget* w) { clickClose(w); }},
        {"abcde", [](QWidget* w) { w->close(); }},
        {"x", [](QWidget* w) {
             QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QApplication::sendEvent(w, &press);
         }}};
    runVorlinex([&](QWidget*) {
        for (const auto& [name, end] : ways) {
            SCOPED_TRACE(name.toStdString());
            QPointer<QWidget> window = start(1, dir.file(name.toStdString()));
            ASSERT_TRUE(window);
            QGroupBox* box = nameBox(window);
            EXPECT_EQ(box->title(), "Log File Name： " + name);
            EXPECT_GE(box->width(), box->fontMetrics().horizontalAdvance(box->title()));
            EXPECT_EQ(controlText(window, 1066), "0");
            flow(device1, device2, "again");
            EXPECT_TRUE(waitUntil([&] { return controlText(window, 1066) == "5"; }));
            end(window);
            EXPECT_FALSE(window && window->isVisible());
            EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
            EXPECT_TRUE(itemEnabled(40010));
            EXPECT_EQ(dir.read(name.toStdString()), "again");
            flow(device1, device2, "between captures");
        }
    });
    EXPECT_TRUE(recordedBoxes().empty());
}

TEST_F(CaptureInProgram, FullDeviceIsReportedOnceAndEndsTheCapture) {
    runVorlinex([&](QWidget*) {
        QPointer<QWidget> window = start(1, "/dev/full");
        ASSERT_TRUE(window);
        // The stream buffers; the device refuses at the latest when it is flushed.
        EXPECT_TRUE(waitUntil([&] {
            if (window) flow(device1, device2, randomBytes(2000, 7));
            return window.isNull();
        }, 30000));
        EXPECT_TRUE(itemEnabled(40010));
        EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
        EXPECT_EQ(captureByteCount(1), 0);
        flow(device1, device2, randomBytes(20000, 8));
        QApplication::processEvents();
    });
    ASSERT_EQ(recordedBoxes().size(), 1u);
    EXPECT_EQ(recordedBoxes()[0].icon, BoxIcon::Error);
    EXPECT_NE(recordedBoxes()[0].text.find("/dev/full"), std::string::npos);
    EXPECT_NE(recordedBoxes()[0].text.find(std::strerror(ENOSPC)), std::string::npos);
}

// The real file dialog, answered as a person would: a new name typed without its suffix, "No"
// to creating it brings the dialog back, and cancelling that changes nothing.
TEST_F(CaptureInProgram, FileDialogAsksBeforeCreatingANewFileAndCancelChangesNothing) {
    setCaptureFileChooser({});
    int asked = 0;
    setCreateFilePrompt([&](const QString& path) {
        EXPECT_EQ(path, QString::fromStdString(dir.file("newcapture.txt")));
        ++asked;
        return false;  // "No": back to the dialog
    });
    std::deque<QString> answers = {"newcapture", ""};  // "" cancels
    QPointer<QFileDialog> answered;
    QTimer answering;
    QObject::connect(&answering, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || dialog == answered || answers.empty()) return;
        answered = dialog;
        EXPECT_EQ(dialog->windowTitle(), "Vorlinex Log File Open");
        EXPECT_EQ(dialog->nameFilters(), QStringList({"All Files(*.*)", "txt files(*.txt)"}));
        // Typed into the name field of the folder the dialog opens in: the current one.
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(answers.front());
        const char* button = answers.front().isEmpty() ? "reject" : "accept";
        QMetaObject::invokeMethod(dialog, button, Qt::QueuedConnection);
        answers.pop_front();
    });
    answering.start(50);
    runVorlinex([&](QWidget*) {
        mainMenuItem(40010)->trigger();
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(captureLogWindow(1), nullptr);
        EXPECT_TRUE(itemEnabled(40010));
        EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
        EXPECT_TRUE(answers.empty());
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir.file("newcapture.txt"))));
    });
    EXPECT_TRUE(recordedBoxes().empty());
}

}  // namespace
