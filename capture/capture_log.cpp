#include "capture/capture_log.h"

// STUB: filled by the capture log work.
int openCaptureLog(int, const std::string&) { return 0; }
void writeCaptureLog(RelayChannel&, const uint8_t*, int32_t, int32_t) {}
void closeCaptureLog(int) {}
