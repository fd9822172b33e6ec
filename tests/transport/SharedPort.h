// The transport tests drive one port: the shared one, on which every instance made with the
// public constructor acts. Here are its state words under the names the library has always given
// them, and the operations on it without the port argument, so that a test reads as the
// transport's description does. Include it after the transport's own header.
#pragma once

#include <utility>

#include "Claim.h"
#include "DeviceState.h"
#include "Port.h"
#include "ReadinessProbe.h"
#include "StatusMonitor.h"
#include "Transport.h"

inline StateWord& m_bOpen = SharedPort().state.m_bOpen;
inline StateWord& m_bCoverOpen = SharedPort().state.m_bCoverOpen;
inline StateWord& m_bPaperEmpty = SharedPort().state.m_bPaperEmpty;
inline StateWord& m_bOffline = SharedPort().state.m_bOffline;
inline StateWord& m_bPrinterError = SharedPort().state.m_bPrinterError;
inline StateWord& m_bPowerOFF = SharedPort().state.m_bPowerOFF;
inline StateWord& m_DrawerOpened = SharedPort().state.m_DrawerOpened;
inline StateWord& PrinterStatusResult = SharedPort().state.PrinterStatusResult;
inline StateWord& m_OutputComplemetFlag = SharedPort().state.m_OutputComplemetFlag;
inline StateWord& m_bSleepFlag = SharedPort().state.m_bSleepFlag;
inline StateWord& m_Terminating = SharedPort().state.m_Terminating;
inline StateWord& g_MonitorRun = SharedPort().state.monitorRun;

inline void ResetDeviceState() { SharedPort().state.Reset(); }
inline bool WritesRefused() { return SharedPort().state.WritesRefused(); }
inline bool AwaitReply(uint32_t id) { return SharedPort().state.replies.Await(id); }
inline bool ReplyArrived(uint32_t id) { return SharedPort().state.replies.Arrived(id); }
inline void StopAwaiting(uint32_t id) { SharedPort().state.replies.Stop(id); }

// Every operation that takes the port first, on the shared port: OpenPort(path, settings) is
// OpenPort(SharedPort(), path, settings).
#define PRN_ON_THE_SHARED_PORT(operation)                                           \
    template <class... Arguments>                                                   \
    auto operation(Arguments&&... arguments)                                        \
        -> decltype(::operation(SharedPort(), std::forward<Arguments>(arguments)...)) { \
        return ::operation(SharedPort(), std::forward<Arguments>(arguments)...);    \
    }

PRN_ON_THE_SHARED_PORT(OpenPort)
PRN_ON_THE_SHARED_PORT(ClosePort)
PRN_ON_THE_SHARED_PORT(ReadPortPrv)
PRN_ON_THE_SHARED_PORT(ReadPort)
PRN_ON_THE_SHARED_PORT(WritePort)
PRN_ON_THE_SHARED_PORT(OpenFromJava)
PRN_ON_THE_SHARED_PORT(WriteFromJava)
PRN_ON_THE_SHARED_PORT(Claim)
PRN_ON_THE_SHARED_PORT(ClaimDevice)
PRN_ON_THE_SHARED_PORT(ReleaseDevice)
PRN_ON_THE_SHARED_PORT(OutputCompletePrinting)
PRN_ON_THE_SHARED_PORT(WaitForCompletePrinting)
PRN_ON_THE_SHARED_PORT(StartMonitor)
PRN_ON_THE_SHARED_PORT(StopMonitor)
PRN_ON_THE_SHARED_PORT(MonitorStarted)
PRN_ON_THE_SHARED_PORT(DotClaim)
PRN_ON_THE_SHARED_PORT(ReadinessProbe)


