// Capture of one direction into a log file of the user's choice.
#pragma once

#include <cstdint>
#include <string>

struct RelayChannel;

// Opens fullPath for binary writing (an existing file is emptied) and enables the channel's
// log. 1 when open; 0 after telling the user "File Open Error。".
int openCaptureLog(int channel, const std::string& fullPath);
// Called by the worker for every block while logEnabled is 1.
void writeCaptureLog(RelayChannel& channel, const uint8_t* block, int32_t length,
                     int32_t logStampLength);
// Disables the channel's log and closes its file; nothing captured is lost.
void closeCaptureLog(int channel);
