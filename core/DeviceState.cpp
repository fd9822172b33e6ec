#include "DeviceState.h"

bool ReplyWaiters::Await(uint32_t id) {
    for (int i = 0; i < kSlots; ++i) {
        uint32_t free = 0;
        if (awaited_[i].compare_exchange_strong(free, id)) {
            answered_[i] = 0;  // before the request goes out: nothing can answer it yet
            return true;
        }
    }
    return false;
}

bool ReplyWaiters::Arrived(uint32_t id) const {
    for (int i = 0; i < kSlots; ++i) {
        if (awaited_[i].load() == id && answered_[i].load() == id) return true;
    }
    return false;
}

void ReplyWaiters::Stop(uint32_t id) {
    for (int i = 0; i < kSlots; ++i) {
        uint32_t mine = id;
        if (awaited_[i].compare_exchange_strong(mine, 0)) return;
    }
}

bool ReplyWaiters::Note(uint32_t id) {
    bool awaited = false;
    for (int i = 0; i < kSlots; ++i) {
        if (id != 0 && awaited_[i].load() == id) {
            answered_[i] = id;
            awaited = true;
        }
    }
    return awaited;
}

void ReplyWaiters::Clear() {
    for (int i = 0; i < kSlots; ++i) {
        awaited_[i] = 0;
        answered_[i] = 0;
    }
}

void DeviceState::Reset() {
    for (StateWord* word :
         {&m_bOpen, &m_bCoverOpen, &m_bPaperEmpty, &m_bOffline, &m_bPrinterError, &m_bPowerOFF,
          &m_DrawerOpened, &PrinterStatusResult, &m_OutputComplemetFlag, &m_bSleepFlag,
          &m_Terminating, &monitorRun}) {
        word->store(0);
    }
    replies.Clear();
}
