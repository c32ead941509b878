#include "capture/qt/log_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>

#include "capture/capture_file.h"
#include "capture/capture_log.h"
#include "capture/combined_log.h"
#include "relay/channel.h"
#include "relay/relay.h"

namespace {

constexpr int kCounterPollMs = 150;
constexpr int kClosePollMs = 10;

// The window's capture: one direction's log, or the combined one of both.
bool isCombined(int channel) { return channel == kCombinedCapture; }
void closeCapture(Captures& captures, int channel) {
    if (isCombined(channel)) captures.combinedCapture.close(); else captures.closeCaptureLog(channel);
}
CaptureFailure takeFailure(Captures& captures, int channel) {
    return isCombined(channel) ? captures.combinedCapture.takeFailure() : captures.takeCaptureFailure(channel);
}
// Every capture writes itself out and closes on a thread of its own.
void requestClose(Captures& captures, int channel) {
    if (isCombined(channel)) captures.combinedCapture.requestClose(); else captures.requestCaptureLogClose(channel);
}
bool captureClosed(Captures& captures, int channel) {
    return isCombined(channel) ? captures.combinedCapture.closed() : captures.captureLogClosed(channel);
}
int64_t byteCount(Captures& captures, int channel) {
    return isCombined(channel) ? captures.combinedCapture.byteCount() : captures.captureByteCount(channel);
}

}  // namespace

bool CaptureWindows::askToCreate(const QString& fullPath) {
    if (createFilePrompt) return createFilePrompt(fullPath);
    return host_.askToCreate && host_.askToCreate(host_.owner(), fullPath);
}

namespace {

// IDD_DIALOG_LOG1 / IDD_DIALOG_LOG2: names the file and the direction, counts the captured
// bytes, and ends the capture with CLOSE (clicked, or Space on it) or the close box.
class LogWindow : public QDialog {
public:
    LogWindow(const CaptureWindowHost& host, Relay& relay, Captures& captures, QPointer<QDialog>& slot,
              int channel, QWidget* owner);
    ~LogWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void tick();
    void finish();

    const CaptureWindowHost& host_;
    Captures& captures_;
    QPointer<QDialog>& slot_;  // where the application finds the channel's open window
    const int channel_;
    QLabel* counter_ = nullptr;
    QTimer poll_;
    int64_t shown_ = 0;
    bool finished_ = false;   // the capture has been ended
    bool closed_ = false;     // and its file is closed
    bool reporting_ = false;  // the box of a failure is up (its loop runs ticks)
};

LogWindow::LogWindow(const CaptureWindowHost& host, Relay& relayOwner, Captures& captures,
                     QPointer<QDialog>& slot, int channel, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                         Qt::WindowCloseButtonHint),
      host_(host), captures_(captures), slot_(slot), channel_(channel) {
    setObjectName(QStringLiteral("IDD_DIALOG_LOG%1").arg(isCombined(channel) ? 3 : channel));
    setWindowTitle(QStringLiteral("Vorlinex： Log"));
    setModal(false);
    setFont(host_.dialogFont());
    // Dialog keyboard handling belongs to the main window only: Esc and Enter here neither end
    // the capture nor press CLOSE.
    host_.keepDialogKeys(*this);
    const QFont dialogFont = font();
    const auto rect = [&](int left, int top, int width, int height) {
        return host_.dialogRect(dialogFont, left, top, width, height);
    };
    const auto x = [&](int units) { return rect(0, 0, units, 0).width(); };
    const auto y = [&](int units) { return rect(0, 0, 0, units).height(); };
    RelayChannel& relay = relayOwner.relayChannel(isCombined(channel) ? 1 : channel);
    const std::string name = isCombined(channel) ? captures.combinedCapture.name() : captures.captureLog(channel).logName;

    auto* group = new QGroupBox(this);
    group->setObjectName(QString::number(kLogFileName));
    // The name is shown whole, however long: the window grows to hold it.
    group->setTitle(QStringLiteral("Log File Name： ") + QFile::decodeName(name.c_str()));
    group->setToolTip(group->title());

    auto* direction = new QLabel(this);
    direction->setObjectName(QString::number(kLogDirection));
    direction->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Where the data come from, then where they are relayed to; not updated while open.
    QString text = QString::fromStdString(
        directionTitle(relay.source.settings.comIndex, relay.destination.settings.comIndex));
    // The combined capture holds both directions between the same two ports.
    if (isCombined(channel)) text.replace(QStringLiteral(" -> "), QStringLiteral(" <-> "));
    direction->setText(text);

    auto* label = new QLabel(QStringLiteral("Recv Byte："), this);

    counter_ = new QLabel(QStringLiteral("0"), this);
    counter_->setObjectName(QString::number(kLogByteCount));
    counter_->setAlignment(Qt::AlignCenter);

    auto* close = new QPushButton(QStringLiteral("CLOSE"), this);
    close->setObjectName(QString::number(kLogClose));
    // Not a default button: Enter must not end a capture the user did not mean to end.
    close->setAutoDefault(false);
    close->setDefault(false);
    close->setFocus();
    connect(close, &QPushButton::clicked, this, [this] { finish(); });

    const int width = channel == 2 ? 191 : 190;
    int widthPx = x(width);
    int groupPx = x(width - 14);
    const int needed = QFontMetrics(group->font()).horizontalAdvance(group->title()) + x(16);
    if (needed > groupPx) {
        int extra = needed - groupPx;
        if (const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen()) {
            extra = std::min(extra, std::max(0, screen->availableGeometry().width() - widthPx));
        }
        widthPx += extra;
        groupPx += extra;
    }
    group->setGeometry(x(7), y(5), groupPx, y(42));
    direction->setGeometry(rect(15, 17, 110, 9));
    label->setGeometry(rect(15, 31, 40, 9));
    counter_->setGeometry(rect(57, 31, 70, 9));
    close->setGeometry(widthPx - x(57), y(54), x(50), y(14));
    setFixedSize(widthPx, y(75));

    poll_.setInterval(kCounterPollMs);
    connect(&poll_, &QTimer::timeout, this, [this] { tick(); });
    poll_.start();
}

LogWindow::~LogWindow() {
    // Destroyed with its owner rather than by CLOSE (the program ends): the file must not stay
    // open behind it.
    if (!closed_) closeCapture(captures_, channel_);
}

void LogWindow::tick() {
    if (finished_) {
        // The capture's own thread is writing out and closing the file; the channel is free
        // for the next capture once it has.
        if (closed_ || !captureClosed(captures_, channel_)) return;
        poll_.stop();
        closed_ = true;
        host_.enableMenuItem(channel_, true);
        // Not under the box of a failure, whose tick is still on the stack: that one deletes it.
        if (!reporting_) deleteLater();
        // The last bytes may have failed to reach the file when it was closed.
        if (const CaptureFailure failure = takeFailure(captures_, channel_)) host_.reportFailure(failure);
        return;
    }
    if (const CaptureFailure failure = takeFailure(captures_, channel_)) {
        // The capture ended: its file is let go at once, so that its menu item is offered again
        // as soon as its writer has finished, while the user still reads the box.
        finish();
        reporting_ = true;
        host_.reportFailure(failure);
        reporting_ = false;
        if (closed_) deleteLater();
        return;
    }
    const int64_t count = byteCount(captures_, channel_);
    if (count != shown_) {
        shown_ = count;
        counter_->setText(QString::number(count));
    }
}

// CLOSE: the capture ends and the window is gone at once. The UI thread never waits for the
// file (a slow file system, a pipe whose reader has stalled): the window lives on hidden until
// the file is closed, then gives the menu item back; the next capture builds a new window.
void LogWindow::finish() {
    if (finished_) return;
    finished_ = true;
    requestClose(captures_, channel_);
    if (slot_ == this) slot_ = nullptr;
    hide();
    poll_.setInterval(kClosePollMs);
    poll_.start();
}

void LogWindow::closeEvent(QCloseEvent* event) {
    finish();
    event->accept();
}

// The close box arrives here too.
void LogWindow::reject() { finish(); }

}  // namespace

CaptureWindows::CaptureWindows(CaptureWindowHost host, Relay& relay, Captures& captures)
    : host_(std::move(host)), relay_(relay), captures_(captures) {}

QPointer<QDialog>& CaptureWindows::windowSlot(int channel) {
    return logWindows[isCombined(channel) ? 2 : channelSlot(channel)];
}

void CaptureWindows::setCaptureFileChooser(CaptureFileChooser chooser) { fileChooser = std::move(chooser); }

void CaptureWindows::setCreateFilePrompt(CreateFilePrompt prompt) { createFilePrompt = std::move(prompt); }

std::optional<QString> CaptureWindows::chooseCaptureFile(int) {
    QString folder;
    for (;;) {
        QFileDialog dialog(host_.owner(), QStringLiteral("Vorlinex Log File Open"));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::AnyFile);
        // The dialog is ours on every desktop, so the filters below mean the same everywhere.
        // Each filter shows only its name; the pattern after it is what it matches. "*.*" is
        // every file, with or without a dot, as users of this dialog expect.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        const QString allFiles = QStringLiteral("All Files(*.*) (*)");
        dialog.setNameFilters({allFiles, QStringLiteral("txt files(*.txt) (*.txt)")});
        dialog.selectNameFilter(allFiles);
        // No default suffix on the dialog: it would add one to an existing file without a dot
        // too (README became README.txt). Only a new name without a dot gets it, below.
        if (!folder.isEmpty()) dialog.setDirectory(folder);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        const QStringList chosen = dialog.selectedFiles();
        if (chosen.isEmpty() || chosen.first().isEmpty()) return std::nullopt;
        QString path = chosen.first();
        if (!QFileInfo::exists(path) && !QFileInfo(path).fileName().contains(QLatin1Char('.')))
            path += QStringLiteral(".txt");
        if (QFileInfo::exists(path) || askToCreate(path)) return path;
        // "No": back to the dialog, in the folder the user was in.
        folder = QFileInfo(path).absolutePath();
    }
}

QWidget* CaptureWindows::captureLogWindow(int channel) { return windowSlot(channel).data(); }

void CaptureWindows::startCapture(int channel) {
    if (channel != 1 && channel != 2 && !isCombined(channel)) return;
    if (QDialog* open = windowSlot(channel)) {
        // One capture per channel: the running one is brought forward instead.
        open->show();
        open->raise();
        open->activateWindow();
        return;
    }
    // The last capture of the channel is still being written out (its menu item is grey).
    if (!captureClosed(captures_, channel)) return;
    const std::optional<QString> path = fileChooser ? fileChooser(channel) : chooseCaptureFile(channel);
    if (!path || path->isEmpty()) return;
    const std::string fullPath = QFile::encodeName(*path).toStdString();
    CaptureOpenFailure failure;
    const int opened = isCombined(channel) ? captures_.openCombinedCapture(fullPath, &failure)
                                           : captures_.openCaptureLog(channel, fullPath, &failure);
    if (opened == 0) {
        host_.reportOpenFailure(fullPath, failure);
        return;
    }

    host_.enableMenuItem(channel, false);
    auto* window = new LogWindow(host_, relay_, captures_, windowSlot(channel), channel, host_.owner());
    windowSlot(channel) = window;
    window->show();
}
