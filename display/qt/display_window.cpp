#include "display/qt/display_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <array>
#include <memory>
#include <vector>

#include "display/qt/traffic_view.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"
#include "relay/serial_port.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "shell/qt/dialog_units.h"
#include "shell/qt/main_window.h"

namespace {

constexpr int idText = 1001;
constexpr int idClear = 1046;
constexpr int idEnd = 1058;

// Keeps leftMouseButtonDown, which the workers read, in step with the left button anywhere
// in the program.
class LeftButtonWatcher : public QObject {
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
};

void watchLeftButton() {
    static LeftButtonWatcher* watcher = nullptr;
    if (watcher != nullptr || qApp == nullptr) return;
    watcher = new LeftButtonWatcher;
    watcher->setParent(qApp);
    qApp->installEventFilter(watcher);
}

QString titleFor(const RelayChannel& channel) {
    return QString::fromStdString(
        directionTitle(channel.source.settings.comIndex, channel.destination.settings.comIndex));
}

// The system's menu colour, read when the window is made.
QColor menuColour() { return QApplication::palette("QMenu").color(QPalette::Window); }

class DisplayWindow : public QDialog {
public:
    DisplayWindow(RelayChannel& channel, TrafficTextControl& model, QWidget* owner)
        : QDialog(owner), channel_(channel), model_(model) {
        const bool second = channel.number == 2;
        setObjectName(second ? "IDD_DIALOG_DISP2" : "IDD_DIALOG_DISP1");
        Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                                Qt::WindowMinimizeButtonHint;
        if (second) flags |= Qt::WindowMaximizeButtonHint;
        setWindowFlags(flags);
        setModal(false);
        setFont(dialogFont());
        setSizeGripEnabled(false);

        const DialogUnits units(dialogFont());
        view_ = new TrafficView(this);
        view_->setObjectName(QString::number(idText));
        clear_ = new QPushButton(QStringLiteral("CLEAR"), this);
        clear_->setObjectName(QString::number(idClear));
        end_ = new QPushButton(QStringLiteral("END"), this);
        end_->setObjectName(QString::number(idEnd));
        clear_->setAutoDefault(false);
        end_->setAutoDefault(false);
        clear_->setDefault(true);
        if (second) {
            clear_->setGeometry(units.rect(42, 130, 50, 14));
            end_->setGeometry(units.rect(103, 130, 50, 14));
            view_->setGeometry(units.rect(7, 7, 271, 114));
            resize(units.x(285), units.y(151));
        } else {
            clear_->setGeometry(units.rect(39, 128, 50, 14));
            end_->setGeometry(units.rect(100, 128, 50, 14));
            view_->setGeometry(units.rect(5, 6, 274, 115));
            resize(units.x(286), units.y(149));
        }
        if (owner != nullptr) move(owner->mapToGlobal(QPoint(0, 0)));

        connect(clear_, &QPushButton::clicked, this, [this] { model_.setText(""); });
        connect(end_, &QPushButton::clicked, this, [this] { endDisplay(); });

        // Initialisation, in its order: title, read-only, colour, font, hook, layout.
        setWindowTitle(titleFor(channel));
        model.setReadOnly(true);
        view_->setModel(&model);
        view_->setBackgroundColor(menuColour());
        setDisplayFont(*view_, fixedGothicFont());
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

    TrafficTextControl& model() { return model_; }

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
    // Dialog keyboard handling belongs to the main window only: Esc and Enter here neither end
    // the window nor press CLEAR.
    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
            case Qt::Key_Escape:
            case Qt::Key_Return:
            case Qt::Key_Enter:
                event->accept();
                return;
            default:
                QDialog::keyPressEvent(event);
        }
    }
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
                    if (channel_.render.hexRendering.load() == 1) return true;
                }
            } else if (type == QEvent::MouseButtonRelease) {
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                    channel_.displayMouseHeld.store(0);
                    return true;
                }
            } else if (type == QEvent::MouseMove) {
                // A drag would move the selection between a render's select and replace.
                const auto* mouse = static_cast<QMouseEvent*>(event);
                if ((mouse->buttons() & Qt::LeftButton) && channel_.render.hexRendering.load() == 1) return true;
            }
        }
        return QDialog::eventFilter(watched, event);
    }

private:
    void endDisplay() {
        channel_.displayOpen.store(0);
        done(idEnd);
    }

    RelayChannel& channel_;
    TrafficTextControl& model_;
    TrafficView* view_ = nullptr;
    QPushButton* clear_ = nullptr;
    QPushButton* end_ = nullptr;
};

// Display windows and their models live until the process ends: a worker may still be in a
// render call on a window the user has closed. Never freed, on purpose.
struct DisplayStore {
    std::array<std::vector<QPointer<DisplayWindow>>, 2> windows;
    std::vector<std::unique_ptr<TrafficTextControl>> models;
};

DisplayStore& store() {
    static DisplayStore* s = new DisplayStore;
    return *s;
}

int channelIndex(int channel) { return channel == 2 ? 1 : 0; }

}  // namespace

int setDisplayFont(TrafficView& view, const QFont& font) {
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
    showBox("InitialFont Error", BoxIcon::None, BoxOwner::Widget, &view);
    return 0;
}

void openDisplayWindow(int channel) {
    RelayChannel& ch = relayChannel(channel);
    if (ch.displayOpen.load() == 1) return;
    watchLeftButton();

    DisplayStore& s = store();
    s.models.push_back(std::make_unique<TrafficTextControl>());
    TrafficTextControl& model = *s.models.back();
    auto* window = new DisplayWindow(ch, model, publishedMainWindow());
    s.windows[static_cast<size_t>(channelIndex(channel))].push_back(window);

    // The worker renders into the new control from its very first chunk after this: the
    // control, then the form, then the flag it looks at.
    ch.displayWindow.store(&model, std::memory_order_release);
    ch.displayMode.store(appOptions.DMODE.load());
    ch.displayOpen.store(1, std::memory_order_release);
    window->show();
    window->repaint();
}

void setDisplayWindowTitle(int channel, const QString& title) {
    if (QWidget* window = displayWindowOf(channel)) window->setWindowTitle(title);
}

QWidget* displayWindowOf(int channel) {
    const auto& windows = store().windows[static_cast<size_t>(channelIndex(channel))];
    return windows.empty() ? nullptr : windows.back().data();
}

int displayWindowCount(int channel) {
    return static_cast<int>(store().windows[static_cast<size_t>(channelIndex(channel))].size());
}
