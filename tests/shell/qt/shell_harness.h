// Runs the real program in-process (its entry function, its main window, its workers) in a
// scratch folder with an INI file of the test's making, and records what it shows.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "shell/message_catalogue.h"
#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"
#include "tests/support/pty_cable.h"

struct RecordedBox {
    std::string text;
    BoxIcon icon;
    BoxOwner owner;
};

inline std::vector<RecordedBox>& recordedBoxes() { static std::vector<RecordedBox> boxes; return boxes; }

// The main window of the program running in this process, or null before it is made.
inline QWidget* madeMainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("IDD_DIALOG_MAIN")) return w;
    return nullptr;
}
// The application object of the program running in this process (its main window is made).
inline Vorlinex& runningVorlinex() { return vorlinexOf(madeMainWindow()); }

inline void recordBoxes() { recordedBoxes().clear(); }
inline BoxFunction boxRecorder() {
    return [](const BoxRequest& r) { recordedBoxes().push_back({r.text, r.icon, r.owner}); };
}

// A complete INI file: both ports, the options, and the device each COM name opens.
inline std::string vorlinexIni(const std::array<std::string, 6>& devices, int rate = 5,
                               int dmode = 0) {
    std::string ini;
    for (int port = 1; port <= 2; ++port)
        ini += "[DATA" + std::to_string(port) + "]\nCOM=" + std::to_string(port - 1) +
               "\nBPS=9600\nBIT=8\nPARI=0\nSTOP=0\nFLOW=0\n";
    ini += "[DATA]\nRATE=" + std::to_string(rate) + "\nDMODE=" + std::to_string(dmode) +
           "\nCRLF=0\nDATETIME=0\nDATETIMEVAL=60\n";
    return ini + devicesSection(devices);
}

// Serves the event loop until `done` holds or the time-out passes; true when it held.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

inline QString controlText(QWidget* window, int id) {
    auto* label = window->findChild<QLabel*>(QString::number(id));
    return label == nullptr ? QStringLiteral("<missing %1>").arg(id) : label->text();
}

// Runs the program; `body` runs on the UI thread once the main window is shown, and a body that
// did not shut it down (a failing one) gets it shut down.
inline int runVorlinex(const std::function<void(QWidget*)>& body) {
    static char name[] = "vorlinex";
    static char* argv[] = {name, nullptr};
    return vorlinexMain(1, argv, [&](QWidget* window) {
        body(window);
        if (!vorlinexOf(window).shutdownStarted()) vorlinexOf(window).shutdownVorlinex();
    }, boxRecorder());
}

// Runs `checks` once the program's message loop has ended, while the application object lives.
inline void whenLoopEnds(QWidget* window, const std::function<void()>& checks) {
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, checks);
}
