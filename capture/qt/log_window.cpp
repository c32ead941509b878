#include "capture/qt/log_window.h"

// STUB: filled by the capture log work.
void startCapture(int) {}
