// Claiming a printer (starting its status monitor), the impact printer's readiness probe,
// releasing, and the wait for everything sent to be printed; each on one port.
#pragma once

#include <cstdint>

struct Port;

// Starts the port's monitor in thermal (IsThermal 1) or impact mode and gives it 500 ms for its
// first pass. 0 when claimed; 1 when no monitor could be started (the state is then as before).
long ClaimDevice(Port& port, long TimeoutMillis, int IsThermal);

// The _claim native: 0 claimed, 1 not.
long Claim(Port& port, long timeout, bool IsThermal);

// Stops the port's monitor and ends an output-completion wait; returns after the deliverable's
// release wait, with the monitor joined. Returns 0.
long ReleaseDevice(Port& port);

// Sends GS ( H with an identifier of its own and waits until the monitor sees the printer's
// reply to it (re-sending every 10 s), cover open or paper end is reported, the printer is known
// to be gone, or the port is released. Returns 0; the outcome is m_OutputComplemetFlag.
long OutputCompletePrinting(Port& port);

// The _WaitForCompletePrinting native: false at once when no port is open or no monitor
// watches it; otherwise OutputCompletePrinting and whether the reply was seen.
bool WaitForCompletePrinting(Port& port);

// Unloading the library: the port's monitor is stopped and joined and the port closed, without
// the release wait, so no thread is left running in code about to be unmapped.
void ShutDownLine(Port& port);
