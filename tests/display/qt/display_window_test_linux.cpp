// The display window and its view as real widgets, fed through the real renderers and in the program.
#include <QClipboard>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <atomic>
#include <iconv.h>
#include <random>

#include "display/qt/traffic_view.h"
#include "tests/display/traffic_display.h"
#include "tests/shell/qt/shell_harness.h"

// Every code page 932 converter this program opens passes here (the link wraps iconv_open).
std::atomic<int> convertersOpened = 0;
extern "C" iconv_t __real_iconv_open(const char* to, const char* from);
extern "C" iconv_t __wrap_iconv_open(const char* to, const char* from) {
    ++convertersOpened;
    return __real_iconv_open(to, from);
}

namespace {

TrafficView* viewOf(QWidget* window) { return child<TrafficView>(window, kDisplayText); }

// Lets Qt draw what changed and delete the widgets that went.
void settle() {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

class DisplayInTheProgram : public ProgramOnCables {};

}  // namespace

// END and the close box end the widgets; the text stays for the worker until the next window's.
TEST(DisplayWindow, EndKeepsTheTextForTheWorkerANewWindowFollowsCopiesAndRepaintsOnlyChangedRows) {
    Vorlinex v;
    TrafficDisplay& display1 = v.app.trafficDisplay1;
    const auto open = [&](int mode) {  // channel 1's window in `mode`
        v.app.relay.appOptions.DMODE = mode;
        v.displayWindows.openDisplayWindow(1);
        return v.displayWindows.displayWindowOf(1);
    };
    std::string stream;
    for (int line = 0; stream.size() < 14000; ++line)
        stream += "line " + std::to_string(line) + (line % 5 != 0 ? " \x93\xfa\x14 of the stream\r\n" : "\r\n");
    stream += "an open last line";
    QPointer<QWidget> first = open(1);
    ASSERT_TRUE(first && first->isVisible() && display1.displayOpen.load() == 1);
    std::weak_ptr<TrafficTextControl> firstText = display1.displayWindow.load();
    TrafficTextControl* firstModel = firstText.lock().get();
    feed(display1, "ABCDEFGHIJ");
    click(first, kDisplayClear);
    feed(display1, "K");
    EXPECT_EQ(firstModel->text(), hexDump("K"));
    open(0);  // already open: nothing changes, not even the form
    EXPECT_TRUE(v.displayWindows.displayWindowCount(1) == 1 && display1.displayMode.load() == 1);
    pressKeys(first, {Qt::Key_Escape, Qt::Key_Return});  // only the main window has a dialog's keys
    QApplication::processEvents();
    EXPECT_TRUE(first->isVisible());
    click(first, kDisplayEnd);
    settle();
    EXPECT_TRUE(first.isNull() && display1.displayOpen.load() == 0);
    EXPECT_TRUE(display1.displayWindow.load().get() == firstModel && firstModel->textLength() == 74);  // kept for the worker

    QPointer<QWidget> second = open(0);  // a new empty window in the form of this moment
    ASSERT_NE(second.data(), first.data());
    TrafficView* view = viewOf(second);
    EXPECT_TRUE(view->model() == display1.displayWindow.load().get() && firstText.expired())
        << "no render call holds the old text";
    feed(display1, stream.substr(0, 4000));  // below the trim
    EXPECT_TRUE(view->refresh() && !view->refresh());  // nothing new the second time
    QScrollBar* bar = view->verticalScrollBar();
    bar->setValue(0);  // the user scrolls up to older text and selects some
    view->setSelection(2, 6);
    feed(display1, "one more\r\n");
    EXPECT_EQ(view->selectionStart(), 2);  // the model never touches the view's selection
    EXPECT_TRUE(view->refresh() && bar->maximum() > 0 && bar->value() == bar->maximum() &&
                view->selectionStart() == view->selectionEnd());
    // Code page 932, a placeholder for NUL, control bytes, bytes of no character, a lead byte without its trail.
    const std::string bytes("ab\x93\xfa\x96\x7b\xb1\xb2\0\x14\x7f\xfd\xff\x80\xa0\x82 x\r\nnext line", 29);
    feed(display1, bytes);
    view->refresh();
    const int length = view->model()->textLength();
    view->setSelection(length - static_cast<int>(bytes.size()) + 1, length - 5);  // from "b" to "next"
    pressKeys(view, {Qt::Key_C}, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("b日本ｱｲ□□□□□□□□ x\nnext"));
    // The bar across comes with a line wider than the view and goes with the text; the area lays
    // its bars out only when one comes or goes.
    QScrollBar* across = view->horizontalScrollBar();
    const auto acrossShown = [&] {
        view->refresh();
        settle();
        return across->isVisible();
    };
    EXPECT_FALSE(acrossShown());
    feed(display1, std::string(400, 'w') + "\r\n");
    EXPECT_TRUE(acrossShown());
    click(second, kDisplayClear);
    EXPECT_FALSE(acrossShown());
    second->close();
    settle();
    EXPECT_TRUE(second.isNull() && display1.displayOpen.load() == 0);

    // Frames repaint only changed rows; what reaches the screen must equal one full repaint.
    for (const int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        QWidget* window = open(mode);
        std::mt19937 random(11);
        view = viewOf(window);
        for (size_t at = 0, size = 0; at < stream.size(); at += size) {
            size = 1 + random() % (random() % 4 == 0 ? 160 : 20);  // a part of a line to several lines
            feed(display1, stream.substr(at, size));
            if (random() % 3 == 0 || at + size >= stream.size()) {
                view->refresh();
                QApplication::processEvents();
            }
        }
        const QPoint at = view->mapTo(window, QPoint(0, 0));  // the view with its scroll bars
        const QImage shown =
            view->screen()->grabWindow(window->winId(), at.x(), at.y(), view->width(), view->height()).toImage();
        const QImage full = view->grab().toImage();
        EXPECT_EQ(shown.convertToFormat(QImage::Format_RGB32), full.convertToFormat(QImage::Format_RGB32));
        click(window, kDisplayEnd);
        settle();
    }
}

// Channel 1 shows text, channel 2 the dump. A press in 1's text holds 1 (the pause is the relay worker test's),
// also while a hex render swallows it; a press elsewhere only sets the left-button word.
TEST_F(DisplayInTheProgram, EachPortsBytesReachOnlyItsChannelsWindowAndAPressInTheTextHoldsItsChannel) {
    run([&](Vorlinex& v, QWidget* mainWindow) {
        Relay& relay = v.app.relay;
        for (int channel : {1, 2}) {
            relay.appOptions.DMODE = channel - 1;
            click(mainWindow, channel == 1 ? kCommandDisp1 : kCommandDisp2);
        }
        TrafficTextControl* text = v.app.trafficDisplay1.displayWindow.load().get();
        TrafficTextControl* hex = v.app.trafficDisplay2.displayWindow.load().get();
        ASSERT_TRUE(text != nullptr && hex != nullptr);
        const std::string bytes = flow(first, second, "to port two \x93\xfa\x96\x7b");
        EXPECT_TRUE(waitUntil([&] { return text->text() == bytes; }) && hex->textLength() == 0) << text->text();
        flow(second, first, "xyz");
        EXPECT_TRUE(waitUntil([&] { return hex->text() == hexDump("xyz"); })) << hex->text();

        const auto words = [&] {
            return std::make_pair(relay.leftMouseButtonDown.load(), relay.relayChannel1.displayMouseHeld.load());
        };
        QWidget* clear2 = child(v.displayWindows.displayWindowOf(2), kDisplayClear);
        mouse(clear2, QEvent::MouseButtonPress);
        EXPECT_TRUE(words() == std::make_pair(1, 0) && relay.relayChannel2.displayMouseHeld.load() == 0);
        mouse(clear2, QEvent::MouseButtonRelease);  // a click: CLEAR
        EXPECT_EQ(words(), std::make_pair(0, 0));
        TrafficView* view = viewOf(v.displayWindows.displayWindowOf(1));
        view->setSelection(2, 6);
        v.app.trafficDisplay1.render.hexRendering = 1;
        mouse(view->viewport(), QEvent::MouseButtonPress);
        v.app.trafficDisplay1.render.hexRendering = 0;
        EXPECT_TRUE(view->caret() == 6 && words() == std::make_pair(1, 1))
            << "a press during a hex render holds, and must not reach the text";
        mouse(view->viewport(), QEvent::MouseButtonRelease);
        EXPECT_EQ(words(), std::make_pair(0, 0));
    });
}

// Each glyph on its bytes' cells, also from a fallback font; a view opens one converter for all it draws and copies.
TEST(TrafficView, DrawsEachCharacterOnItsCellAlsoWhereTheFontLacksItWithOneConverter) {
    const std::string lines[] = {"0000: 41 42 43 0D 0A  ABC..", "ab\x93\xfa\x96\x7b" "c \xb1\xb2 z~", "\x93\xfa line 2"};
    Cp932Decoder decoder;
    for (const char* family : {"IPAGothic", "DejaVu Sans Mono"}) {
        SCOPED_TRACE(family);
        const int before = convertersOpened;
        TrafficView view;
        view.setFont(QFont(QString::fromLatin1(family), 12));
        view.resize(500, 120);
        auto model = std::make_shared<TrafficTextControl>();
        model->setText(lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2]);
        view.setModel(model);
        const QImage shown = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        mouse(view.viewport(), QEvent::MouseButtonPress, {3, 3});
        mouse(view.viewport(), QEvent::MouseMove, {400, 110});
        pressKeys(&view, {Qt::Key_C}, Qt::ControlModifier);
        EXPECT_EQ(QGuiApplication::clipboard()->text(),
                  QString::fromUtf8("0000: 41 42 43 0D 0A  ABC..\nab日本c ｱｲ z~\n日 line 2"));
        EXPECT_EQ(convertersOpened - before, 1);

        QImage expected(shown.size(), QImage::Format_RGB32);
        expected.fill(view.palette().color(QPalette::Base));
        QPainter painter(&expected);
        painter.setFont(view.font());
        painter.setPen(Qt::black);
        const int ascent = QFontMetrics(view.font()).ascent();
        for (int row = 0; row < 3; ++row)
            for (const DisplaySegment& segment : decoder.decodeLine(lines[row]))
                for (int k = 0; const uint c : segment.text.toUcs4())
                    painter.drawText(
                        QPoint(2 + (segment.column + k++) * view.cellWidth(), row * view.lineHeight() + ascent),
                        QString::fromUcs4(reinterpret_cast<const char32_t*>(&c), 1));
        painter.end();
        EXPECT_EQ(shown, expected);
    }
}
