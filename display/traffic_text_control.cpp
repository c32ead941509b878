#include "display/traffic_text_control.h"

// STUB: filled by the display work.
int TrafficTextControl::textLength() const { return 0; }
int TrafficTextControl::lineCount() const { return 1; }
int TrafficTextControl::lineLength(int) const { return 0; }
void TrafficTextControl::setSelection(int, int) {}
void TrafficTextControl::replaceSelection(const char*, int) {}
void TrafficTextControl::clearSelection() {}
void TrafficTextControl::setReadOnly(bool) {}
void TrafficTextControl::setRedraw(bool) {}
void TrafficTextControl::scrollCaret() {}
void TrafficTextControl::setText(const std::string&) {}
std::string TrafficTextControl::text() const { return {}; }
uint64_t TrafficTextControl::revision() const { return 0; }
