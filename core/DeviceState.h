// The process-wide device state shared, without locks, by the Java caller threads and the
// status monitor thread. Every member is one lock-free word, read and written whole.
#pragma once

#include <atomic>
#include <cstdint>

using StateWord = std::atomic<int32_t>;
static_assert(StateWord::is_always_lock_free);

extern StateWord m_bOpen;                // a port is open through the bridge
extern StateWord m_bCoverOpen;           // last decoded status: cover open
extern StateWord m_bPaperEmpty;          // last decoded status: paper end
extern StateWord m_bOffline;             // offline, or just was; the monitor then re-enables
extern StateWord m_bPrinterError;        // last decoded status: stopped on an error
extern StateWord m_bPowerOFF;            // network only: the monitor's receive failed
extern StateWord m_DrawerOpened;         // 1 opened, 0 closed
extern StateWord PrinterStatusResult;    // a PrinterStatus code
extern StateWord m_OutputComplemetFlag;  // process-ID reply seen since the last request
extern StateWord m_bSleepFlag;           // monitor polls every 50 ms instead of its interval
extern StateWord m_Terminating;          // set by release: ends an output-completion wait
extern StateWord g_MonitorRun;           // the monitor keeps running while 1

// Print data and the library's own commands are refused while the printer reports the cover
// open, the paper out, an error, or offline.
inline bool WritesRefused() {
    return m_bCoverOpen || m_bPaperEmpty || m_bOffline || m_bPrinterError;
}

// The completion waits in progress, each by the identifier of its process-ID request (d1 d2 d3
// as an int, never 0). The monitor notes every reply it decodes; a wait sees only the reply to
// its own request.
inline constexpr int kReplyWaiters = 16;
bool AwaitReply(uint32_t id);  // false when kReplyWaiters waits are in progress already
bool ReplyArrived(uint32_t id);
void StopAwaiting(uint32_t id);
// True when a wait was waiting for this reply.
bool NoteReply(uint32_t id);

// Puts the device state into its starting values (what loading the library does).
void ResetDeviceState();

extern "C" {
void libConstructor();
// Defined by the bridge: unloading a deliverable stops its monitor and closes its port.
void libDestructor();
}
