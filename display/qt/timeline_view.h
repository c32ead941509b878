// The timeline's list: records of both directions in read order, each as its time, gap,
// direction, count and a hex dump with its text, in its direction's colour; a frame row adds its
// verdict and summary. Only the rows in sight are read from the source and drawn, on the display
// windows' frame grid, so a source of a million records and a busy relay cost a frame what ten
// records do.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QHash>
#include <QString>
#include <QTimer>
#include <QRawFont>
#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/timeline_find.h"
#include "display/timeline_selection.h"
#include "display/timeline_source.h"

class Cp932Characters;
class QPushButton;

// The list's own lines, worded by the application that hosts it.
struct TimelineTexts {
    // Records that arrived while the list did not follow them (held, or scrolled up), and while
    // held, how many records the source's bound let go meanwhile.
    std::function<QString(uint64_t count, bool held, uint64_t letGo)> newRecords;
    // Records the source let go to keep its bound, and the read time of the first of them.
    std::function<QString(uint64_t count, const std::tm& since)> dropped;
};

class TimelineView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TimelineView(QWidget* parent = nullptr);
    ~TimelineView() override;

    // The source outlives the view, or is set to null first. A live source is followed from
    // its end; a file's list starts at its top and has no new records to count.
    void setSource(const TimelineSource* source, bool live = true);
    const TimelineSource* source() const { return source_; }
    void setTexts(TimelineTexts texts);
    void setFilter(TimelineFilter filter);
    TimelineFilter filter() const { return filter_; }
    // A thin rule above each record that follows a pause of at least `seconds`.
    void setPauseRule(bool on, int seconds);
    // Freezes what is shown while the source goes on, the rows in sight included when the
    // source's bound lets their records go; released, the list shows all again.
    void setHold(bool held);
    bool held() const { return held_; }
    // Follows the newest record again (End, or a click on the new-records line).
    void follow();
    bool following() const { return following_; }
    // The source was emptied: no selection, match or count of new records is left.
    void sourceCleared();

    // Looks at the source now, as each frame does; true when something is to be repainted.
    bool refresh();

    // Records selected, of those held: from `first` to `last`, of the channels in `channels`
    // (bit 0: channel 1, bit 1: channel 2).
    void selectRecords(uint64_t first, uint64_t last, unsigned channels = 3);
    void selectAll();
    void clearSelection();
    bool hasSelection() const { return hasSelection_; }
    // The selected records that the filter shows, each as the combined capture's line (a frame
    // row as its frame line), UTF-8.
    std::string selectionText() const;
    // Puts selectionText() on the clipboard (Ctrl+C). A large selection is written out in slices
    // between frames, so a copy of a million records never freezes the window; the clipboard
    // gets the text when the last slice is done. Text past kMaxClipboardBytes is not put on the
    // clipboard at all: the copy lets its text go and selectionTooLarge() offers a save instead.
    void copySelection();
    static constexpr size_t kMaxClipboardBytes = size_t{64} << 20;
    // The selection as it stands, for a save of it.
    TimelineSelection selection() const;
    bool copying() const { return copy_.has_value(); }
    // Marks a find's match: its records selected, its bytes highlighted, brought into sight.
    void showMatch(const TimelineMatch& match);
    void clearMatch();
    const std::optional<TimelineMatch>& match() const { return match_; }

    // The records with a row in sight now (numbers, in order).
    std::vector<uint64_t> recordsInSight() const;
    // The rows in sight as they read: each text at its column, cells as spaces (a character two
    // cells wide is one character).
    std::vector<QString> rowsInSight() const;
    // Records arrived since the list last followed (0 while following and not held).
    uint64_t newRecordCount() const;
    // The lines above and below the rows, as shown; empty when hidden.
    QString droppedLine() const;
    QString newRecordsLine() const;
    int rowHeight() const;
    int cellWidth() const;
    // The record under a point of the viewport, if any.
    std::optional<uint64_t> recordAt(const QPoint& point) const;
    // The first record and row the list shows, for a find that starts from what is in sight.
    uint64_t topRecord() const { return anchorRecord_; }

signals:
    // Space asked to hold or release.
    void holdToggled(bool held);
    // A copy was given up: the selection is more text than the clipboard is given.
    void selectionTooLarge(const TimelineSelection& selection);

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
    struct LaidRow {
        size_t record;  // in the records read with it
        uint64_t rowInRecord;
        bool withDate;
    };
    void layRows(int rows, std::vector<TimelineRecord>& records, std::vector<LaidRow>& laid) const;
    void laySourceRows(int rows, std::vector<TimelineRecord>& records, std::vector<LaidRow>& laid) const;
    // Held, the rows last laid from the source, once the source has let a record of them go.
    bool showingHeldRows() const;
    // Within one pass over the rows: the run of lead bytes that ends where the last row began, so
    // that the next row of a long record goes on from there instead of looking back again.
    struct LeadRun {
        const std::string* bytes = nullptr;
        size_t at = 0;
        size_t leads = 0;
    };
    // A row as its cells, each the character drawn there: ' ' for an empty cell, U+0000 for the
    // second cell of a character two cells wide.
    void rowCellsOf(const TimelineRecord& record, uint64_t rowInRecord, bool withDate, LeadRun& run,
                    std::u32string& cells) const;
    // The text column of bytes begin..stop of a record, code page 932 as the display windows read it.
    void putText(const std::string& bytes, size_t begin, size_t stop, LeadRun& run, char32_t* cells) const;
    char32_t cp932Character(uint8_t lead, uint8_t trail) const;  // 0 when the bytes make none
    void updateHorizontalRange();
    void startFrameTimer();
    void updateColours();
    void updateLines();
    // The end of what is shown: the source's end, or where HOLD froze it.
    uint64_t shownEnd(const TimelineExtent& extent) const;
    int visibleRows() const;
    // Moves the top of the list to `row` (counted as the source counts rows).
    void setTopRow(uint64_t row);
    uint64_t topRowNow() const;

    const TimelineSource* source_ = nullptr;
    TimelineTexts texts_;
    TimelineFilter filter_ = TimelineFilter::Both;
    bool ruleOn_ = false;
    int64_t ruleMicros_ = 0;
    QTimer frameTimer_;
    // The font's glyphs of printable ASCII, which most cells hold, and of each other character
    // once drawn, in the font that has it: a row is glyphs placed on its cells, never text shaped
    // anew each frame. The glyphs of one frame are gathered per font and colour, kept to reuse
    // their memory.
    struct GlyphOf {
        int font = 0;       // in fonts_
        quint32 index = 0;  // 0: no font has the character
    };
    GlyphOf glyphOf(char32_t character);
    std::vector<QRawFont> fonts_;  // of font() first; empty until the next paint after a font change
    std::array<quint32, 128> asciiGlyphs_{};
    QHash<char32_t, GlyphOf> otherGlyphs_;
    struct Glyphs {
        QList<quint32> indexes;
        QList<QPointF> positions;
    };
    std::vector<Glyphs> frameGlyphs_;  // per font, three colours each: the directions' and an error's
    // Code page 932 for the text column, opened on the first byte above 0x7F, and the characters
    // it made, looked up once.
    mutable std::unique_ptr<Cp932Characters> cp932_;
    mutable QHash<quint16, char32_t> cp932Characters_;
    // The widest row drawn since the source was set, in cells: summaries have no fixed width.
    int widestCells_ = 0;
    // The selection being copied, as it was when Ctrl+C was pressed.
    struct CopyJob {
        TimelineSelection selection;  // its next record moves on as the text is written
        std::string text;
        TimelineSelection asked;      // as it was chosen
    };
    // Writes out at most `records` more records of the job, up to `untilBytes` of text; true when
    // it is done.
    bool continueCopy(CopyJob& job, size_t records, size_t untilBytes = SIZE_MAX) const;
    void copySlice();
    std::optional<CopyJob> copy_;
    QTimer copyTimer_;
    QPushButton* droppedLine_ = nullptr;
    QPushButton* newRecordsLine_ = nullptr;

    // What the list shows: follows the end, or keeps the record at the top in place.
    bool following_ = true;
    bool live_ = true;
    bool held_ = false;
    uint64_t heldEnd_ = 0;
    uint64_t droppedAtHold_ = 0;  // the source's count of records let go when HOLD began
    // While held: the rows in sight as last laid from the source, with their records, so that
    // what is in sight stays when the bound lets those records go. Laid again after the list
    // moved (heldStale_), while the source still holds them.
    mutable std::vector<TimelineRecord> heldRecords_;
    mutable std::vector<LaidRow> heldLaid_;
    mutable bool heldStale_ = true;
    uint64_t anchorRecord_ = 0;
    uint64_t anchorRowInRecord_ = 0;
    // The source's end when the list last followed it.
    uint64_t seenEnd_ = 0;
    bool inRefresh_ = false;

    // As last drawn, to repaint only when it changed.
    struct Shown {
        uint64_t first = 0, end = 0, topRow = 0, shownEnd = 0;
        TimelineFilter filter = TimelineFilter::Both;
        bool operator==(const Shown&) const = default;
    };
    Shown shown_;
    bool restFrame_ = false;  // the next frame is left out: the last one moved by over a page
    TimelineExtent extent_;  // at the last refresh

    bool hasSelection_ = false;
    uint64_t selectionFirst_ = 0, selectionLast_ = 0, selectionAnchor_ = 0;
    unsigned selectionChannels_ = 3;
    std::optional<TimelineMatch> match_;

    QColor colours_[3];  // the directions', and an error's verdict and summary
    QColor ruleColour_, selectionColour_, matchColour_, noteColour_, errorTint_;
};
