#include "DeviceState.h"

StateWord m_bOpen{0};
StateWord m_bCoverOpen{0};
StateWord m_bPaperEmpty{0};
StateWord m_bOffline{0};
StateWord m_bPrinterError{0};
StateWord m_bPowerOFF{0};
StateWord m_DrawerOpened{0};
StateWord PrinterStatusResult{0};
StateWord m_OutputComplemetFlag{0};
StateWord m_bSleepFlag{0};
StateWord m_Terminating{0};
StateWord g_MonitorRun{0};

namespace {
// A slot is free while its identifier is 0; answered holds the identifier once its reply came.
std::atomic<uint32_t> g_awaited[kReplyWaiters];
std::atomic<uint32_t> g_answered[kReplyWaiters];
}  // namespace

bool AwaitReply(uint32_t id) {
    for (int i = 0; i < kReplyWaiters; ++i) {
        uint32_t free = 0;
        if (g_awaited[i].compare_exchange_strong(free, id)) {
            g_answered[i] = 0;  // before the request goes out: nothing can answer it yet
            return true;
        }
    }
    return false;
}

bool ReplyArrived(uint32_t id) {
    for (int i = 0; i < kReplyWaiters; ++i) {
        if (g_awaited[i].load() == id && g_answered[i].load() == id) return true;
    }
    return false;
}

void StopAwaiting(uint32_t id) {
    for (int i = 0; i < kReplyWaiters; ++i) {
        uint32_t mine = id;
        if (g_awaited[i].compare_exchange_strong(mine, 0)) return;
    }
}

bool NoteReply(uint32_t id) {
    bool awaited = false;
    for (int i = 0; i < kReplyWaiters; ++i) {
        if (id != 0 && g_awaited[i].load() == id) {
            g_answered[i] = id;
            awaited = true;
        }
    }
    return awaited;
}

void ResetDeviceState() {
    for (StateWord* word :
         {&m_bOpen, &m_bCoverOpen, &m_bPaperEmpty, &m_bOffline, &m_bPrinterError, &m_bPowerOFF,
          &m_DrawerOpened, &PrinterStatusResult, &m_OutputComplemetFlag, &m_bSleepFlag,
          &m_Terminating, &g_MonitorRun}) {
        word->store(0);
    }
}

extern "C" {
// Runs when the library is loaded: the words above are already zero-initialised, but the
// flags the transports look at are put into their starting values explicitly.
__attribute__((constructor)) void libConstructor() {
    m_bOpen = 0;
    m_bCoverOpen = 0;
    m_bOffline = 0;
    m_bPaperEmpty = 0;
    m_bSleepFlag = 0;
}
}
