// The display window and its view as real widgets (offscreen), opened as the Disp buttons open
// them, and fed through the real renderers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QImage>
#include <QScrollBar>
#include <algorithm>
#include <string>
#include <optional>
#include <random>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <thread>
#include <vector>

#include "display/qt/display_window.h"
#include "display/qt/traffic_view.h"
#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"

namespace {

TrafficView* viewOf(QWidget* window) { return window->findChild<TrafficView*>(QStringLiteral("1001")); }
QPushButton* buttonOf(QWidget* window, int id) { return window->findChild<QPushButton*>(QString::number(id)); }

void send(TrafficDisplay& channel, const std::string& bytes) {
    appendTraffic(channel, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
}

// Pauses the thread that takes it for half a millisecond, at whatever point it was.
void pauseHere(int) {
    const timespec pause{0, 500000};
    nanosleep(&pause, nullptr);
}

// While it lives, stops the given threads now and then at random points, so that two threads
// interleave at every step of their work, not only where one happens to wait for the other.
class Preemptions {
public:
    explicit Preemptions(std::vector<pthread_t> threads) {
        struct sigaction action {};
        action.sa_handler = pauseHere;
        action.sa_flags = SA_RESTART;
        sigaction(SIGUSR2, &action, &previous_);
        interrupter_ = std::jthread([threads](std::stop_token stop) {
            std::mt19937 random(7);
            while (!stop.stop_requested()) {
                const timespec gap{0, static_cast<long>(20000 + random() % 80000)};
                nanosleep(&gap, nullptr);
                pthread_kill(threads[random() % threads.size()], SIGUSR2);
            }
        });
    }
    ~Preemptions() {
        interrupter_.request_stop();
        interrupter_.join();
        sigaction(SIGUSR2, &previous_, nullptr);
    }

private:
    struct sigaction previous_ {};
    std::jthread interrupter_;
};

void mouse(QWidget* target, QEvent::Type type, QPoint at = {4, 4}) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(at), QPointF(target->mapToGlobal(at)), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

}  // namespace

TEST(DisplayWindow, OpensTheTemplatesWindowWithItsTitleAndAnEmptyReadOnlyText) {
    std::vector<BoxRequest> boxes;
    setBoxFunction([&](const BoxRequest& request) { boxes.push_back(request); });
    setDisplayWindowTitle(1, "ignored");  // no window yet: no effect
    struct { int channel, port1Com, port2Com; const char *title, *templateName; } cases[] = {
        {1, 5, 3, "Com6 -> Com4", "IDD_DIALOG_DISP1"}, {2, 2, 0, "Com1 -> Com3", "IDD_DIALOG_DISP2"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.channel);
        serialPort1.settings.comIndex = c.port1Com;
        serialPort2.settings.comIndex = c.port2Com;
        openDisplayWindow(c.channel);
        QWidget* window = displayWindowOf(c.channel);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->objectName().toStdString(), c.templateName);
        EXPECT_EQ(window->windowTitle().toStdString(), c.title);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(trafficDisplay(c.channel).displayOpen.load(), 1);
        ASSERT_NE(viewOf(window), nullptr);
        EXPECT_EQ(viewOf(window)->model(), trafficDisplay(c.channel).displayWindow.load().get());
        EXPECT_EQ(buttonOf(window, 1046)->text() + buttonOf(window, 1058)->text(), "CLEAREND");
    }
    EXPECT_TRUE(boxes.empty()) << boxes.front().text;  // the font was applied
    setDisplayWindowTitle(1, "COM");
    EXPECT_EQ(displayWindowOf(1)->windowTitle(), "COM");
}

// END and the close box end the window's widgets; its text stays with the channel, which a
// worker may still be rendering into, until the next window takes its place.
TEST(DisplayWindow, ClearEndAndCloseBoxEndTheWindowAndReopeningGivesANewOne) {
    appOptions.DMODE = 1;
    openDisplayWindow(1);
    QPointer<QWidget> first = displayWindowOf(1);
    std::weak_ptr<TrafficTextControl> firstText = trafficDisplay1.displayWindow.load();
    TrafficTextControl* firstModel = firstText.lock().get();
    send(trafficDisplay1, "ABCDEFGHIJ");
    buttonOf(first, 1046)->click();
    send(trafficDisplay1, "K");
    EXPECT_EQ(firstModel->text().substr(0, 4), "4B  ");

    appOptions.DMODE = 0;
    openDisplayWindow(1);  // already open: nothing changes, not even the form
    EXPECT_EQ(displayWindowCount(1), 1);
    EXPECT_EQ(trafficDisplay1.displayMode.load(), 1);
    // Only the main window has a dialog's keys: Esc and Enter neither end nor clear.
    for (int key : {Qt::Key_Escape, Qt::Key_Return}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(first, &press);
    }
    QApplication::processEvents();
    EXPECT_TRUE(first->isVisible());
    buttonOf(first, 1058)->click();
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(trafficDisplay1.displayOpen.load(), 0);
    EXPECT_EQ(trafficDisplay1.displayWindow.load().get(), firstModel);  // kept for the worker
    EXPECT_EQ(firstModel->textLength(), 74);

    openDisplayWindow(1);  // a new empty window in the form of this moment
    QPointer<QWidget> second = displayWindowOf(1);
    ASSERT_NE(second.data(), first.data());
    EXPECT_EQ(displayWindowCount(1), 2);
    EXPECT_EQ(viewOf(second)->model(), trafficDisplay1.displayWindow.load().get());
    EXPECT_TRUE(firstText.expired());  // no render call holds the old text: it is gone
    send(trafficDisplay1, "new");
    EXPECT_EQ(trafficDisplay1.displayWindow.load()->text(), "new");
    second->close();  // the close box
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(second.isNull());
    EXPECT_EQ(trafficDisplay1.displayOpen.load(), 0);
}

TEST(DisplayWindowHook, PressesInTheTextHoldTheChannelEvenDuringAHexRender) {
    appOptions.DMODE = 1;
    openDisplayWindow(1);
    openDisplayWindow(2);
    TrafficView* view = viewOf(displayWindowOf(1));
    send(trafficDisplay1, std::string(64, 'x'));
    view->setSelection(10, 20);
    trafficDisplay1.render.hexRendering = 1;
    mouse(view->viewport(), QEvent::MouseButtonPress);
    EXPECT_EQ(relayChannel1.displayMouseHeld.load(), 1);
    EXPECT_EQ(leftMouseButtonDown.load(), 1);
    EXPECT_EQ(view->caret(), 20);  // swallowed: the click did not reach the text
    mouse(view->viewport(), QEvent::MouseButtonRelease);
    EXPECT_EQ(relayChannel1.displayMouseHeld.load(), 0);
    EXPECT_EQ(leftMouseButtonDown.load(), 0);
    // The left-button word follows presses anywhere; only the text holds a channel.
    mouse(buttonOf(displayWindowOf(2), 1046), QEvent::MouseButtonPress);
    EXPECT_EQ(leftMouseButtonDown.load(), 1);
    EXPECT_EQ(relayChannel2.displayMouseHeld.load(), 0);
}

TEST(TrafficView, DecodesCodePage932WithPlaceholdersForWhatCannotBeDrawn) {
    const std::pair<std::string, QString> cases[] = {
        {"\x93\xfa\x96\x7b\xb1\xb2", QStringLiteral("日本ｱｲ")},
        {std::string("A\0B", 3), QStringLiteral("A□B")},
        {"\x14\x7f\xfd\xff\x80\xa0", QStringLiteral("□□□□□□")},
        {"\x82 x", QStringLiteral("□ x")},  // a lead byte without its trail byte
    };
    for (const auto& [bytes, shown] : cases) EXPECT_EQ(displayLineText(bytes), shown) << bytes;
    // A character of two bytes takes two cells; the columns stay those of the bytes.
    const auto segments = decodeDisplayLine("a\x93\xfa" "b");
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[1].cells, 2);
    EXPECT_EQ(segments[2].column, 3);
}

TEST(TrafficView, FollowsTheEndDropsTheSelectionOnTheNextChunkAndCopies) {
    appOptions.DMODE = 0;
    openDisplayWindow(1);
    TrafficView* view = viewOf(displayWindowOf(1));
    TrafficTextControl* model = view->model();
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += "line " + std::to_string(i) + "\r\n";
    send(trafficDisplay1, lines);
    view->refresh();
    EXPECT_FALSE(view->refresh());  // nothing new
    QScrollBar* bar = view->verticalScrollBar();
    bar->setValue(0);  // the user scrolls up to older text and selects some
    view->setSelection(2, 6);
    send(trafficDisplay1, "one more\r\n");
    EXPECT_EQ(view->selectionStart(), 2);  // the model never touches the view's selection
    EXPECT_TRUE(view->refresh());
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(view->selectionStart(), view->selectionEnd());

    send(trafficDisplay1, std::string("ab\x93\xfa\0c\r\nnext line", 16));
    view->refresh();
    view->setSelection(model->textLength() - 15, model->textLength() - 4);  // "b日\0c", break, "next"
    QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
    QApplication::sendEvent(view, &copy);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("b日□c\nnext"));
}

// The user selects near the end and copies, again and again, while a worker thread renders
// 256-byte chunks of lines: no copy may fail, and no click or drag may move or cut the text.
TEST(TrafficView, SelectingAndCopyingWhileChunksArriveKeepsTheTextWhole) {
    appOptions.DMODE = 0;
    openDisplayWindow(1);
    TrafficView* view = viewOf(displayWindowOf(1));
    QWidget* text = view->viewport();
    std::jthread worker([](std::stop_token stop) {
        std::string stream;
        for (int line = 0; !stop.stop_requested();) {
            while (stream.size() < 256) stream += "line " + std::to_string(line++) + " of the stream\r\n";
            send(trafficDisplay1, stream.substr(0, 256));
            stream.erase(0, 256);
        }
    });
    std::optional<Preemptions> preemptions(std::in_place, std::vector{pthread_self(), worker.native_handle()});
    for (int round = 0; round < 20000; ++round) {
        const int y = text->height() - view->lineHeight() / 2;
        mouse(text, QEvent::MouseButtonPress, {3, y});
        mouse(text, QEvent::MouseMove, {text->width() - 3, y});
        mouse(text, QEvent::MouseButtonRelease, {text->width() - 3, y});
        QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
        QApplication::sendEvent(view, &copy);
        view->refresh();
    }
    worker.request_stop();
    worker.join();
    preemptions.reset();
    // The text is the stream's end from a line start on: every chunk went to the end, whole.
    const std::string shown = view->model()->text();
    ASSERT_TRUE(shown.size() > 9000 && shown.starts_with("line ")) << shown.substr(0, 80);
    std::string expected;
    for (int line = std::stoi(shown.substr(5)); expected.size() < shown.size(); ++line)
        expected += "line " + std::to_string(line) + " of the stream\r\n";
    const auto [wrong, _] = std::mismatch(shown.begin(), shown.end(), expected.begin());
    EXPECT_EQ(wrong, shown.end()) << shown.substr(static_cast<size_t>(wrong - shown.begin()), 80);
}

// A frame repaints only the rows that changed and moves the rows that only moved up: what
// reaches the screen, frame after frame, is what one full repaint of the final text draws.
TEST(TrafficView, FramesOfChangedRowsEndAsOneFullRepaint) {
    std::string stream;
    for (int line = 0; stream.size() < 14000; ++line)
        stream += "line " + std::to_string(line) + (line % 5 != 0 ? " \x93\xfa\x14 of the stream\r\n" : "\r\n");
    stream += "an open last line";
    for (const int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        appOptions.DMODE = mode;
        openDisplayWindow(1);
        QWidget* window = displayWindowOf(1);
        TrafficView* view = viewOf(window);
        std::mt19937 random(11);
        for (size_t at = 0; at < stream.size();) {
            const size_t size = 1 + random() % (random() % 4 == 0 ? 160 : 20);  // a part of a line to several lines
            send(trafficDisplay1, stream.substr(at, size));
            at += size;
            if (random() % 3 == 0) {
                view->refresh();
                QApplication::processEvents();
            }
        }
        view->refresh();
        QApplication::processEvents();
        QWidget* text = view->viewport();
        const QPoint at = text->mapTo(window, QPoint(0, 0));
        const QImage shown = text->screen()->grabWindow(window->winId(), at.x(), at.y(), text->width(), text->height()).toImage();
        const QImage full = text->grab().toImage();
        EXPECT_EQ(shown.convertToFormat(QImage::Format_RGB32), full.convertToFormat(QImage::Format_RGB32));
        buttonOf(window, 1058)->click();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}
