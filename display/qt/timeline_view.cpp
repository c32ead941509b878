#include "display/qt/timeline_view.h"

#include <QClipboard>
#include <QGlyphRun>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QTextLayout>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "decode/frame_line.h"
#include "display/qt/code_page_932.h"
#include "display/qt/traffic_view.h"
#include "display/shift_jis.h"
#include "record/combined_record.h"

namespace {

constexpr int leftMargin = 4;
// Columns, in cells: the time (with room for the date), the gap, the direction, the count, the
// hex dump and its text.
constexpr int timeColumn = 0;
constexpr int timeWidth = 26;  // "2026-12-07 14:03:27.123456"
constexpr int gapEnd = timeWidth + 12;
constexpr int directionColumn = gapEnd + 1;
// Room for the largest record's count (1048576, seven digits) after two spaces, so that a count
// never runs into the direction.
constexpr int countEnd = directionColumn + 3 + 2 + 7;
constexpr int hexColumn = countEnd + 2;
constexpr int textColumn = hexColumn + 3 * static_cast<int>(kTimelineRowBytes) + 1;
constexpr int rowCells = textColumn + static_cast<int>(kTimelineRowBytes) + 1;
// A frame's verdict and summary, on its first row, after the widest text column.
constexpr int summaryColumn = rowCells + 1;
constexpr int errorColour = 2;

// Records written out for the clipboard between two looks at the event loop: some 20 ms,
// or some 8 MB of text, so that a slice of large records stays as short and a copy stops soon
// after its text passes the clipboard's bound.
constexpr size_t copySliceRecords = 16384;
constexpr size_t copySliceBytes = size_t{8} << 20;

constexpr unsigned channelBit(int channel) { return timelineChannelBit(channel); }

// Characters a fixed-pitch font draws two cells wide: the East Asian wide and full-width blocks.
bool twoCellsWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
           (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
           (c >= 0x20000 && c <= 0x3FFFD);
}

// The lead bytes right before byte `at` of `bytes`.
size_t leadsBefore(const std::string& bytes, size_t at) {
    size_t leads = 0;
    while (leads < at && isShiftJisLeadByte(static_cast<uint8_t>(bytes[at - 1 - leads]))) ++leads;
    return leads;
}

bool sameDay(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday;
}

// A strip above or below the rows that reads like a line of the list and acts on a click.
QPushButton* makeLine(QWidget* parent) {
    auto* line = new QPushButton(parent);
    line->setFlat(true);
    line->setFocusPolicy(Qt::NoFocus);
    line->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 1px 4px; border: none; }"));
    line->hide();
    return line;
}

}  // namespace

TimelineView::TimelineView(QWidget* parent) : QAbstractScrollArea(parent) {
    // The range moves on every frame that brings records; the slider, at the end, mostly not.
    setVerticalScrollBar(new QuietScrollBar(Qt::Vertical, this));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFrameShape(QFrame::StyledPanel);
    setFocusPolicy(Qt::StrongFocus);
    droppedLine_ = makeLine(this);
    droppedLine_->setObjectName(QStringLiteral("droppedLine"));
    newRecordsLine_ = makeLine(this);
    newRecordsLine_->setObjectName(QStringLiteral("newRecordsLine"));
    connect(newRecordsLine_, &QPushButton::clicked, this, [this] { follow(); });
    frameTimer_.setSingleShot(true);
    copyTimer_.setSingleShot(true);
    connect(&copyTimer_, &QTimer::timeout, this, [this] { copySlice(); });
    connect(&frameTimer_, &QTimer::timeout, this, [this] {
        startFrameTimer();
        // A list that moved on by more than a page in one frame cannot be read as it passes:
        // every other frame of the grid shows it as well, for half the drawing.
        if (std::exchange(restFrame_, false)) return;
        const uint64_t top = shown_.topRow;
        refresh();
        restFrame_ = following_ && shown_.topRow > top + static_cast<uint64_t>(visibleRows());
    });
    updateColours();
}

TimelineView::~TimelineView() = default;

void TimelineView::startFrameTimer() { frameTimer_.start(nextFrameWaitMs()); }

void TimelineView::showEvent(QShowEvent* event) {
    QAbstractScrollArea::showEvent(event);
    startFrameTimer();
    refresh();
}

void TimelineView::hideEvent(QHideEvent* event) {
    QAbstractScrollArea::hideEvent(event);
    frameTimer_.stop();
}

// Each direction keeps one colour for its whole record, chosen for the palette's lightness so
// that both read on a light and on a dark base.
void TimelineView::updateColours() {
    const QPalette& p = palette();
    const bool dark = p.color(QPalette::Base).lightness() < 128;
    colours_[0] = dark ? QColor(0x8a, 0xc4, 0xff) : QColor(0x0b, 0x4f, 0xa8);
    colours_[1] = dark ? QColor(0xff, 0xb0, 0x6a) : QColor(0xa8, 0x36, 0x00);
    // Bad frames and timeouts: a crimson apart from both directions' colours, and a faint tint of
    // their rows that still shows when the summary is scrolled out of sight.
    colours_[errorColour] = dark ? QColor(0xff, 0x6e, 0x9a) : QColor(0xc4, 0x00, 0x4a);
    errorTint_ = dark ? QColor(0xff, 0x40, 0x70, 48) : QColor(0xe0, 0x00, 0x50, 30);
    ruleColour_ = dark ? QColor(0x90, 0x90, 0x90) : QColor(0x70, 0x70, 0x70);
    selectionColour_ = p.color(QPalette::Highlight);
    selectionColour_.setAlpha(dark ? 110 : 70);
    matchColour_ = dark ? QColor(0x8a, 0x7a, 0x00) : QColor(0xff, 0xe0, 0x40);
    noteColour_ = p.color(QPalette::PlaceholderText);
}

void TimelineView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) updateColours();
    if (event->type() == QEvent::FontChange) {
        fonts_.clear();
        otherGlyphs_.clear();
    }
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) {
        shown_ = {};
        refresh();
        viewport()->update();
    }
}

void TimelineView::setSource(const TimelineSource* source, bool live) {
    // A copy under way chose records of the source that goes: given up, not finished from another.
    copy_.reset();
    copyTimer_.stop();
    source_ = source;
    live_ = live;
    following_ = live;
    held_ = false;
    hasSelection_ = false;
    match_.reset();
    extent_ = source_ != nullptr ? source_->extent() : TimelineExtent{};
    seenEnd_ = extent_.end;
    anchorRecord_ = extent_.first;
    anchorRowInRecord_ = 0;
    shown_ = {};
    widestCells_ = rowCells;
    refresh();
}

void TimelineView::setTexts(TimelineTexts texts) {
    texts_ = std::move(texts);
    updateLines();
}

void TimelineView::setFilter(TimelineFilter filter) {
    if (filter == filter_) return;
    filter_ = filter;
    heldStale_ = true;
    refresh();
    viewport()->update();
}

void TimelineView::setPauseRule(bool on, int seconds) {
    ruleOn_ = on;
    ruleMicros_ = int64_t{std::max(0, seconds)} * 1000000;
    viewport()->update();
}

void TimelineView::setHold(bool held) {
    if (held == held_) return;
    held_ = held;
    heldEnd_ = extent_.end;  // as the last frame showed it
    droppedAtHold_ = extent_.dropped;
    heldRecords_.clear();
    heldLaid_.clear();
    heldStale_ = true;
    if (held_) {
        std::vector<TimelineRecord> records;
        std::vector<LaidRow> laid;
        layRows(visibleRows() + 1, records, laid);
    }
    if (!held_ && following_) seenEnd_ = extent_.end;
    refresh();
    updateLines();
}

void TimelineView::follow() {
    following_ = true;
    seenEnd_ = extent_.end;
    refresh();
    updateLines();
    viewport()->update();
}

void TimelineView::sourceCleared() {
    hasSelection_ = false;
    droppedAtHold_ = 0;
    heldRecords_.clear();
    heldLaid_.clear();
    heldStale_ = true;
    match_.reset();
    following_ = true;
    extent_ = source_ != nullptr ? source_->extent() : TimelineExtent{};
    seenEnd_ = heldEnd_ = extent_.end;
    anchorRecord_ = extent_.first;
    anchorRowInRecord_ = 0;
    shown_ = {};
    refresh();
    viewport()->update();
}

int TimelineView::rowHeight() const { return std::max(1, QFontMetrics(font()).lineSpacing() + 1); }

int TimelineView::cellWidth() const { return std::max(1, QFontMetrics(font()).horizontalAdvance(QLatin1Char('0'))); }

int TimelineView::visibleRows() const { return std::max(1, viewport()->height() / rowHeight()); }

uint64_t TimelineView::shownEnd(const TimelineExtent& extent) const {
    if (!held_) return extent.end;
    return std::clamp(heldEnd_, extent.first, extent.end);
}

uint64_t TimelineView::topRowNow() const {
    if (source_ == nullptr) return 0;
    return source_->rowsBefore(std::clamp(anchorRecord_, extent_.first, extent_.end), filter_) + anchorRowInRecord_;
}

void TimelineView::setTopRow(uint64_t row) {
    uint64_t number = 0, rowInRecord = 0;
    if (source_ != nullptr && source_->recordAtRow(row, filter_, number, rowInRecord)) {
        anchorRecord_ = number;
        anchorRowInRecord_ = rowInRecord;
    } else {
        // Past the last shown row: the end, which the next record will take.
        anchorRecord_ = shownEnd(extent_);
        anchorRowInRecord_ = 0;
    }
}

bool TimelineView::refresh() {
    if (source_ == nullptr) return false;
    if (window()->isMinimized()) return false;
    extent_ = source_->extent();
    const uint64_t end = shownEnd(extent_);
    const uint64_t firstRow = source_->rowsBefore(extent_.first, filter_);
    const uint64_t endRow = source_->rowsBefore(end, filter_);
    const uint64_t total = endRow - firstRow;
    const uint64_t visible = static_cast<uint64_t>(visibleRows());
    const uint64_t lastTop = total > visible ? endRow - visible : firstRow;

    uint64_t top;
    if (following_) {
        top = lastTop;
        seenEnd_ = extent_.end;
    } else {
        // The record at the top stays where it is while records arrive and older ones go; a
        // top record let go gives way to the first one held.
        top = anchorRecord_ < extent_.first ? firstRow : topRowNow();
        top = std::clamp(top, firstRow, lastTop);
    }
    setTopRow(top);

    inRefresh_ = true;
    auto* vertical = static_cast<QuietScrollBar*>(verticalScrollBar());
    vertical->hold();
    vertical->setRange(0, static_cast<int>(std::min<uint64_t>(total > visible ? total - visible : 0, INT32_MAX)));
    vertical->setPageStep(static_cast<int>(visible));
    vertical->setSingleStep(1);
    vertical->setValue(static_cast<int>(std::min<uint64_t>(top - firstRow, INT32_MAX)));
    updateHorizontalRange();
    vertical->release();
    inRefresh_ = false;

    updateLines();
    const Shown now{extent_.first, extent_.end, top, end, filter_};
    bool changed = now.topRow != shown_.topRow || now.filter != shown_.filter ||
                   (now.first != shown_.first && anchorRecord_ <= now.first + 1);
    if (!changed && now.shownEnd != shown_.shownEnd) {
        // Records that arrive below the rows in sight change nothing drawn.
        const uint64_t oldEnd = std::clamp(shown_.shownEnd, now.first, now.shownEnd);
        changed = now.shownEnd < shown_.shownEnd || source_->rowsBefore(oldEnd, filter_) <= top + visible;
    }
    shown_ = now;
    if (changed) viewport()->update();
    return changed;
}

void TimelineView::updateHorizontalRange() {
    const int cw = cellWidth();
    const int width = leftMargin + (std::max(rowCells, widestCells_) + 1) * cw;
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(std::max(1, viewport()->width()));
    horizontalScrollBar()->setSingleStep(cw);
}

void TimelineView::updateLines() {
    // Above the rows: what the bound let go.
    QString dropped;
    if (extent_.dropped > 0) {
        dropped = texts_.dropped ? texts_.dropped(extent_.dropped, extent_.droppedSince)
                                 : QString::number(extent_.dropped);
    }
    const uint64_t count = newRecordCount();
    QString arrived;
    if (held_ || (!following_ && count > 0 && live_)) {
        // A list cleared while held counts again from nothing.
        const uint64_t letGo = held_ && extent_.dropped > droppedAtHold_ ? extent_.dropped - droppedAtHold_ : 0;
        arrived = texts_.newRecords ? texts_.newRecords(count, held_, letGo) : QString::number(count);
    }
    const int height = QFontMetrics(droppedLine_->font()).lineSpacing() + 4;
    const bool layoutChanged = droppedLine_->isHidden() != dropped.isEmpty() || newRecordsLine_->isHidden() != arrived.isEmpty();
    if (droppedLine_->text() != dropped) droppedLine_->setText(dropped);
    if (newRecordsLine_->text() != arrived) newRecordsLine_->setText(arrived);
    if (layoutChanged) {
        droppedLine_->setVisible(!dropped.isEmpty());
        newRecordsLine_->setVisible(!arrived.isEmpty());
        setViewportMargins(0, dropped.isEmpty() ? 0 : height, 0, arrived.isEmpty() ? 0 : height);
    }
    const QRect area = viewport()->geometry();
    droppedLine_->setGeometry(area.left(), area.top() - height, area.width(), height);
    newRecordsLine_->setGeometry(area.left(), area.bottom() + 1, area.width(), height);
}

uint64_t TimelineView::newRecordCount() const {
    if (held_) return extent_.end > heldEnd_ ? extent_.end - heldEnd_ : 0;
    if (following_) return 0;
    return extent_.end > seenEnd_ ? extent_.end - std::max(seenEnd_, extent_.first) : 0;
}

QString TimelineView::droppedLine() const { return droppedLine_->isHidden() ? QString() : droppedLine_->text(); }

QString TimelineView::newRecordsLine() const { return newRecordsLine_->isHidden() ? QString() : newRecordsLine_->text(); }

void TimelineView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    heldStale_ = true;
    updateLines();
    shown_ = {};
    refresh();
}

void TimelineView::scrollContentsBy(int, int) {
    if (inRefresh_ || source_ == nullptr) {
        viewport()->update();
        return;
    }
    // The user moved the list: at the end it follows again, anywhere else it stays.
    heldStale_ = true;
    QScrollBar* vertical = verticalScrollBar();
    const bool atEnd = vertical->value() >= vertical->maximum();
    if (following_ && !atEnd) seenEnd_ = shown_.shownEnd;
    following_ = atEnd;
    const uint64_t firstRow = source_->rowsBefore(extent_.first, filter_);
    setTopRow(firstRow + static_cast<uint64_t>(std::max(0, vertical->value())));
    if (following_) seenEnd_ = extent_.end;
    shown_.topRow = firstRow + static_cast<uint64_t>(std::max(0, vertical->value()));
    updateLines();
    viewport()->update();
}

std::optional<uint64_t> TimelineView::recordAt(const QPoint& point) const {
    if (source_ == nullptr || point.y() < 0) return std::nullopt;
    if (showingHeldRows()) {
        const size_t index = static_cast<size_t>(point.y() / rowHeight());
        if (index >= heldLaid_.size()) return std::nullopt;
        return heldRecords_[heldLaid_[index].record].number;
    }
    const uint64_t row = shown_.topRow + static_cast<uint64_t>(point.y() / rowHeight());
    uint64_t number = 0, rowInRecord = 0;
    if (!source_->recordAtRow(row, filter_, number, rowInRecord) || number >= shown_.shownEnd) return std::nullopt;
    return number;
}

std::vector<uint64_t> TimelineView::recordsInSight() const {
    std::vector<uint64_t> numbers;
    if (source_ == nullptr) return numbers;
    const int rows = visibleRows();
    if (showingHeldRows()) {
        for (size_t i = 0; i < heldLaid_.size() && i < static_cast<size_t>(rows); ++i) {
            const uint64_t number = heldRecords_[heldLaid_[i].record].number;
            if (numbers.empty() || numbers.back() != number) numbers.push_back(number);
        }
        return numbers;
    }
    for (int i = 0; i < rows; ++i) {
        uint64_t number = 0, rowInRecord = 0;
        if (!source_->recordAtRow(shown_.topRow + static_cast<uint64_t>(i), filter_, number, rowInRecord)) break;
        if (number >= shown_.shownEnd) break;
        if (numbers.empty() || numbers.back() != number) numbers.push_back(number);
    }
    return numbers;
}

// The rows from the top of the list down, at most `rows`, each with its record and whether it
// shows the date: the first record held and the first of each day do.
bool TimelineView::showingHeldRows() const {
    return held_ && !heldLaid_.empty() && source_ != nullptr &&
           heldRecords_[heldLaid_.front().record].number < source_->extent().first;
}

void TimelineView::layRows(int rows, std::vector<TimelineRecord>& records, std::vector<LaidRow>& laid) const {
    if (showingHeldRows()) {
        // What was in sight stays in sight: the bound let its records go while held.
        records = heldRecords_;
        laid.assign(heldLaid_.begin(), heldLaid_.begin() + std::min<std::ptrdiff_t>(rows, static_cast<std::ptrdiff_t>(heldLaid_.size())));
        return;
    }
    laySourceRows(rows, records, laid);
    // Kept while held, once per move of the list, or when more rows are asked for than kept.
    if (held_ && (heldStale_ || laid.size() > heldLaid_.size())) {
        heldRecords_ = records;
        heldLaid_ = laid;
        heldStale_ = false;
    }
}

void TimelineView::laySourceRows(int rows, std::vector<TimelineRecord>& records, std::vector<LaidRow>& laid) const {
    records.clear();
    laid.clear();
    if (source_ == nullptr) return;
    // Each row asks for its record by its row count, so a long run of records the filter hides
    // costs nothing; each record comes with the one before it, whose date decides its own.
    uint64_t last = UINT64_MAX;
    size_t at = 0;
    bool withDate = false;
    for (int i = 0; i < rows; ++i) {
        uint64_t number = 0, rowInRecord = 0;
        if (!source_->recordAtRow(shown_.topRow + static_cast<uint64_t>(i), filter_, number, rowInRecord) ||
            number >= shown_.shownEnd) {
            break;
        }
        if (number != last) {
            const size_t before = records.size();
            // A source reads from its first record when asked for one it has let go.
            source_->read(number > 0 ? number - 1 : number, number > 0 ? 2 : 1, records);
            at = before;
            while (at < records.size() && records[at].number != number) ++at;
            if (at == records.size()) break;  // let go meanwhile
            last = number;
            const TimelineRecord* previous = at > before ? &records[at - 1] : nullptr;
            withDate = previous == nullptr || !sameDay(previous->local, records[at].local);
        }
        laid.push_back(LaidRow{at, rowInRecord, withDate});
    }
}

// A row as its cells: time, gap, direction and count on a record's first row only, then its
// bytes in hex and as text, and a frame's verdict and summary on its first row.
void TimelineView::rowCellsOf(const TimelineRecord& record, uint64_t rowInRecord, bool withDate, LeadRun& run,
                              std::u32string& cells) const {
    cells.clear();
    const auto put = [&cells](size_t column, const char* text, size_t length) {
        if (cells.size() < column + length) cells.resize(column + length, U' ');
        for (size_t i = 0; i < length; ++i) cells[column + i] = static_cast<unsigned char>(text[i]);
    };
    if (rowInRecord == 0) {
        char text[96];
        const std::tm& t = record.local;
        int length = withDate ? std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d", t.tm_year + 1900,
                                              t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                                              static_cast<int>(record.micros))
                              : std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06d", t.tm_hour, t.tm_min, t.tm_sec,
                                              static_cast<int>(record.micros));
        put(static_cast<size_t>(timeColumn + timeWidth - length), text, static_cast<size_t>(length));
        const int64_t gap = std::max<int64_t>(0, record.gapMicros);
        length = std::snprintf(text, sizeof text, "+%" PRId64 ".%06" PRId64, gap / 1000000, gap % 1000000);
        put(static_cast<size_t>(gapEnd - length), text, static_cast<size_t>(length));
        put(directionColumn, record.channel == 2 ? "2>1" : "1>2", 3);
        // A timeout is a row without bytes: it has no length to tell.
        if (!(record.frame && record.verdict == Verdict::Timeout)) {
            length = std::snprintf(text, sizeof text, "%zu", record.bytes.size());
            put(static_cast<size_t>(std::max(countEnd - length, directionColumn + 4)), text,
                static_cast<size_t>(length));
        }
    }
    const size_t begin = static_cast<size_t>(rowInRecord) * kTimelineRowBytes;
    const size_t stop = std::min(record.bytes.size(), begin + kTimelineRowBytes);
    if (begin < stop) {
        static const char digits[] = "0123456789ABCDEF";
        cells.resize(static_cast<size_t>(textColumn) + (stop - begin), U' ');
        for (size_t i = begin; i < stop; ++i) {
            const uint8_t byte = static_cast<uint8_t>(record.bytes[i]);
            char32_t* hex = cells.data() + hexColumn + 3 * (i - begin);
            hex[0] = static_cast<char32_t>(digits[byte >> 4]);
            hex[1] = static_cast<char32_t>(digits[byte & 0x0F]);
        }
        putText(record.bytes, begin, stop, run, cells.data() + textColumn);
    }
    if (record.frame && rowInRecord == 0) {
        const std::string_view verdict = verdictText(record.verdict);
        put(summaryColumn, verdict.data(), verdict.size());
        cells.push_back(U' ');
        const QList<uint> summary =
            QString::fromUtf8(record.summary.data(), static_cast<qsizetype>(record.summary.size())).toUcs4();
        for (const uint c : summary) {
            // A device's own bytes may reach a summary (an NMEA address): no control reaches a cell.
            const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
            cells.push_back(control ? U'.' : static_cast<char32_t>(c));
            if (twoCellsWide(c)) cells.push_back(U'\0');
        }
    }
}

// Printable ASCII as itself; a lead byte and its trail byte in the row as their character on
// their two cells; half-width katakana as itself; every other byte, a character cut by the row's
// or the record's end and a pair that makes no character as dots. The record line keeps its dots:
// only what the list draws reads the text.
void TimelineView::putText(const std::string& bytes, size_t begin, size_t stop, LeadRun& run,
                           char32_t* cells) const {
    // Every lead byte is a trail byte too, so a run of lead bytes pairs from its start (the byte
    // before it ends a character whatever it is): after an odd run, the row starts with the second
    // half of a character it cannot show.
    size_t leads = 0;
    if (run.bytes == &bytes && run.at <= begin) {
        leads = run.leads;
        for (size_t i = run.at; i < begin; ++i) {
            leads = isShiftJisLeadByte(static_cast<uint8_t>(bytes[i])) ? leads + 1 : 0;
        }
    } else {
        leads = leadsBefore(bytes, begin);
    }
    run = LeadRun{&bytes, begin, leads};
    size_t i = begin;
    if (leads % 2 == 1 && isShiftJisTrailByte(static_cast<uint8_t>(bytes[i]))) {
        cells[0] = U'.';
        ++i;
    }
    while (i < stop) {
        const auto byte = static_cast<uint8_t>(bytes[i]);
        char32_t* cell = cells + (i - begin);
        if (byte < 0x80) {
            cell[0] = static_cast<char32_t>(recordTextChar(byte));
            ++i;
        } else if (isShiftJisLeadByte(byte) && i + 1 < stop &&
                   isShiftJisTrailByte(static_cast<uint8_t>(bytes[i + 1]))) {
            const char32_t character = cp932Character(byte, static_cast<uint8_t>(bytes[i + 1]));
            cell[0] = character != 0 ? character : U'.';
            cell[1] = character != 0 ? U'\0' : U'.';
            i += 2;
        } else {
            const char32_t character = isShiftJisLeadByte(byte) ? 0 : cp932Character(byte, 0);
            cell[0] = character != 0 ? character : U'.';
            ++i;
        }
    }
}

char32_t TimelineView::cp932Character(uint8_t lead, uint8_t trail) const {
    const auto key = static_cast<quint16>(lead << 8 | trail);
    const auto known = cp932Characters_.constFind(key);
    if (known != cp932Characters_.constEnd()) return *known;
    if (!cp932_) cp932_ = std::make_unique<Cp932Characters>();
    const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
    const QList<uint> text = cp932_->character(bytes, trail != 0 ? 2 : 1).toUcs4();
    // A converter may map a byte to a control character: that is no drawable character.
    char32_t character = 0;
    if (text.size() == 1 && QChar::category(text.front()) != QChar::Other_Control) character = text.front();
    cp932Characters_.insert(key, character);
    return character;
}

std::vector<QString> TimelineView::rowsInSight() const {
    std::vector<TimelineRecord> records;
    std::vector<LaidRow> laid;
    layRows(visibleRows(), records, laid);
    std::vector<QString> rows;
    std::u32string cells;
    LeadRun leadRun;
    for (const LaidRow& row : laid) {
        rowCellsOf(records[row.record], row.rowInRecord, row.withDate, leadRun, cells);
        std::erase(cells, U'\0');
        rows.push_back(QString::fromUcs4(cells.data(), static_cast<qsizetype>(cells.size())));
    }
    return rows;
}

TimelineView::GlyphOf TimelineView::glyphOf(char32_t character) {
    if (character < 0x80) return GlyphOf{0, asciiGlyphs_[character]};
    const auto known = otherGlyphs_.constFind(character);
    if (known != otherGlyphs_.constEnd()) return *known;
    const QString text = QString::fromUcs4(&character, 1);
    GlyphOf glyph;
    if (fonts_.front().supportsCharacter(static_cast<uint>(character))) {
        const QList<quint32> found = fonts_.front().glyphIndexesForString(text);
        if (found.size() == 1) glyph.index = found.front();
    } else {
        // A character the font lacks (kanji, mostly): the font the text path falls back on for
        // it, found once.
        QTextLayout layout(text, font());
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        const QList<QGlyphRun> runs = layout.glyphRuns();
        if (runs.size() == 1 && runs.front().glyphIndexes().size() == 1) {
            const QRawFont raw = runs.front().rawFont();
            auto at = std::find(fonts_.begin(), fonts_.end(), raw);
            if (at == fonts_.end()) at = fonts_.insert(fonts_.end(), raw);
            glyph = GlyphOf{static_cast<int>(at - fonts_.begin()), runs.front().glyphIndexes().front()};
        }
    }
    otherGlyphs_.insert(character, glyph);
    return glyph;
}

void TimelineView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.fillRect(event->rect(), palette().color(QPalette::Base));
    if (source_ == nullptr) return;
    const int lh = rowHeight();
    const int cw = cellWidth();
    const int ascent = QFontMetrics(font()).ascent();
    const int xOrigin = leftMargin - horizontalScrollBar()->value();
    const int width = viewport()->width();
    if (fonts_.empty()) {
        // The font's glyph of each printable ASCII character, looked up once per font.
        fonts_.push_back(QRawFont::fromFont(font()));
        for (char32_t c = 0x21; c < 0x7F; ++c) {
            const QList<quint32> found = fonts_.front().glyphIndexesForString(QString(QChar(c)));
            asciiGlyphs_[c] = found.size() == 1 ? found.front() : 0;
        }
    }
    std::vector<TimelineRecord> records;
    std::vector<LaidRow> laid;
    layRows(viewport()->height() / lh + 1, records, laid);
    std::u32string cells;
    LeadRun leadRun;
    size_t widest = 0;
    int y = 0;
    for (const LaidRow& row : laid) {
        const TimelineRecord& record = records[row.record];
        const bool error = record.frame && verdictIsError(record.verdict);
        if (error) painter.fillRect(QRect(0, y, width, lh), errorTint_);
        const bool selected = hasSelection_ && record.number >= selectionFirst_ && record.number <= selectionLast_ &&
                              (selectionChannels_ & channelBit(record.channel)) != 0;
        if (selected) painter.fillRect(QRect(0, y, width, lh), selectionColour_);
        if (row.rowInRecord == 0 && ruleOn_ && record.gapMicros >= ruleMicros_ && record.number > extent_.first) {
            painter.fillRect(QRect(0, y, width, 1), ruleColour_);
        }
        // The match's bytes in this row.
        if (match_ && match_->channel == record.channel && record.number >= match_->startRecord &&
            record.number <= match_->endRecord) {
            const size_t begin = static_cast<size_t>(row.rowInRecord) * kTimelineRowBytes;
            const size_t stop = std::min(record.bytes.size(), begin + kTimelineRowBytes);
            const size_t matchFrom = record.number == match_->startRecord ? match_->startOffset : 0;
            const size_t matchTo = record.number == match_->endRecord ? match_->endOffset : record.bytes.size();
            const size_t a = std::max(begin, matchFrom), b = std::min(stop, matchTo);
            if (a < b) {
                const int column = static_cast<int>(a - begin), count = static_cast<int>(b - a);
                painter.fillRect(QRect(xOrigin + (hexColumn + 3 * column) * cw, y, (3 * count - 1) * cw, lh), matchColour_);
                painter.fillRect(QRect(xOrigin + (textColumn + column) * cw, y, count * cw, lh), matchColour_);
            }
        }
        // Glyphs placed on their cells, gathered per font and colour: no text is shaped per frame.
        rowCellsOf(record, row.rowInRecord, row.withDate, leadRun, cells);
        widest = std::max(widest, cells.size());
        const int direction = record.channel == 2 ? 1 : 0;
        for (size_t i = 0; i < cells.size(); ++i) {
            const char32_t c = cells[i];
            const int x = xOrigin + static_cast<int>(i) * cw;
            if (c <= U' ' || x >= width || x + 2 * cw <= 0) continue;
            const GlyphOf glyph = glyphOf(c);
            if (glyph.index == 0) continue;
            const bool summary = row.rowInRecord == 0 && i >= static_cast<size_t>(summaryColumn);
            const size_t group = static_cast<size_t>(glyph.font) * 3 + (error && summary ? errorColour : direction);
            if (frameGlyphs_.size() <= group) frameGlyphs_.resize(fonts_.size() * 3);
            frameGlyphs_[group].indexes.push_back(glyph.index);
            frameGlyphs_[group].positions.push_back(QPointF(x, y + ascent));
        }
        y += lh;
    }
    for (size_t group = 0; group < frameGlyphs_.size(); ++group) {
        Glyphs& glyphs = frameGlyphs_[group];
        if (!glyphs.indexes.isEmpty()) {
            QGlyphRun run;
            run.setRawFont(fonts_[group / 3]);
            run.setGlyphIndexes(glyphs.indexes);
            run.setPositions(glyphs.positions);
            painter.setPen(colours_[group % 3]);
            painter.drawGlyphRun(QPointF(0, 0), run);
        }
        glyphs.indexes.clear();
        glyphs.positions.clear();
    }
    if (widest > static_cast<size_t>(widestCells_)) {
        widestCells_ = static_cast<int>(widest);
        updateHorizontalRange();
    }
}

void TimelineView::selectRecords(uint64_t first, uint64_t last, unsigned channels) {
    hasSelection_ = first <= last;
    selectionFirst_ = first;
    selectionLast_ = last;
    selectionAnchor_ = first;
    selectionChannels_ = channels;
    viewport()->update();
}

void TimelineView::selectAll() {
    if (source_ == nullptr) return;
    extent_ = source_->extent();
    const uint64_t end = shownEnd(extent_);
    if (end == extent_.first) {
        clearSelection();
        return;
    }
    selectRecords(extent_.first, end - 1);
}

void TimelineView::clearSelection() {
    hasSelection_ = false;
    viewport()->update();
}

bool TimelineView::continueCopy(CopyJob& job, size_t budget, size_t untilBytes) const {
    return source_ == nullptr || appendSelection(*source_, job.selection, budget, job.text, untilBytes);
}

TimelineSelection TimelineView::selection() const {
    return TimelineSelection{selectionFirst_, selectionLast_, selectionChannels_, filter_};
}

std::string TimelineView::selectionText() const {
    if (source_ == nullptr || !hasSelection_) return {};
    CopyJob job{selection(), {}, {}};
    continueCopy(job, SIZE_MAX);
    return std::move(job.text);
}

void TimelineView::copySelection() {
    if (source_ == nullptr || !hasSelection_) return;
    // A newer Ctrl+C replaces a copy still being written out.
    copy_.reset();
    if (selectionChannels_ == 3) {
        // A record of n rows has more than 16 (n - 1) bytes, each 4 characters of its line: rows
        // the list counts already tell a selection far past the bound, before any text is made.
        const TimelineExtent extent = source_->extent();
        const uint64_t first = std::max(selectionFirst_, extent.first);
        const uint64_t end = std::min(selectionLast_ + 1, extent.end);
        if (first < end) {
            const uint64_t rows = source_->rowsBefore(end, filter_) - source_->rowsBefore(first, filter_);
            if (rows * 64 > (end - first) * 60 + kMaxClipboardBytes) {
                emit selectionTooLarge(selection());
                return;
            }
        }
    }
    copy_ = CopyJob{selection(), {}, selection()};
    copySlice();
}

void TimelineView::copySlice() {
    if (!copy_) return;
    const bool whole = continueCopy(*copy_, copySliceRecords, copy_->text.size() + copySliceBytes);
    if (copy_->text.size() > kMaxClipboardBytes) {
        // More than a clipboard is for: its memory goes back now, and a save is offered.
        const TimelineSelection chosen = copy_->asked;
        copy_.reset();
        emit selectionTooLarge(chosen);
        return;
    }
    if (!whole) {
        copyTimer_.start(0);
        return;
    }
    const std::string text = std::move(copy_->text);
    copy_.reset();
    // Record lines are ASCII; a frame line's summary may hold more (an answer's arrow).
    if (!text.empty()) {
        QGuiApplication::clipboard()->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    }
}

void TimelineView::showMatch(const TimelineMatch& match) {
    match_ = match;
    selectRecords(match.startRecord, match.endRecord, channelBit(match.channel));
    if (source_ == nullptr) return;
    // Into sight, a third of the way down, unless it is in sight already.
    const uint64_t row = source_->rowsBefore(match.startRecord, filter_) + match.startOffset / kTimelineRowBytes;
    const uint64_t visible = static_cast<uint64_t>(visibleRows());
    if (row < shown_.topRow || row >= shown_.topRow + visible) {
        following_ = false;
        seenEnd_ = shown_.shownEnd;
        const uint64_t firstRow = source_->rowsBefore(extent_.first, filter_);
        setTopRow(std::max(firstRow, row > visible / 3 ? row - visible / 3 : 0));
    }
    refresh();
    viewport()->update();
}

void TimelineView::clearMatch() {
    match_.reset();
    viewport()->update();
}

void TimelineView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const std::optional<uint64_t> number = recordAt(event->position().toPoint());
    if (!number) {
        clearSelection();
        return;
    }
    if ((event->modifiers() & Qt::ShiftModifier) && hasSelection_) {
        const uint64_t anchor = selectionAnchor_;
        selectRecords(std::min(anchor, *number), std::max(anchor, *number));
        selectionAnchor_ = anchor;
    } else {
        selectRecords(*number, *number);
    }
}

void TimelineView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || !hasSelection_) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    const std::optional<uint64_t> number = recordAt(event->position().toPoint());
    if (!number) return;
    const uint64_t anchor = selectionAnchor_;
    selectRecords(std::min(anchor, *number), std::max(anchor, *number));
    selectionAnchor_ = anchor;
}

void TimelineView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier && live_) {
        setHold(!held_);
        emit holdToggled(held_);
    } else if (event->key() == Qt::Key_End) {
        follow();
    } else if (event->key() == Qt::Key_Home) {
        verticalScrollBar()->setValue(0);
    } else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}
