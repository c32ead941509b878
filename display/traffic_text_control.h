// The text control of a display window (control 1001), as a plain model: the bytes received,
// with the operations the renderers use. Positions count bytes of the stored text; every line
// break is stored as CR LF and so counts two. Lines never wrap. Safe to call from the worker
// and the UI thread: each operation is carried out whole, under the control's own lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class TrafficTextControl {
public:
    int textLength() const;                              // WM_GETTEXTLENGTH
    int lineCount() const;                               // EM_GETLINECOUNT
    int lineLength(int position) const;                  // EM_LINELENGTH
    void setSelection(int start, int end);               // EM_SETSEL (-1 start: no selection)
    void replaceSelection(const char* bytes, int length);  // EM_REPLACESEL
    void clearSelection();                               // WM_CLEAR (only while not read-only)
    void setReadOnly(bool readOnly);                     // EM_SETREADONLY
    void setRedraw(bool redraw);                         // WM_SETREDRAW
    void scrollCaret();                                  // EM_SCROLLCARET
    void setText(const std::string& text);               // WM_SETTEXT (CLEAR sets "")

    // For the view and for tests.
    std::string text() const;
    uint64_t revision() const;  // grows with every change the view must show
    bool readOnly() const;
    bool redraw() const;
    int selectionStart() const;  // the lower end of the selection
    int selectionEnd() const;    // the upper end; equal to the start when nothing is selected
    int caret() const;           // the end the caret stands at
    int lineFromPosition(int position) const;  // EM_LINEFROMCHAR
    int lineStart(int line) const;             // EM_LINEINDEX; -1 past the last line

    // What a view needs for one paint, read under one lock so it is consistent.
    struct ViewState {
        uint64_t revision = 0;
        uint64_t scrollRequests = 0;  // grows with every scrollCaret
        bool redraw = true;
        int textLength = 0;
        int lineCount = 1;
        int maxLineLength = 0;
        int selectionStart = 0;
        int selectionEnd = 0;
        int caretLine = 0;
        int caretColumn = 0;
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
    int anchor_ = 0;
    int caret_ = 0;
    bool readOnly_ = false;
    bool redraw_ = true;
    uint64_t revision_ = 0;
    uint64_t scrollRequests_ = 0;
    // The position just after a break that a lone CR ended an insertion with: an LF inserted
    // right there completes that CR LF pair instead of making a second break, so a CR LF split
    // between two chunks still shows as one line end. -1 when there is none.
    int loneCrBreakEnd_ = -1;
};
