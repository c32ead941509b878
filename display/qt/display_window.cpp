#include "display/qt/display_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <array>
#include <memory>

#include "display/qt/traffic_view.h"
#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "relay/channel.h"
#include "relay/relay.h"

namespace {

// Keeps leftMouseButtonDown, which the workers read, in step with the left button anywhere
// in the program.
class LeftButtonWatcher : public QObject {
public:
    explicit LeftButtonWatcher(std::atomic<int32_t>& buttonDown) : leftMouseButtonDown(buttonDown) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) leftMouseButtonDown.store(1);
                break;
            case QEvent::MouseButtonRelease:
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) leftMouseButtonDown.store(0);
                break;
            default:
                break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::atomic<int32_t>& leftMouseButtonDown;
};

QString titleFor(const RelayChannel& channel) {
    return QString::fromStdString(
        directionTitle(channel.source.settings.comIndex, channel.destination.settings.comIndex));
}

// The system's menu colour, read when the window is made.
QColor menuColour() { return QApplication::palette("QMenu").color(QPalette::Window); }

class DisplayWindow : public QDialog {
public:
    DisplayWindow(const DisplayWindowHost& host, RelayChannel& channel, TrafficDisplay& display,
                  std::shared_ptr<TrafficTextControl> model, QWidget* owner)
        : QDialog(owner), channel_(channel), display_(display) {
        const bool second = channel.number == 2;
        setObjectName(second ? "IDD_DIALOG_DISP2" : "IDD_DIALOG_DISP1");
        Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                                Qt::WindowMinimizeButtonHint;
        if (second) flags |= Qt::WindowMaximizeButtonHint;
        setWindowFlags(flags);
        setModal(false);
        setFont(host.dialogFont());
        setSizeGripEnabled(false);
        // Dialog keyboard handling belongs to the main window only: Esc and Enter here neither
        // end the window nor press CLEAR.
        host.keepDialogKeys(*this);

        const QFont dialogFont = host.dialogFont();
        const auto units = [&](int left, int top, int width, int height) {
            return host.dialogRect(dialogFont, left, top, width, height);
        };
        view_ = new TrafficView(this);
        view_->setObjectName(QString::number(kDisplayText));
        clear_ = new QPushButton(QStringLiteral("CLEAR"), this);
        clear_->setObjectName(QString::number(kDisplayClear));
        end_ = new QPushButton(QStringLiteral("END"), this);
        end_->setObjectName(QString::number(kDisplayEnd));
        clear_->setAutoDefault(false);
        end_->setAutoDefault(false);
        clear_->setDefault(true);
        if (second) {
            clear_->setGeometry(units(42, 130, 50, 14));
            end_->setGeometry(units(103, 130, 50, 14));
            view_->setGeometry(units(7, 7, 271, 114));
            resize(units(0, 0, 285, 151).size());
        } else {
            clear_->setGeometry(units(39, 128, 50, 14));
            end_->setGeometry(units(100, 128, 50, 14));
            view_->setGeometry(units(5, 6, 274, 115));
            resize(units(0, 0, 286, 149).size());
        }
        if (owner != nullptr) move(owner->mapToGlobal(QPoint(0, 0)));

        connect(clear_, &QPushButton::clicked, this, [this] { view_->model()->setText(""); });
        connect(end_, &QPushButton::clicked, this, [this] { endDisplay(); });

        // Initialisation, in its order: title, read-only (the view offers no editing), colour,
        // font, hook, layout.
        setWindowTitle(titleFor(channel));
        view_->setModel(std::move(model));
        view_->setBackgroundColor(menuColour());
        setDisplayFont(*view_, host.fixedFont(), host.fontRefused);
        view_->viewport()->installEventFilter(this);
        layoutDisplayWindow();
    }

    // Every size is laid out; the computed sizes may go below zero in a small window, and
    // are then taken as zero.
    void layoutDisplayWindow() {
        const QRect frame = frameGeometry();
        const int w = frame.width();
        const int h = frame.height();
        auto place = [](QWidget* widget, int left, int top, int width, int height) {
            widget->setGeometry(left, top, std::max(width, 0), std::max(height, 0));
        };
        place(view_, 10, 10, w - 30, h - 80);
        place(clear_, w - 210, h - 60, 90, 25);
        place(end_, w - 110, h - 60, 90, 25);
        update();
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QDialog::resizeEvent(event);
        layoutDisplayWindow();
    }
    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        layoutDisplayWindow();  // the frame is known once the window is on screen
    }
    // The close box is command 2: the same as END.
    void reject() override { endDisplay(); }
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        endDisplay();
    }

    // The hook on the text: presses tell the worker to pause while the button is held, and
    // stay out of a hex render in progress.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == view_->viewport()) {
            const auto type = event->type();
            if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                    channel_.displayMouseHeld.store(1);
                    if (display_.render.hexRendering.load() == 1) return true;
                }
            } else if (type == QEvent::MouseButtonRelease) {
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                    channel_.displayMouseHeld.store(0);
                    return true;
                }
            } else if (type == QEvent::MouseMove) {
                // A drag would move the selection between a render's select and replace.
                const auto* mouse = static_cast<QMouseEvent*>(event);
                if ((mouse->buttons() & Qt::LeftButton) && display_.render.hexRendering.load() == 1) return true;
            }
        }
        return QDialog::eventFilter(watched, event);
    }

private:
    // The widgets go; the text stays with the channel for a render call still under way.
    void endDisplay() {
        display_.displayOpen.store(0);
        done(kDisplayEnd);
        deleteLater();
    }

    RelayChannel& channel_;
    TrafficDisplay& display_;
    TrafficView* view_ = nullptr;
    QPushButton* clear_ = nullptr;
    QPushButton* end_ = nullptr;
};

}  // namespace

DisplayWindows::DisplayWindows(DisplayWindowHost host, Relay& relay, TrafficDisplay& display1,
                               TrafficDisplay& display2)
    : host_(std::move(host)), relay_(relay), displays_{&display1, &display2} {}

DisplayWindows::~DisplayWindows() {
    if (watcher_ && qApp != nullptr) qApp->removeEventFilter(watcher_.get());
}

void DisplayWindows::watchLeftButton() {
    if (watcher_ || qApp == nullptr) return;
    watcher_ = std::make_unique<LeftButtonWatcher>(relay_.leftMouseButtonDown);
    qApp->installEventFilter(watcher_.get());
}

int setDisplayFont(TrafficView& view, const QFont& font, const std::function<void(QWidget& view)>& refused) {
    const QFont previous = view.font();
    view.setFont(font);
    // The dump's columns and the byte-per-cell layout need a face whose narrow characters all
    // have one width.
    const QFontMetrics metrics(view.font());
    const int narrow = metrics.horizontalAdvance(QLatin1Char('i'));
    if (narrow > 0 && narrow == metrics.horizontalAdvance(QLatin1Char('W')) &&
        narrow == metrics.horizontalAdvance(QLatin1Char('0'))) {
        return 1;
    }
    view.setFont(previous);
    if (refused) refused(view);
    return 0;
}

void DisplayWindows::openDisplayWindow(int channel) {
    RelayChannel& ch = relay_.relayChannel(channel);
    TrafficDisplay& display = *displays_[channelSlot(channel)];
    if (display.displayOpen.load() == 1) return;
    watchLeftButton();

    auto model = std::make_shared<TrafficTextControl>();
    auto* window = new DisplayWindow(host_, ch, display, model, host_.owner());
    const size_t index = channelSlot(channel);
    current_[index] = window;
    ++made_[index];

    // The worker renders into the new text from its very first chunk after this: the text,
    // then the form, then the flag it looks at. The previous text goes once no render call
    // holds it any more.
    display.displayWindow.store(std::move(model), std::memory_order_release);
    display.displayMode.store(relay_.appOptions.DMODE.load());
    display.displayOpen.store(1, std::memory_order_release);
    window->show();
    window->repaint();
}

void DisplayWindows::setDisplayWindowTitle(int channel, const QString& title) {
    if (QWidget* window = displayWindowOf(channel)) window->setWindowTitle(title);
}

QWidget* DisplayWindows::displayWindowOf(int channel) const { return current_[channelSlot(channel)].data(); }

int DisplayWindows::displayWindowCount(int channel) const { return made_[channelSlot(channel)]; }
