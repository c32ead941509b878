// Runs the real program in-process in a scratch folder with an INI file of the test's making.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>
#include <QtCore/qtestsupport_core.h>
#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"
#include "tests/support/pty_cable.h"

inline std::vector<BoxRequest>& recordedBoxes() { static std::vector<BoxRequest> boxes; return boxes; }

// The main window of the program running in this process, or null before it is made.
inline QWidget* madeMainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("IDD_DIALOG_MAIN")) return w;
    return nullptr;
}
inline Vorlinex& runningVorlinex() { return vorlinexOf(madeMainWindow()); }

inline BoxFunction boxRecorder() { return [](const BoxRequest& r) { recordedBoxes().push_back(r); }; }

// Both ports at 9600 baud, 8 bits (keys left out read as 0), the options, and each COM name's device.
inline std::string vorlinexIni(const std::array<std::string, 6>& devices, int rate = 5, int dmode = 0) {
    return "[DATA1]\nCOM=0\nBPS=9600\nBIT=8\n[DATA2]\nCOM=1\nBPS=9600\nBIT=8\n[DATA]\nDATETIMEVAL=60\nRATE=" +
           std::to_string(rate) + "\nDMODE=" + std::to_string(dmode) + "\n" + devicesSection(devices);
}

inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    return QTest::qWaitFor(done, timeoutMs);
}

template <typename T = QWidget>  // the child of `parent` named by its control id
T* child(const QObject* parent, int id) { return parent->findChild<T*>(QString::number(id)); }
inline void click(const QObject* parent, int id) { child<QAbstractButton>(parent, id)->click(); }

inline QString controlText(QWidget* window, int id) { return child<QLabel>(window, id)->text(); }

inline void pressKeys(QWidget* target, std::initializer_list<int> keys, Qt::KeyboardModifiers modifiers = {}) {
    for (int key : keys)
        for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
            QKeyEvent event(type, key, modifiers);
            QApplication::sendEvent(target, &event);
        }
}

inline void mouse(QWidget* target, QEvent::Type type, QPoint at = {4, 4}, Qt::MouseButton button = Qt::LeftButton,
                  Qt::KeyboardModifiers modifiers = {}) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    const Qt::MouseButton pressed = type == QEvent::MouseMove ? Qt::NoButton : button;
    QMouseEvent event(type, QPointF(at), QPointF(target->mapToGlobal(at)), pressed, held, modifiers);
    QApplication::sendEvent(target, &event);
}

// Runs the program, `body` on the UI thread once the main window shows; shut down unless `endsItself`.
inline int runVorlinex(const std::function<void(QWidget*)>& body, const BoxFunction& boxes = boxRecorder(),
                       bool endsItself = false) {
    static char name[] = "vorlinex";
    static char* argv[] = {name, nullptr};
    return vorlinexMain(1, argv, [&](QWidget* window) {
        body(window);
        if (!endsItself && !vorlinexOf(window).shutdownStarted()) vorlinexOf(window).shutdownVorlinex();
    }, boxes);
}

#ifndef _WIN32
// FIFOs filled with 'f' whose readers stall; after 30 s a thread reads them: fail, not hang.
struct StalledPipes {
    struct Pipe {
        int reader = -1, filler = -1;
        size_t filled = 0;
        std::string got;
        bool drain() {  // true once every writer has gone
            char buffer[65536];
            ssize_t n;
            while ((n = ::read(reader, buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<size_t>(n));
            return n == 0;
        }
    };
    StalledPipes(const ScratchDir& dir, std::initializer_list<std::string> names) {
        for (const std::string& name : names) {
            Pipe& p = pipes.emplace_back();
            const std::string path = dir.file(name);
            if (::mkfifo(path.c_str(), 0600) == 0) p.reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
            p.filler = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            for (ssize_t n; (n = ::write(p.filler, std::string(4096, 'f').data(), 4096)) > 0;) p.filled += n;
            EXPECT_TRUE(p.reader >= 0 && p.filler >= 0) << name;
        }
        rescue = std::jthread([this](std::stop_token done) {
            for (int tick = 0; !done.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
                if (++tick > 3000) {
                    rescuing = true;
                    std::for_each(pipes.begin(), pipes.end(), [](Pipe& p) { p.drain(); });
                }
        });
    }
    ~StalledPipes() {
        rescue = {};
        for (Pipe& p : pipes) {
            ::close(p.reader);
            ::close(p.filler);
        }
    }
    bool rescued() {  // stops the rescue for good; true when it had to read
        rescue = {};
        return rescuing;
    }

    std::vector<Pipe> pipes;
    std::atomic<bool> rescuing{false};
    std::jthread rescue;
};
#endif

// The program on two cables (`first` is port 1's device, `second` port 2's); its boxes recorded.
class ProgramOnCables : public ::testing::Test {
protected:
  ProgramOnCables() {
        dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}));
        recordedBoxes().clear();
  }
    // As runVorlinex (ending by itself: after 90 s, with 99); at its end all workers, ports and logs are off.
    void run(const std::function<void(Vorlinex&, QWidget*)>& body, bool endsItself = false,
             const BoxFunction& boxes = boxRecorder()) {
        EXPECT_EQ(runVorlinex([&](QWidget* window) {
            Vorlinex& v = vorlinexOf(window);
            QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, [&v, &relay = v.app.relay] {
                EXPECT_TRUE(v.shutdownStarted());
                EXPECT_FALSE(relay.relayChannel1.worker.joinable() || relay.relayChannel2.worker.joinable() ||
                             relay.serialPort1.isOpen() || relay.serialPort2.isOpen() ||
                             relay.rateMeter.timerId.load() || v.app.captures.captureLog(1).logEnabled.load());
            });
            if (endsItself) QTimer::singleShot(90000, qApp, [] { QCoreApplication::exit(99); });
            body(v, window);
        }, boxes, endsItself), 0);
    }
    // Bytes from one device that must reach the other whole.
    std::string flow(PtyCable& from, PtyCable& to, const std::string& bytes) {
        from.send(bytes);
        EXPECT_EQ(to.receive(bytes.size(), 10000), bytes);
        return bytes;
    }

    ScratchDir dir;
    PtyCable first, second;
};

// Once the program has ended no box came but those expected and (Linux) no thread of it is left.
class Program : public ProgramOnCables {
protected:
    void TearDown() override {
#ifndef _WIN32
        EXPECT_TRUE(eventually([&] { return threadNames() == threadsBefore; })) << "a thread outlived it";
#endif
        EXPECT_TRUE(recordedBoxes().empty()) << recordedBoxes().front().text;
    }
    // The port labels come to read `com1` and `com2` and the status bar `status`.
    static ::testing::AssertionResult shows(QWidget* window, const char* com1, const char* com2,
                                            const std::string& status) {
        auto* bar = window->findChild<QLabel*>(statusPartName(0));
        if (waitUntil([&] {
                return controlText(window, kMainCom1) == com1 && controlText(window, kMainCom2) == com2 &&
                       bar->text() == status.c_str();
            }, 30000))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << bar->text().toStdString();
    }
#ifndef _WIN32
    const std::multiset<std::string> threadsBefore = threadNames();
#endif
};
