// The view of a display window's text model (control 1001): code page 932 text, fixed pitch,
// lines never wrapped, on the menu colour. It repaints at the screen's pace from the model's
// revision, never once per operation, and paints only the lines in sight that changed.
#pragma once

#include <QAbstractScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QHash>
#include <QRawFont>
#include <QColor>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "display/qt/code_page_932.h"

class TrafficTextControl;

// One piece of a shown line: decoded text starting at a byte column, or the placeholder box
// that stands for a byte that cannot be drawn (NUL, 0x14 and the other control bytes, bytes
// that are no character of code page 932).
struct DisplaySegment {
    int column = 0;  // byte offset in the line; one byte is one cell
    int cells = 0;
    QString text;    // empty for a placeholder
    bool placeholder = false;
};

// Stored bytes read as code page 932, as the view draws them and copies them. It holds one
// converter for its life, opened once, not once per line: a frame draws dozens of lines. One
// thread at a time.
class Cp932Decoder {
public:
    // The segments a line of stored bytes is drawn as.
    std::vector<DisplaySegment> decodeLine(const std::string& bytes);
    // The same as one text, with U+25A1 (a white square) for each placeholder cell.
    QString lineText(const std::string& bytes);
    // Stored text (lines ending in CR LF) as the view shows it, lines joined with "\n".
    QString text(const std::string& bytes);

private:
    // The character that one or two bytes make, or an empty text when they make none.
    QString character(const char* bytes, size_t length);
    Cp932Characters characters_;
};

// A scroll bar that repaints only when it would look different. The text grows every frame and
// is cut back in steps, so the range changes on nearly every frame while the slider, held at
// the end and at its smallest, stays where it is. While held, changes are only gathered: the
// range and the value move in separate steps, and the step between may look different. The
// signals wait too: a range changed asks the scroll area to lay its bars out again, and with both
// bars shown that raises one above the other and repaints the window, every frame; it is asked
// only when the bar comes or goes.
class QuietScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;
    void hold() {
        held_ = true;
        heldScrolls_ = maximum() > minimum();
        wasBlocked_ = blockSignals(true);
    }
    void release() {
        held_ = false;
        blockSignals(wasBlocked_);
        if ((maximum() > minimum()) != heldScrolls_) emit rangeChanged(minimum(), maximum());
        if (!(look() == painted_)) update();
    }

protected:
    void sliderChange(SliderChange change) override {
        if (change == SliderOrientationChange || (!held_ && !(look() == painted_))) QScrollBar::sliderChange(change);
    }
    void paintEvent(QPaintEvent* event) override {
        painted_ = look();
        QScrollBar::paintEvent(event);
    }

private:
    struct Look {
        QRect slider;
        bool atMinimum = false, atMaximum = false, enabled = false;
        bool operator==(const Look&) const = default;
    };
    Look look() const {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
                value() == minimum(), value() == maximum(), minimum() != maximum()};
    }
    bool held_ = false;
    bool heldScrolls_ = false;  // whether it had a range to scroll when held
    bool wasBlocked_ = false;
    Look painted_;
};

// The wait until the next frame of the grid every view of the program draws on.
int nextFrameWaitMs();

class TrafficView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TrafficView(QWidget* parent = nullptr);

    // The view shares its model with the channel: either may be the last to let it go.
    void setModel(std::shared_ptr<TrafficTextControl> model);
    TrafficTextControl* model() const { return model_.get(); }
    void setBackgroundColor(const QColor& color);

    // Looks at the model now, as the frame timer does; true when something is to be repainted.
    bool refresh();
    int firstVisibleLine() const;
    int visibleLineCount() const;
    int lineHeight() const;
    int cellWidth() const;
    // The user's selection, in positions of the model's text now; the caret is its moving end.
    // It is the view's own: the next chunk shown removes it, and the text it names stays
    // the same bytes while older lines go from the top.
    void setSelection(int anchor, int caret);
    int selectionStart() const;
    int selectionEnd() const;
    int caret() const;
    // Puts the selected text, as shown, on the clipboard (Ctrl+C), read from one snapshot.
    void copySelection();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void startFrameTimer();
    void updateScrollBars(int lineCount, int maxLineLength);
    void followEnd(int lastLine, int lastLineLength);
    int64_t origin() const;  // the model's lasting position of its position 0
    // The lasting position under a point, and the origin it was read with: one snapshot.
    int64_t lastingPositionAt(const QPoint& point, int64_t& base) const;

    // The whole viewport again: the rows it shows are no longer known.
    void repaintAll();
    // After new text: moves the rows that only moved, repaints only the rows that changed.
    void repaintChangedRows();

    // A row the viewport shows: the lasting position of its line's start and the line's bytes.
    struct ShownRow {
        int64_t start = 0;
        std::string bytes;
        bool operator==(const ShownRow&) const = default;
    };
    std::vector<ShownRow> shownRows_;  // as last asked to be painted; empty when unknown
    int shownHorizontal_ = 0;
    bool inRefresh_ = false;

    // The font's glyph for a character, looked up once: a row is drawn as glyphs placed on its
    // cells, not as text shaped anew every frame. 0 when the font lacks it.
    quint32 glyphFor(char32_t character);
    QRawFont rawFont_;  // of font(); invalid until the next paint after a font change
    QHash<char32_t, quint32> glyphs_;
    // Used by the UI thread only, also to find a column while answering a const question.
    mutable Cp932Decoder decoder_;

    std::shared_ptr<TrafficTextControl> model_;
    QColor background_;
    QTimer frameTimer_;
    uint64_t shownRevision_ = ~uint64_t{0};
    uint64_t shownScrollRequests_ = 0;
    // Lasting positions (see TrafficTextControl::textBetween).
    int64_t anchor_ = 0;
    int64_t caret_ = 0;
};
