#include "display/qt/traffic_view.h"

#include <QClipboard>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "display/shift_jis.h"
#include "display/traffic_text_control.h"

namespace {

constexpr int leftMargin = 2;
constexpr int frameIntervalMs = 50;  // 20 frames a second: text scrolls smoothly, and faster than that it cannot be read

}  // namespace

QString Cp932Decoder::character(const char* bytes, size_t length) {
    const QString text = characters_.character(bytes, length);
    // A converter may map a byte to a control character: that is no drawable character.
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control) return {};
    }
    return text;
}

std::vector<DisplaySegment> Cp932Decoder::decodeLine(const std::string& bytes) {
    std::vector<DisplaySegment> segments;
    DisplaySegment run;  // single-cell characters drawn together
    auto flushRun = [&] {
        if (run.cells > 0) segments.push_back(run);
        run = DisplaySegment{};
    };
    auto addToRun = [&](int column, const QString& text) {
        if (run.cells == 0) run.column = column;
        run.text += text;
        ++run.cells;
    };
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t b = static_cast<uint8_t>(bytes[i]);
        const int column = static_cast<int>(i);
        if (b < 0x20 || b == 0x7F) {
            flushRun();
            segments.push_back(DisplaySegment{column, 1, QString(), true});
            ++i;
            continue;
        }
        if (b < 0x80) {
            addToRun(column, QChar(b));
            ++i;
            continue;
        }
        if (isShiftJisLeadByte(b) && i + 1 < n && isShiftJisTrailByte(static_cast<uint8_t>(bytes[i + 1]))) {
            const QString text = character(bytes.data() + i, 2);
            if (!text.isEmpty()) {
                // Each double-byte character at its own column, so columns stay exact.
                flushRun();
                segments.push_back(DisplaySegment{column, 2, text, false});
                i += 2;
                continue;
            }
        }
        const QString single = character(bytes.data() + i, 1);  // half-width katakana
        if (!single.isEmpty()) {
            addToRun(column, single);
        } else {
            flushRun();
            segments.push_back(DisplaySegment{column, 1, QString(), true});
        }
        ++i;
    }
    flushRun();
    return segments;
}

QString Cp932Decoder::lineText(const std::string& bytes) {
    QString text;
    for (const DisplaySegment& segment : decodeLine(bytes)) {
        text += segment.placeholder ? QString(QChar(0x25A1)) : segment.text;
    }
    return text;
}

QString Cp932Decoder::text(const std::string& bytes) {
    QString text;
    size_t start = 0;
    for (;;) {
        const size_t lineEnd = bytes.find("\r\n", start);
        text += lineText(bytes.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start));
        if (lineEnd == std::string::npos) break;
        text += QLatin1Char('\n');
        start = lineEnd + 2;
    }
    return text;
}

TrafficView::TrafficView(QWidget* parent) : QAbstractScrollArea(parent) {
    setVerticalScrollBar(new QuietScrollBar(Qt::Vertical, this));
    setHorizontalScrollBar(new QuietScrollBar(Qt::Horizontal, this));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFrameShape(QFrame::StyledPanel);
    viewport()->setCursor(Qt::IBeamCursor);
    background_ = palette().color(QPalette::Base);
    // Every paint fills its area first: rows that only moved can then be moved, not redrawn.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    frameTimer_.setSingleShot(true);
    connect(&frameTimer_, &QTimer::timeout, this, [this] {
        startFrameTimer();
        refresh();
    });
}

// Each frame falls on a multiple of the frame interval of the monotonic clock, so all open views
// draw in one wake-up of the UI thread rather than each in its own. Never nearer than 20 ms:
// Qt would turn a shorter coarse timer into a precise one and lose the common rounding.
int nextFrameWaitMs() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now().time_since_epoch()).count();
    int wait = frameIntervalMs - static_cast<int>(now % frameIntervalMs);
    if (wait <= 20) wait += frameIntervalMs;
    return wait;
}

void TrafficView::startFrameTimer() { frameTimer_.start(nextFrameWaitMs()); }

// Frames run only while the view is on screen: closed windows live on, idle.
void TrafficView::showEvent(QShowEvent* event) {
    QAbstractScrollArea::showEvent(event);
    startFrameTimer();
    refresh();
}

void TrafficView::hideEvent(QHideEvent* event) {
    QAbstractScrollArea::hideEvent(event);
    frameTimer_.stop();
}

void TrafficView::setModel(std::shared_ptr<TrafficTextControl> model) {
    model_ = std::move(model);
    anchor_ = caret_ = 0;
    shownRows_.clear();
    shownRevision_ = ~uint64_t{0};
    shownScrollRequests_ = model_ != nullptr ? model_->viewState(0, 0).scrollRequests : 0;
    refresh();
}

void TrafficView::setBackgroundColor(const QColor& color) {
    background_ = color;
    repaintAll();
}

void TrafficView::repaintAll() {
    shownRows_.clear();
    viewport()->update();
}

int TrafficView::lineHeight() const { return std::max(1, QFontMetrics(font()).lineSpacing()); }

int TrafficView::cellWidth() const { return std::max(1, QFontMetrics(font()).horizontalAdvance(QLatin1Char('0'))); }

int TrafficView::firstVisibleLine() const { return verticalScrollBar()->value(); }

int TrafficView::visibleLineCount() const { return std::max(1, viewport()->height() / lineHeight()); }

bool TrafficView::refresh() {
    if (model_ == nullptr) return false;
    // A minimised window shows nothing; the first frame after it is back catches up.
    if (window()->isMinimized()) return false;
    if (model_->revision() == shownRevision_) return false;
    const TrafficTextControl::ViewState state = model_->viewState(0, 0);
    shownRevision_ = state.revision;
    if (anchor_ != caret_) shownRows_.clear();  // a selection is drawn across rows
    inRefresh_ = true;  // the scrolling below is the rows' business
    auto* vertical = static_cast<QuietScrollBar*>(verticalScrollBar());
    auto* horizontal = static_cast<QuietScrollBar*>(horizontalScrollBar());
    vertical->hold();
    horizontal->hold();
    updateScrollBars(state.lineCount, state.maxLineLength);
    if (state.scrollRequests != shownScrollRequests_) {
        // A chunk was shown: as in a rich edit control, it takes the selection away and
        // brings the end back into sight.
        shownScrollRequests_ = state.scrollRequests;
        anchor_ = caret_;
        followEnd(state.lineCount - 1, state.lastLineLength);
    }
    vertical->release();
    horizontal->release();
    inRefresh_ = false;
    repaintChangedRows();
    return true;
}

void TrafficView::repaintChangedRows() {
    const int lh = lineHeight();
    const int width = viewport()->width();
    const TrafficTextControl::ViewState state =
        model_->viewState(firstVisibleLine(), viewport()->height() / lh + 2);  // as painted
    std::vector<ShownRow> rows(state.lines.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i] = {state.origin + state.lineStarts[i], state.lines[i]};
    }
    const int horizontal = horizontalScrollBar()->value();
    const std::vector<ShownRow> before = std::move(shownRows_);
    shownRows_ = std::move(rows);
    const std::vector<ShownRow>& now = shownRows_;
    const bool known = !before.empty() && !now.empty() && horizontal == shownHorizontal_ && anchor_ == caret_;
    shownHorizontal_ = horizontal;

    // Where the first row now was before: the rows above it went out at the top.
    const auto found = known ? std::find_if(before.begin(), before.end(),
                                            [&](const ShownRow& row) { return row.start == now.front().start; })
                             : before.end();
    if (found == before.end()) {
        viewport()->update();
        return;
    }
    const size_t shift = static_cast<size_t>(found - before.begin());
    if (shift > 0) viewport()->scroll(0, -static_cast<int>(shift) * lh);
    // A changed row is repainted with its neighbours, which a glyph taller than a row may reach.
    QRegion dirty;
    const size_t count = std::max(now.size(), before.size() - shift);
    for (size_t i = 0; i < count; ++i) {
        const bool same = i < now.size() && i + shift < before.size() && before[i + shift] == now[i];
        if (!same) dirty += QRect(0, (static_cast<int>(i) - 1) * lh, width, 3 * lh);
    }
    if (!dirty.isEmpty()) viewport()->update(dirty);
}

void TrafficView::updateScrollBars(int lineCount, int maxLineLength) {
    const int visible = visibleLineCount();
    verticalScrollBar()->setRange(0, std::max(0, lineCount - visible));
    verticalScrollBar()->setPageStep(visible);
    verticalScrollBar()->setSingleStep(1);
    const int width = leftMargin + (maxLineLength + 1) * cellWidth();
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(std::max(1, viewport()->width()));
    horizontalScrollBar()->setSingleStep(cellWidth());
}

void TrafficView::followEnd(int caretLine, int caretColumn) {
    const int visible = visibleLineCount();
    QScrollBar* vertical = verticalScrollBar();
    if (caretLine < vertical->value()) {
        vertical->setValue(caretLine);
    } else if (caretLine >= vertical->value() + visible) {
        vertical->setValue(caretLine - visible + 1);
    }
    QScrollBar* horizontal = horizontalScrollBar();
    const int x = leftMargin + caretColumn * cellWidth();
    if (x < horizontal->value()) {
        horizontal->setValue(std::max(0, x - leftMargin));
    } else if (x + cellWidth() > horizontal->value() + viewport()->width()) {
        horizontal->setValue(x + cellWidth() - viewport()->width());
    }
}

void TrafficView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    // In strips: Qt hands a fill of more than 95 pixel rows to its painting threads, and waking
    // them every frame costs more than the fill itself.
    const QRect area = event->rect();
    for (int top = area.top(); top <= area.bottom(); top += 64) {
        painter.fillRect(QRect(area.left(), top, area.width(), std::min(64, area.bottom() + 1 - top)), background_);
    }
    if (model_ == nullptr) return;

    const int lh = lineHeight();
    const int cw = cellWidth();
    const int first = firstVisibleLine();
    const int count = viewport()->height() / lh + 2;
    const TrafficTextControl::ViewState state = model_->viewState(first, count);
    const int xOrigin = leftMargin - horizontalScrollBar()->value();
    const int ascent = QFontMetrics(font()).ascent();
    const QColor highlight = palette().color(QPalette::Highlight);
    // Only the rows of the area asked for, and the row on either side whose glyphs may reach in.
    const int fromRow = event->rect().top() / lh - 1;
    const int toRow = event->rect().bottom() / lh + 1;

    painter.setFont(font());
    painter.setPen(Qt::black);
    if (!rawFont_.isValid()) rawFont_ = QRawFont::fromFont(font());
    QList<quint32> glyphs;
    QList<QPointF> positions;
    std::vector<QRect> boxes;  // drawn together, after the rows
    for (size_t i = 0; i < state.lines.size(); ++i) {
        if (static_cast<int>(i) < fromRow || static_cast<int>(i) > toRow) continue;
        const int top = static_cast<int>(i) * lh;
        const std::string& line = state.lines[i];
        const int start = state.lineStarts[i];
        const int lineEnd = start + static_cast<int>(line.size());

        // The selected part of this line; a selected break shows as one more cell.
        const int64_t selFrom = std::max(std::min(anchor_, caret_) - state.origin, int64_t{start});
        const int64_t selTo = std::min(std::max(anchor_, caret_) - state.origin, int64_t{lineEnd} + 2);
        if (selFrom < selTo) {
            const int fromColumn = static_cast<int>(selFrom - start);
            const int toColumn = static_cast<int>(std::min<int64_t>(selTo - start, static_cast<int64_t>(line.size()) + 1));
            painter.fillRect(QRect(xOrigin + fromColumn * cw, top, (toColumn - fromColumn) * cw, lh), highlight);
        }

        glyphs.clear();
        positions.clear();
        const auto place = [&](char32_t character, int column) {
            const QPoint at(xOrigin + column * cw, top + ascent);
            if (at.x() > viewport()->width() || at.x() + 2 * cw < 0) return;
            const quint32 glyph = glyphFor(character);
            if (glyph != 0) {
                glyphs.append(glyph);
                positions.append(at);
            } else {
                // A character this font lacks: the text path finds it in another font.
                painter.drawText(at, QString::fromUcs4(&character, 1));
            }
        };
        const auto box = [&](int column) {
            boxes.push_back(QRect(xOrigin + column * cw + 1, top + 2, std::max(1, cw - 3), std::max(1, lh - 5)));
        };
        // A row without bytes above 0x7F (every hex row) needs no decoding: each byte is one
        // cell, a printable character or the box of a control byte.
        if (std::all_of(line.begin(), line.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; })) {
            for (size_t column = 0; column < line.size(); ++column) {
                const char c = line[column];
                if (c >= 0x20 && c < 0x7F) place(static_cast<char32_t>(c), static_cast<int>(column));
                else box(static_cast<int>(column));
            }
        } else {
            for (const DisplaySegment& segment : decoder_.decodeLine(line)) {
                const int x = xOrigin + segment.column * cw;
                if (x > viewport()->width() || x + segment.cells * cw < 0) continue;
                if (segment.placeholder) {
                    box(segment.column);
                    continue;
                }
                // One character per cell, or one character on two cells.
                const QList<uint> characters = segment.text.toUcs4();
                if (characters.size() != segment.cells && !(characters.size() == 1 && segment.cells == 2)) {
                    painter.drawText(QPoint(x, top + ascent), segment.text);
                    continue;
                }
                for (qsizetype k = 0; k < characters.size(); ++k) place(characters[k], segment.column + static_cast<int>(k));
            }
        }
        if (!glyphs.isEmpty()) {
            QGlyphRun run;
            run.setRawFont(rawFont_);
            run.setGlyphIndexes(glyphs);
            run.setPositions(positions);
            painter.drawGlyphRun(QPointF(0, 0), run);
        }
    }
    painter.drawRects(boxes.data(), static_cast<int>(boxes.size()));
}

quint32 TrafficView::glyphFor(char32_t character) {
    const auto known = glyphs_.constFind(character);
    if (known != glyphs_.constEnd()) return *known;
    const QList<quint32> found = rawFont_.glyphIndexesForString(QString::fromUcs4(&character, 1));
    const quint32 glyph = found.size() == 1 ? found.front() : 0;
    glyphs_.insert(character, glyph);
    return glyph;
}

void TrafficView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    shownRows_.clear();
    shownRevision_ = ~uint64_t{0};
    refresh();
}

void TrafficView::scrollContentsBy(int, int) {
    if (!inRefresh_) repaintAll();
}

void TrafficView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        rawFont_ = QRawFont();
        glyphs_.clear();
        shownRows_.clear();
        shownRevision_ = ~uint64_t{0};
        refresh();
    }
}

int64_t TrafficView::lastingPositionAt(const QPoint& point, int64_t& base) const {
    base = 0;
    if (model_ == nullptr) return 0;
    const int lh = lineHeight();
    const int cw = cellWidth();
    const int line = firstVisibleLine() + std::max(0, point.y()) / lh;
    const TrafficTextControl::ViewState state = model_->viewState(line, 1);
    base = state.origin;
    if (state.lines.empty()) return base + state.textLength;
    const std::string& bytes = state.lines.front();
    const int x = point.x() - leftMargin + horizontalScrollBar()->value();
    int column = std::clamp((x + cw / 2) / cw, 0, static_cast<int>(bytes.size()));
    // Never between the two bytes of a character.
    for (const DisplaySegment& segment : decoder_.decodeLine(bytes)) {
        if (segment.cells == 2 && column == segment.column + 1) column = segment.column;
    }
    return base + state.lineStarts.front() + column;
}

int64_t TrafficView::origin() const { return model_ != nullptr ? model_->viewState(0, 0).origin : 0; }

void TrafficView::setSelection(int anchor, int caret) {
    const int64_t base = origin();
    anchor_ = base + anchor;
    caret_ = base + caret;
    repaintAll();
}

int TrafficView::selectionStart() const { return static_cast<int>(std::min(anchor_, caret_) - origin()); }

int TrafficView::selectionEnd() const { return static_cast<int>(std::max(anchor_, caret_) - origin()); }

int TrafficView::caret() const { return static_cast<int>(caret_ - origin()); }

void TrafficView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || model_ == nullptr) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    int64_t base = 0;
    anchor_ = caret_ = lastingPositionAt(event->position().toPoint(), base);
    repaintAll();
}

void TrafficView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        event->accept();
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void TrafficView::copySelection() {
    if (model_ == nullptr || anchor_ == caret_) return;
    const std::string selected = model_->textBetween(std::min(anchor_, caret_), std::max(anchor_, caret_));
    if (!selected.empty()) QGuiApplication::clipboard()->setText(decoder_.text(selected));
}

void TrafficView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || model_ == nullptr) {
        QAbstractScrollArea::mouseMoveEvent(event);
        return;
    }
    int64_t base = 0;
    caret_ = lastingPositionAt(event->position().toPoint(), base);
    repaintAll();
}
