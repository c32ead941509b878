// The text control of a display window (control 1001), as a plain model: the bytes received,
// with the operations the renderers use. Positions count bytes of the stored text; every line
// break is stored as CR LF and so counts two. Lines never wrap. Safe to call from the worker
// and the UI thread: each operation is carried out whole, under the control's own lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

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

private:
    mutable std::mutex lock_;
    // Members are the display helper's to choose.
};
