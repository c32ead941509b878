#include "display/qt/timeline_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "display/qt/code_page_932.h"
#include "display/timeline_file.h"
#include "display/timeline_records.h"

namespace {

// Records searched per slice: a slice takes a few milliseconds, so the window stays lively while
// a million records are searched.
constexpr size_t kFindSlice = 20000;
// How often a search that has caught up looks at records that arrived since, and a file window
// at its indexer.
constexpr int kFollowUpMs = 100;
constexpr int kFilePollMs = 50;
// How often an indexed file is looked at for a writer that cut it.
constexpr int kFileWatchMs = 500;
// How often the note follows a save of a selection.
constexpr int kSavePollMs = 100;

// Text typed into the find bar as the bytes the devices send: code page 932, ASCII as it is. A
// character that code page has not is searched as its UTF-8 bytes, which is what such a device
// would have sent.
std::string codePage932(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; })) {
        return utf8.toStdString();
    }
    const std::optional<std::string> bytes = codePage932Bytes(text);
    return bytes ? *bytes : utf8.toStdString();
}

QPushButton* addButton(QHBoxLayout* row, QWidget* parent, const char* text) {
    auto* button = new QPushButton(QString::fromLatin1(text), parent);
    button->setObjectName(QString::fromLatin1(text));
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::TabFocus);
    row->addWidget(button);
    return button;
}

}  // namespace

TimelineWindow::TimelineWindow(const TimelineWindowHost& host, TimelineRecords& records, QWidget* owner)
    : QDialog(owner), host_(host), records_(&records), source_(&records) {
    // Opening the window starts an empty list; nothing was taken while it was closed.
    records.setTaking(true);
    build(host_.title ? host_.title() : QString());
}

TimelineWindow::TimelineWindow(const TimelineWindowHost& host, std::unique_ptr<TimelineFile> file,
                               const QString& title, QWidget* owner)
    : QDialog(owner), host_(host), file_(std::move(file)), source_(file_.get()) {
    build(title);
    connect(&fileTimer_, &QTimer::timeout, this, [this] { pollFile(); });
    fileTimer_.start(kFilePollMs);
    pollFile();
}

TimelineWindow::~TimelineWindow() {
    // The list and a save go before the file they read.
    findTimer_.stop();
    saveTimer_.stop();
    save_.reset();
    find_.reset();
    view_->setSource(nullptr);
    if (records_ != nullptr && !ending_) records_->setTaking(false);
}

void TimelineWindow::build(const QString& title) {
    setObjectName(readOnly() ? QStringLiteral("TimelineFileWindow") : QStringLiteral("TimelineWindow"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    setModal(false);
    setSizeGripEnabled(true);
    setWindowTitle(title);
    // Esc and Enter end nothing here; the find bar takes them for itself.
    if (host_.keepDialogKeys) host_.keepDialogKeys(*this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    auto* buttons = new QHBoxLayout;
    layout->addLayout(buttons);
    if (!readOnly()) {
        hold_ = addButton(buttons, this, timeline_control::kHold);
        hold_->setCheckable(true);
        QPushButton* clear = addButton(buttons, this, timeline_control::kClear);
        connect(clear, &QPushButton::clicked, this, [this] {
            records_->clear();
            view_->sourceCleared();
            if (find_) startFind();
        });
    }
    QPushButton* open = addButton(buttons, this, timeline_control::kOpen);
    connect(open, &QPushButton::clicked, this, [this] { emit openFileAsked(); });
    filter_ = new QComboBox(this);
    filter_->setObjectName(QString::fromLatin1(timeline_control::kFilter));
    filter_->addItems({QStringLiteral("1>2 and 2>1"), QStringLiteral("1>2 only"), QStringLiteral("2>1 only")});
    filter_->setFocusPolicy(Qt::TabFocus);
    buttons->addWidget(filter_);
    QPushButton* findButton = addButton(buttons, this, "FIND");
    connect(findButton, &QPushButton::clicked, this, [this] { openFindBar(); });
    buttons->addStretch(1);
    QPushButton* endButton = addButton(buttons, this, timeline_control::kEnd);
    connect(endButton, &QPushButton::clicked, this, [this] { end(); });

    view_ = new TimelineView(this);
    view_->setObjectName(QString::fromLatin1(timeline_control::kList));
    if (host_.fixedFont) view_->setFont(host_.fixedFont());
    view_->setTexts(host_.texts);
    view_->setSource(source_, !readOnly());
    if (host_.pauseRule) {
        const auto [on, seconds] = host_.pauseRule();
        view_->setPauseRule(on, seconds);
    }
    layout->addWidget(view_, 1);
    connect(view_, &TimelineView::selectionTooLarge, this, [this](const TimelineSelection& selection) { offerSave(selection); });
    connect(&saveTimer_, &QTimer::timeout, this, [this] { pollSave(); });
    if (hold_ != nullptr) {
        connect(hold_, &QPushButton::toggled, view_, &TimelineView::setHold);
        connect(view_, &TimelineView::holdToggled, hold_, &QPushButton::setChecked);
    }
    connect(filter_, &QComboBox::currentIndexChanged, this, [this](int index) {
        view_->setFilter(index == 1 ? TimelineFilter::OneToTwo : index == 2 ? TimelineFilter::TwoToOne : TimelineFilter::Both);
        // A match is sought only in the records shown.
        if (find_ || !findError_.empty()) startFind();
    });

    note_ = new QLabel(this);
    note_->setObjectName(QString::fromLatin1(timeline_control::kNote));
    note_->hide();
    layout->addWidget(note_);

    findBar_ = new QWidget(this);
    findBar_->setObjectName(QString::fromLatin1(timeline_control::kFindBar));
    auto* bar = new QHBoxLayout(findBar_);
    bar->setContentsMargins(0, 0, 0, 0);
    pattern_ = new QLineEdit(findBar_);
    pattern_->setObjectName(QString::fromLatin1(timeline_control::kFindPattern));
    pattern_->setClearButtonEnabled(true);
    pattern_->installEventFilter(this);
    bar->addWidget(pattern_, 2);
    hex_ = new QCheckBox(QStringLiteral("Hex"), findBar_);
    hex_->setObjectName(QString::fromLatin1(timeline_control::kFindHex));
    bar->addWidget(hex_);
    auto* previous = new QPushButton(QStringLiteral("<"), findBar_);
    auto* next = new QPushButton(QStringLiteral(">"), findBar_);
    for (QPushButton* button : {previous, next}) {
        button->setAutoDefault(false);
        button->setFocusPolicy(Qt::NoFocus);
        bar->addWidget(button);
    }
    findStatus_ = new QLabel(findBar_);
    findStatus_->setObjectName(QString::fromLatin1(timeline_control::kFindStatus));
    findStatus_->setMinimumWidth(findStatus_->fontMetrics().horizontalAdvance(QStringLiteral("000,000 of 000,000 ")));
    bar->addWidget(findStatus_);
    auto* rule = new QLabel(QString::fromUtf8(kFindPatternRule), findBar_);
    rule->setWordWrap(true);
    rule->setEnabled(false);  // a hint, drawn quieter than the status
    bar->addWidget(rule, 3);
    findBar_->hide();
    layout->addWidget(findBar_);
    connect(pattern_, &QLineEdit::textChanged, this, [this] { startFind(); });
    connect(hex_, &QCheckBox::toggled, this, [this] { startFind(); });
    connect(previous, &QPushButton::clicked, this, [this] { findPrevious(); });
    connect(next, &QPushButton::clicked, this, [this] { findNext(); });
    connect(&findTimer_, &QTimer::timeout, this, [this] { advanceFind(); });

    const QFontMetrics metrics(view_->font());
    resize(metrics.horizontalAdvance(QLatin1Char('0')) * 130 + 40, metrics.lineSpacing() * 28 + 80);
    view_->setFocus();
}

void TimelineWindow::setPauseRule(bool on, int seconds) { view_->setPauseRule(on, seconds); }

void TimelineWindow::setFilter(TimelineFilter filter) {
    filter_->setCurrentIndex(filter == TimelineFilter::OneToTwo ? 1 : filter == TimelineFilter::TwoToOne ? 2 : 0);
}

void TimelineWindow::openFindBar() {
    findBar_->show();
    pattern_->setFocus();
    pattern_->selectAll();
}

void TimelineWindow::setFindPattern(const QString& pattern, bool hex) {
    findBar_->show();
    const QSignalBlocker quietHex(hex_);
    hex_->setChecked(hex);
    if (pattern_->text() == pattern) startFind();
    else pattern_->setText(pattern);  // starts the search
}

void TimelineWindow::startFind() {
    current_.reset();
    view_->clearMatch();
    find_.reset();
    findError_.clear();
    findTimer_.stop();
    const QString text = pattern_->text();
    if (!text.isEmpty()) {
        FindPattern pattern;
        if (!readFindPattern(codePage932(text), hex_->isChecked(), pattern)) {
            findError_ = pattern.error;
        } else if (!pattern.bytes.empty()) {
            find_ = std::make_unique<TimelineFind>(*source_, pattern.bytes, view_->filter());
            findTimer_.start(0);
        }
    }
    updateFindStatus();
}

bool TimelineWindow::advanceFind() {
    if (!find_) return true;
    const bool caughtUp = find_->advance(kFindSlice);
    // Caught up, it looks again for records that arrive; until then a slice per turn of the loop.
    findTimer_.start(caughtUp ? kFollowUpMs : 0);
    updateFindStatus();
    return caughtUp;
}

size_t TimelineWindow::matchCount() const { return find_ ? find_->count() : 0; }

std::optional<size_t> TimelineWindow::currentMatch() const {
    if (!find_ || !current_ || find_->count() == 0) return std::nullopt;
    // The last match that begins before the one after it: itself, while the search holds it.
    const size_t index = find_->previous(current_->startRecord, current_->startOffset + 1);
    if (index >= find_->count()) return std::nullopt;
    const TimelineMatch& match = find_->match(index);
    if (match.startRecord != current_->startRecord || match.startOffset != current_->startOffset) return std::nullopt;
    return index;
}

void TimelineWindow::step(bool forward) {
    if (!find_ || find_->count() == 0) {
        updateFindStatus();
        return;
    }
    size_t index;
    if (current_) {
        index = forward ? find_->next(current_->startRecord, current_->startOffset)
                        : find_->previous(current_->startRecord, current_->startOffset);
    } else {
        // The first step goes to the first match, or back to the last.
        index = forward ? 0 : find_->count() - 1;
    }
    if (index >= find_->count()) return;
    current_ = find_->match(index);
    view_->showMatch(*current_);
    updateFindStatus();
}

bool TimelineWindow::findNext() {
    step(true);
    return current_.has_value();
}

bool TimelineWindow::findPrevious() {
    step(false);
    return current_.has_value();
}

void TimelineWindow::updateFindStatus() {
    const QString text = findStatusText();
    if (findStatus_->text() != text) findStatus_->setText(text);
}

QString TimelineWindow::findStatusText() const {
    if (!findError_.empty()) return QString::fromStdString(findError_);
    if (!find_) return {};
    const std::optional<size_t> index = currentMatch();
    const size_t current = index ? *index + 1 : 0;
    const bool searching = !find_->caughtUp();
    return host_.findStatus ? host_.findStatus(current, find_->count(), searching, find_->capped())
                            : QStringLiteral("%1 of %2").arg(current).arg(find_->count());
}

void TimelineWindow::pollFile() {
    if (!file_) return;
    file_->checkSize();
    const TimelineFile::Progress progress = file_->progress();
    QStringList lines;
    if (progress.skippedLines > 0) {
        lines << (host_.skippedLines ? host_.skippedLines(progress.firstSkippedLine, progress.skippedLines)
                                     : QString::number(progress.skippedLines));
    }
    if (progress.cut) lines << (host_.fileCut ? host_.fileCut(progress.cutTo) : QString::number(progress.cutTo));
    fileNote_ = lines.join(QLatin1Char('\n'));
    updateNote();
    // Indexed, it is still watched: a writer may cut it while it is open.
    if (progress.done && fileTimer_.interval() != kFileWatchMs) fileTimer_.start(kFileWatchMs);
}

void TimelineWindow::updateNote() {
    QStringList lines;
    for (const QString& line : {fileNote_, saveNote_})
        if (!line.isEmpty()) lines << line;
    const QString text = lines.join(QLatin1Char('\n'));
    if (note_->text() != text) note_->setText(text);
    note_->setVisible(!text.isEmpty());
}

QString TimelineWindow::noteText() const { return note_->isHidden() ? QString() : note_->text(); }

bool TimelineWindow::saving() const { return save_ != nullptr; }

// Too much text for the clipboard: the selection goes to a file instead, written by a thread of
// its own, so that the window never waits for it.
void TimelineWindow::offerSave(const TimelineSelection& selection) {
    if (saving()) return;  // one save at a time; its note goes on saying how it goes
    const std::optional<QString> path = host_.chooseSelectionFile ? host_.chooseSelectionFile(this) : std::nullopt;
    if (!path || path->isEmpty()) {
        saveNote_ = host_.selectionSave ? host_.selectionSave(std::string(), 0, 0, true, 0) : QString();
        updateNote();
        return;
    }
    save_ = std::make_unique<TimelineSelectionSave>(*source_, selection, QFile::encodeName(*path).toStdString());
    saveTimer_.start(kSavePollMs);
    pollSave();
}

void TimelineWindow::pollSave() {
    if (!save_) return;
    const TimelineSelectionSave::Progress progress = save_->progress();
    saveNote_ = host_.selectionSave ? host_.selectionSave(save_->path(), progress.records, progress.bytes, progress.done, progress.error)
                                    : QString::number(progress.records);
    updateNote();
    if (progress.done) {
        saveTimer_.stop();
        save_.reset();
    }
}

void TimelineWindow::keyPressEvent(QKeyEvent* event) {
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    if (event->matches(QKeySequence::Find)) {
        openFindBar();
    } else if (event->key() == Qt::Key_F3) {
        shift ? findPrevious() : findNext();
    } else if (event->matches(QKeySequence::Open)) {
        emit openFileAsked();
    } else {
        QDialog::keyPressEvent(event);
        return;
    }
    event->accept();
}

bool TimelineWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == pattern_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            (key->modifiers() & Qt::ShiftModifier) ? findPrevious() : findNext();
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            findBar_->hide();
            view_->setFocus();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TimelineWindow::end() {
    if (ending_) return;
    ending_ = true;
    emit ended();
    findTimer_.stop();
    fileTimer_.stop();
    if (records_ != nullptr) records_->setTaking(false);
    hide();
    deleteLater();
}

// The close box is END.
void TimelineWindow::reject() { end(); }

void TimelineWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    end();
}

struct TimelineWindows::Pending {
    std::unique_ptr<TimelineFile> file;
    QString path;
};

TimelineWindows::TimelineWindows(TimelineWindowHost host, TimelineRecords& records)
    : host_(std::move(host)), records_(records) {}

TimelineWindows::~TimelineWindows() {
    // Windows without an owner would outlive the host they read.
    delete live_.data();
    for (const QPointer<TimelineWindow>& window : files_) delete window.data();
}

void TimelineWindows::openTimelineWindow() {
    if (TimelineWindow* open = live_.data()) {
        open->show();
        open->raise();
        open->activateWindow();
        return;
    }
    auto* window = new TimelineWindow(host_, records_, host_.owner ? host_.owner() : nullptr);
    live_ = window;
    if (!liveGeometry_.isEmpty()) window->restoreGeometry(liveGeometry_);
    QObject::connect(window, &TimelineWindow::ended, window, [this, window] { liveGeometry_ = window->saveGeometry(); });
    QObject::connect(window, &TimelineWindow::openFileAsked, window, [this] { openTimelineFile(); });
    window->show();
}

void TimelineWindows::setTitle(const QString& title) {
    if (TimelineWindow* window = live_.data()) window->setWindowTitle(title);
}

void TimelineWindows::setPauseRule(bool on, int seconds) {
    if (TimelineWindow* window = live_.data()) window->setPauseRule(on, seconds);
    for (const QPointer<TimelineWindow>& window : files_)
        if (window) window->setPauseRule(on, seconds);
}

void TimelineWindows::openTimelineFile() {
    std::optional<QString> path;
    if (chooser_) {
        path = chooser_();
    } else {
        QFileDialog dialog(host_.owner ? host_.owner() : nullptr, QStringLiteral("Vorlinex Timeline Open"));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        // Ours on every desktop, as the capture's dialog is.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        const QString allFiles = QStringLiteral("All Files(*.*) (*)");
        dialog.setNameFilters({allFiles, QStringLiteral("txt files(*.txt) (*.txt)")});
        dialog.selectNameFilter(allFiles);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) path = dialog.selectedFiles().first();
    }
    if (path && !path->isEmpty()) openTimelineFile(*path);
}

void TimelineWindows::openTimelineFile(const QString& path) {
    auto file = std::make_unique<TimelineFile>();
    const std::string name = QFile::encodeName(path).toStdString();
    int error = 0;
    if (!file->open(name, error)) {
        if (host_.reportFileOpenFailure) host_.reportFileOpenFailure(name, error);
        return;
    }
    pending_.push_back(std::make_unique<Pending>(Pending{std::move(file), path}));
    if (!pendingTimer_) {
        pendingTimer_ = std::make_unique<QTimer>();
        QObject::connect(pendingTimer_.get(), &QTimer::timeout, pendingTimer_.get(), [this] { pollPending(); });
    }
    pendingTimer_->start(kFilePollMs);
    pollPending();
}

// The indexer runs on its own thread; the UI only looks at where it is, never waits for it.
void TimelineWindows::pollPending() {
    std::vector<std::pair<std::string, int>> failed;
    for (auto it = pending_.begin(); it != pending_.end();) {
        Pending& pending = **it;
        const TimelineFile::Progress progress = pending.file->progress();
        if (progress.records > 0) {
            const QString title = QFileInfo(pending.path).fileName();
            auto* window = new TimelineWindow(host_, std::move(pending.file), title, host_.owner ? host_.owner() : nullptr);
            it = pending_.erase(it);
            adopt(window);
            window->show();
        } else if (progress.done) {
            failed.emplace_back(QFile::encodeName(pending.path).toStdString(), progress.error);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    if (pending_.empty() && pendingTimer_) pendingTimer_->stop();
    // After the walk: a box runs a loop of its own, in which this may run again.
    for (const auto& [name, error] : failed)
        if (host_.reportFileOpenFailure) host_.reportFileOpenFailure(name, error);
}

void TimelineWindows::adopt(TimelineWindow* window) {
    std::erase_if(files_, [](const QPointer<TimelineWindow>& w) { return w.isNull(); });
    files_.emplace_back(window);
    QObject::connect(window, &TimelineWindow::openFileAsked, window, [this] { openTimelineFile(); });
}

std::vector<TimelineWindow*> TimelineWindows::fileWindows() const {
    std::vector<TimelineWindow*> windows;
    for (const QPointer<TimelineWindow>& window : files_)
        if (window && !window->isHidden()) windows.push_back(window.data());
    return windows;
}
