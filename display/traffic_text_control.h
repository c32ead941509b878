// The text control of a display window (control 1001), as a plain model: the bytes received,
// with the whole operations the renderers use. Positions count bytes of the stored text; every
// line break is stored as CR LF and so counts two. Lines never wrap. Safe to call from the
// worker and the UI thread: each operation is carried out whole, under the model's own lock.
// The user's selection and the caret belong to the view: nothing done with the mouse or the
// keyboard changes where received bytes go.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class TrafficTextControl {
public:
    void append(const char* bytes, int length);           // after the last character
    void replaceLastLine(const char* bytes, int length);  // from the last line's start to the end
    void removeFromTop(int count);  // positions 0..count; the renderers cut at a line start
    void setText(const std::string& text);  // the whole text (CLEAR sets "")
    void scrollToEnd();                     // asks the view to bring the end into sight

    int textLength() const;           // WM_GETTEXTLENGTH
    int lineCount() const;            // EM_GETLINECOUNT
    int lineLength(int position) const;  // EM_LINELENGTH
    int lineStart(int line) const;    // EM_LINEINDEX; -1 past the last line
    std::string text() const;
    uint64_t revision() const;  // grows with every change the view must show

    // A position that keeps naming the same byte while lines go from the top: the number of
    // bytes ever removed from the top (a new text removes them all) plus the position.
    // The bytes between two such positions that are still held, read as one snapshot.
    std::string textBetween(int64_t from, int64_t to) const;

    // What a view needs for one paint, read under one lock so it is consistent.
    struct ViewState {
        uint64_t revision = 0;
        uint64_t scrollRequests = 0;  // grows with every scrollToEnd
        int64_t origin = 0;           // the lasting position of position 0
        int textLength = 0;
        int lineCount = 1;
        int maxLineLength = 0;
        int lastLineLength = 0;
        int firstLine = 0;               // the line that lines[0] holds
        std::vector<std::string> lines;  // the requested lines, without their breaks
        std::vector<int> lineStarts;     // the position of each of those lines
    };
    ViewState viewState(int firstLine, int maxLines) const;

private:
    int clampPosition(int position) const;       // lock held
    int lineOf(int position) const;              // lock held
    int lengthOfLine(int line) const;            // lock held
    void replaceRange(int start, int end, const char* bytes, int length);  // lock held

    mutable std::mutex lock_;
    std::string text_;
    // Where each line starts; keeps line questions logarithmic, as the hex form asks per line.
    std::vector<int> lineStarts_{0};
    int64_t origin_ = 0;
    uint64_t revision_ = 0;
    uint64_t scrollRequests_ = 0;
    // The position just after a break that a lone CR ended an insertion with: an LF inserted
    // right there completes that CR LF pair instead of making a second break, so a CR LF split
    // between two chunks still shows as one line end. -1 when there is none.
    int loneCrBreakEnd_ = -1;
};
