// The real program on Windows, run in this process through its own entry function, on two of the
// runner's COM cables (tests/support/pty_cable.h): what only Windows does with the window.

// Before windows.h, whose global `byte` the relay's own names would otherwise shadow.
#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <QAction>
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <QtCore/qtestsupport_core.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_cable.h"

namespace {

namespace fs = std::filesystem;

// The program's window when the platform is Windows' own, else null (offscreen).
HWND nativeWindow(QWidget* window) {
    return QGuiApplication::platformName() == QLatin1String("windows") ? reinterpret_cast<HWND>(window->winId()) : nullptr;
}

// Runs the program; `body` on the UI thread once its window shows. Its boxes are recorded.
int runProgram(const std::function<void(Vorlinex&, QWidget*)>& body, std::vector<std::string>& boxes) {
    static char name[] = "vorlinex";
    static char* argv[] = {name, nullptr};
    return vorlinexMain(1, argv, [&](QWidget* window) { body(vorlinexOf(window), window); },
                        [&boxes](const BoxRequest& request) { boxes.push_back(request.text); });
}

class ProgramOnComPorts : public ::testing::Test {
protected:
    void SetUp() override {
        folder.write("Vorlinex.ini",
                     "[DATA1]\r\nCOM=0\r\nBPS=9600\r\nBIT=8\r\n[DATA2]\r\nCOM=1\r\nBPS=9600\r\nBIT=8\r\n"
                     "[DATA]\r\nDATETIMEVAL=60\r\nRATE=5\r\nDMODE=0\r\n" +
                         devicesSection({end1.slavePath(), end2.slavePath(), "", "", "", ""}));
    }
    // `count` random bytes each way at once, while the program's windows are served (its workers
    // hand every chunk to them): both must arrive whole and in order.
    void relayBothWays(size_t count, uint32_t seed) {
        const std::string sent[2] = {randomBytes(count, seed), randomBytes(count, seed + 1)};
        std::string got[2];
        std::atomic<int> finished{0};
        std::jthread threads[] = {std::jthread([&] { end1.send(sent[0]); }), std::jthread([&] { end2.send(sent[1]); }),
                                  std::jthread([&] { got[0] = end2.receive(count, 10000), ++finished; }),
                                  std::jthread([&] { got[1] = end1.receive(count, 10000), ++finished; })};
        EXPECT_TRUE(QTest::qWaitFor([&] { return finished.load() == 2; }, 120000));
        for (int i : {0, 1})
            EXPECT_TRUE(got[i] == sent[i])
                << (i ? "COM2 -> COM1: " : "COM1 -> COM2: ") << got[i].size() << " bytes, or they differ";
    }

    ScratchDir folder;
    PtyCable end1, end2;
    std::vector<std::string> boxes;
};

TEST_F(ProgramOnComPorts, ShowsItsTitleRelays64KiBEachWayExactlyAndEndExitsZero) {
    bool ended = false;
    const int exitCode = runProgram([&](Vorlinex& vorlinex, QWidget* window) {
        EXPECT_EQ(window->windowTitle(), QStringLiteral("Vorlinex v1.01a"));
        if (HWND native = nativeWindow(window)) {
            wchar_t title[256] = {};  // as the system (and the task bar) shows it
            ::GetWindowTextW(native, title, 256);
            EXPECT_EQ(::FindWindowW(nullptr, L"Vorlinex v1.01a"), native);
            EXPECT_EQ(std::wstring(title), L"Vorlinex v1.01a");
        }
        EXPECT_TRUE(vorlinex.app.relay.serialPort1.isOpen() && vorlinex.app.relay.serialPort2.isOpen());
        relayBothWays(64 * 1024, 7);
        QTimer::singleShot(0, window, [&vorlinex, &ended] {  // END, chosen from the menu once the message loop runs
            QAction* end = vorlinex.mainMenuItem(kCommandEnd);
            ASSERT_NE(end, nullptr);
            ended = true;
            end->trigger();
        });
    }, boxes);
    EXPECT_TRUE(ended);
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// Windows ends the process as soon as the window has answered WM_ENDSESSION: by then the relay
// must have stopped and an open capture must be on disk whole.
TEST_F(ProgramOnComPorts, TheEndOfTheSessionShutsDownBeforeItIsAnsweredWithTheCaptureWrittenOut) {
    const std::string captured = randomBytes(5000, 11);
    const int exitCode = runProgram([&](Vorlinex& vorlinex, QWidget* window) {
        const Relay& relay = vorlinex.app.relay;
        ASSERT_EQ(vorlinex.app.captures.openCaptureLog(1, folder.file("capture.log")), 1);
        std::jthread sender([&] { end1.send(captured); });
        std::atomic<bool> received{false};
        std::jthread receiver([&] { received = end2.receive(captured.size(), 10000) == captured; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return received.load(); }, 60000)) << "relayed whole before the session ends";
        MSG message{nativeWindow(window), WM_ENDSESSION, TRUE, 0};
        if (message.hwnd != nullptr) {
            ::SendMessageW(message.hwnd, WM_ENDSESSION, TRUE, 0);
        } else {
            // Offscreen there is no native window: the message goes the way Qt hands it on.
            qintptr result = 0;
            QAbstractEventDispatcher::instance()->filterNativeEvent("windows_generic_MSG", &message, &result);
        }
        EXPECT_TRUE(vorlinex.shutdownStarted());
        EXPECT_FALSE(relay.relayChannel1.worker.joinable() || relay.relayChannel2.worker.joinable());
        EXPECT_FALSE(relay.serialPort1.isOpen() || relay.serialPort2.isOpen());
        EXPECT_EQ(folder.read("capture.log").substr(0, captured.size()), captured);
    }, boxes);
    EXPECT_EQ(exitCode, 0);
}

// HELP opens the page of the current directory, else the one installed beside the program (the
// installer and the portable folder put it there).
TEST(ProgramHelp, OpensThePageOfTheCurrentDirectoryElseTheOneBesideTheProgram) {
    ScratchDir folder;
    folder.write("Vorlinex.ini", "[DATA1]\r\nCOM=4\r\n[DATA2]\r\nCOM=5\r\n");
    const fs::path besideProgram = fs::path(QCoreApplication::applicationDirPath().toStdWString()) / L"Vorlinex.html";
    const bool placedBeside = !fs::exists(besideProgram);
    if (placedBeside) std::ofstream(besideProgram) << "<html></html>";
    std::vector<QUrl> opened;
    std::vector<std::string> boxes;
    runProgram([&](Vorlinex& vorlinex, QWidget*) {
        vorlinex.openUrl = [&opened](const QUrl& url) { opened.push_back(url); };
        boxes.clear();  // the ports' own, if COM5 and COM6 are not there
        vorlinex.openHelp();
        folder.write("Vorlinex.html", "<html></html>");
        vorlinex.openHelp();
        vorlinex.shutdownVorlinex();
    }, boxes);
    EXPECT_EQ(opened.size(), 2u) << (boxes.empty() ? std::string() : boxes.front());
    std::error_code absent;
    const auto openedFile = [&](size_t i) { return fs::path(opened.at(i).toLocalFile().toStdWString()); };
    if (opened.size() == 2) {
        EXPECT_TRUE(fs::equivalent(openedFile(0), besideProgram, absent) &&
                    fs::equivalent(openedFile(1), folder.file("Vorlinex.html"), absent));
    }
    if (placedBeside) fs::remove(besideProgram);
}

}  // namespace
