// The status monitor thread: while a printer is claimed it keeps automatic status enabled,
// watches the connection, and decodes what the printer reports into its port's state. Every port
// has a monitor of its own.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "StatusDecoder.h"

struct Port;

// One port's monitor thread. Start and stop are serialised so that a handle is joined exactly
// once, whichever Java thread releases, reclaims or reconnects.
struct MonitorThread {
    MonitorThread();
    ~MonitorThread();
    MonitorThread(const MonitorThread&) = delete;
    MonitorThread& operator=(const MonitorThread&) = delete;

    pthread_mutex_t handleLock = PTHREAD_MUTEX_INITIALIZER;
    pthread_t thread{};
    bool started = false;
    DecodeMode mode = DecodeMode::Thermal;
    // The monitor's sleeps end early when it is told to stop, so a release or a reconnection
    // does not wait out the rest of an idle interval.
    pthread_mutex_t sleepLock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t sleepWake;
};

// Starts StatusHandler (thermal, on a 64 KiB stack) or StatusHandlerDot (impact) for the port,
// after stopping and joining any monitor of the port still running. The monitor holds the line's
// descriptor (Line.h) one pass at a time. 0, or -1 when no thread could be created (nothing runs
// then).
int StartMonitor(Port& port, DecodeMode mode);

// Ends the monitor's idle sleep now, for a completion wait that has just raised the fast-poll
// flag: its pass runs at once and the fast polling starts. The monitor's other waits go on.
void HurryMonitor(Port& port);

// Clears the run flag and cuts the monitor's sleep short, without waiting for it to end.
void SignalMonitorStop(Port& port);

// Clears the run flag, cuts the monitor's sleep short and waits for it to end. Safe to call
// with none running and from several threads: a thread is joined exactly once.
void StopMonitor(Port& port);

// True while a started monitor has not been joined yet (a network monitor that ended itself on a
// lost link counts: the claim holds until release, and the next write restarts it).
bool MonitorStarted(Port& port);

// The thread bodies, exposed for the record; StartMonitor is the way to run them. Their argument
// is the port.
void* StatusHandler(void* port);
void* StatusHandlerDot(void* port);
