#include "DeviceState.h"

StateWord m_bOpen{0};
StateWord m_bCoverOpen{0};
StateWord m_bPaperEmpty{0};
StateWord m_bOffline{0};
StateWord m_bPowerOFF{0};
StateWord m_DrawerOpened{0};
StateWord PrinterStatusResult{0};
StateWord m_OutputComplemetFlag{0};
StateWord m_bSleepFlag{0};
StateWord m_Terminating{0};
StateWord g_MonitorRun{0};

void ResetDeviceState() {
    for (StateWord* word : {&m_bOpen, &m_bCoverOpen, &m_bPaperEmpty, &m_bOffline, &m_bPowerOFF,
                            &m_DrawerOpened, &PrinterStatusResult, &m_OutputComplemetFlag,
                            &m_bSleepFlag, &m_Terminating, &g_MonitorRun}) {
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
