// The Linux line settings of a serial device, kept apart from the rest of the serial layer
// because the kernel's termios2 (needed for any baud rate) clashes with glibc's <termios.h>.
#pragma once

#include <cstdint>

#include "relay/line_settings.h"

struct termios2;

// Rewrites every mode word and control character of t for a raw line with these settings;
// only the line discipline (and the rate, when none is given) is kept.
void composeLineTermios(struct termios2& t, const LineSettings& settings);

// Puts the device in raw mode with the given line settings (TCSETS2, any baud rate through
// BOTHER). 0 on success, else the errno of the call that failed.
int applyLineSettings(int fd, const LineSettings& settings);

// Reads the settings the device holds now back into `held`: 0, else the errno of the call.
int readLineSettings(int fd, LineSettings& held);

// Discards both queues of the device (what has not been sent and what has not been read).
void flushLineQueues(int fd);

// The output baud rate the device holds now, or 0 when it cannot be read.
uint32_t currentBaudRate(int fd);

// Whether the kernel reports the device as a UART port whose type it could not find
// (TIOCGSERIAL, PORT_UNKNOWN): a legacy /dev/ttyS* entry with no chip behind it, which opens and
// takes settings but carries nothing. Devices that are no UART port at all (USB adapters without
// that call, pseudo-terminals) are not reported.
bool uartMissing(int fd);
