#include "Claim.h"

#include <atomic>

#include "Deliverable.h"
#include "DeviceState.h"
#include "Line.h"
#include "PrinterCommands.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Transport.h"

namespace {

constexpr uint32_t kFirstPassMs = 500;
constexpr uint32_t kResendAfterMs = 9999;
constexpr uint32_t kCompletionPollMs = 20;
constexpr uint32_t kReplySettleMs = 100;

// Every release counts here: a completion wait ends on any release after it began, even when a
// claim has cleared m_Terminating again since.
std::atomic<uint32_t> g_releases{0};

}  // namespace

long ClaimDevice(long /*TimeoutMillis*/, int IsThermal) {
    const line::Lifecycle hold;
    const Variant& variant = kDeliverable.variant;
    const DecodeMode mode = IsThermal ? DecodeMode::Thermal : DecodeMode::Impact;
    // A claim over a running claim replaces its monitor: two must never read one line.
    StopMonitor();
    const int32_t before[] = {m_bOffline, m_bCoverOpen, m_bPaperEmpty, m_Terminating,
                              m_bSleepFlag};
    m_bOffline = 0;
    m_bCoverOpen = 0;
    m_bPaperEmpty = 0;
    if (mode == DecodeMode::Impact && !variant.impactMonitor) return 0;

    m_Terminating = 0;
    m_bOffline = 1;  // the first pass enables automatic status
    m_bSleepFlag = variant.fastFirstPasses ? 1 : 0;
    if (StartMonitor(mode) != 0) {
        m_bOffline = before[0];
        m_bCoverOpen = before[1];
        m_bPaperEmpty = before[2];
        m_Terminating = before[3];
        m_bSleepFlag = before[4];
        return 1;
    }
    // A close that begins meanwhile need not wait for the rest of the first pass.
    line::SleepUnlessClosing(line::Session(), kFirstPassMs);
    if (variant.fastFirstPasses) m_bSleepFlag = 0;
    return 0;
}

long Claim(long timeout, bool IsThermal) {
    // One at a time with open, close and reconnection: a claim racing a close must not start a
    // monitor on a descriptor that close has just given back.
    const line::Lifecycle hold;
    if (kDeliverable.recordClaimMode) kDeliverable.recordClaimMode(IsThermal ? 1 : 0);
    if (!m_bOpen) return 1;
    if (IsThermal) return ClaimDevice(timeout, 1);
    // The probe reads the replies itself: no monitor may take them first.
    if (kDeliverable.variant.impactClaimProbe) StopMonitor();
    if (kDeliverable.variant.impactClaimProbe && DotClaim() != 1) {
        ClosePort();
        m_bOpen = 0;
        return 1;
    }
    return ClaimDevice(timeout, 0);
}

long ReleaseDevice() {
    const line::Lifecycle hold;
    // The release wait gives a running monitor time to see the stop; with none started (an
    // open, a print and a close without a claim) there is nobody to wait for.
    const bool watched = MonitorStarted();
    g_releases.fetch_add(1);
    m_Terminating = 1;
    SignalMonitorStop();
    if (kDeliverable.releaseWake) kDeliverable.releaseWake();
    if (watched) LoopSleep(kDeliverable.releaseWaitMs);
    // No monitor may outlive the descriptor the caller is about to close.
    StopMonitor();
    return 0;
}

long OutputCompletePrinting() {
    const uint32_t releases = g_releases.load();
    // The port this wait is for. A close (also the one after a failed open) or a new open ends
    // the session and the monitor that would see the reply: the wait ends with it.
    const uint32_t session = line::Session();
    // Armed before the request leaves: a printer that answers at once must not have its reply
    // wiped after the monitor saw it.
    m_bSleepFlag = 1;
    m_OutputComplemetFlag = 0;
    WritePort(escpos::kProcessIdRequest, sizeof escpos::kProcessIdRequest);
    // The monitor may be in the middle of an idle interval: it polls fast from now on.
    HurryMonitor();
    uint32_t start = 0;
    // A line that is gone for good can never bring the answer.
    while (!m_Terminating && g_releases.load() == releases && line::Session() == session &&
           !line::Gone(session)) {
        if (start == 0) {
            start = timeGetTime();
        } else if (ElapsedSince(start, timeGetTime()) > kResendAfterMs) {
            if (WritePort(escpos::kProcessIdRequest, sizeof escpos::kProcessIdRequest) == 0) {
                break;
            }
            start = 0;
        }
        LoopSleep(kCompletionPollMs);
        if (m_OutputComplemetFlag) {
            LoopSleep(kReplySettleMs);
            break;
        }
        const int32_t status = PrinterStatusResult;
        if (status == kStatusCoverOpen || status == kStatusPaperEnd) break;
    }
    m_bSleepFlag = 0;
    return 0;
}

bool WaitForCompletePrinting() {
    // Only a monitor sees the printer's reply: without one the wait could only end by a release.
    if (!m_bOpen || !MonitorStarted()) return false;
    OutputCompletePrinting();
    return m_OutputComplemetFlag != 0;
}

void ShutDownLine() {
    const line::CloseIntent closing;
    const line::Lifecycle hold;
    g_releases.fetch_add(1);
    m_Terminating = 1;
    StopMonitor();
    ClosePort();
    m_bOpen = 0;
}
