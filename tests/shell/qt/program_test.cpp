// The real program in-process on either system: its title, relaying while its windows are up,
// HELP, and every way out. Its own cables (tests/support/pty_cable.h): pseudo-terminals on Linux,
// the runner's COM cables under Wine.
#include "tests/shell/qt/shell_harness.h"  // before windows.h, whose `byte` the relay's names would shadow

#ifdef _WIN32
#include <windows.h>

#include <QAbstractEventDispatcher>
#include <QGuiApplication>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <QAction>
#include <QUrl>
#include <filesystem>

#include "shell/qt/help_page.h"

namespace {

namespace fs = std::filesystem;

// HELP opens the page of the current directory, else the one installed with the program (the
// package, the installer and the portable folder put it there); with neither, a box says so.
TEST_F(Program, ShowsItsTitleRelaysBothWaysAndHelpOpensThePageHereElseTheInstalledOne) {
    const fs::path installed = installedHelpPage().toStdWString();
    const bool placed = !fs::exists(installed);
    fs::path madeFolder;  // the outermost folder made for the page, removed with it
    for (fs::path f = installed.parent_path(); !fs::exists(f); f = f.parent_path()) madeFolder = f;
    std::vector<QUrl> opened;
    run([&](Vorlinex& v, QWidget* window) {
        EXPECT_EQ(window->windowTitle(), QStringLiteral("Vorlinex v1.01a"));
#ifdef _WIN32
        if (QGuiApplication::platformName() == QLatin1String("windows")) {  // as the task bar shows it
            wchar_t title[256] = {};
            ::GetWindowTextW(reinterpret_cast<HWND>(window->winId()), title, 256);
            EXPECT_EQ(std::wstring(title), L"Vorlinex v1.01a");
        }
#endif
        expectRelaysBothWays(first, second, 7);
        v.openUrl = [&opened](const QUrl& url) { opened.push_back(url); };
        if (placed) {
            v.openHelp();
            ASSERT_EQ(recordedBoxes().size(), 1u);
            EXPECT_TRUE(recordedBoxes()[0].text.starts_with("The help page could not be found:\n") &&
                        recordedBoxes()[0].text.ends_with("\n" + installedHelpPage().toStdString()))
                << recordedBoxes()[0].text;
            recordedBoxes().clear();
            fs::create_directories(installed.parent_path());
            std::ofstream(installed) << "<html></html>";
        }
        v.openHelp();
        dir.write("Vorlinex.html", "<html></html>");
        v.openHelp();
    });
    std::error_code absent;
    const auto opens = [&](size_t i, const fs::path& page) {
        return opened.size() > i && fs::equivalent(opened[i].toLocalFile().toStdWString(), page, absent);
    };
    EXPECT_TRUE(opens(0, installed)) << opened.size() << " pages opened";
    EXPECT_TRUE(opens(1, dir.file("Vorlinex.html")));
    if (placed) fs::remove_all(madeFolder.empty() ? installed : madeFolder);
}

// pull runs inside the message loop, as a user or the session would.
struct WayOut { const char* name; void (*pull)(QWidget* window); };
const WayOut kWaysOut[] = {
    {"End", [](QWidget* window) { vorlinexOf(window).mainMenuItem(kCommandEnd)->trigger(); }},
    {"Escape", [](QWidget* window) { pressKeys(child(window, kCommandDisp1), {Qt::Key_Escape}); }},  // focused
    {"CloseBox", [](QWidget* window) { window->close(); }},
#ifdef _WIN32
    // Windows ends the process as soon as the window has answered WM_ENDSESSION: by then the relay
    // must have stopped and the captures be closed, written out.
    {"EndSession", [](QWidget* window) {
        if (QGuiApplication::platformName() == QLatin1String("windows")) {
            ::SendMessageW(reinterpret_cast<HWND>(window->winId()), WM_ENDSESSION, TRUE, 0);
        } else {  // offscreen there is no native window: the message goes the way Qt hands it on
            MSG message{};
            message.message = WM_ENDSESSION;
            message.wParam = TRUE;
            qintptr result = 0;
            QAbstractEventDispatcher::instance()->filterNativeEvent("windows_generic_MSG", &message, &result);
        }
        const Vorlinex& v = vorlinexOf(window);
        EXPECT_FALSE(v.app.relay.relayChannel1.worker.joinable() || v.app.relay.relayChannel2.worker.joinable() ||
                     v.app.relay.serialPort1.isOpen() || v.app.relay.serialPort2.isOpen());
        EXPECT_FALSE(v.app.captures.captureLog(1).logEnabled.load() || v.app.captures.captureLog(2).logEnabled.load());
    }},
#else
    {"Sigterm", [](QWidget*) { ::kill(::getpid(), SIGTERM); }}, {"Sigint", [](QWidget*) { ::kill(::getpid(), SIGINT); }},
#endif
};

class WaysOut : public Program, public ::testing::WithParamInterface<WayOut> {};

// Channel 1's worker paused while its display is held, channel 2's feeding captures whose readers
// stall (Linux: FIFOs; Windows has no such file to model it with, so plain files there).
TEST_P(WaysOut, StopsAndJoinsHeldWorkersClosesPortsAndLogsAndEndsTheLoopWithZero) {
    const std::string captured = randomBytes(5000, 3);
#ifdef _WIN32
    const char *const capture2 = "capture2.log", *const combined = "combined.log";
    const int rounds = 1;
#else
    StalledPipes pipes(dir, {"pipe2", "pipe3"});
    const char *const capture2 = "pipe2", *const combined = "pipe3";
    const int rounds = 10;  // far more than the pipes hold: the relay goes on while the captures wait
#endif
    run([&](Vorlinex& v, QWidget* window) {
        Relay& relay = v.app.relay;
        QTimer::singleShot(50, window, [this, window] { GetParam().pull(window); });
        ASSERT_EQ(v.app.captures.openCaptureLog(1, dir.file("capture.log")), 1);
        flow(first, second, captured);
        ASSERT_EQ(v.app.captures.openCaptureLog(2, dir.file(capture2)), 1);
        ASSERT_EQ(v.app.captures.openCombinedCapture(dir.file(combined)), 1);
        for (int round = 0; round < rounds; ++round) flow(second, first, randomBytes(8000, 30 + round));
        relay.relayChannel1.displayMouseHeld = 1;
        relay.leftMouseButtonDown = 1;
        first.send("held");
    }, true);
#ifndef _WIN32
    EXPECT_FALSE(pipes.rescued()) << "the program waited for a reader that never reads";
#endif
    EXPECT_EQ(dir.read("capture.log").substr(0, captured.size()), captured) << "written out without a CLOSE";
}

INSTANTIATE_TEST_SUITE_P(EveryWayOut, WaysOut, ::testing::ValuesIn(kWaysOut),
                         [](const auto& c) { return std::string(c.param.name); });

}  // namespace
