#include "display/qt/timeline_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTextDocument>
#include <QVBoxLayout>
#include <cerrno>

#include "display/qt/code_page_932.h"
#include "display/timeline_export.h"
#include "display/timeline_file.h"
#include "display/timeline_frames.h"
#include "display/timeline_records.h"
#include "relay/read_order.h"

namespace {

// Records searched per slice: a slice takes a few milliseconds, so the window stays lively while
// a million records are searched.
constexpr size_t kFindSlice = 20000;
// How often a search that has caught up looks at records that arrived since, and a file window
// at its indexer.
constexpr int kFollowUpMs = 100;
constexpr int kFilePollMs = 50;
// How often the note follows the connection of a relay watched on another machine.
constexpr int kRemotePollMs = 250;
// How often an indexed file is looked at for a writer that cut it.
constexpr int kFileWatchMs = 500;
// How often the note follows a save of a selection or an export.
constexpr int kSavePollMs = 100;
// Records framed per slice, and how often frames that have caught up look again: a live list's
// quiet line ends its last frame and times out a request only as the clock goes on.
constexpr size_t kFramesSlice = 20000;
constexpr int kFramesFollowMs = 50;
// The per-unit figures sort thousands of response times: worked out at most this often.
constexpr int kUnitsEveryMs = 500;

// The protocol list, in the order of its items.
constexpr FrameRule kProtocols[] = {FrameRule::ModbusRtu, FrameRule::ModbusAscii, FrameRule::Nmea, FrameRule::Gap,
                                    FrameRule::Delimiter};

int protocolIndex(FrameRule rule) {
    const auto* at = std::find(std::begin(kProtocols), std::end(kProtocols), rule);
    return at == std::end(kProtocols) ? 0 : static_cast<int>(at - std::begin(kProtocols));
}

bool sameChoice(const DecodeChoice& a, const DecodeChoice& b) {
    return decodeChoiceText(a) == decodeChoiceText(b) && a.gapMicros == b.gapMicros && a.master == b.master &&
           a.timeoutMicros == b.timeoutMicros;
}

// "0D 0A": the delimiter's bytes as the field shows them.
QString delimiterText(const std::vector<uint8_t>& bytes) {
    QStringList pairs;
    for (uint8_t b : bytes) pairs << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    return pairs.join(QLatin1Char(' '));
}

// The master's side as the window names directions.
QString masterFoundText(int master) {
    if (master == 0) return QStringLiteral("master found");
    return QStringLiteral("master found: %1>%2").arg(master).arg(3 - master);
}

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

bool operator==(const TimelineDecode& a, const TimelineDecode& b) {
    return a.frames == b.frames && a.errorsOnly == b.errorsOnly && sameChoice(a.choice, b.choice);
}

TimelineWindow::TimelineWindow(const TimelineWindowHost& host, TimelineRecords& records, QWidget* owner)
    : QDialog(owner), host_(host), records_(&records), source_(&records) {
    // Opening the window starts an empty list; nothing was taken while it was closed.
    records.setTaking(true);
    build(host_.title ? host_.title() : QString());
    applyDecode(host_.decode ? host_.decode() : TimelineDecode{}, false);
}

TimelineWindow::TimelineWindow(const TimelineWindowHost& host, std::unique_ptr<TimelineFile> file,
                               const QString& title, QWidget* owner)
    : QDialog(owner), host_(host), file_(std::move(file)), source_(file_.get()) {
    build(title);
    TimelineDecode decode = host_.decode ? host_.decode() : TimelineDecode{};
    // A frame log holds frames already: they are shown as they are, whatever is kept.
    std::vector<TimelineRecord> first;
    file_->read(file_->extent().first, 1, first);
    if (!first.empty() && first.front().frame) decode.frames = true;
    applyDecode(decode, false);
    connect(&fileTimer_, &QTimer::timeout, this, [this] { pollFile(); });
    fileTimer_.start(kFilePollMs);
    pollFile();
}

TimelineWindow::TimelineWindow(const TimelineWindowHost& host, std::unique_ptr<RemoteTimeline> remote,
                               const QString& title, QWidget* owner)
    : QDialog(owner), host_(host), remote_(std::move(remote)), records_(&remote_->records()), source_(records_) {
    // Its list took records from the start of the watching: nothing is cleared here.
    build(title);
    applyDecode(host_.decode ? host_.decode() : TimelineDecode{}, false);
    connect(&fileTimer_, &QTimer::timeout, this, [this] { pollRemote(); });
    fileTimer_.start(kRemotePollMs);
    pollRemote();
}

TimelineWindow::~TimelineWindow() {
    // The list, a search, a save and an export go before the frames and the file they read.
    findTimer_.stop();
    saveTimer_.stop();
    exportTimer_.stop();
    framesTimer_.stop();
    save_.reset();
    export_.reset();
    find_.reset();
    view_->setSource(nullptr);
    frames_.reset();
    if (records_ != nullptr && !ending_) records_->setTaking(false);
}

void TimelineWindow::build(const QString& title) {
    setObjectName(remote_      ? QStringLiteral("TimelineRemoteWindow")
                  : readOnly() ? QStringLiteral("TimelineFileWindow")
                               : QStringLiteral("TimelineWindow"));
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
            if (frames_) {
                // The frames of the records let go would hold their halves: framed again from here.
                dropFrames();
                buildFrames();
                showSource();
            }
            view_->sourceCleared();
            if (find_) startFind();
        });
    }
    QPushButton* open = addButton(buttons, this, timeline_control::kOpen);
    connect(open, &QPushButton::clicked, this, [this] { emit openFileAsked(); });
    QPushButton* exportButton = addButton(buttons, this, timeline_control::kExport);
    connect(exportButton, &QPushButton::clicked, this, [this] { exportList(); });
    filter_ = new QComboBox(this);
    filter_->setObjectName(QString::fromLatin1(timeline_control::kFilter));
    filter_->addItems({QStringLiteral("1>2 and 2>1"), QStringLiteral("1>2 only"), QStringLiteral("2>1 only")});
    filter_->setFocusPolicy(Qt::TabFocus);
    buttons->addWidget(filter_);
    mode_ = new QComboBox(this);
    mode_->setObjectName(QString::fromLatin1(timeline_control::kMode));
    mode_->addItems({QStringLiteral("Records"), QStringLiteral("Frames")});
    mode_->setFocusPolicy(Qt::TabFocus);
    buttons->addWidget(mode_);
    QPushButton* findButton = addButton(buttons, this, "FIND");
    connect(findButton, &QPushButton::clicked, this, [this] { openFindBar(); });
    buttons->addStretch(1);
    QPushButton* endButton = addButton(buttons, this, timeline_control::kEnd);
    connect(endButton, &QPushButton::clicked, this, [this] { end(); });
    buildDecodeBar(layout);

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
    units_ = new QPlainTextEdit(this);
    units_->setObjectName(QString::fromLatin1(timeline_control::kUnits));
    units_->setReadOnly(true);
    units_->setLineWrapMode(QPlainTextEdit::NoWrap);
    units_->setFont(view_->font());
    units_->setFocusPolicy(Qt::ClickFocus);
    units_->hide();
    layout->addWidget(units_);
    connect(view_, &TimelineView::selectionTooLarge, this, [this](const TimelineSelection& selection) { offerSave(selection); });
    connect(&saveTimer_, &QTimer::timeout, this, [this] { pollSave(); });
    connect(&exportTimer_, &QTimer::timeout, this, [this] { pollExport(); });
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
    connect(&framesTimer_, &QTimer::timeout, this, [this] { advanceFrames(); });

    const QFontMetrics metrics(view_->font());
    resize(metrics.horizontalAdvance(QLatin1Char('0')) * 130 + 40, metrics.lineSpacing() * 28 + 80);
    view_->setFocus();
}

// Protocol, gap, delimiter, master's side, answer time and the errors filter: shown in the
// Frames view only.
void TimelineWindow::buildDecodeBar(QVBoxLayout* layout) {
    decodeBar_ = new QWidget(this);
    decodeBar_->setObjectName(QString::fromLatin1(timeline_control::kDecodeBar));
    auto* bar = new QHBoxLayout(decodeBar_);
    bar->setContentsMargins(0, 0, 0, 0);
    protocol_ = new QComboBox(decodeBar_);
    protocol_->setObjectName(QString::fromLatin1(timeline_control::kProtocol));
    protocol_->addItems({QStringLiteral("Modbus RTU"), QStringLiteral("Modbus ASCII"), QStringLiteral("NMEA 0183"),
                         QStringLiteral("Quiet gap"), QStringLiteral("Delimiter")});
    bar->addWidget(protocol_);
    const auto addField = [&](const char* name, const QString& label, int digits) {
        bar->addWidget(new QLabel(label, decodeBar_));
        auto* field = new QLineEdit(decodeBar_);
        field->setObjectName(QString::fromLatin1(name));
        field->setMaximumWidth(field->fontMetrics().horizontalAdvance(QLatin1Char('0')) * digits + 16);
        bar->addWidget(field);
        return field;
    };
    gap_ = addField(timeline_control::kGap, QStringLiteral("gap ms"), 8);
    gap_->setValidator(new QIntValidator(0, 60000, gap_));
    gap_->setToolTip(QStringLiteral("A quiet time that ends a frame; empty: 3.5 characters of the port's line"));
    delimiter_ = addField(timeline_control::kDelimiter, QStringLiteral("delimiter"), 24);
    delimiter_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("( ?[0-9A-Fa-f]{2}){0,8} ?")), delimiter_));
    delimiter_->setToolTip(QStringLiteral("The bytes that end a frame, in hex: 0D 0A"));
    master_ = new QComboBox(decodeBar_);
    master_->setObjectName(QString::fromLatin1(timeline_control::kMaster));
    master_->addItems({masterFoundText(0), QStringLiteral("master 1>2"), QStringLiteral("master 2>1")});
    master_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    master_->setMinimumContentsLength(static_cast<int>(masterFoundText(1).size()));
    master_->setToolTip(QStringLiteral("The Modbus master's side: the side whose requests are answered"));
    bar->addWidget(master_);
    timeout_ = addField(timeline_control::kTimeout, QStringLiteral("timeout ms"), 8);
    timeout_->setValidator(new QIntValidator(1, 3600000, timeout_));
    timeout_->setToolTip(QStringLiteral("How long a request waits for its answer"));
    errorsOnly_ = new QCheckBox(QStringLiteral("errors only"), decodeBar_);
    errorsOnly_->setObjectName(QString::fromLatin1(timeline_control::kErrorsOnly));
    bar->addWidget(errorsOnly_);
    bar->addStretch(1);
    // As the buttons above: a click leaves the focus in the list, where the keys work.
    for (QWidget* control : std::initializer_list<QWidget*>{protocol_, master_, errorsOnly_})
        control->setFocusPolicy(Qt::TabFocus);
    decodeBar_->hide();
    layout->addWidget(decodeBar_);

    connect(mode_, &QComboBox::currentIndexChanged, this, [this] { decodeChanged(); });
    connect(protocol_, &QComboBox::currentIndexChanged, this, [this](int index) {
        // A delimiter chosen with none typed starts from the commonest: CR LF.
        if (kProtocols[index] == FrameRule::Delimiter && delimiter_->text().trimmed().isEmpty())
            delimiter_->setText(QStringLiteral("0D 0A"));
        decodeChanged();
    });
    connect(master_, &QComboBox::currentIndexChanged, this, [this] { decodeChanged(); });
    connect(errorsOnly_, &QCheckBox::toggled, this, [this] { decodeChanged(); });
    for (QLineEdit* field : {gap_, delimiter_, timeout_})
        connect(field, &QLineEdit::editingFinished, this, [this] { decodeChanged(); });
}

// The controls as the decoding stands.
void TimelineWindow::showDecode() {
    const QSignalBlocker quietMode(mode_);
    const QSignalBlocker quietProtocol(protocol_);
    const QSignalBlocker quietMaster(master_);
    const QSignalBlocker quietErrors(errorsOnly_);
    const DecodeChoice& choice = decode_.choice;
    mode_->setCurrentIndex(decode_.frames ? 1 : 0);
    protocol_->setCurrentIndex(protocolIndex(choice.rule));
    gap_->setText(choice.gapMicros > 0 ? QString::number(choice.gapMicros / 1000) : QString());
    if (choice.rule == FrameRule::Delimiter) delimiter_->setText(delimiterText(choice.delimiter));
    delimiter_->setEnabled(choice.rule == FrameRule::Delimiter);
    master_->setCurrentIndex(std::clamp(choice.master, 0, 2));
    master_->setItemText(0, masterFoundText(frames_ && choice.master == 0 ? frames_->master() : 0));
    timeout_->setText(QString::number(choice.timeoutMicros / 1000));
    errorsOnly_->setChecked(decode_.errorsOnly);
    // What a gap left empty stands for.
    gap_->setPlaceholderText(QString::number(static_cast<double>(lineGapMicros()) / 1000.0, 'f', 3));
    decodeBar_->setVisible(decode_.frames);
}

// A control changed: the decoding it makes now, applied and kept when it differs. A delimiter
// not yet whole changes nothing until it is.
void TimelineWindow::decodeChanged() {
    TimelineDecode next = decode_;
    next.frames = mode_->currentIndex() == 1;
    next.errorsOnly = errorsOnly_->isChecked();
    const FrameRule rule = kProtocols[std::clamp(protocol_->currentIndex(), 0, 4)];
    delimiter_->setEnabled(rule == FrameRule::Delimiter);
    int gapMs = gap_->text().toInt();
    DecodeChoice& choice = next.choice;
    choice.rule = rule;
    std::string protocol = decodeChoiceText(choice);
    if (rule == FrameRule::Gap) {
        // The gap rule needs a time of its own: an empty field takes the line's, in whole ms.
        if (gapMs <= 0) gapMs = static_cast<int>(std::max<int64_t>(1, (lineGapMicros() + 999) / 1000));
        protocol = "gap:" + std::to_string(gapMs);
    } else if (rule == FrameRule::Delimiter) {
        protocol = "delim:" + delimiter_->text().remove(QLatin1Char(' ')).toStdString();
    }
    if (!parseDecodeChoice(protocol, choice)) return;
    if (rule != FrameRule::Gap) choice.gapMicros = int64_t{gapMs} * 1000;
    choice.master = master_->currentIndex();
    const int timeoutMs = timeout_->text().toInt();
    choice.timeoutMicros = int64_t{timeoutMs > 0 ? timeoutMs : 1000} * 1000;
    if (next == decode_) {
        showDecode();  // an emptied field shows what it stands for again
        return;
    }
    applyDecode(next, true);
}

// 3.5 characters of port 1's line: what a gap not set stands for.
int64_t TimelineWindow::lineGapMicros() const {
    const LineSettings line = host_.lines ? host_.lines().first : LineSettings{};
    return quietGapMicros(line.baudRate, line.dataBits, line.parity != 0, line.twoStopBits);
}

void TimelineWindow::setDecode(const TimelineDecode& decode) {
    if (!(decode == decode_)) applyDecode(decode, true);
}

// Frames are built when the Frames view is chosen and built again when the choice changes;
// whatever reads the frames that go (the list, a search, a save) lets them go first.
void TimelineWindow::applyDecode(const TimelineDecode& decode, bool keep) {
    const bool rebuild = decode.frames && (!frames_ || !sameChoice(decode.choice, decode_.choice));
    const bool drop = frames_ && (!decode.frames || rebuild);
    decode_ = decode;
    if (drop) dropFrames();
    if (rebuild) buildFrames();
    showDecode();
    if (view_->source() != &shownSource()) showSource();
    updateUnits();
    if (keep && host_.keepDecode) host_.keepDecode(decode_);
}

void TimelineWindow::dropFrames() {
    endWriters();
    view_->setSource(nullptr);
    find_.reset();
    frames_.reset();
}

void TimelineWindow::buildFrames() {
    const auto [line1, line2] = host_.lines ? host_.lines() : std::pair<LineSettings, LineSettings>{};
    frames_ = std::make_unique<TimelineFrames>(*source_, decode_.choice, line1, line2);
}

const TimelineSource& TimelineWindow::shownSource() const {
    if (!frames_) return *source_;
    return decode_.errorsOnly ? frames_->errors() : frames_->all();
}

void TimelineWindow::showSource() {
    endWriters();
    const bool held = hold_ != nullptr && hold_->isChecked();
    view_->setSource(&shownSource(), !readOnly());
    if (held) view_->setHold(true);
    if (find_ || !findError_.empty() || !pattern_->text().isEmpty()) startFind();
    if (frames_) {
        framesTimer_.start(0);
    } else {
        framesTimer_.stop();
    }
}

bool TimelineWindow::advanceFrames() {
    if (!frames_) return true;
    // A save or an export reads the frames on its own thread: they grow again once it is done.
    if (save_ || export_) {
        framesTimer_.start(kFramesFollowMs);
        return false;
    }
    bool caughtUp;
    int next;
    if (file_) {
        // A file's last frame ends, and its last request times out, once the whole file is read;
        // frames that have caught up with its indexer wait for it rather than spin.
        const bool indexed = file_->progress().done;
        const bool framed = frames_->advance(kFramesSlice, 0, indexed);
        caughtUp = framed && indexed;
        next = caughtUp ? kFileWatchMs : framed ? kFramesFollowMs : 0;
    } else {
        // A relay watched from afar times its requests out by its own clock.
        caughtUp = frames_->advance(kFramesSlice, remote_ ? remote_->nowWallMicros() : ReadTime::now().wallMicros);
        next = caughtUp ? kFramesFollowMs : 0;
    }
    const QString master = masterFoundText(decode_.choice.master == 0 ? frames_->master() : 0);
    if (master_->itemText(0) != master) master_->setItemText(0, master);
    // A live list catches up at every look: its bar follows the clock, a file's shows its end too.
    if ((caughtUp && file_) || !unitsClock_.isValid() || unitsClock_.elapsed() >= kUnitsEveryMs) updateUnits();
    framesTimer_.start(next);
    return caughtUp;
}

void TimelineWindow::updateUnits() {
    unitsClock_.start();
    QString text;
    if (frames_ && !frames_->units().empty() && host_.unitFigures) text = host_.unitFigures(frames_->units());
    if (units_->toPlainText() != text) {
        units_->setPlainText(text);
        // A line a unit, up to four; more scroll.
        const int lines = std::clamp(static_cast<int>(text.count(QLatin1Char('\n'))) + 1, 1, 4);
        const QMargins margins = units_->contentsMargins();
        units_->setFixedHeight(units_->fontMetrics().lineSpacing() * lines + margins.top() + margins.bottom() +
                               2 * static_cast<int>(units_->document()->documentMargin()) + 2);
    }
    units_->setVisible(!text.isEmpty());
}

QString TimelineWindow::unitsText() const { return units_->isHidden() ? QString() : units_->toPlainText(); }

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
            find_ = std::make_unique<TimelineFind>(shownSource(), pattern.bytes, view_->filter());
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
        const auto& skipped = progress.capture ? host_.skippedPackets : host_.skippedLines;
        lines << (skipped ? skipped(progress.firstSkippedLine, progress.skippedLines)
                          : QString::number(progress.skippedLines));
    }
    if (progress.stop != PcapStop::None) {
        lines << (host_.captureStopped ? host_.captureStopped(progress.stop, progress.stopAt, progress.linkType)
                                       : QString::number(progress.stopAt));
    }
    if (progress.cut) lines << (host_.fileCut ? host_.fileCut(progress.cutTo) : QString::number(progress.cutTo));
    fileNote_ = lines.join(QLatin1Char('\n'));
    updateNote();
    // Indexed, it is still watched: a writer may cut it while it is open.
    if (progress.done && fileTimer_.interval() != kFileWatchMs) fileTimer_.start(kFileWatchMs);
}

void TimelineWindow::pollRemote() {
    if (!remote_) return;
    fileNote_ = host_.remoteStatus ? host_.remoteStatus(windowTitle().toStdString(), remote_->status(),
                                                        std::chrono::steady_clock::now())
                                   : QString();
    updateNote();
}

void TimelineWindow::updateNote() {
    QStringList lines;
    for (const QString& line : {fileNote_, saveNote_, exportNote_})
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
    save_ = std::make_unique<TimelineSelectionSave>(shownSource(), selection, QFile::encodeName(*path).toStdString());
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

// A save and an export read the list they were started from: they end with it, and say so.
void TimelineWindow::endWriters() {
    if (save_) {
        const TimelineSelectionSave::Progress progress = save_->progress();
        const std::string path = save_->path();
        saveTimer_.stop();
        save_.reset();
        if (!progress.done && host_.selectionSave)
            saveNote_ = host_.selectionSave(path, progress.records, progress.bytes, true, ECANCELED);
        updateNote();
    }
    if (export_) {
        const bool finished = export_->progress().done;
        export_->stop();
        const TimelineExport::Progress progress = export_->progress();
        const int error = finished ? progress.error : ECANCELED;
        if (host_.exportProgress) exportNote_ = host_.exportProgress(export_->path(), progress.records, true, error);
        exportTimer_.stop();
        export_.reset();
        updateNote();
    }
}

bool TimelineWindow::exporting() const { return export_ != nullptr; }

// The rows selected, or all the list shows, as Wireshark reads serial records: a packet per row
// that has bytes, written by a thread of its own as a save is.
void TimelineWindow::exportList() {
    if (exporting()) return;  // one at a time; its note goes on saying how it goes
    const std::optional<QString> path = host_.chooseExportFile ? host_.chooseExportFile(this) : std::nullopt;
    if (!path || path->isEmpty()) return;
    const TimelineSource& source = shownSource();
    TimelineSelection selection = view_->selection();
    std::function<bool()> sourceDone;
    if (!view_->hasSelection()) {
        const TimelineExtent extent = source.extent();
        selection = TimelineSelection{extent.first, extent.end - 1, 3, view_->filter()};
        if (extent.end == extent.first) selection = TimelineSelection{1, 0, 3, view_->filter()};  // none
        // A file's records still being indexed are followed to its end; its frames grow only here.
        if (file_ && !frames_) sourceDone = [file = file_.get()] { return file->progress().done; };
    }
    const PcapForm form =
        path->endsWith(QStringLiteral(".pcap"), Qt::CaseInsensitive) ? PcapForm::Pcap : PcapForm::PcapNg;
    const std::string application = host_.exportApplication ? host_.exportApplication() : std::string();
    // A relay watched from afar is named by its address; its ports are its own.
    const std::string interfaceName = remote_ ? windowTitle().toStdString()
                                      : host_.exportInterface ? host_.exportInterface(!readOnly())
                                                              : std::string();
    export_ = std::make_unique<TimelineExport>(source, selection, form, application, interfaceName,
                                               QFile::encodeName(*path).toStdString(), std::move(sourceDone));
    exportTimer_.start(kSavePollMs);
    pollExport();
}

void TimelineWindow::pollExport() {
    if (!export_) return;
    const TimelineExport::Progress progress = export_->progress();
    exportNote_ = host_.exportProgress
                      ? host_.exportProgress(export_->path(), progress.records, progress.done, progress.error)
                      : QString::number(progress.records);
    updateNote();
    if (progress.done) {
        exportTimer_.stop();
        export_.reset();
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
    framesTimer_.stop();
    endWriters();  // a file closed now, not once the window goes
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

namespace {

// The file dialog of OPEN, whose name field also takes a relay's address: tcp://HOST:PORT is
// taken as typed rather than looked for as a file.
class TimelineOpenDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    const QString& address() const { return address_; }
    void accept() override {
        const auto* name = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        const QString typed = name != nullptr ? name->text().trimmed() : QString();
        if (isNetworkPath(typed.toStdString())) {
            address_ = typed;
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }

private:
    QString address_;
};

}  // namespace

void TimelineWindows::openTimelineFile() {
    std::optional<QString> path;
    if (chooser_) {
        path = chooser_();
    } else {
        TimelineOpenDialog dialog(host_.owner ? host_.owner() : nullptr, QStringLiteral("Vorlinex Timeline Open"));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // Any name, so that an address can be typed: a file that is not there is reported as
        // any file that cannot be opened is.
        dialog.setFileMode(QFileDialog::AnyFile);
        // Ours on every desktop, as the capture's dialog is.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        dialog.setLabelText(QFileDialog::FileName, QStringLiteral("File name or tcp://HOST:PORT:"));
        const QString allFiles = QStringLiteral("All Files(*.*) (*)");
        // Wireshark's files of serial records open too, known by their first bytes.
        dialog.setNameFilters({allFiles, QStringLiteral("txt files(*.txt) (*.txt)"),
                               QStringLiteral("pcap files(*.pcapng;*.pcap) (*.pcapng *.pcap *.cap)")});
        dialog.selectNameFilter(allFiles);
        if (dialog.exec() == QDialog::Accepted) {
            if (!dialog.address().isEmpty()) path = dialog.address();
            else if (!dialog.selectedFiles().isEmpty()) path = dialog.selectedFiles().first();
        }
    }
    if (path && !path->isEmpty()) openTimelineFile(*path);
}

void TimelineWindows::openTimelineFile(const QString& path) {
    const std::string name = QFile::encodeName(path).toStdString();
    if (isNetworkPath(name)) {
        openRemote(name);
        return;
    }
    auto file = std::make_unique<TimelineFile>();
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

// A relay's stream is watched at once: the window says how its connection goes, and a relay not
// there yet is tried again until it is.
void TimelineWindows::openRemote(const std::string& path) {
    NetworkAddress address;
    if (!parseNetworkPath(path, address) || address.scheme != NetworkScheme::Tcp) {
        if (host_.reportRemoteOpenFailure) host_.reportRemoteOpenFailure(path);
        return;
    }
    auto* window = new TimelineWindow(host_, std::make_unique<RemoteTimeline>(address), QString::fromStdString(path),
                                      host_.owner ? host_.owner() : nullptr);
    adopt(window);
    window->show();
}

// The indexer runs on its own thread; the UI only looks at where it is, never waits for it.
void TimelineWindows::pollPending() {
    std::vector<std::pair<std::string, TimelineFile::Progress>> failed;
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
            failed.emplace_back(QFile::encodeName(pending.path).toStdString(), progress);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    if (pending_.empty() && pendingTimer_) pendingTimer_->stop();
    // After the walk: a box runs a loop of its own, in which this may run again.
    for (const auto& [name, progress] : failed) {
        // A capture's read that failed is the system's reason; one that read says why it showed nothing.
        if (progress.capture && progress.error == 0) {
            if (host_.reportCaptureOpenFailure)
                host_.reportCaptureOpenFailure(name, progress.stop, progress.stopAt, progress.linkType);
        } else if (host_.reportFileOpenFailure) {
            host_.reportFileOpenFailure(name, progress.error);
        }
    }
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
