// The status monitor thread: while a printer is claimed it keeps automatic status enabled,
// watches the connection, and decodes what the printer reports into the device state.
#pragma once

#include <cstdint>

#include "StatusDecoder.h"

// Starts StatusHandler (thermal, on a 64 KiB stack) or StatusHandlerDot (impact) on fd, after
// stopping and joining any monitor still running. 0, or -1 when no thread could be created
// (nothing runs then).
int StartMonitor(DecodeMode mode, int fd);

// Clears the run flag and waits for the monitor to end. Safe to call with none running and
// from several threads: a thread is joined exactly once.
void StopMonitor();

// True while a started monitor has not been joined yet.
bool MonitorStarted();

// The thread bodies, exposed for the record; StartMonitor is the way to run them.
void* StatusHandler(void* fd);
void* StatusHandlerDot(void* fd);
