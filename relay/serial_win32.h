// What the Windows files of the serial layer share: the system's errors told as errno values, so
// that the rest of the layer (and the user's messages) read them as on Linux.
#pragma once

#include <cstdint>

// An error of an open (CreateFileA): ENOENT for a port that is not there, EBUSY for one that
// another program holds (a COM port is never shared), else EIO or EINVAL.
int errnoOfOpenError(unsigned long systemError);
// An error of a read, a write or a wait on an open port: ENODEV when the device vanished
// (unplugged, or its driver gone), else EINVAL.
int errnoOfIoError(unsigned long systemError);

// Every event the worker's comm-event wait ends on: a received byte (EV_RXCHAR), the XOFF
// character (EV_RXFLAG, the DCB's EvtChar), CTS, a line error, an input queue 80% full.
inline constexpr unsigned long kCommEventMask = 0x048B;

// The calling thread's own event for one kind of overlapped call, made at its first use and
// closed when the thread ends: a worker's reads, writes and comm-event waits never share one.
enum class IoKind { Read, Write, CommEvent };
void* threadIoEvent(IoKind kind);
