// The display window and its view as real widgets (offscreen), opened as the Disp buttons open
// them, and fed through the real renderers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <string>
#include <vector>

#include "display/qt/display_window.h"
#include "display/qt/traffic_view.h"
#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "shell/qt/dialog_units.h"

namespace {

std::vector<BoxRequest>& boxes() {
    static std::vector<BoxRequest> recorded;
    return recorded;
}

void recordBoxes() {
    setBoxFunction([](const BoxRequest& request) { boxes().push_back(request); });
}

TrafficView* viewOf(QWidget* window) { return window->findChild<TrafficView*>(QStringLiteral("1001")); }
QPushButton* buttonOf(QWidget* window, int id) { return window->findChild<QPushButton*>(QString::number(id)); }

void send(RelayChannel& channel, const std::string& bytes) {
    appendTraffic(channel, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
}

void mouse(QWidget* target, QEvent::Type type, QPoint at = QPoint(5, 5)) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(at), target->mapToGlobal(QPointF(at)), Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// Pixels of the image that differ from the colour.
int pixelsOtherThan(const QImage& image, QRgb colour, QRect area) {
    int count = 0;
    area = area.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if ((image.pixel(x, y) & 0xFFFFFF) != (colour & 0xFFFFFF)) ++count;
        }
    }
    return count;
}

struct TitleCase {
    int channel;
    int port1Com;
    int port2Com;
    const char* title;
    const char* templateName;
};

class DisplayWindowOpening : public ::testing::TestWithParam<TitleCase> {};

TEST_P(DisplayWindowOpening, MakesTheTemplatesWindowWithItsTitleControlsAndEmptyText) {
    const TitleCase c = GetParam();
    recordBoxes();
    serialPort1.settings.comIndex = c.port1Com;
    serialPort2.settings.comIndex = c.port2Com;
    appOptions.DMODE = 0;
    openDisplayWindow(c.channel);

    RelayChannel& channel = relayChannel(c.channel);
    QWidget* window = displayWindowOf(c.channel);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->objectName().toStdString(), c.templateName);
    EXPECT_EQ(window->windowTitle().toStdString(), c.title);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(displayWindowOf(c.channel == 1 ? 2 : 1), nullptr);
    EXPECT_EQ(channel.displayOpen.load(), 1);
    EXPECT_EQ(channel.displayMode.load(), 0);

    TrafficView* view = viewOf(window);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->model(), channel.displayWindow.load());
    EXPECT_EQ(view->model()->textLength(), 0);
    EXPECT_TRUE(view->model()->readOnly());
    EXPECT_EQ(view->backgroundColor(), QApplication::palette("QMenu").color(QPalette::Window));
    EXPECT_EQ(view->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);  // no wrapping

    QPushButton* clear = buttonOf(window, 1046);
    QPushButton* end = buttonOf(window, 1058);
    ASSERT_NE(clear, nullptr);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(clear->text(), "CLEAR");
    EXPECT_EQ(end->text(), "END");
    EXPECT_TRUE(clear->isDefault());
    EXPECT_FALSE(end->isDefault());
    EXPECT_EQ(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint), c.channel == 2);
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(boxes().empty()) << "a box: " << boxes().front().text;  // the font applied
}

INSTANTIATE_TEST_SUITE_P(Table, DisplayWindowOpening,
                         ::testing::Values(TitleCase{1, 0, 1, "Com1 -> Com2", "IDD_DIALOG_DISP1"},
                                           TitleCase{2, 0, 1, "Com2 -> Com1", "IDD_DIALOG_DISP2"},
                                           TitleCase{2, 2, 0, "Com1 -> Com3", "IDD_DIALOG_DISP2"},
                                           TitleCase{1, 5, 3, "Com6 -> Com4", "IDD_DIALOG_DISP1"}));

struct LayoutSize {
    int width;
    int height;
};

class DisplayWindowLayout : public ::testing::TestWithParam<LayoutSize> {};

// Laid out from the whole window's size at every size; nothing stops the window getting small,
// and sizes that would go below zero are taken as zero.
TEST_P(DisplayWindowLayout, PlacesTheControlsFromTheWindowsSize) {
    openDisplayWindow(1);
    QWidget* window = displayWindowOf(1);
    window->resize(GetParam().width, GetParam().height);
    QApplication::processEvents();
    const int w = window->frameGeometry().width();
    const int h = window->frameGeometry().height();
    auto expected = [](int left, int top, int width, int height) {
        return QRect(left, top, std::max(width, 0), std::max(height, 0));
    };
    EXPECT_EQ(viewOf(window)->geometry(), expected(10, 10, w - 30, h - 80));
    EXPECT_EQ(buttonOf(window, 1046)->geometry(), expected(w - 210, h - 60, 90, 25));
    EXPECT_EQ(buttonOf(window, 1058)->geometry(), expected(w - 110, h - 60, 90, 25));
    // Rendering into the squeezed window goes on as ever.
    send(relayChannel1, "still shown\r\n");
    viewOf(window)->refresh();
    window->repaint();
}

INSTANTIATE_TEST_SUITE_P(Sizes, DisplayWindowLayout,
                         ::testing::Values(LayoutSize{640, 480}, LayoutSize{300, 200}, LayoutSize{209, 79},
                                           LayoutSize{100, 40}, LayoutSize{12, 8}, LayoutSize{1, 1}));

TEST(DisplayWindow, StartsAtTheTemplatesSizeInDialogUnits) {
    openDisplayWindow(1);
    openDisplayWindow(2);
    const DialogUnits units(dialogFont());
    EXPECT_EQ(displayWindowOf(1)->size(), QSize(units.x(286), units.y(149)));
    EXPECT_EQ(displayWindowOf(2)->size(), QSize(units.x(285), units.y(151)));
}

TEST(DisplayWindow, ClearEmptiesTheTextAndTheNextHexLineStartsAtSlotZero) {
    appOptions.DMODE = 1;
    openDisplayWindow(1);
    QWidget* window = displayWindowOf(1);
    send(relayChannel1, "ABCDEFGHIJ");
    buttonOf(window, 1046)->click();
    TrafficTextControl* model = viewOf(window)->model();
    EXPECT_EQ(model->textLength(), 0);
    send(relayChannel1, "K");
    EXPECT_EQ(model->text().substr(0, 3), "4B ");
    EXPECT_EQ(model->text()[54], 'K');
}

enum class Ending { EndButton, CloseBox };

class DisplayWindowEnding : public ::testing::TestWithParam<Ending> {};

TEST_P(DisplayWindowEnding, HidesTheWindowAndKeepsItWithItsText) {
    appOptions.DMODE = 0;
    openDisplayWindow(2);
    QPointer<QWidget> window = displayWindowOf(2);
    TrafficTextControl* model = viewOf(window)->model();
    send(relayChannel2, "kept\r\n");

    switch (GetParam()) {
        case Ending::EndButton: buttonOf(window, 1058)->click(); break;
        case Ending::CloseBox: window->close(); break;
    }
    QApplication::processEvents();
    ASSERT_FALSE(window.isNull());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(relayChannel2.displayOpen.load(), 0);
    EXPECT_EQ(relayChannel2.displayWindow.load(), model);
    EXPECT_EQ(model->text(), "kept\r\n");
    EXPECT_EQ(displayWindowOf(2), window.data());
}

INSTANTIATE_TEST_SUITE_P(Ways, DisplayWindowEnding,
                         ::testing::Values(Ending::EndButton, Ending::CloseBox));

// Only the main window has a dialog's keyboard handling.
TEST(DisplayWindow, EscAndEnterNeitherEndTheWindowNorPressClear) {
    openDisplayWindow(1);
    QWidget* window = displayWindowOf(1);
    send(relayChannel1, "kept");
    for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(window, &press);
    }
    QApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(relayChannel1.displayOpen.load(), 1);
    EXPECT_EQ(relayChannel1.displayWindow.load()->text(), "kept");
}

TEST(DisplayWindow, ASecondOpenWhileOpenChangesNothingNotEvenTheForm) {
    appOptions.DMODE = 1;
    openDisplayWindow(1);
    QWidget* window = displayWindowOf(1);
    TrafficTextControl* model = relayChannel1.displayWindow.load();
    appOptions.DMODE = 0;
    openDisplayWindow(1);
    EXPECT_EQ(displayWindowOf(1), window);
    EXPECT_EQ(displayWindowCount(1), 1);
    EXPECT_EQ(relayChannel1.displayWindow.load(), model);
    EXPECT_EQ(relayChannel1.displayMode.load(), 1);
}

TEST(DisplayWindow, ReopeningAfterEndGivesANewEmptyWindowInTheFormOfThatMoment) {
    appOptions.DMODE = 1;
    openDisplayWindow(1);
    QPointer<QWidget> first = displayWindowOf(1);
    TrafficTextControl* firstModel = relayChannel1.displayWindow.load();
    send(relayChannel1, "old bytes");
    buttonOf(first, 1058)->click();

    appOptions.DMODE = 0;
    openDisplayWindow(1);
    QWidget* second = displayWindowOf(1);
    ASSERT_NE(second, first.data());
    EXPECT_EQ(displayWindowCount(1), 2);
    EXPECT_TRUE(second->isVisible());
    EXPECT_EQ(relayChannel1.displayMode.load(), 0);
    EXPECT_EQ(relayChannel1.displayOpen.load(), 1);
    TrafficTextControl* secondModel = relayChannel1.displayWindow.load();
    EXPECT_NE(secondModel, firstModel);
    EXPECT_EQ(secondModel->textLength(), 0);
    EXPECT_EQ(viewOf(second)->model(), secondModel);

    // The old one lives on, hidden, with what it showed; new traffic goes to the new one.
    ASSERT_FALSE(first.isNull());
    EXPECT_FALSE(first->isVisible());
    EXPECT_EQ(firstModel->textLength(), 74);
    send(relayChannel1, "new");
    EXPECT_EQ(secondModel->text(), "new");
    EXPECT_EQ(firstModel->textLength(), 74);
}

TEST(DisplayWindow, TitleCanBeSetOnTheStoredWindowOpenOrClosed) {
    setDisplayWindowTitle(1, "ignored");  // no window yet: no effect, no crash
    openDisplayWindow(1);
    QWidget* window = displayWindowOf(1);
    buttonOf(window, 1058)->click();
    setDisplayWindowTitle(1, "COM");
    EXPECT_EQ(window->windowTitle(), "COM");
}

TEST(DisplayWindowHook, APressSetsTheHeldFlagAndAReleaseClearsIt) {
    openDisplayWindow(1);
    QWidget* viewport = viewOf(displayWindowOf(1))->viewport();
    mouse(viewport, QEvent::MouseButtonPress);
    EXPECT_EQ(relayChannel1.displayMouseHeld.load(), 1);
    EXPECT_EQ(leftMouseButtonDown.load(), 1);
    EXPECT_EQ(relayChannel2.displayMouseHeld.load(), 0);
    mouse(viewport, QEvent::MouseButtonRelease);
    EXPECT_EQ(relayChannel1.displayMouseHeld.load(), 0);
    EXPECT_EQ(leftMouseButtonDown.load(), 0);
}

TEST(DisplayWindowHook, TheLeftButtonWordFollowsPressesAnywhereInTheProgram) {
    openDisplayWindow(2);
    QPushButton* clear = buttonOf(displayWindowOf(2), 1046);
    mouse(clear, QEvent::MouseButtonPress);
    EXPECT_EQ(leftMouseButtonDown.load(), 1);
    EXPECT_EQ(relayChannel2.displayMouseHeld.load(), 0);  // not in the text
    mouse(clear, QEvent::MouseButtonRelease);
    EXPECT_EQ(leftMouseButtonDown.load(), 0);
}

TEST(DisplayWindowHook, APressDuringAHexRenderIsSwallowedButStillHolds) {
    appOptions.DMODE = 1;
    openDisplayWindow(1);
    TrafficView* view = viewOf(displayWindowOf(1));
    send(relayChannel1, std::string(64, 'x'));
    TrafficTextControl* model = view->model();
    const int end = model->textLength();
    ASSERT_EQ(model->caret(), end);

    relayChannel1.render.hexRendering = 1;
    mouse(view->viewport(), QEvent::MouseButtonPress, QPoint(4, 4));
    EXPECT_EQ(relayChannel1.displayMouseHeld.load(), 1);
    EXPECT_EQ(model->caret(), end);  // the click did not reach the text
    mouse(view->viewport(), QEvent::MouseButtonRelease, QPoint(4, 4));
    relayChannel1.render.hexRendering = 0;

    // Outside a render a press places the caret where it lands.
    view->verticalScrollBar()->setValue(0);
    view->horizontalScrollBar()->setValue(0);
    mouse(view->viewport(), QEvent::MouseButtonPress, QPoint(2, 2));
    EXPECT_EQ(model->caret(), 0);
    mouse(view->viewport(), QEvent::MouseButtonRelease, QPoint(2, 2));
    EXPECT_EQ(relayChannel1.displayMouseHeld.load(), 0);
}

TEST(DisplayFont, AFaceThatIsNotFixedPitchIsRefusedWithTheBoxOwnedByTheText) {
    recordBoxes();
    openDisplayWindow(1);
    TrafficView* view = viewOf(displayWindowOf(1));
    ASSERT_TRUE(boxes().empty());
    const QFont applied = view->font();
    QFont proportional(QStringLiteral("DejaVu Sans"), 12);
    proportional.setStyleHint(QFont::SansSerif);
    EXPECT_EQ(setDisplayFont(*view, proportional), 0);
    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].text, "InitialFont Error");
    EXPECT_EQ(boxes()[0].icon, BoxIcon::None);
    EXPECT_EQ(boxes()[0].owner, BoxOwner::Widget);
    EXPECT_EQ(boxes()[0].widget, static_cast<void*>(view));
    EXPECT_EQ(view->font(), applied);  // goes on with the font it had
}

// ---- the view -------------------------------------------------------------------------------

TEST(TrafficViewText, DecodesCodePage932AndShowsUndrawableBytesAsPlaceholders) {
    struct Case {
        std::string bytes;
        QString shown;
    } cases[] = {
        {"\x93\xfa\x96\x7b\x8c\xea", QStringLiteral("日本語")},
        {"\xb1\xb2\xb3", QStringLiteral("ｱｲｳ")},
        {"abc", QStringLiteral("abc")},
        {std::string("A\0B", 3), QStringLiteral("A□B")},
        {"\x14\x1b\x7f", QStringLiteral("□□□")},
        {"\x82", QStringLiteral("□")},          // a lead byte without its trail byte
        {"\x82 x", QStringLiteral("□ x")},
        {"\xfd\xfe\xff\x80\xa0", QStringLiteral("□□□□□")},  // no characters of the code page
    };
    for (const Case& c : cases) EXPECT_EQ(displayLineText(c.bytes), c.shown) << c.bytes;

    // A character of two bytes takes two cells; the columns stay those of the bytes.
    const auto segments = decodeDisplayLine("a\x93\xfa" "b");
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[1].column, 1);
    EXPECT_EQ(segments[1].cells, 2);
    EXPECT_EQ(segments[2].column, 3);
}

TEST(TrafficViewPaint, JapaneseTextAndPlaceholdersShowOnTheBackground) {
    appOptions.DMODE = 0;
    openDisplayWindow(1);
    TrafficView* view = viewOf(displayWindowOf(1));
    view->verticalScrollBar()->setValue(0);
    const QRgb background = view->backgroundColor().rgb();
    const QRect firstLine(0, 0, view->viewport()->width(), view->lineHeight());

    view->refresh();
    QImage empty = view->viewport()->grab().toImage();
    EXPECT_EQ(pixelsOtherThan(empty, background, empty.rect()), 0);

    send(relayChannel1, "\x93\xfa\x96\x7b\x8c\xea");  // 日本語
    view->refresh();
    QImage japanese = view->viewport()->grab().toImage();
    EXPECT_GT(pixelsOtherThan(japanese, background, firstLine), 30);
    // Three double-width characters: ink across about six cells, nothing far beyond.
    const int cw = view->cellWidth();
    EXPECT_GT(pixelsOtherThan(japanese, background, QRect(4 * cw, 0, 2 * cw, view->lineHeight())), 0);
    EXPECT_EQ(pixelsOtherThan(japanese, background, QRect(8 * cw, 0, 10 * cw, view->lineHeight())), 0);

    buttonOf(displayWindowOf(1), 1046)->click();
    send(relayChannel1, std::string("\0", 1));
    view->refresh();
    QImage placeholder = view->viewport()->grab().toImage();
    EXPECT_GT(pixelsOtherThan(placeholder, background, QRect(0, 0, 2 * cw, view->lineHeight())), 4);
}

TEST(TrafficViewPaint, RepaintsWhenTheModelChangedAndNotWhilePaintingIsOff) {
    openDisplayWindow(1);
    TrafficView* view = viewOf(displayWindowOf(1));
    view->refresh();
    EXPECT_FALSE(view->refresh());  // nothing new
    send(relayChannel1, "abc");
    send(relayChannel1, "def");
    EXPECT_TRUE(view->refresh());  // many changes, one repaint
    EXPECT_FALSE(view->refresh());

    TrafficTextControl* model = view->model();
    model->setRedraw(false);
    model->setSelection(0, 1);
    EXPECT_FALSE(view->refresh());
    model->setRedraw(true);
    EXPECT_TRUE(view->refresh());
}

TEST(TrafficViewPaint, FollowsTheCaretToTheEndAfterEveryChunk) {
    appOptions.DMODE = 0;
    openDisplayWindow(2);
    TrafficView* view = viewOf(displayWindowOf(2));
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += "line " + std::to_string(i) + "\r\n";
    send(relayChannel2, lines);
    view->refresh();
    QScrollBar* bar = view->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(0);  // the user scrolls up to older text
    send(relayChannel2, "one more\r\n");
    view->refresh();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_GE(view->firstVisibleLine() + view->visibleLineCount(), view->model()->lineCount());
}

}  // namespace

namespace {

TEST(TrafficViewCopy, CtrlCPutsTheSelectionAsShownOnTheClipboard) {
    appOptions.DMODE = 0;
    openDisplayWindow(1);
    TrafficView* view = viewOf(displayWindowOf(1));
    send(relayChannel1, std::string("ab\x93\xfa\0c\r\nnext line", 16));
    view->model()->setSelection(1, 12);  // "b日\0c", the break, "next"
    QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
    QApplication::sendEvent(view, &copy);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("b日□c\nnext"));
}

}  // namespace
