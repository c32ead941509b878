// Captures through the running program: the menu commands, the file dialog, the log windows
// and their counters while bytes flow over pty cables, and the ways a capture ends.
#include <gtest/gtest.h>

#include <QAction>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>

#include "capture/capture_log.h"
#include "capture/qt/log_window.h"
#include "relay/relay_channel.h"
#include "shell/qt/dialog_units.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

QString groupTitle(QWidget* window) {
    auto* group = window->findChild<QGroupBox*>(QStringLiteral("1065"));
    return group == nullptr ? QStringLiteral("<missing 1065>") : group->title();
}

QPushButton* closeButton(QWidget* window) {
    return window->findChild<QPushButton*>(QStringLiteral("1009"));
}

// A click the way the user makes it: through the event loop, as a mouse press and release.
void clickWithMouse(QPushButton* button) {
    const QPointF centre = QRectF(button->rect()).center();
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, centre, button->mapToGlobal(centre), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(button, &event);
    }
}

bool itemEnabled(int id) {
    QAction* item = mainMenuItem(id);
    return item != nullptr && item->isEnabled();
}

// The program on two cables, with the file dialog answered from a queue of the test's paths
// (an empty entry is a cancelled dialog).
class CaptureInProgram : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("Vorlinex.ini", vorlinexIni({device1.slavePath(), device2.slavePath()}));
        recordBoxes();
        setCaptureFileChooser([this](int) -> std::optional<QString> {
            if (answers.empty()) return std::nullopt;
            const QString path = answers.front();
            answers.pop_front();
            if (path.isEmpty()) return std::nullopt;
            return path;
        });
    }
    void TearDown() override {
        setCaptureFileChooser({});
        setCreateFilePrompt({});
    }

    QWidget* start(int channel, const std::string& path) {
        answers.push_back(QString::fromStdString(path));
        mainMenuItem(channel == 2 ? 40011 : 40010)->trigger();
        return captureLogWindow(channel);
    }

    // Bytes from a device through the relay into the other device, counted in the log window.
    void flow(PtyCable& from, PtyCable& to, const std::string& bytes) {
        from.send(bytes);
        EXPECT_EQ(to.receive(bytes.size(), 10000), bytes);
    }

    ScratchDir dir;
    PtyCable device1, device2;
    std::deque<QString> answers;
};

TEST_F(CaptureInProgram, CancelledDialogChangesNothing) {
    runVorlinex([&](QWidget*) {
        answers.push_back(QString());
        mainMenuItem(40010)->trigger();
        EXPECT_EQ(captureLogWindow(1), nullptr);
        EXPECT_TRUE(itemEnabled(40010));
        EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
        EXPECT_EQ(relayChannel1.logFile, nullptr);
    });
    EXPECT_TRUE(recordedBoxes().empty());
}

TEST_F(CaptureInProgram, FileThatCannotBeOpenedIsReportedAndNoWindowOpens) {
    runVorlinex([&](QWidget*) {
        EXPECT_EQ(start(2, dir.file("missing/x.txt")), nullptr);
        EXPECT_TRUE(itemEnabled(40011));
        ASSERT_EQ(recordedBoxes().size(), 1u);
        EXPECT_EQ(recordedBoxes()[0].text, "File Open Error。");
        EXPECT_EQ(recordedBoxes()[0].icon, BoxIcon::Error);
    });
}

TEST_F(CaptureInProgram, BothDirectionsCaptureIntoTheirFilesWhileBytesFlowBothWays) {
    std::string sent1, sent2;
    runVorlinex([&](QWidget*) {
        QPointer<QWidget> log1 = start(1, dir.file("one.txt"));
        QPointer<QWidget> log2 = start(2, dir.file("two.txt"));
        ASSERT_TRUE(log1 && log2);
        EXPECT_FALSE(itemEnabled(40010));
        EXPECT_FALSE(itemEnabled(40011));

        const DialogUnits du(dialogFont());
        struct Expected {
            QWidget* window;
            const char* name;
            const char* file;
            const char* direction;
            int width;
        };
        for (const Expected& e : {Expected{log1, "IDD_DIALOG_LOG1", "one.txt", "Com1 -> Com2", 190},
                                  Expected{log2, "IDD_DIALOG_LOG2", "two.txt", "Com2 -> Com1", 191}}) {
            SCOPED_TRACE(e.name);
            EXPECT_TRUE(e.window->isVisible());
            EXPECT_EQ(e.window->objectName(), e.name);
            EXPECT_EQ(e.window->windowTitle(), QStringLiteral("Vorlinex： Log"));
            EXPECT_EQ(groupTitle(e.window), QStringLiteral("Log File Name： ") + e.file);
            EXPECT_EQ(controlText(e.window, 1067), e.direction);
            EXPECT_EQ(controlText(e.window, 1066), "0");
            bool labelFound = false;
            for (QLabel* label : e.window->findChildren<QLabel*>()) {
                labelFound |= label->text() == QStringLiteral("Recv Byte：");
            }
            EXPECT_TRUE(labelFound);
            ASSERT_NE(closeButton(e.window), nullptr);
            EXPECT_EQ(closeButton(e.window)->text(), "CLOSE");
            EXPECT_TRUE(closeButton(e.window)->isDefault());
            EXPECT_EQ(e.window->size(), QSize(du.x(e.width), du.y(75)));
        }

        for (int round = 0; round < 5; ++round) {
            const std::string a = randomBytes(1500, 20 + round), b = randomBytes(2500, 40 + round);
            flow(device1, device2, a);
            flow(device2, device1, b);
            sent1 += a;
            sent2 += b;
            EXPECT_TRUE(waitUntil([&] {
                return controlText(log1, 1066) == QString::number(sent1.size()) &&
                       controlText(log2, 1066) == QString::number(sent2.size());
            })) << controlText(log1, 1066).toStdString() << " " << controlText(log2, 1066).toStdString();
        }

        // Closing one leaves the other capturing.
        clickWithMouse(closeButton(log1));
        EXPECT_FALSE(log1 && log1->isVisible());
        EXPECT_TRUE(itemEnabled(40010));
        EXPECT_EQ(relayChannel1.logFile, nullptr);
        flow(device1, device2, "not captured");
        const std::string more = randomBytes(3000, 60);
        flow(device2, device1, more);
        sent2 += more;
        EXPECT_TRUE(waitUntil([&] { return controlText(log2, 1066) == QString::number(sent2.size()); }));
        EXPECT_TRUE(waitUntil([&] { return log1.isNull(); }));
    });
    // Shutdown writes out the capture still open.
    EXPECT_EQ(fileBytes(dir.file("one.txt")), sent1);
    EXPECT_EQ(fileBytes(dir.file("two.txt")), sent2);
    EXPECT_TRUE(recordedBoxes().empty());
}

struct EndCase {
    const char* name;
    void (*end)(QWidget* window);
};

const EndCase endCases[] = {
    {"CloseButton", [](QWidget* w) { clickWithMouse(closeButton(w)); }},
    {"CloseBox", [](QWidget* w) { w->close(); }},
    {"EscapeKey",
     [](QWidget* w) {
         QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
         QApplication::sendEvent(w, &press);
     }},
};

void PrintTo(const EndCase& row, std::ostream* out) { *out << row.name; }

class CaptureEnd : public CaptureInProgram, public ::testing::WithParamInterface<EndCase> {};

TEST_P(CaptureEnd, EndsTheCaptureAndTheNextCaptureMakesANewWindowWithExactlyItsName) {
    runVorlinex([&](QWidget*) {
        QPointer<QWidget> first = start(1, dir.file("twelve_chars"));
        ASSERT_TRUE(first);
        EXPECT_EQ(groupTitle(first), QStringLiteral("Log File Name： twelve_chars"));
        flow(device1, device2, "captured");
        GetParam().end(first);
        EXPECT_FALSE(first && first->isVisible());
        EXPECT_EQ(captureLogWindow(1), nullptr);
        EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
        EXPECT_EQ(relayChannel1.logFile, nullptr);
        EXPECT_TRUE(itemEnabled(40010));
        EXPECT_TRUE(waitUntil([&] { return first.isNull(); }));
        EXPECT_EQ(fileBytes(dir.file("twelve_chars")), "captured");

        flow(device1, device2, "between captures");
        QPointer<QWidget> second = start(1, dir.file("abcde"));
        ASSERT_TRUE(second);
        EXPECT_EQ(groupTitle(second), QStringLiteral("Log File Name： abcde"));
        EXPECT_EQ(controlText(second, 1066), "0");
        flow(device1, device2, "again");
        EXPECT_TRUE(waitUntil([&] { return controlText(second, 1066) == "5"; }));
    });
    EXPECT_EQ(fileBytes(dir.file("abcde")), "again");
    EXPECT_TRUE(recordedBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Ways, CaptureEnd, ::testing::ValuesIn(endCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(CaptureInProgram, LongNameIsShownWholeInAWindowWideEnoughForIt) {
    const std::string name = std::string(70, 'L') + ".txt";
    runVorlinex([&](QWidget*) {
        QWidget* window = start(2, dir.file(name));
        ASSERT_NE(window, nullptr);
        auto* group = window->findChild<QGroupBox*>(QStringLiteral("1065"));
        EXPECT_EQ(group->title(), QStringLiteral("Log File Name： ") + QString::fromStdString(name));
        EXPECT_GE(group->width(), group->fontMetrics().horizontalAdvance(group->title()));
        EXPECT_LE(group->geometry().right(), window->width());
    });
}

TEST_F(CaptureInProgram, FullDeviceIsReportedOnceAndEndsTheCapture) {
    runVorlinex([&](QWidget*) {
        QPointer<QWidget> window = start(1, "/dev/full");
        ASSERT_TRUE(window);
        // The stream buffers; the device refuses at the latest when it is flushed.
        EXPECT_TRUE(waitUntil([&] {
            if (!window) return true;
            flow(device1, device2, randomBytes(2000, 7));
            return recordedBoxes().size() > 0;
        }, 30000));
        EXPECT_TRUE(waitUntil([&] { return window.isNull(); }));
        EXPECT_TRUE(itemEnabled(40010));
        EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
        EXPECT_EQ(relayChannel1.logFile, nullptr);
        flow(device1, device2, randomBytes(20000, 8));
        QApplication::processEvents();
    });
    ASSERT_EQ(recordedBoxes().size(), 1u);
    EXPECT_EQ(recordedBoxes()[0].icon, BoxIcon::Error);
    EXPECT_NE(recordedBoxes()[0].text.find("/dev/full"), std::string::npos);
    EXPECT_NE(recordedBoxes()[0].text.find(std::strerror(ENOSPC)), std::string::npos);
}

// The file dialog itself, answered the way a person would: its texts, a new name typed
// without a suffix, the question before a file is created.
TEST_F(CaptureInProgram, FileDialogAsksBeforeCreatingANewFile) {
    setCaptureFileChooser({});
    std::vector<QString> asked;
    setCreateFilePrompt([&](const QString& path) {
        asked.push_back(path);
        return asked.size() > 1;  // "No" the first time: back to the dialog
    });
    int dialogsSeen = 0;
    QPointer<QFileDialog> answered;
    QString typed;
    auto answerDialog = [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || dialog == answered) return;
        answered = dialog;
        ++dialogsSeen;
        EXPECT_EQ(dialog->windowTitle(), "Vorlinex Log File Open");
        EXPECT_EQ(dialog->nameFilters(), QStringList({"All Files(*.*)", "txt files(*.txt)"}));
        EXPECT_EQ(dialog->selectedNameFilter(), "All Files(*.*)");
        EXPECT_EQ(dialog->defaultSuffix(), "txt");
        // Typed into the name field of the folder the dialog opens in: the current one.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(typed);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    };
    runVorlinex([&](QWidget*) {
        QTimer answering;
        QObject::connect(&answering, &QTimer::timeout, [&] { answerDialog(); });
        typed = QStringLiteral("newcapture");
        answering.start(50);
        mainMenuItem(40010)->trigger();
        answering.stop();
        EXPECT_EQ(dialogsSeen, 2);
        ASSERT_EQ(asked.size(), 2u);
        EXPECT_EQ(asked[0], QString::fromStdString(dir.file("newcapture.txt")));
        ASSERT_NE(captureLogWindow(1), nullptr);
        EXPECT_EQ(groupTitle(captureLogWindow(1)), QStringLiteral("Log File Name： newcapture.txt"));
        clickWithMouse(closeButton(captureLogWindow(1)));

        // An existing file is taken without a question.
        typed = QStringLiteral("newcapture.txt");
        answering.start(50);
        mainMenuItem(40010)->trigger();
        answering.stop();
        EXPECT_EQ(dialogsSeen, 3);
        EXPECT_EQ(asked.size(), 2u);
        EXPECT_NE(captureLogWindow(1), nullptr);
    });
}

}  // namespace
