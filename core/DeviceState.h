// One printer's device state, shared without locks by the Java caller threads and that printer's
// status monitor thread. Every member is one lock-free word, read and written whole. Each port
// (Port.h) has one; the monitor and the decoder change the printer's report only through the
// transitions of PrinterState.h.
#pragma once

#include <atomic>
#include <cstdint>

using StateWord = std::atomic<int32_t>;
static_assert(StateWord::is_always_lock_free);

// The completion waits in progress on one port, each by the identifier of its process-ID
// request (d1 d2 d3 as an int, never 0). The monitor notes every reply it decodes; a wait sees
// only the reply to its own request.
class ReplyWaiters {
public:
    static constexpr int kSlots = 16;
    bool Await(uint32_t id);  // false when kSlots waits are in progress already
    bool Arrived(uint32_t id) const;
    void Stop(uint32_t id);
    // True when a wait was waiting for this reply.
    bool Note(uint32_t id);
    void Clear();

private:
    // A slot is free while its identifier is 0; answered holds the identifier once its reply came.
    std::atomic<uint32_t> awaited_[kSlots] = {};
    std::atomic<uint32_t> answered_[kSlots] = {};
};

struct DeviceState {
    StateWord m_bOpen{0};                // a port is open through the bridge
    StateWord m_bCoverOpen{0};           // last decoded status: cover open
    StateWord m_bPaperEmpty{0};          // last decoded status: paper end
    StateWord m_bOffline{0};             // offline, or just was; the monitor then re-enables
    StateWord m_bPrinterError{0};        // last decoded status: stopped on an error
    StateWord m_bPowerOFF{0};            // network only: the link was lost
    StateWord m_DrawerOpened{0};         // 1 opened, 0 closed
    StateWord PrinterStatusResult{0};    // a PrinterStatus code
    StateWord m_OutputComplemetFlag{0};  // process-ID reply seen for the last wait
    StateWord m_bSleepFlag{0};           // monitor polls every 50 ms instead of its interval
    StateWord m_Terminating{0};          // set by release: ends an output-completion wait
    StateWord monitorRun{0};             // the monitor keeps running while 1
    ReplyWaiters replies;

    // Print data and the library's own commands are refused while the printer reports the
    // cover open, the paper out, an error, or offline.
    bool WritesRefused() const {
        return m_bCoverOpen || m_bPaperEmpty || m_bOffline || m_bPrinterError;
    }

    // The starting values (what loading the library gives every port).
    void Reset();
};
