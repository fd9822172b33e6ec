// The status monitor thread: while a printer is claimed it keeps automatic status enabled,
// watches the connection, and decodes what the printer reports into the device state.
#pragma once

#include <cstdint>

#include "StatusDecoder.h"

// Starts StatusHandler (thermal, on a 64 KiB stack) or StatusHandlerDot (impact), after
// stopping and joining any monitor still running. The monitor holds the line's descriptor
// (Line.h) one pass at a time. 0, or -1 when no thread could be created (nothing runs then).
int StartMonitor(DecodeMode mode);

// Ends the monitor's idle sleep now, for a completion wait that has just raised the fast-poll
// flag: its pass runs at once and the fast polling starts. The monitor's other waits go on.
void HurryMonitor();

// Clears the run flag and cuts the monitor's sleep short, without waiting for it to end.
void SignalMonitorStop();

// Clears the run flag, cuts the monitor's sleep short and waits for it to end. Safe to call
// with none running and from several threads: a thread is joined exactly once.
void StopMonitor();

// True while a started monitor has not been joined yet (a network monitor that ended itself on a
// lost link counts: the claim holds until release, and the next write restarts it).
bool MonitorStarted();

// The thread bodies, exposed for the record; StartMonitor is the way to run them.
void* StatusHandler(void*);
void* StatusHandlerDot(void*);
